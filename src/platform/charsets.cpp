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

// Every name and alias of the platform's charset database whose code page ICU can convert, with the
// converter that decodes as that code page does. Code page 936 (null) goes through the code page
// layer; the ISO-8859 names other than -1 and the KOI8 names decode as their standards say, which is
// what the platform's own tables for them do.
constexpr Charset kCharsets[] = {
    // Code page 936 and its names; EUC-CN is the same table for the bytes a page holds.
    {"gb2312", nullptr},
    {"gbk", nullptr},
    {"chinese", nullptr},
    {"cn-gb", nullptr},
    {"csgb2312", nullptr},
    {"csgb231280", nullptr},
    {"csiso58gb231280", nullptr},
    {"gb_2312-80", nullptr},
    {"gb231280", nullptr},
    {"gb2312-80", nullptr},
    {"iso-ir-58", nullptr},
    {"x-gbk", nullptr},
    {"euc-cn", nullptr},
    {"x-euc-cn", nullptr},
    {"gb18030", "gb18030"},
    {"hz-gb-2312", "HZ"},
    // Traditional Chinese.
    {"big5", "windows-950-2000"},
    {"cn-big5", "windows-950-2000"},
    {"csbig5", "windows-950-2000"},
    {"x-x-big5", "windows-950-2000"},
    {"big5-hkscs", "ibm-1375_P100-2008"},
    // Japanese.
    {"shift_jis", "ibm-943_P15A-2003"},
    {"shift-jis", "ibm-943_P15A-2003"},
    {"csshiftjis", "ibm-943_P15A-2003"},
    {"cswindows31j", "ibm-943_P15A-2003"},
    {"ms_kanji", "ibm-943_P15A-2003"},
    {"x-ms-cp932", "ibm-943_P15A-2003"},
    {"x-sjis", "ibm-943_P15A-2003"},
    {"euc-jp", "ibm-33722_P12A_P12A-2009_U2"},
    {"cseucpkdfmtjapanese", "ibm-33722_P12A_P12A-2009_U2"},
    {"extended_unix_code_packed_format_for_japanese", "ibm-33722_P12A_P12A-2009_U2"},
    {"x-euc", "ibm-33722_P12A_P12A-2009_U2"},
    {"x-euc-jp", "ibm-33722_P12A_P12A-2009_U2"},
    {"iso-2022-jp", "ISO_2022,locale=ja,version=0"},
    {"csiso2022jp", "ISO_2022,locale=ja,version=0"},
    // Korean.
    {"ks_c_5601-1987", "windows-949-2000"},
    {"euc-kr", "windows-949-2000"},
    {"cseuckr", "windows-949-2000"},
    {"csksc56011987", "windows-949-2000"},
    {"iso-ir-149", "windows-949-2000"},
    {"korean", "windows-949-2000"},
    {"ks_c_5601", "windows-949-2000"},
    {"ks_c_5601_1987", "windows-949-2000"},
    {"ks_c_5601-1989", "windows-949-2000"},
    {"ksc_5601", "windows-949-2000"},
    {"ksc5601", "windows-949-2000"},
    {"iso-2022-kr", "ISO_2022,locale=ko,version=0"},
    {"csiso2022kr", "ISO_2022,locale=ko,version=0"},
    // Thai and the Windows code pages.
    {"windows-874", "windows-874-2000"},
    {"dos-874", "windows-874-2000"},
    {"tis-620", "windows-874-2000"},
    {"iso-8859-11", "windows-874-2000"},
    {"windows-1250", "windows-1250"},
    {"x-cp1250", "windows-1250"},
    {"windows-1251", "windows-1251"},
    {"x-cp1251", "windows-1251"},
    {"windows-1252", "windows-1252"},
    {"windows-1253", "windows-1253"},
    {"windows-1254", "windows-1254"},
    {"windows-1255", "windows-1255"},
    {"windows-1256", "windows-1256"},
    {"cp1256", "windows-1256"},
    {"windows-1257", "windows-1257"},
    {"windows-1258", "windows-1258"},
    // Latin 1 and ASCII decode as code page 1252, as the platform does.
    {"iso-8859-1", "windows-1252"},
    {"iso8859-1", "windows-1252"},
    {"iso_8859-1", "windows-1252"},
    {"iso_8859-1:1987", "windows-1252"},
    {"iso-ir-100", "windows-1252"},
    {"csisolatin1", "windows-1252"},
    {"latin1", "windows-1252"},
    {"l1", "windows-1252"},
    {"ibm819", "windows-1252"},
    {"cp819", "windows-1252"},
    {"cp1252", "windows-1252"},
    {"x-ansi", "windows-1252"},
    {"us-ascii", "windows-1252"},
    {"ascii", "windows-1252"},
    {"us", "windows-1252"},
    {"iso646-us", "windows-1252"},
    {"iso_646.irv:1991", "windows-1252"},
    {"csascii", "windows-1252"},
    {"ansi_x3.4-1968", "windows-1252"},
    {"ansi_x3.4-1986", "windows-1252"},
    {"ibm367", "windows-1252"},
    {"cp367", "windows-1252"},
    {"iso-ir-6", "windows-1252"},
    // The other ISO-8859 parts.
    {"iso-8859-2", "ISO-8859-2"},
    {"iso8859-2", "ISO-8859-2"},
    {"iso_8859-2", "ISO-8859-2"},
    {"iso_8859-2:1987", "ISO-8859-2"},
    {"iso-ir-101", "ISO-8859-2"},
    {"csisolatin2", "ISO-8859-2"},
    {"latin2", "ISO-8859-2"},
    {"l2", "ISO-8859-2"},
    {"iso-8859-3", "ISO-8859-3"},
    {"iso_8859-3", "ISO-8859-3"},
    {"iso_8859-3:1988", "ISO-8859-3"},
    {"iso-ir-109", "ISO-8859-3"},
    {"csisolatin3", "ISO-8859-3"},
    {"latin3", "ISO-8859-3"},
    {"l3", "ISO-8859-3"},
    {"iso-8859-4", "ISO-8859-4"},
    {"iso_8859-4", "ISO-8859-4"},
    {"iso_8859-4:1988", "ISO-8859-4"},
    {"iso-ir-110", "ISO-8859-4"},
    {"csisolatin4", "ISO-8859-4"},
    {"latin4", "ISO-8859-4"},
    {"l4", "ISO-8859-4"},
    {"iso-8859-5", "ISO-8859-5"},
    {"iso_8859-5", "ISO-8859-5"},
    {"iso_8859-5:1988", "ISO-8859-5"},
    {"iso-ir-144", "ISO-8859-5"},
    {"csisolatincyrillic", "ISO-8859-5"},
    {"cyrillic", "ISO-8859-5"},
    {"iso-8859-6", "ISO-8859-6"},
    {"iso_8859-6", "ISO-8859-6"},
    {"iso_8859-6:1987", "ISO-8859-6"},
    {"iso-ir-127", "ISO-8859-6"},
    {"csisolatinarabic", "ISO-8859-6"},
    {"arabic", "ISO-8859-6"},
    {"ecma-114", "ISO-8859-6"},
    {"asmo-708", "ISO-8859-6"},
    {"iso-8859-7", "ISO-8859-7"},
    {"iso_8859-7", "ISO-8859-7"},
    {"iso_8859-7:1987", "ISO-8859-7"},
    {"iso-ir-126", "ISO-8859-7"},
    {"csisolatingreek", "ISO-8859-7"},
    {"greek", "ISO-8859-7"},
    {"greek8", "ISO-8859-7"},
    {"ecma-118", "ISO-8859-7"},
    {"elot_928", "ISO-8859-7"},
    {"iso-8859-8", "ISO-8859-8"},
    {"iso-8859-8-i", "ISO-8859-8"},
    {"iso_8859-8", "ISO-8859-8"},
    {"iso_8859-8:1988", "ISO-8859-8"},
    {"iso-ir-138", "ISO-8859-8"},
    {"csisolatinhebrew", "ISO-8859-8"},
    {"hebrew", "ISO-8859-8"},
    {"logical", "ISO-8859-8"},
    {"visual", "ISO-8859-8"},
    {"iso-8859-9", "ISO-8859-9"},
    {"iso_8859-9", "ISO-8859-9"},
    {"iso_8859-9:1989", "ISO-8859-9"},
    {"iso-ir-148", "ISO-8859-9"},
    {"csisolatin5", "ISO-8859-9"},
    {"latin5", "ISO-8859-9"},
    {"l5", "ISO-8859-9"},
    {"iso-8859-13", "ISO-8859-13"},
    {"iso-8859-15", "ISO-8859-15"},
    {"iso_8859-15", "ISO-8859-15"},
    {"csisolatin9", "ISO-8859-15"},
    {"latin-9", "ISO-8859-15"},
    {"latin9", "ISO-8859-15"},
    {"l9", "ISO-8859-15"},
    // Cyrillic KOI8.
    {"koi8-r", "KOI8-R"},
    {"cskoi8r", "KOI8-R"},
    {"koi", "KOI8-R"},
    {"koi8", "KOI8-R"},
    {"koi8r", "KOI8-R"},
    {"koi8-u", "KOI8-U"},
    {"koi8-ru", "KOI8-U"},
    // Unicode.
    {"utf-8", "UTF-8"},
    {"unicode-1-1-utf-8", "UTF-8"},
    {"unicode-2-0-utf-8", "UTF-8"},
    {"x-unicode20utf8", "UTF-8"},
    {"utf-7", "UTF-7"},
    {"csunicode11utf7", "UTF-7"},
    {"unicode-1-1-utf-7", "UTF-7"},
    {"unicode-2-0-utf-7", "UTF-7"},
    {"x-unicode11utf7", "UTF-7"},
    {"x-unicode20utf7", "UTF-7"},
    {"unicode", "UTF-16LE"},
    {"utf-16", "UTF-16LE"},
    {"utf-16le", "UTF-16LE"},
    {"ucs-2", "UTF-16LE"},
    {"unicodefffe", "UTF-16BE"},
    {"utf-16be", "UTF-16BE"},
    {"utf-32", "UTF-32LE"},
    {"utf-32le", "UTF-32LE"},
    {"utf-32be", "UTF-32BE"},
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
        if (text && charset.converter == std::string_view("UTF-8") && !text->empty() &&
            text->front() == u'\uFEFF') {
            text->erase(0, 1);
        }
        return text;
    }
    return std::nullopt;
}

const std::vector<std::string_view>& charsetNames() {
    static const std::vector<std::string_view> names = [] {
        std::vector<std::string_view> all;
        for (const Charset& charset : kCharsets) {
            all.push_back(charset.name);
        }
        return all;
    }();
    return names;
}

}  // namespace tarlowen
