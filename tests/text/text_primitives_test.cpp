#include "text/text_primitives.hpp"

#include <gtest/gtest.h>

#include "support/case_name.hpp"

#include <optional>
#include <string>

namespace tarlowen {
namespace {

using testing_support::PrintTo;

// "\x81\x5C" is a two-byte character whose second byte is a backslash; "\xD6\xD0" is another one.
constexpr char kTrailBackslash[] = "\x81\x5C";

struct SearchCase {
    const char* name;
    std::string source;
    std::string target;
    std::optional<int> from;
    bool ignoreCase;
    int expected;
};

class SearchTextTest : public ::testing::TestWithParam<SearchCase> {};

TEST_P(SearchTextTest, FindsFirstOccurrenceAtCharacterStart) {
    const SearchCase& c = GetParam();
    EXPECT_EQ(SearchText(c.source, c.target, c.from, c.ignoreCase), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SearchTextTest,
    ::testing::Values(
        SearchCase{"plain", "abcabc", "ca", std::nullopt, false, 3},
        SearchCase{"missing", "abc", "x", std::nullopt, false, -1},
        SearchCase{"fromPosition", "abcabc", "abc", 2, false, 4},
        SearchCase{"fromPositionBelowOne", "abc", "a", -7, false, 1},
        SearchCase{"fromBeyondEnd", "abc", "c", 4, false, -1},
        SearchCase{"targetLongerThanRest", "abc", "bcd", std::nullopt, false, -1},
        SearchCase{"emptyTargetWholeText", "abc", "", std::nullopt, false, 1},
        SearchCase{"emptyTargetIsOneWhateverFrom", "abc", "", 3, false, 1},
        SearchCase{"emptyTargetPastEnd", "abc", "", 4, false, -1},
        SearchCase{"emptyTargetEmptySource", "", "", std::nullopt, false, -1},
        SearchCase{"ignoreCaseFindsCapitalised", "the word", "WORD", std::nullopt, true, 5},
        SearchCase{"caseRespectedByDefault", "the word", "WORD", std::nullopt, false, -1},
        SearchCase{"caseFoldsOnlyAsciiLetters", "a\xC1z", "A\xE1Z", std::nullopt, true, -1},
        SearchCase{"atSignNotFoldedOntoBacktick", "`", "@", std::nullopt, true, -1},
        SearchCase{"neverOnSecondByte", std::string("x") + kTrailBackslash + "\\", "\\", std::nullopt, false, 4},
        SearchCase{"leadByteAtVeryEnd", "ab\xD6", "\xD6", std::nullopt, false, 3},
        SearchCase{"twoByteTarget", "a\xD6\xD0\xD6\xD0", "\xD0\xD6", std::nullopt, false, -1},
        SearchCase{"walkStartsAtFromPosition", "\xD6\xD0\xD0\xD6", "\xD0\xD0", 2, false, 2},
        SearchCase{"ignoreCaseSkipsSecondBytes", "\x81Ga", "ga", std::nullopt, true, -1}),
    testing_support::CaseName{});

TEST(SearchTextTest, LongRunOfLeadBytesStaysAligned) {
    // In a run of lead bytes the characters start at even offsets from the run's start, however
    // far back that lies: "\xB0x" is a character after an odd number of lead bytes only.
    const std::string even(4000, '\xB0');
    const std::string odd(4001, '\xB0');
    EXPECT_EQ(SearchText(even + "x", "\xB0x"), -1);
    EXPECT_EQ(SearchText(odd + "x", "\xB0x"), 4001);
    EXPECT_EQ(SearchText("y" + even + "x", "\xB0x"), -1);
    EXPECT_EQ(SearchText(odd + "x", "\xB0x", 2), -1);
    EXPECT_EQ(SearchText(even, "\xB0\xB0", 2), 2);
}

TEST(TakeTest, CutsByPlainByteCounts) {
    EXPECT_EQ(TakeLeft("abcdef", 3), "abc");
    EXPECT_EQ(TakeLeft("abc", 10), "abc");
    EXPECT_EQ(TakeLeft("abc", 0), "");
    EXPECT_EQ(TakeLeft("abc", -1), "");
    EXPECT_EQ(TakeLeft("\xD6\xD0", 1), "\xD6");

    EXPECT_EQ(TakeSlice("abcdef", 2, 3), "bcd");
    EXPECT_EQ(TakeSlice("abcdef", 5, 10), "ef");
    EXPECT_EQ(TakeSlice("abcdef", 0, 2), "");
    EXPECT_EQ(TakeSlice("abcdef", 7, 1), "");
    EXPECT_EQ(TakeSlice("abcdef", 2, 0), "");
    EXPECT_EQ(TakeSlice("abcdef", 2, -3), "");
}

struct SubstituteCase {
    const char* name;
    std::string source;
    std::string find;
    std::optional<std::string> replacement;
    std::optional<int> from;
    std::optional<int> count;
    bool caseSensitive;
    std::string expected;
};

class SubstituteTextTest : public ::testing::TestWithParam<SubstituteCase> {};

TEST_P(SubstituteTextTest, ReplacesAsDescribed) {
    const SubstituteCase& c = GetParam();
    std::optional<std::string_view> replacement;
    if (c.replacement) {
        replacement = *c.replacement;
    }
    EXPECT_EQ(SubstituteText(c.source, c.find, replacement, c.from, c.count, c.caseSensitive), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SubstituteTextTest,
    ::testing::Values(
        SubstituteCase{"everyOccurrence", "a-b-c", "-", "+", std::nullopt, std::nullopt, true, "a+b+c"},
        SubstituteCase{"absentReplacementRemoves", "a-b-c", "-", std::nullopt, std::nullopt, std::nullopt, true, "abc"},
        SubstituteCase{"countCaps", "a-b-c", "-", "+", std::nullopt, 1, true, "a+b-c"},
        SubstituteCase{"countZero", "a-b-c", "-", "+", std::nullopt, 0, true, "a-b-c"},
        SubstituteCase{"negativeCountIsEvery", "a-b-c", "-", "+", std::nullopt, -3, true, "a+b+c"},
        SubstituteCase{"bytesBeforeFromKept", "a-b-c", "-", "+", 3, std::nullopt, true, "a-b+c"},
        SubstituteCase{"fromBeyondEnd", "a-b", "-", "+", 9, std::nullopt, true, "a-b"},
        SubstituteCase{"emptyFind", "abc", "", "+", std::nullopt, std::nullopt, true, "abc"},
        SubstituteCase{"emptySource", "", "a", "+", std::nullopt, std::nullopt, true, ""},
        SubstituteCase{"ignoresCase", "aAa", "a", "b", std::nullopt, std::nullopt, false, "bbb"},
        SubstituteCase{"respectsCase", "aAa", "a", "b", std::nullopt, std::nullopt, true, "bAb"},
        SubstituteCase{"insertedTextNotSearchedAgain", "aa", "a", "aa", std::nullopt, std::nullopt, true, "aaaa"},
        SubstituteCase{"nonOverlapping", "aaa", "aa", "b", std::nullopt, std::nullopt, true, "ba"},
        SubstituteCase{"secondByteLeftWhole", std::string("\\") + kTrailBackslash + "\\", "\\", "", std::nullopt,
                       std::nullopt, true, kTrailBackslash},
        // After a replacement the walk goes on from the end of the match: "\xB0" then pairs with "a".
        SubstituteCase{"walkGoesOnAfterMatch", "a\xB0\xB0" "a\xB0", "a\xB0", "-", std::nullopt, std::nullopt, true,
                       "-\xB0" "a\xB0"}),
    testing_support::CaseName{});

}  // namespace
}  // namespace tarlowen
