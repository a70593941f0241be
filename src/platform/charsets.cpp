#include "platform/charsets.hpp"

#include <unicode/ucnv.h>

#include <cstddef>
#include <memory>
#include <type_traits>

#include "platform/code_page.hpp"
#include "text/ascii_case.hpp"

namespace tarlowen {
namespace {

static_assert(std::is_same_v<UChar, char16_t>, "ICU must be built with UChar as char16_t");

// Our own table of names to converters: handing a declared name to ICU's own lookup would resolve
// several of them differently (gb2312 to a converter without the euro sign, utf-16 to big-endian,
// "utf_8" as UTF-8).
struct Charset {
    std::string_view name;
    // Null for code page 936, which goes through the code page layer's handling of invalid pairs.
    const char* converter;
};

constexpr Charset kCharsets[] = {
    {"gb2312", nullptr},
    {"gbk", nullptr},
    {"chinese", nullptr},
    {"csgb2312", nullptr},
    {"csiso58gb231280", nullptr},
    {"gb_2312-80", nullptr},
    {"iso-ir-58", nullptr},
    {"utf-8", "UTF-8"},
    {"iso-8859-1", "windows-1252"},
    {"latin1", "windows-1252"},
    {"us-ascii", "windows-1252"},
    {"ascii", "windows-1252"},
    {"cp819", "windows-1252"},
    {"windows-1252", "windows-1252"},
    {"unicode", "UTF-16LE"},
    {"utf-16", "UTF-16LE"},
    {"unicodefffe", "UTF-16BE"},
    {"big5", "windows-950-2000"},
    {"shift_jis", "ibm-943_P15A-2003"},
    {"ks_c_5601-1987", "windows-949-2000"},
    {"euc-kr", "windows-949-2000"},
    {"utf-7", "UTF-7"},
    {"hz-gb-2312", "HZ"},
};

struct ConverterCloser {
    void operator()(UConverter* converter) const { ucnv_close(converter); }
};

// The bytes decoded by the named ICU converter, with ICU's substitution (U+FFFD) for invalid
// sequences; nullopt when the converter cannot be opened.
std::optional<std::u16string> decodeWithConverter(const char* converterName,
                                                  std::span<const std::uint8_t> bytes) {
    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<UConverter, ConverterCloser> converter(ucnv_open(converterName, &status));
    if (U_FAILURE(status) || converter == nullptr) {
        return std::nullopt;
    }
    std::u16string out;
    if (bytes.empty()) {
        return out;
    }
    const char* source = reinterpret_cast<const char*>(bytes.data());
    const char* const sourceLimit = source + bytes.size();
    std::size_t written = 0;
    // One unit per byte is enough for every converter in the table but a few edge cases (a
    // truncated sequence at the end, a multi-byte character decoding to a surrogate pair); the
    // loop grows the buffer for those.
    out.resize(bytes.size() + 16);
    for (;;) {
        char16_t* const start = out.data() + written;
        char16_t* target = start;
        status = U_ZERO_ERROR;
        ucnv_toUnicode(converter.get(), &target, out.data() + out.size(), &source, sourceLimit, nullptr, true,
                       &status);
        written += static_cast<std::size_t>(target - start);
        if (status != U_BUFFER_OVERFLOW_ERROR) {
            break;
        }
        out.resize(out.size() + static_cast<std::size_t>(sourceLimit - source) + 16);
    }
    out.resize(written);
    return out;
}

}  // namespace

std::optional<std::u16string> decodeCharset(std::string_view charsetName,
                                            std::span<const std::uint8_t> bytes) {
    for (const Charset& charset : kCharsets) {
        if (!equalsIgnoringAsciiCase(charsetName, charset.name)) {
            continue;
        }
        if (charset.converter == nullptr) {
            return decodeCodePage936(
                std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        }
        std::optional<std::u16string> text = decodeWithConverter(charset.converter, bytes);
        // In UTF-8, a U+FEFF at the start can only come from a byte order mark.
        if (text && charset.name == "utf-8" && !text->empty() && text->front() == u'\uFEFF') {
            text->erase(0, 1);
        }
        return text;
    }
    return std::nullopt;
}

}  // namespace tarlowen
