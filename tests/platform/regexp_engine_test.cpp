#include "platform/components/regexp_engine.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/case_name.hpp"

namespace tarlowen {
namespace {

using testing_support::PrintTo;

constexpr RegexpSettings kPlain{};
constexpr RegexpSettings kGlobal{.global = true};
constexpr RegexpSettings kIgnoreCase{.ignoreCase = true};
constexpr RegexpSettings kMultilineGlobal{.global = true, .multiline = true};
constexpr RegexpSettings kAll{.ignoreCase = true, .global = true, .multiline = true};

// UTF-16 text as ASCII, other units as \uXXXX, so failures read well.
std::string readable(std::u16string_view text) {
    std::string out;
    for (char16_t unit : text) {
        if (unit >= 0x20 && unit < 0x7F) {
            out.push_back(static_cast<char>(unit));
        } else {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04X", static_cast<unsigned>(unit));
            out += buffer;
        }
    }
    return out;
}

struct ExpectedMatch {
    int firstIndex;
    std::u16string value;
    std::vector<std::u16string> subMatches;
};

std::string describe(int firstIndex, int length, std::u16string_view value,
                     const std::vector<std::u16string>& subMatches) {
    std::string out =
        "@" + std::to_string(firstIndex) + "+" + std::to_string(length) + " '" + readable(value) + "'";
    for (const std::u16string& sub : subMatches) {
        out += " [" + readable(sub) + "]";
    }
    return out;
}

std::vector<std::string> describe(const std::vector<RegexpMatch>& matches) {
    std::vector<std::string> out;
    for (const RegexpMatch& m : matches) {
        out.push_back(describe(m.firstIndex, m.length, m.value, m.subMatches));
    }
    return out;
}

std::vector<std::string> describe(const std::vector<ExpectedMatch>& matches) {
    std::vector<std::string> out;
    for (const ExpectedMatch& m : matches) {
        out.push_back(describe(m.firstIndex, static_cast<int>(m.value.size()), m.value, m.subMatches));
    }
    return out;
}

struct ExecuteCase {
    const char* name;
    std::u16string pattern;
    RegexpSettings settings;
    std::u16string subject;
    std::vector<ExpectedMatch> expected;
};

class RegexpExecuteTest : public ::testing::TestWithParam<ExecuteCase> {};

TEST_P(RegexpExecuteTest, FindsTheExpectedMatches) {
    const ExecuteCase& c = GetParam();
    const std::optional<CompiledRegexp> regexp = CompiledRegexp::compile(c.pattern, c.settings);
    ASSERT_TRUE(regexp.has_value()) << readable(c.pattern);
    EXPECT_EQ(describe(regexp->execute(c.subject)), describe(c.expected));
    EXPECT_EQ(regexp->test(c.subject), !c.expected.empty());
}

// Empty matches at each of `offsets`.
std::vector<ExpectedMatch> emptyAt(std::initializer_list<int> offsets) {
    std::vector<ExpectedMatch> out;
    for (int offset : offsets) {
        out.push_back({offset, u"", {}});
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    MatchLoop, RegexpExecuteTest,
    ::testing::Values(
        ExecuteCase{"groupThatTookNoPartIsEmpty", u"(a|b)+|(c)", kPlain, u"aa", {{0, u"aa", {u"a", u""}}}},
        ExecuteCase{"notGlobalGivesFirstOnly", u"a", kPlain, u"bab a", {{1, u"a", {}}}},
        ExecuteCase{"globalGivesAll", u"a", kGlobal, u"bab a", {{1, u"a", {}}, {4, u"a", {}}}},
        ExecuteCase{"noMatch", u"z", kGlobal, u"abc", {}},
        ExecuteCase{"emptyPatternAtEveryOffset", u"", kGlobal, u"test", emptyAt({0, 1, 2, 3, 4})},
        ExecuteCase{"emptyPatternEmptySubject", u"", kGlobal, u"", emptyAt({0})},
        ExecuteCase{"lazyStarAdvancesOneUnit", u"a*?", kGlobal, u"aa", emptyAt({0, 1, 2})},
        ExecuteCase{
            "emptyThenLongerMatch", u"a*", kGlobal, u"baa", {{0, u"", {}}, {1, u"aa", {}}, {3, u"", {}}}},
        ExecuteCase{"offsetsCountUtf16Units",
                    u".",
                    kGlobal,
                    u"\U0001F600x",
                    {{0, u"\xD83D", {}}, {1, u"\xDE00", {}}, {2, u"x", {}}}}),
    testing_support::CaseName{});

INSTANTIATE_TEST_SUITE_P(
    Anchors, RegexpExecuteTest,
    ::testing::Values(
        ExecuteCase{"dollarNotBeforeFinalNewline", u"a$", kPlain, u"a\n", {}},
        ExecuteCase{"dollarAtVeryEnd", u"a$", kGlobal, u"a\na", {{2, u"a", {}}}},
        ExecuteCase{"caretOnlyAtStartWithoutMultiline", u"^b", kPlain, u"a\nb", {}},
        ExecuteCase{"caretAfterCrAndLf", u"^", kMultilineGlobal, u"a\r\nb", emptyAt({0, 2, 3})},
        ExecuteCase{"dollarBeforeCrAndLf", u"$", kMultilineGlobal, u"a\r\nb", emptyAt({1, 2, 4})},
        ExecuteCase{"multilineLines",
                    u"^\\w+$",
                    kMultilineGlobal,
                    u"ab\rcd\ne",
                    {{0, u"ab", {}}, {3, u"cd", {}}, {6, u"e", {}}}},
        ExecuteCase{"dotStopsAtLfOnly", u".+", kGlobal, u"a\rb\nc", {{0, u"a\rb", {}}, {4, u"c", {}}}},
        ExecuteCase{"caretAndDollarLiteralInClass", u"[$^]+", kPlain, u"a$^", {{1, u"$^", {}}}},
        ExecuteCase{
            "caretAndDollarLiteralInClassMultiline", u"[$^]+", kMultilineGlobal, u"a$^", {{1, u"$^", {}}}}),
    testing_support::CaseName{});

INSTANTIATE_TEST_SUITE_P(
    Classes, RegexpExecuteTest,
    ::testing::Values(
        ExecuteCase{"verticalTabIsNotLineFeed", u"a\\vb", kPlain, u"a\nb", {}},
        ExecuteCase{"verticalTab", u"a\\vb", kPlain, u"a\vb", {{0, u"a\vb", {}}}},
        ExecuteCase{"verticalTabInClass", u"[\\v]", kPlain, u"\n\v", {{1, u"\v", {}}}},
        ExecuteCase{
            "spaceClassIsAscii", u"\\s+", kGlobal, u" \f\n\r\t\v\u00A0\u3000", {{0, u" \f\n\r\t\v", {}}}},
        ExecuteCase{"wordClassIsAscii", u"\\w+", kPlain, u"\u00E9a_1\u00E9", {{1, u"a_1", {}}}},
        ExecuteCase{"digitClassIsAscii",
                    u"\\d+",
                    kPlain,
                    u"\uFF11\u0661"
                    u"42",
                    {{2, u"42", {}}}},
        ExecuteCase{"nonWordTakesAccentedLetter",
                    u"charset=[^\\w]?([-\\w]+)",
                    kPlain,
                    u"charset=\u00E9utf-8",
                    {{0, u"charset=\u00E9utf-8", {u"utf-8"}}}},
        ExecuteCase{"pageCharsetAfterWideCharacter",
                    u"<meta.+?charset=[^\\w]?([-\\w]+)",
                    kAll,
                    u"\u4E2D<meta charset='big5'>",
                    {{1, u"<meta charset='big5", {u"big5"}}}},
        ExecuteCase{"posixLookalikeIsPlainMembers", u"[[:alpha:]]", kPlain, u"x:]", {{1, u":]", {}}}},
        ExecuteCase{"leadingBracketIsMember", u"[]a]+", kPlain, u"x]a", {{1, u"]a", {}}}},
        ExecuteCase{"escapedBracketInClass", u"[\\]x]+", kPlain, u"a]x", {{1, u"]x", {}}}},
        ExecuteCase{"hyphenNextToSetIsMember", u"[\\w-]+", kPlain, u"!a-b!", {{1, u"a-b", {}}}},
        ExecuteCase{"hyphenBeforeSetIsMember", u"[%-\\d]+", kPlain, u"a-%5&", {{1, u"-%5", {}}}},
        ExecuteCase{"backspaceInClass", u"[\\b]", kPlain, u"b\b", {{1, u"\b", {}}}},
        ExecuteCase{"wordBoundaryOutsideClass", u"\\bb", kGlobal, u"ab b", {{3, u"b", {}}}},
        ExecuteCase{"groupSyntaxInClassIsPlain", u"[(?<]+", kPlain, u"a(?<", {{1, u"(?<", {}}}}),
    testing_support::CaseName{});

INSTANTIATE_TEST_SUITE_P(
    Escapes, RegexpExecuteTest,
    ::testing::Values(
        ExecuteCase{"hexTwoDigits", u"\\x41", kPlain, u"A", {{0, u"A", {}}}},
        ExecuteCase{"hexTakesOnlyTwoDigits", u"\\x414", kPlain, u"A4", {{0, u"A4", {}}}},
        ExecuteCase{"hexIncompleteIsLetter", u"\\x4g", kPlain, u"x4g", {{0, u"x4g", {}}}},
        ExecuteCase{"unicodeFourDigits", u"\\u4E2D", kPlain, u"a\u4E2D", {{1, u"\u4E2D", {}}}},
        ExecuteCase{"unicodeIncompleteIsLetter", u"\\u4E2", kPlain, u"u4E2", {{0, u"u4E2", {}}}},
        ExecuteCase{"controlLetter", u"\\cJ\\ca", kPlain, u"\n\x01", {{0, u"\n\x01", {}}}},
        ExecuteCase{"controlWithoutLetterIsBackslashC", u"\\c1", kPlain, u"\\c1", {{0, u"\\c1", {}}}},
        ExecuteCase{"unknownLetterEscapesArePlain",
                    u"\\a\\e\\z\\Q\\K\\h\\R\\g\\k",
                    kPlain,
                    u"aezQKhRgk",
                    {{0, u"aezQKhRgk", {}}}},
        ExecuteCase{"escapedPunctuation", u"\\&\\.\\/\\-", kPlain, u"x&./-", {{1, u"&./-", {}}}},
        ExecuteCase{"escapedWideCharacter", u"\\\u4E2D", kPlain, u"\u4E2D", {{0, u"\u4E2D", {}}}},
        ExecuteCase{"braceThatIsNoQuantifier", u"a{,2}b{x}", kPlain, u"a{,2}b{x}", {{0, u"a{,2}b{x}", {}}}},
        ExecuteCase{"braceQuantifier", u"a{2}b{1,}c{1,2}?", kPlain, u"aabbcc", {{0, u"aabbc", {}}}},
        ExecuteCase{"lookaheads", u"a(?=b)|c(?!d)", kGlobal, u"acdabce", {{3, u"a", {}}, {5, u"c", {}}}},
        ExecuteCase{"nulInPatternAndSubject",
                    u"a\\0b",
                    kPlain,
                    std::u16string(u"xa\0b", 4),
                    {{1, std::u16string(u"a\0b", 3), {}}}}),
    testing_support::CaseName{});

// A digit escape is a back reference only when that many groups were opened before it.
INSTANTIATE_TEST_SUITE_P(
    BackReferences, RegexpExecuteTest,
    ::testing::Values(
        ExecuteCase{"backReference", u"(a)\\1", kPlain, u"xaa", {{1, u"aa", {u"a"}}}},
        ExecuteCase{"forwardDigitIsOctal",
                    u"\\1(a)",
                    kPlain,
                    u"a\x01"
                    u"a",
                    {{1,
                      u"\x01"
                      u"a",
                      {u"a"}}}},
        ExecuteCase{"tooFewGroupsIsOctal", u"(a)\\2", kPlain, u"aa\x02", {{1, u"a\x02", {u"a"}}}},
        ExecuteCase{"oneDigitReferenceThenDigit", u"(a)\\10", kPlain, u"aa0", {{0, u"aa0", {u"a"}}}},
        ExecuteCase{"twoDigitReference",
                    u"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)\\10",
                    kPlain,
                    u"abcdefghijj",
                    {{0, u"abcdefghijj", {u"a", u"b", u"c", u"d", u"e", u"f", u"g", u"h", u"i", u"j"}}}},
        ExecuteCase{"threeOctalDigits", u"\\101", kPlain, u"xA", {{1, u"A", {}}}},
        ExecuteCase{"zeroTakesTwoMoreOctalDigits",
                    u"\\0101",
                    kPlain,
                    u"\x08"
                    u"1",
                    {{0,
                      u"\x08"
                      u"1",
                      {}}}},
        ExecuteCase{"octalAtMost0377", u"\\400", kPlain, u" 0", {{0, u" 0", {}}}},
        ExecuteCase{"eightAndNineAreDigits", u"\\8\\9", kPlain, u"89", {{0, u"89", {}}}},
        ExecuteCase{"digitsInClassAreOctal", u"(a)[\\1]", kPlain, u"aa\x01", {{1, u"a\x01", {u"a"}}}},
        ExecuteCase{"unsetGroupMatchesEmpty", u"(a)?\\1b", kPlain, u"b", {{0, u"b", {u""}}}},
        ExecuteCase{"referenceInsideItsGroup", u"(a\\1)", kPlain, u"a", {{0, u"a", {u"a"}}}}),
    testing_support::CaseName{});

INSTANTIATE_TEST_SUITE_P(
    CaseFolding, RegexpExecuteTest,
    ::testing::Values(ExecuteCase{"caseRespectedByDefault", u"abc", kPlain, u"ABC", {}},
                      ExecuteCase{"asciiLettersFold", u"aBc", kIgnoreCase, u"xAbC", {{1, u"AbC", {}}}},
                      ExecuteCase{"classRangesFold", u"[a-c]+", kIgnoreCase, u"xABCd", {{1, u"ABC", {}}}},
                      ExecuteCase{"backReferenceFolds", u"(a)\\1", kIgnoreCase, u"aA", {{0, u"aA", {u"a"}}}},
                      ExecuteCase{"atSignNotFoldedOntoBacktick", u"@", kIgnoreCase, u"`", {}}),
    testing_support::CaseName{});

struct SyntaxCase {
    const char* name;
    std::u16string pattern;
    bool accepted;
};

class RegexpSyntaxTest : public ::testing::TestWithParam<SyntaxCase> {};

TEST_P(RegexpSyntaxTest, CompilesOnlyTheDialect) {
    const SyntaxCase& c = GetParam();
    for (const RegexpSettings settings : {kPlain, kAll}) {
        EXPECT_EQ(CompiledRegexp::compile(c.pattern, settings).has_value(), c.accepted)
            << readable(c.pattern);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegexpSyntaxTest,
    ::testing::Values(
        SyntaxCase{"namedGroup", u"(?<a>b)", false}, SyntaxCase{"lookbehind", u"(?<=a)b", false},
        SyntaxCase{"negativeLookbehind", u"(?<!a)b", false},
        SyntaxCase{"pythonNamedGroup", u"(?P<a>b)", false}, SyntaxCase{"atomicGroup", u"(?>a)", false},
        SyntaxCase{"inlineOption", u"(?i)a", false}, SyntaxCase{"comment", u"(?#note)a", false},
        SyntaxCase{"conditional", u"(a)(?(1)b|c)", false}, SyntaxCase{"verb", u"a(*FAIL)", false},
        SyntaxCase{"startOption", u"(*UTF)a", false}, SyntaxCase{"bareQuestionGroup", u"(?", false},
        SyntaxCase{"possessiveStar", u"a*+", false}, SyntaxCase{"possessivePlus", u"a++", false},
        SyntaxCase{"possessiveOptional", u"a?+", false}, SyntaxCase{"possessiveBraces", u"a{2}+", false},
        SyntaxCase{"trailingBackslash", u"a\\", false},
        SyntaxCase{"trailingBackslashInClass", u"[a\\", false},
        SyntaxCase{"unterminatedClass", u"[ab", false}, SyntaxCase{"unclosedGroup", u"(a", false},
        SyntaxCase{"unopenedGroup", u"a)", false}, SyntaxCase{"nothingToRepeat", u"*a", false},
        SyntaxCase{"reversedRange", u"[z-a]", false}, SyntaxCase{"nonCapturingGroup", u"(?:a)b", true},
        SyntaxCase{"lookahead", u"a(?=b)", true}, SyntaxCase{"negativeLookahead", u"a(?!b)", true},
        SyntaxCase{"lazyQuantifiers", u"a*?b+?c??d{1,2}?", true},
        SyntaxCase{"escapedParenthesisThenQuestion", u"\\(?<a>", true},
        SyntaxCase{"groupSyntaxInClass", u"[(?<>*]", true},
        SyntaxCase{"plusInClassAfterStar", u"a*[+]", true},
        SyntaxCase{"escapedPlusAfterStar", u"a*\\+", true},
        SyntaxCase{"escapedBackslashAtEnd", u"a\\\\", true}, SyntaxCase{"emptyPattern", u"", true}),
    testing_support::CaseName{});

struct ReplaceCase {
    const char* name;
    std::u16string pattern;
    RegexpSettings settings;
    std::u16string subject;
    std::u16string replacement;
    std::u16string expected;
};

class RegexpReplaceTest : public ::testing::TestWithParam<ReplaceCase> {};

TEST_P(RegexpReplaceTest, ExpandsTheReplacement) {
    const ReplaceCase& c = GetParam();
    const std::optional<CompiledRegexp> regexp = CompiledRegexp::compile(c.pattern, c.settings);
    ASSERT_TRUE(regexp.has_value()) << readable(c.pattern);
    EXPECT_EQ(readable(regexp->replace(c.subject, c.replacement)), readable(c.expected));
}

// `(\&(\d))` over "abc &1 123" matches "&1" with groups "&1" and "1".
constexpr char16_t kTwoGroups[] = u"(\\&(\\d))";
constexpr char16_t kTwoGroupsSubject[] = u"abc &1 123";

INSTANTIATE_TEST_SUITE_P(
    Cases, RegexpReplaceTest,
    ::testing::Values(
        ReplaceCase{"emptyPatternGlobal", u"", kGlobal, u"xxx", u"y", u"yxyxyxy"},
        ReplaceCase{"emptyPatternFirstOnly", u"", kPlain, u"xxx", u"y", u"yxxx"},
        ReplaceCase{"firstOnlyWithoutGlobal", u"a", kPlain, u"aaa", u"b", u"baa"},
        ReplaceCase{"noMatchLeavesSubject", u"z", kGlobal, u"abc", u"y", u"abc"},
        ReplaceCase{"wholeMatch", u"b", kPlain, u"abc", u"x$&z", u"axbzc"},
        ReplaceCase{"textAfterMatch", kTwoGroups, kPlain, kTwoGroupsSubject, u"$'", u"abc  123 123"},
        ReplaceCase{"textBeforeMatch", kTwoGroups, kPlain, kTwoGroupsSubject, u"$`", u"abc abc  123"},
        ReplaceCase{"groupsInAnyOrder", kTwoGroups, kPlain, kTwoGroupsSubject, u"<$2$1>", u"abc <1&1> 123"},
        ReplaceCase{"groupBeyondCountIsLiteral", kTwoGroups, kPlain, kTwoGroupsSubject, u"$3", u"abc $3 123"},
        ReplaceCase{"twoDigitsBeyondCountTakeOne", kTwoGroups, kPlain, kTwoGroupsSubject, u"$11",
                    u"abc &11 123"},
        ReplaceCase{"leadingZeroTwoDigits", kTwoGroups, kPlain, kTwoGroupsSubject, u"$02", u"abc 1 123"},
        ReplaceCase{"zeroIsLiteral", kTwoGroups, kPlain, kTwoGroupsSubject, u"$0$00", u"abc $0$00 123"},
        ReplaceCase{"dollarDollar", kTwoGroups, kPlain, kTwoGroupsSubject, u"$$1", u"abc $1 123"},
        ReplaceCase{"loneAndTrailingDollar", kTwoGroups, kPlain, kTwoGroupsSubject, u"$x$", u"abc $x$ 123"},
        ReplaceCase{"twoDigitGroup", u"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)(l)", kPlain, u"abcdefghijkl",
                    u"$12$10$1", u"lja"},
        ReplaceCase{"unsetGroupIsEmpty", u"(a)|(b)", kGlobal, u"ab", u"[$1$2]", u"[a][b]"},
        ReplaceCase{"beforeMatchIsFromSubjectStart", u"a", kGlobal, u"xaya", u"[$`]", u"x[x]y[xay]"},
        ReplaceCase{"afterMatchToSubjectEnd", u"a", kGlobal, u"xaya", u"[$']", u"x[ya]y[]"},
        ReplaceCase{"emptyMatchesAroundText", u"a*", kGlobal, u"baa", u"-", u"-b--"},
        ReplaceCase{"multilineStartsOfLines", u"^", kMultilineGlobal, u"a\r\nb", u">", u">a\r>\n>b"}),
    testing_support::CaseName{});

TEST(RegexpEngineTest, CountsCapturingGroupsOnly) {
    const auto regexp = CompiledRegexp::compile(u"(a)(?:b)(?=c)(c)[(]\\(", kPlain);
    ASSERT_TRUE(regexp.has_value());
    EXPECT_EQ(regexp->groupCount(), 2);
    EXPECT_TRUE(regexp->test(u"abc(("));
    EXPECT_FALSE(regexp->test(u"abc("));
}

TEST(RegexpEngineTest, CopiesShareTheCompiledPattern) {
    std::optional<CompiledRegexp> copy;
    {
        const auto regexp = CompiledRegexp::compile(u"b+", kGlobal);
        ASSERT_TRUE(regexp.has_value());
        copy = *regexp;
    }
    EXPECT_EQ(copy->replace(u"abba b", u"-"), u"a-a -");
}

TEST(RegexpEngineTest, CatastrophicPatternGivesUpInsteadOfHanging) {
    // Nested repetition before an anchor that fails: 2^40 ways to split the run (no required character
    // lets PCRE2 skip the work).
    const std::u16string subject = std::u16string(40, u'a') + u"!";
    const auto nested = CompiledRegexp::compile(u"(a+)+$", kPlain);
    ASSERT_TRUE(nested.has_value());
    EXPECT_TRUE(nested->execute(subject).empty());
    EXPECT_FALSE(nested->test(subject));
    EXPECT_EQ(nested->replace(subject, u"x"), subject);

    // The limit ends the walk; the matches found before it are kept.
    const auto global = CompiledRegexp::compile(u"b|(a+)+$", kGlobal);
    ASSERT_TRUE(global.has_value());
    EXPECT_EQ(describe(global->execute(u"b" + subject + u"b")),
              describe(std::vector<ExpectedMatch>{{0, u"b", {u""}}}));
}

TEST(RegexpEngineTest, LongRepetitionOfAGroupStillMatches) {
    // Each repetition of the group costs backtracking stack; a long run must not fail for lack of it.
    const std::u16string subject = std::u16string(200'000, u'a') + u"c";
    const auto regexp = CompiledRegexp::compile(u"(a|b)*c", kPlain);
    ASSERT_TRUE(regexp.has_value());
    const std::vector<RegexpMatch> matches = regexp->execute(subject);
    ASSERT_EQ(matches.size(), 1u);
    EXPECT_EQ(matches[0].length, static_cast<int>(subject.size()));
    EXPECT_EQ(matches[0].subMatches, std::vector<std::u16string>{u"a"});
}

}  // namespace
}  // namespace tarlowen
