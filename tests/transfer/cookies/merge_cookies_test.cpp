#include "transfer/cookies/merge_cookies.hpp"

#include <gtest/gtest.h>

#include "support/case_name.hpp"

#include <string>

namespace tarlowen {
namespace {

using testing_support::PrintTo;

struct MergeCase {
    const char* name;
    std::string oldCookies;
    std::string newCookies;
    std::string merged;
};

class MergeCookiesTest : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergeCookiesTest, MergesAndWritesBothVariables) {
    const MergeCase& c = GetParam();
    Text oldCookies = c.oldCookies;
    Text newCookies = c.newCookies;
    const Text result = MergeCookies(oldCookies, newCookies);
    EXPECT_EQ(result, c.merged);
    EXPECT_EQ(oldCookies, c.merged);
    EXPECT_EQ(newCookies.find(' '), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MergeCookiesTest,
    ::testing::Values(MergeCase{"bothEmpty", "", "", ""},
                      MergeCase{"spacesRemoved", "a=1;b = 2", "", "a=1; b=2"},
                      MergeCase{"responseReplacesAndComesFirst", "a=1; b=2", "b=3", "b=3; a=1"},
                      MergeCase{"deletionRemoves", "a=1; b=2", "b=deleted", "a=1"},
                      MergeCase{"oldDeletionDropped", "a=deleted; b=2", "", "b=2"},
                      MergeCase{"namesCompareWithCase", "A=1", "a=2", "a=2; A=1"},
                      MergeCase{"firstOldOfNameWins", "x=1; x=2", "", "x=1"},
                      MergeCase{"responseSameNameBothStay", "", "a=1; a=2", "a=1; a=2"},
                      MergeCase{"identicalEntriesOnce", "", "a=1; a=1", "a=1"},
                      MergeCase{"entryWithoutEquals", "flag; a=1", "a=2", "a=2; flag"},
                      MergeCase{"entryWithoutEqualsReplaced", "flag; a=1", "flag=on", "flag=on; a=1"},
                      MergeCase{"emptyEntryInMiddleSurvivesOnce", "a=1;;b=2;;", "", "a=1; ; b=2"},
                      MergeCase{"trailingSeparatorGivesNoEntry", "a=1;", "", "a=1"},
                      MergeCase{"spacesInValueGo", "t=a b", "", "t=ab"},
                      MergeCase{"ideographicSpaceGoes", "t=a\xA1\xA1" "b", "", "t=ab"},
                      MergeCase{"tabStays", "t=a\tb", "", "t=a\tb"},
                      MergeCase{"emptyNameDeletionDropped", "=deleted; a=1", "", "a=1"}),
    testing_support::CaseName{});

TEST(CookieNameTest, TakesTrimmedBytesBeforeFirstEquals) {
    EXPECT_EQ(CookieName(" sid =a=b"), "sid");
    EXPECT_EQ(CookieName("flag"), "flag");
    EXPECT_EQ(CookieName("=x"), "");
}

TEST(RemoveDuplicatesTest, SeparatorAndCharacterModes) {
    EXPECT_EQ(RemoveDuplicates("b; a; b", "; ", true), "b; a");
    EXPECT_EQ(RemoveDuplicates("abca", ",", false), "a,b,c");
    EXPECT_EQ(RemoveDuplicates("abca", "", false), "abc");
    EXPECT_EQ(RemoveDuplicates("", "; ", true), "");
    EXPECT_EQ(RemoveDuplicates("\xD6\xD0" "a\xD6\xD0", "", false), "\xD6\xD0" "a");
}

TEST(SplitCharactersTest, PairsLeadBytesAndCrLf) {
    TextArray pieces{"stale"};
    EXPECT_EQ(SplitCharacters("a\xD6\xD0\r\nb", pieces), 4);
    EXPECT_EQ(pieces, (TextArray{"a", "\xD6\xD0", "\r\n", "b"}));

    EXPECT_EQ(SplitCharacters("\r\n\r", pieces), 2);
    EXPECT_EQ(pieces, (TextArray{"\r\n", "\r"}));
    EXPECT_EQ(SplitCharacters("\n\x80x\xD6", pieces), 4);
    EXPECT_EQ(pieces, (TextArray{"\n", "\x80", "x", "\xD6"}));
    EXPECT_EQ(SplitCharacters("", pieces), 0);
    EXPECT_TRUE(pieces.empty());
}

TEST(IndexOfItemTest, OneBasedOrMinusOne) {
    const TextArray list{"a", "b", "a"};
    EXPECT_EQ(IndexOfItem(list, "a"), 1);
    EXPECT_EQ(IndexOfItem(list, "b"), 2);
    EXPECT_EQ(IndexOfItem(list, "A"), -1);
    EXPECT_EQ(IndexOfItem({}, ""), -1);
}

}  // namespace
}  // namespace tarlowen
