#include "text/text_split.hpp"

#include <gtest/gtest.h>

namespace tarlowen {
namespace {

TEST(TrimSpacesTest, RemovesAsciiAndIdeographicSpacesAtBothEnds) {
    EXPECT_EQ(TrimSpaces("  a b  "), "a b");
    EXPECT_EQ(TrimSpaces("\xA1\xA1 a\xA1\xA1"), "a");
    EXPECT_EQ(TrimSpaces("\ta\r\n"), "\ta\r\n");
    EXPECT_EQ(TrimSpaces("   "), "");
    EXPECT_EQ(TrimSpaces(""), "");
    // "\xB0\xA1" is a character, so the last two bytes are no ideographic space; in the second text
    // the lone lead byte takes the blank as its second byte.
    EXPECT_EQ(TrimSpaces("\xB0\xA1\xA1"), "\xB0\xA1\xA1");
    EXPECT_EQ(TrimSpaces("\xB0\xA1\xA1 "), "\xB0\xA1\xA1 ");
}

TEST(RemoveSpacesTest, RemovesSpacesEverywhere) {
    EXPECT_EQ(RemoveSpaces(" t = a b\xA1\xA1; "), "t=ab;");
    EXPECT_EQ(RemoveSpaces("a\tb"), "a\tb");
    EXPECT_EQ(RemoveSpaces("\xB0\xA1\xA1"), "\xB0\xA1\xA1");
}

TEST(SplitTextTest, KeepsEmptyPiecesButNotAfterLastSeparator) {
    EXPECT_EQ(SplitText("", ";"), TextArray{});
    EXPECT_EQ(SplitText("a", ";"), TextArray{"a"});
    EXPECT_EQ(SplitText("a;;b", ";"), (TextArray{"a", "", "b"}));
    EXPECT_EQ(SplitText(";a", ";"), (TextArray{"", "a"}));
    EXPECT_EQ(SplitText("a;", ";"), TextArray{"a"});
    EXPECT_EQ(SplitText(";", ";"), TextArray{""});
    EXPECT_EQ(SplitText("a\r\nb\r\n\r\n", "\r\n"), (TextArray{"a", "b", ""}));
    // ";" as the second byte of a two-byte character is no separator.
    EXPECT_EQ(SplitText("\x81;;x", ";"), (TextArray{"\x81;", "x"}));
}

}  // namespace
}  // namespace tarlowen
