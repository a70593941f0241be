// Code page 936 and the file names built on it.
// Decoding: never more units than bytes, ASCII kept unit for unit, and encoding what was decoded gives
// the same text again when decoded. UTF-8 out of any UTF-16 is valid and, for well-formed input, the
// plain encoding. The UTF-16 buffer helpers round-trip. fileSystemName never yields "/", a zero or a
// control byte, "." or "..", or more than 255 bytes, is valid UTF-8, and leaves a short clean name as
// it is. Through the download cycle, any nickname and title give a name the files layer accepts.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/download_cycle.hpp"
#include "fuzz_input.hpp"
#include "platform/code_page.hpp"
#include "platform/files.hpp"

namespace {

using namespace tarlowen;

// The plain UTF-8 encoding; a surrogate without its partner becomes U+FFFD.
std::string referenceUtf8(std::u16string_view units) {
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t code = units[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return out;
}

// Shortest forms only, no surrogates, nothing past U+10FFFF.
bool isValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80         ? 1
                                   : (lead >> 5) == 6  ? 2
                                   : (lead >> 4) == 14 ? 3
                                   : (lead >> 3) == 30 ? 4
                                                       : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        char32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3F);
        }
        constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

bool isUnsafeByte(char byte) {
    const auto unit = static_cast<unsigned char>(byte);
    return unit == '/' || unit < 0x20 || unit == 0x7F;
}

void checkFileSystemName(std::string_view fileName) {
    const std::string name = fileSystemName(fileName);
    FUZZ_CHECK(name.size() <= kMaxFileNameBytes);
    FUZZ_CHECK(std::none_of(name.begin(), name.end(), isUnsafeByte));
    FUZZ_CHECK(name != "." && name != "..");
    // Valid UTF-8: the shortening never cuts a character in two.
    FUZZ_CHECK(isValidUtf8(name));
    std::string converted = utf16ToUtf8(decodeCodePage936(fileName));
    std::erase_if(converted, isUnsafeByte);
    if (converted.size() <= kMaxFileNameBytes && converted != "." && converted != "..") {
        FUZZ_CHECK(name == converted);
    } else if (converted.size() > kMaxFileNameBytes) {
        FUZZ_CHECK(!name.empty());
    }
}

// The name the cycle saves a song under, for a page holding this title and nickname.
Text cycleFileName(const Text& songName, const Text& nick) {
    return songFileName(nick, songName);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const int operation = input.ConsumeIntegralInRange<int>(0, 3);

    switch (operation) {
        case 0: {
            const std::string bytes = input.ConsumeRandomLengthString(2048);
            const std::u16string units = decodeCodePage936(bytes);
            FUZZ_CHECK(units.size() <= bytes.size());
            if (std::none_of(bytes.begin(), bytes.end(), [](char byte) { return byte & 0x80; })) {
                FUZZ_CHECK(units == std::u16string(bytes.begin(), bytes.end()));
            }
            const Text encoded = encodeCodePage936(units);
            FUZZ_CHECK(decodeCodePage936(encoded) == units);
            const std::string cut = bytes.substr(0, bytes.find('\0'));
            FUZZ_CHECK(Utf16ToText(TextToUtf16(bytes)) == encodeCodePage936(decodeCodePage936(cut)));
            FUZZ_CHECK(utf16Units(TextToUtf16(bytes)) == decodeCodePage936(cut));
            checkFileSystemName(bytes);
            break;
        }
        case 1: {
            std::u16string units;
            while (input.remaining_bytes() >= 2 && units.size() < 1024) {
                units.push_back(input.ConsumeIntegral<char16_t>());
            }
            FUZZ_CHECK(utf16ToUtf8(units) == referenceUtf8(units));
            const Text encoded = encodeCodePage936(units);
            FUZZ_CHECK(encoded.size() <= 2 * units.size());
            // What the code page wrote reads back to itself.
            FUZZ_CHECK(encodeCodePage936(decodeCodePage936(encoded)) == encoded);
            break;
        }
        case 2: {
            const std::string name = fuzzing::consumeText(input, 600);
            checkFileSystemName(name);
            break;
        }
        default: {
            const std::string songName = fuzzing::consumeText(input, 400);
            const std::string nick = fuzzing::consumeText(input, 100);
            const Text fileName = cycleFileName(songName, nick);
            const std::string name = fileSystemName(fileName);
            // Never refused: the files layer takes every name the cycle can make.
            FUZZ_CHECK(!name.empty() && name != "." && name != "..");
            FUZZ_CHECK(name.ends_with(".m4a"));
            checkFileSystemName(fileName);
            break;
        }
    }
    return 0;
}
