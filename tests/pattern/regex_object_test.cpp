#include "pattern/regex_object.hpp"

#include <gtest/gtest.h>

#include "platform/apartment.hpp"
#include "platform/automation_component.hpp"
#include "support/recording_component.hpp"

namespace tarlowen {
namespace {

using testing_support::RecordingComponent;

// The apartment count is back where it was whatever a test did with its objects.
class RegexObjectTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(apartmentCount(), 0); }
};

TEST_F(RegexObjectTest, HoldsOneApartmentForItsLifetime) {
    {
        const RegexObject regex;
        EXPECT_EQ(apartmentCount(), 1);
    }
    EXPECT_EQ(apartmentCount(), 0);
}

TEST_F(RegexObjectTest, FreshObjectAnswersEmpty) {
    const RegexObject regex;
    EXPECT_EQ(regex.GetPattern(), "");
    EXPECT_EQ(regex.ReplaceMatches("x"), "");
    EXPECT_EQ(regex.MatchCount(), 0);
    EXPECT_EQ(regex.MatchText(1), "");
    EXPECT_EQ(regex.SubMatchText(1, 1), "");
    EXPECT_EQ(regex.SubMatchCount(), 0);
}

TEST_F(RegexObjectTest, RejectedPatternAndPatternWithoutMatches) {
    RegexObject regex;
    EXPECT_FALSE(regex.Search("(ab", "ab"));
    EXPECT_EQ(regex.MatchCount(), 0);
    EXPECT_EQ(regex.MatchText(1), "");

    EXPECT_TRUE(regex.Search("z", "ab"));
    EXPECT_EQ(regex.MatchCount(), 0);
}

TEST_F(RegexObjectTest, CaseIgnoredUnlessCaseSensitive) {
    RegexObject regex;
    EXPECT_TRUE(regex.Search("word", "A WORD"));
    ASSERT_EQ(regex.MatchCount(), 1);
    int position = -1;
    EXPECT_EQ(regex.MatchText(1, &position), "WORD");
    EXPECT_EQ(position, 2);

    EXPECT_TRUE(regex.Search("word", "A WORD", true));
    EXPECT_EQ(regex.MatchCount(), 0);
}

TEST_F(RegexObjectTest, QuoteMarkerBecomesDoubleQuoteOnlyWhenAsked) {
    const std::string pattern = std::string("a") + kQuoteMarker + "b";
    RegexObject regex;
    EXPECT_TRUE(regex.Search(pattern, "a\"b", std::nullopt, std::nullopt, std::nullopt, true));
    EXPECT_EQ(regex.MatchCount(), 1);
    EXPECT_EQ(regex.GetPattern(), "a\"b");

    EXPECT_TRUE(regex.Search(pattern, "a\"b " + pattern));
    EXPECT_EQ(regex.MatchCount(), 1);
    EXPECT_EQ(regex.MatchText(1), pattern);
    EXPECT_EQ(regex.GetPattern(), pattern);
}

TEST_F(RegexObjectTest, IndexesCountFromOneAndOutOfRangeIsEmpty) {
    RegexObject regex;
    ASSERT_TRUE(regex.Search("(\\d)(x)?", "a1b2"));
    EXPECT_EQ(regex.MatchCount(), 2);
    EXPECT_EQ(regex.MatchText(1), "1");
    EXPECT_EQ(regex.MatchText(2), "2");
    EXPECT_EQ(regex.MatchText(0), "");
    EXPECT_EQ(regex.MatchText(3), "");
    EXPECT_EQ(regex.SubMatchCount(), 2);
    EXPECT_EQ(regex.SubMatchText(2, 1), "2");
    EXPECT_EQ(regex.SubMatchText(2, 2), "");  // took no part
    EXPECT_EQ(regex.SubMatchText(2, 3), "");

    ASSERT_TRUE(regex.Search("\\d", "a1"));
    EXPECT_EQ(regex.SubMatchCount(), 0);
    EXPECT_EQ(regex.SubMatchText(1, 1), "");
}

TEST_F(RegexObjectTest, SecondSearchDiscardsFirst) {
    RegexObject regex;
    ASSERT_TRUE(regex.Search("a", "aaa"));
    EXPECT_EQ(regex.MatchCount(), 3);
    ASSERT_TRUE(regex.Search("b", "ab"));
    EXPECT_EQ(regex.MatchCount(), 1);
    EXPECT_EQ(regex.ReplaceMatches("<$&>"), "a<b>");
}

TEST_F(RegexObjectTest, GlobalSwitchDecidesWhatIsReplaced) {
    RegexObject regex;
    ASSERT_TRUE(regex.Search("o", "foo", std::nullopt, std::nullopt, false));
    EXPECT_EQ(regex.ReplaceMatches("0"), "f0o");
    ASSERT_TRUE(regex.Search("o", "foo"));
    EXPECT_EQ(regex.ReplaceMatches(), "f");
}

TEST_F(RegexObjectTest, PositionsCountBytesAfterTwoByteCharacters) {
    // "中中a中a": the second "a" is unit 4 but byte 7.
    RegexObject regex;
    ASSERT_TRUE(regex.Search("a", "\xD6\xD0\xD6\xD0" "a\xD6\xD0" "a"));
    int first = -1;
    int second = -1;
    EXPECT_EQ(regex.MatchText(1, &first), "a");
    EXPECT_EQ(regex.MatchText(2, &second), "a");
    EXPECT_EQ(first, 4);
    EXPECT_EQ(second, 7);

    ASSERT_TRUE(regex.Search("(b)c", "\xD6\xD0" "bc"));
    int subPosition = -1;
    EXPECT_EQ(regex.SubMatchText(1, 1, &subPosition), "b");
    EXPECT_EQ(subPosition, 2);

    // Repeated text right after an earlier occurrence: the position is the match's own.
    ASSERT_TRUE(regex.Search("a", "aa"));
    int repeated = -1;
    EXPECT_EQ(regex.MatchText(2, &repeated), "a");
    EXPECT_EQ(repeated, 1);

    int missing = -1;
    EXPECT_EQ(regex.MatchText(5, &missing), "");
    EXPECT_EQ(missing, 0);  // an empty text is found at the start of a non-empty subject
    ASSERT_TRUE(regex.Search("x", ""));
    EXPECT_EQ(regex.MatchText(1, &missing), "");
    EXPECT_EQ(missing, -2);
}

TEST_F(RegexObjectTest, DrivesTheComponentInOrder) {
    auto log = std::make_shared<RecordingComponent::Log>();
    const ScopedComponent recording("VBScript.RegExp", RecordingComponent::factory(log));
    RegexObject regex;
    EXPECT_FALSE(regex.Search("a", "b", true, false));  // the recording component gives no collection
    EXPECT_EQ(*log, (RecordingComponent::Log{
                        "put IgnoreCase = false",
                        "put Multiline = false",
                        "put Singleline = true",
                        "put Global = true",
                        "put Pattern = \"a\"",
                        "Execute(\"b\")",
                    }));
}

TEST_F(RegexObjectTest, ComponentThatCannotBeMadeGivesFalse) {
    const ScopedComponent failing("VBScript.RegExp", [] { return std::shared_ptr<AutomationComponent>(); });
    RegexObject regex;
    EXPECT_FALSE(regex.Search("a", "a"));
    EXPECT_EQ(regex.MatchCount(), 0);
    EXPECT_EQ(regex.GetPattern(), "");
}

}  // namespace
}  // namespace tarlowen
