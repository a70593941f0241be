#include "text/text_routines.hpp"

#include <gtest/gtest.h>

#include "support/case_name.hpp"

#include <optional>
#include <string>

namespace tarlowen {
namespace {

using testing_support::PrintTo;

struct BetweenCase {
    const char* name;
    std::string source;
    std::string start;
    std::string end;
    std::optional<int> from;
    bool ignoreCase;
    std::string expected;
};

class TextBetweenTest : public ::testing::TestWithParam<BetweenCase> {};

TEST_P(TextBetweenTest, CutsBetweenMarkers) {
    const BetweenCase& c = GetParam();
    EXPECT_EQ(TextBetween(c.source, c.start, c.end, c.from, c.ignoreCase), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TextBetweenTest,
    ::testing::Values(
        BetweenCase{"found", "<a>x</a>", "<a>", "</a>", std::nullopt, false, "x"},
        BetweenCase{"startMissing", "<a>x</a>", "<b>", "</a>", std::nullopt, false, ""},
        BetweenCase{"endOnlyBeforeStart", "]x[y", "[", "]", std::nullopt, false, ""},
        BetweenCase{"endRightAfterStart", "[]", "[", "]", std::nullopt, false, ""},
        BetweenCase{"fromBeyondEnd", "[x]", "[", "]", 9, false, ""},
        BetweenCase{"fromSkipsFirst", "[x][y]", "[", "]", 2, false, "y"},
        BetweenCase{"quoteMarkerIsQuote", "\"nick\":\"Li\"", "\"nick\":#\xD2\xFD\xBA\xC5", "#\xD2\xFD\xBA\xC5",
                    std::nullopt, false, "Li"},
        BetweenCase{"emptyStartFoundAtOne", "ab]cd]", "", "]", 4, false, "ab"},
        BetweenCase{"emptyEndGivesEmpty", "[ab]", "[", "", std::nullopt, false, ""},
        BetweenCase{"ignoreCaseBothMarkers", "<A>x</A>", "<a>", "</a>", std::nullopt, true, "x"},
        BetweenCase{"caseRespected", "<A>x</A>", "<a>", "</a>", std::nullopt, false, ""}),
    testing_support::CaseName{});

TEST(TextBeforeTest, CutsFromFirstByteToMarker) {
    EXPECT_EQ(TextBefore("name: value", ": "), "name");
    EXPECT_EQ(TextBefore("name value", ": "), "");
    EXPECT_EQ(TextBefore(": value", ": "), "");
    // Marker at positions 2 and 8; searching from 5 still cuts from the first byte.
    EXPECT_EQ(TextBefore("a#cdefg#i", "#", 5), "a#cdefg");
    EXPECT_EQ(TextBefore("a#c", "#", -4), "a");
    EXPECT_EQ(TextBefore("aXb", "x", std::nullopt, true), "a");
    EXPECT_EQ(TextBefore("aXb", "x"), "");
}

TEST(ReplaceEachTest, PairsApplyInOrderToEachOthersResult) {
    EXPECT_EQ(ReplaceEach("banana", std::nullopt, std::nullopt, std::nullopt, "a", "b", "b", "c"), "ccncnc");
}

TEST(ReplaceEachTest, CaseSwitchCountAndAbsentPairs) {
    EXPECT_EQ(ReplaceEach("xXx-X", std::nullopt, std::nullopt, std::nullopt, "x", ""), "-");
    EXPECT_EQ(ReplaceEach("xXx-X", std::nullopt, std::nullopt, true, "x", ""), "X-X");
    EXPECT_EQ(ReplaceEach("a-a-a", 1, std::nullopt, std::nullopt, "a", "b", "-", "+"), "b+a-a");
    EXPECT_EQ(ReplaceEach("a-a-a", 0, std::nullopt, std::nullopt, "a", "b", "-", "+"), "a-a-a");
    EXPECT_EQ(ReplaceEach("a-a-a", -1, std::nullopt, std::nullopt, "a", "b"), "b-b-b");
    EXPECT_EQ(ReplaceEach("a-a-a", std::nullopt, 2, std::nullopt, "a", "b"), "a-b-b");
    EXPECT_EQ(ReplaceEach("a-a-a", std::nullopt, 0, std::nullopt, "a", "b"), "b-b-b");
    EXPECT_EQ(ReplaceEach("a-a-a", std::nullopt, -2, std::nullopt, "a", "b"), "b-b-b");
    // Pair 2 given with an absent replacement removes its matches.
    EXPECT_EQ(ReplaceEach("a-b", std::nullopt, std::nullopt, std::nullopt, "a", "x", "-"), "xb");
}

TEST(ReplaceEachTest, FileNameCleaningKeepsTwoByteCharacters) {
    // "\x81\x5C" ends in a backslash byte and must stay whole; the lone backslash and slash go.
    const std::string nick = "a\\b/\x81\x5C:c*d?e";
    const std::string once = ReplaceEach(nick, std::nullopt, std::nullopt, std::nullopt, "\\", "", "/", "", ":", "",
                                         "*", "", "?", "");
    EXPECT_EQ(once, "ab\x81\x5C" "cde");
    EXPECT_EQ(ReplaceEach("a<b>c|d\"e", std::nullopt, std::nullopt, std::nullopt, "\"", "", "<", "", ">", "", "|", ""),
              "abcde");
}

}  // namespace
}  // namespace tarlowen
