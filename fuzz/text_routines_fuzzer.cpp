// The text routines against the character-stepping models in reference_text.hpp: every search,
// cut, replacement and split must give exactly what the plain walk gives, for any bytes, positions
// and counts (sanitizers catch what goes wrong on the way).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "reference_text.hpp"
#include "text/text_primitives.hpp"
#include "text/text_routines.hpp"
#include "text/text_split.hpp"

namespace {

using namespace tarlowen;
using fuzzing::consumeCount;
using fuzzing::consumePosition;
using fuzzing::consumeText;

constexpr std::size_t kMaxText = 300;
constexpr std::size_t kMaxTarget = 8;

std::vector<std::string> characters(std::string_view text) {
    std::vector<std::string> out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = reference::characterLength(text, at);
        out.emplace_back(text.substr(at, length));
        at += length;
    }
    return out;
}

bool isSpaceCharacter(const std::string& character) {
    return character == " " || character == "\xA1\xA1";
}

std::string referenceRemoveSpaces(std::string_view text) {
    std::string out;
    for (const std::string& character : characters(text)) {
        if (!isSpaceCharacter(character)) {
            out += character;
        }
    }
    return out;
}

std::string referenceTrimSpaces(std::string_view text) {
    const std::vector<std::string> all = characters(text);
    std::size_t first = 0;
    std::size_t last = all.size();
    while (first < last && isSpaceCharacter(all[first])) {
        ++first;
    }
    while (last > first && isSpaceCharacter(all[last - 1])) {
        --last;
    }
    std::string out;
    for (std::size_t i = first; i < last; ++i) {
        out += all[i];
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const int operation = input.ConsumeIntegralInRange<int>(0, 6);
    const std::string source = consumeText(input, kMaxText);

    switch (operation) {
        case 0: {
            const std::string target = consumeText(input, kMaxTarget);
            const std::optional<int> from = consumePosition(input, source.size());
            const bool ignoreCase = input.ConsumeBool();
            FUZZ_CHECK(SearchText(source, target, from, ignoreCase) ==
                       reference::searchText(source, target, from, ignoreCase));
            break;
        }
        case 1: {
            const int position = consumePosition(input, source.size()).value_or(1);
            const int length = consumePosition(input, source.size()).value_or(0);
            FUZZ_CHECK(TakeLeft(source, length) == reference::takeLeft(source, length));
            FUZZ_CHECK(TakeSlice(source, position, length) == reference::takeSlice(source, position, length));
            break;
        }
        case 2: {
            const std::string find = consumeText(input, kMaxTarget);
            const bool hasReplacement = input.ConsumeBool();
            const std::string replacement = consumeText(input, kMaxTarget);
            const std::optional<int> from = consumePosition(input, source.size());
            const std::optional<int> count = consumeCount(input);
            const bool caseSensitive = input.ConsumeBool();
            const std::optional<std::string_view> given =
                hasReplacement ? std::optional<std::string_view>(replacement) : std::nullopt;
            FUZZ_CHECK(SubstituteText(source, find, given, from, count, caseSensitive) ==
                       reference::substituteText(source, find, hasReplacement ? replacement : "", from, count,
                                                 caseSensitive));
            break;
        }
        case 3: {
            const std::string start = consumeText(input, kMaxTarget);
            const std::string end = consumeText(input, kMaxTarget);
            const std::optional<int> from = consumePosition(input, source.size());
            const bool ignoreCase = input.ConsumeBool();
            FUZZ_CHECK(TextBetween(source, start, end, from, ignoreCase) ==
                       reference::textBetween(source, start, end, from, ignoreCase));
            break;
        }
        case 4: {
            const std::string marker = consumeText(input, kMaxTarget);
            const std::optional<int> from = consumePosition(input, source.size());
            const bool ignoreCase = input.ConsumeBool();
            FUZZ_CHECK(TextBefore(source, marker, from, ignoreCase) ==
                       reference::textBefore(source, marker, from, ignoreCase));
            break;
        }
        case 5: {
            const std::optional<int> count = consumeCount(input);
            const std::optional<int> from = consumePosition(input, source.size());
            const std::optional<bool> caseSensitive =
                input.ConsumeBool() ? std::optional<bool>(input.ConsumeBool()) : std::nullopt;
            std::vector<reference::Pair> pairs(5);
            for (std::size_t i = 0; i < pairs.size(); ++i) {
                // The first pair's texts are always given; the others may be left out.
                if (i == 0 || input.ConsumeBool()) {
                    pairs[i].find = consumeText(input, kMaxTarget);
                }
                if (i == 0 || input.ConsumeBool()) {
                    pairs[i].replacement = consumeText(input, kMaxTarget);
                }
            }
            auto view = [](const std::optional<std::string>& text) {
                return text ? std::optional<std::string_view>(*text) : std::nullopt;
            };
            const Text actual =
                ReplaceEach(source, count, from, caseSensitive, *pairs[0].find, *pairs[0].replacement,
                            view(pairs[1].find), view(pairs[1].replacement), view(pairs[2].find),
                            view(pairs[2].replacement), view(pairs[3].find), view(pairs[3].replacement),
                            view(pairs[4].find), view(pairs[4].replacement));
            FUZZ_CHECK(actual == reference::replaceEach(source, count, from, caseSensitive, pairs));
            break;
        }
        default: {
            const std::string separator = consumeText(input, 4);
            FUZZ_CHECK(SplitText(source, separator) == reference::splitText(source, separator));
            FUZZ_CHECK(RemoveSpaces(source) == referenceRemoveSpaces(source));
            FUZZ_CHECK(TrimSpaces(source) == referenceTrimSpaces(source));
            break;
        }
    }
    return 0;
}
