// The regex dialect on bounded patterns and subjects. Whatever compiles must match consistently:
// every match lies in the subject where it says, matches come in order without overlapping, at most
// one without the global flag, one sub-match per group; `test` agrees with `execute`; `replace`
// with a literal text swaps exactly the matches `execute` reports, and "$&" gives the subject back.
// A pattern of plain letters and digits matches exactly where the text occurs.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "platform/components/regexp_engine.hpp"

namespace {

using namespace tarlowen;

// Units drawn mostly from the dialect's syntax and a few letters; one in eight is any unit.
std::u16string consumeUnits(FuzzedDataProvider& input, std::size_t maxLength) {
    static constexpr char16_t kAlphabet[] = {
        u'a', u'b',  u'A',  u'0', u'1',  u'(', u')', u'[', u']', u'{', u'}',  u'*',     u'+', u'?',
        u'|', u'^',  u'$',  u'.', u'\\', u'-', u',', u'2', u'd', u'w', u's',  u'b',     u'n', u'x',
        u'u', u'\n', u'\r', u' ', u'=',  u'!', u':', u'<', u'&', u'`', u'\'', u'\u4E2D'};
    const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(0, maxLength);
    std::u16string units;
    for (std::size_t i = 0; i < length && input.remaining_bytes() > 0; ++i) {
        const auto pick = input.ConsumeIntegral<std::uint8_t>();
        units.push_back(pick >= 0xE0 ? input.ConsumeIntegral<char16_t>()
                                     : kAlphabet[pick % (sizeof kAlphabet / sizeof kAlphabet[0])]);
    }
    return units;
}

// Replacement texts made of "$" and what may follow it.
std::u16string consumeDollarText(FuzzedDataProvider& input) {
    static constexpr char16_t kPieces[] = {u'$', u'&', u'`', u'\'', u'0', u'1', u'2', u'9', u'x'};
    std::u16string text;
    const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(0, 12);
    for (std::size_t i = 0; i < length && input.remaining_bytes() > 0; ++i) {
        text.push_back(input.PickValueInArray(kPieces));
    }
    return text;
}

bool isPlainLiteral(std::u16string_view pattern) {
    return !pattern.empty() && std::all_of(pattern.begin(), pattern.end(), [](char16_t unit) {
        return (unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z') ||
               (unit >= u'0' && unit <= u'9');
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    RegexpSettings settings;
    settings.ignoreCase = input.ConsumeBool();
    settings.global = input.ConsumeBool();
    settings.multiline = input.ConsumeBool();
    const std::u16string pattern = consumeUnits(input, 40);
    const std::u16string subject = consumeUnits(input, 200);
    const std::u16string literal = u"<" + consumeUnits(input, 4) + u">";

    const std::optional<CompiledRegexp> regexp = CompiledRegexp::compile(pattern, settings);
    if (!regexp) {
        return 0;
    }
    const std::vector<RegexpMatch> matches = regexp->execute(subject);
    FUZZ_CHECK(settings.global || matches.size() <= 1);
    std::size_t previousEnd = 0;
    bool first = true;
    for (const RegexpMatch& match : matches) {
        FUZZ_CHECK(match.firstIndex >= 0 && match.length >= 0);
        const auto at = static_cast<std::size_t>(match.firstIndex);
        const auto length = static_cast<std::size_t>(match.length);
        FUZZ_CHECK(at + length <= subject.size());
        FUZZ_CHECK(match.value == subject.substr(at, length));
        FUZZ_CHECK(first || at >= previousEnd);
        FUZZ_CHECK(static_cast<int>(match.subMatches.size()) == regexp->groupCount());
        previousEnd = at + length;
        first = false;
    }
    FUZZ_CHECK(regexp->test(subject) == !matches.empty());

    // The literal holds no "$" unless one was drawn; only then can it expand.
    if (literal.find(u'$') == std::u16string::npos) {
        std::u16string expected;
        std::size_t cursor = 0;
        for (const RegexpMatch& match : matches) {
            expected.append(subject, cursor, static_cast<std::size_t>(match.firstIndex) - cursor);
            expected += literal;
            cursor = static_cast<std::size_t>(match.firstIndex + match.length);
        }
        expected.append(subject, cursor);
        FUZZ_CHECK(regexp->replace(subject, literal) == expected);
    }
    FUZZ_CHECK(regexp->replace(subject, u"$&") == subject);
    // Every expansion ($$, $&, $`, $', $n, $nn, and "$" before anything else) stays within the
    // subject's size for each match.
    const std::u16string expanding = consumeDollarText(input);
    const std::u16string replaced = regexp->replace(subject, expanding);
    FUZZ_CHECK(replaced.size() <=
               subject.size() + (matches.size() + 1) * expanding.size() * (subject.size() + 1));

    if (isPlainLiteral(pattern) && !settings.ignoreCase) {
        std::vector<std::size_t> expected;
        for (std::size_t at = subject.find(pattern); at != std::u16string::npos;
             at = subject.find(pattern, at + pattern.size())) {
            expected.push_back(at);
            if (!settings.global) {
                break;
            }
        }
        FUZZ_CHECK(matches.size() == expected.size());
        for (std::size_t i = 0; i < matches.size() && i < expected.size(); ++i) {
            FUZZ_CHECK(static_cast<std::size_t>(matches[i].firstIndex) == expected[i]);
        }
    }
    return 0;
}
