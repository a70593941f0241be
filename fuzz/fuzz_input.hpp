#pragma once

// Helpers the fuzz targets share to turn libFuzzer's bytes into arguments.

#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace tarlowen::fuzzing {

// A failed property stops the run with the message, as a crash does, so libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                     \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                         \
        }                                                                                         \
    } while (false)

// Texts drawn mostly from the bytes that matter to the routines (letters of both cases, markers,
// separators, spaces, lead bytes, the quote marker's bytes, zero), so matches, runs of lead bytes and
// markers straddling characters come up often; one byte in eight is taken as it is.
inline std::string consumeText(FuzzedDataProvider& input, std::size_t maxLength) {
    static constexpr char kAlphabet[] = {'a',    'A',    'b',    'B',    '"',    '#',    ' ',    '\r',
                                         '\n',   ';',    '=',    ':',    '/',    '.',    '\0',   'z',
                                         '\x80', '\x81', '\xA1', '\xD2', '\xFD', '\xBA', '\xC5', '\xFF'};
    const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(0, maxLength);
    std::string text;
    text.reserve(length);
    for (std::size_t i = 0; i < length && input.remaining_bytes() > 0; ++i) {
        const auto byte = input.ConsumeIntegral<std::uint8_t>();
        text.push_back(byte >= 0xE0 ? static_cast<char>(input.ConsumeIntegral<std::uint8_t>())
                                    : kAlphabet[byte % sizeof kAlphabet]);
    }
    return text;
}

// A 1-based position: absent, near the text, or (rarely) any int at all.
inline std::optional<int> consumePosition(FuzzedDataProvider& input, std::size_t textLength) {
    switch (input.ConsumeIntegralInRange<int>(0, 7)) {
        case 0:
            return std::nullopt;
        case 1:
            return input.ConsumeIntegral<int>();
        case 2:
            return input.PickValueInArray({INT_MIN, INT_MIN + 1, -1, 0, INT_MAX - 1, INT_MAX});
        default:
            return input.ConsumeIntegralInRange<int>(-2, static_cast<int>(textLength) + 2);
    }
}

inline std::optional<int> consumeCount(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            return std::nullopt;
        case 1:
            return input.ConsumeIntegral<int>();
        default:
            return input.ConsumeIntegralInRange<int>(-2, 4);
    }
}

}  // namespace tarlowen::fuzzing
