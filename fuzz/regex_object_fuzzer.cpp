// The regex object on code page 936 texts: byte positions reported for matches and sub-matches point
// at those very bytes in the subject (or are -2), whatever two-byte characters stand before them, for
// every subject that code page 936 reads back unchanged; on
// one-byte subjects successive non-empty matches lie in order without overlapping; there are no more
// matches than places to match; and replacing the matches with themselves gives the subject back.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_input.hpp"
#include "pattern/regex_object.hpp"
#include "platform/code_page.hpp"
#include "reference_text.hpp"

namespace {

using namespace tarlowen;

// Pattern pieces of the dialect, so patterns compile more often than from single bytes.
std::string consumePattern(FuzzedDataProvider& input) {
    static constexpr const char* kPieces[] = {
        "a", "b",   "A",   "\xD6\xD0", "\x80", ".",     "*",   "+",
        "?", "|",   "(",   ")",        "[ab]", "\\d",   "\\w", "^",
        "$", "\\1", "(a)", "(?:b)",    "\\s",  "{1,2}", ";",   "#\xD2\xFD\xBA\xC5"};
    std::string pattern;
    const int pieces = input.ConsumeIntegralInRange<int>(1, 8);
    for (int i = 0; i < pieces; ++i) {
        pattern += input.PickValueInArray(kPieces);
    }
    return pattern;
}

bool equalAt(std::string_view subject, int position, std::string_view text, bool ignoreCase) {
    return position >= 0 &&
           reference::matchesAt(subject, static_cast<std::size_t>(position), text, ignoreCase);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const bool caseSensitive = input.ConsumeBool();
    const bool multiline = input.ConsumeBool();
    const bool global = input.ConsumeBool();
    const bool useQuoteMarker = input.ConsumeBool();
    const std::string pattern = consumePattern(input);
    const std::string subject = fuzzing::consumeText(input, 200);

    RegexObject regex;
    if (!regex.Search(pattern, subject, caseSensitive, multiline, global, useQuoteMarker)) {
        return 0;
    }
    const int count = regex.MatchCount();
    FUZZ_CHECK(count >= 0 && static_cast<std::size_t>(count) <= subject.size() + 1);
    FUZZ_CHECK(global || count <= 1);
    const bool oneByte = std::none_of(subject.begin(), subject.end(), reference::isLead);
    // Positions count bytes of the subject as the component hands it back: the same bytes only when
    // code page 936 reads the subject and writes it again unchanged (no zero, no broken pair).
    const bool readsBack = Utf16ToText(TextToUtf16(subject)) == subject;
    int previousEnd = 0;
    for (int i = 1; i <= count; ++i) {
        int position = -3;
        const Text text = regex.MatchText(i, &position);
        FUZZ_CHECK(!readsBack || position == -2 || equalAt(subject, position, text, !caseSensitive));
        // An empty text is found at the front wherever it was matched, so only texts keep order.
        if (oneByte && readsBack && !text.empty()) {
            FUZZ_CHECK(position >= previousEnd);
            previousEnd = position + static_cast<int>(text.size());
        }
        for (int group = 1; group <= regex.SubMatchCount(); ++group) {
            int subPosition = -3;
            const Text part = regex.SubMatchText(i, group, &subPosition);
            FUZZ_CHECK(!readsBack || subPosition == -2 ||
                       equalAt(subject, subPosition, part, !caseSensitive));
        }
    }
    if (readsBack) {
        FUZZ_CHECK(regex.ReplaceMatches("$&") == subject);
    }
    return 0;
}
