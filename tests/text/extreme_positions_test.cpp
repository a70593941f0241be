#include <gtest/gtest.h>

#include <climits>

#include "text/text_primitives.hpp"
#include "text/text_routines.hpp"

namespace tarlowen {
namespace {

// A position below 1 means "from the front", down to the most negative int, which has no int one
// below it (found by the text routines' fuzz target; sanitizers stop on the overflow).
TEST(ExtremePositionTest, MostNegativePositionStartsAtTheFront) {
    EXPECT_EQ(SearchText("xab", "ab", INT_MIN), 2);
    EXPECT_EQ(SubstituteText("abab", "b", "c", INT_MIN, std::nullopt, true), "acac");
    EXPECT_EQ(TextBetween("[v]", "[", "]", INT_MIN), "v");
    EXPECT_EQ(ReplaceEach("abab", std::nullopt, INT_MIN, true, "a", ""), "bb");
}

TEST(ExtremePositionTest, LargestPositionFindsNothing) {
    EXPECT_EQ(SearchText("xab", "ab", INT_MAX), -1);
    EXPECT_EQ(SubstituteText("abab", "b", "c", INT_MAX, std::nullopt, true), "abab");
    EXPECT_EQ(TextBefore("a;b", ";", INT_MAX), "");
}

}  // namespace
}  // namespace tarlowen
