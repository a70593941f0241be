// Charset decoding of any bytes under any name. A name from the table decodes (case ignored), any
// other name gives nothing; the gb2312 family is code page 936 exactly; UTF-8 is well-formed UTF-16
// and, for valid input, the plain decoding without a leading byte order mark; the single-byte
// charsets give one unit per byte; UTF-16LE without surrogates is the units as they are; and no
// charset gives more than two units per byte.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "fuzz_input.hpp"
#include "platform/charsets.hpp"
#include "platform/code_page.hpp"

namespace {

using namespace tarlowen;

constexpr std::array<std::string_view, 23> kNames = {
    "gb2312",  "gbk",        "chinese",     "csgb2312", "csiso58gb231280", "gb_2312-80",     "iso-ir-58",
    "utf-8",   "iso-8859-1", "latin1",      "us-ascii", "ascii",           "cp819",          "windows-1252",
    "unicode", "utf-16",     "unicodefffe", "big5",     "shift_jis",       "ks_c_5601-1987", "euc-kr",
    "utf-7",   "hz-gb-2312"};

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 0x20) : c; });
    return out;
}

// Valid UTF-8 decoded plainly; nullopt when the bytes are not valid UTF-8.
std::optional<std::u16string> plainUtf8(std::span<const std::uint8_t> bytes) {
    std::u16string out;
    for (std::size_t i = 0; i < bytes.size();) {
        const std::uint8_t lead = bytes[i];
        const std::size_t length = lead < 0x80         ? 1
                                   : (lead >> 5) == 6  ? 2
                                   : (lead >> 4) == 14 ? 3
                                   : (lead >> 3) == 30 ? 4
                                                       : 0;
        if (length == 0 || i + length > bytes.size()) {
            return std::nullopt;
        }
        char32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) {
                return std::nullopt;
            }
            code = (code << 6) | (bytes[i + k] & 0x3F);
        }
        constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return std::nullopt;
        }
        if (code >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
        i += length;
    }
    return out;
}

bool isWellFormed(std::u16string_view units) {
    for (std::size_t i = 0; i < units.size(); ++i) {
        if (units[i] >= 0xD800 && units[i] <= 0xDBFF) {
            if (i + 1 >= units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) {
                return false;
            }
            ++i;
        } else if (units[i] >= 0xDC00 && units[i] <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    std::string name;
    if (input.ConsumeBool()) {
        name = std::string(input.PickValueInArray(kNames));
        // Any mix of letter cases names the same charset.
        for (char& c : name) {
            if (c >= 'a' && c <= 'z' && input.ConsumeBool()) {
                c = static_cast<char>(c - 0x20);
            }
        }
    } else {
        name = input.ConsumeRandomLengthString(24);
    }
    const std::vector<std::uint8_t> bytes = input.ConsumeRemainingBytes<std::uint8_t>();
    const std::optional<std::u16string> text = decodeCharset(name, bytes);

    const std::string key = lower(name);
    const bool known = std::find(kNames.begin(), kNames.end(), key) != kNames.end();
    FUZZ_CHECK(text.has_value() == known);
    if (!text) {
        return 0;
    }
    FUZZ_CHECK(text->size() <= 2 * bytes.size() + 2);
    const std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (std::find(kNames.begin(), kNames.begin() + 7, key) != kNames.begin() + 7) {
        FUZZ_CHECK(*text == decodeCodePage936(raw));
    } else if (key == "utf-8") {
        FUZZ_CHECK(isWellFormed(*text));
        if (std::optional<std::u16string> plain = plainUtf8(bytes)) {
            if (!plain->empty() && plain->front() == u'\uFEFF') {
                plain->erase(0, 1);
            }
            FUZZ_CHECK(*text == *plain);
        }
    } else if (std::find(kNames.begin() + 8, kNames.begin() + 14, key) != kNames.begin() + 14) {
        FUZZ_CHECK(text->size() == bytes.size());
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (bytes[i] < 0x80) {
                FUZZ_CHECK((*text)[i] == bytes[i]);
            }
        }
    } else if (key == "unicode" || key == "utf-16") {
        std::u16string units;
        for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
            units.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
        }
        const bool surrogates = std::any_of(units.begin(), units.end(),
                                            [](char16_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; });
        if (bytes.size() % 2 == 0 && !surrogates) {
            FUZZ_CHECK(*text == units);
        }
    }
    return 0;
}
