// Page charsets on Windows: the system's code page conversions behind the project's own table of
// names, for the project's charset stream component (the system's own stream component cannot be
// relied on to convert named charsets everywhere the program runs, Wine included).
#include <windows.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/charsets.hpp"
#include "platform/code_page.hpp"
#include "text/ascii_case.hpp"

namespace tarlowen {
namespace {

constexpr UINT kUtf16LittleEndian = 1200;
constexpr UINT kUtf16BigEndian = 1201;
constexpr UINT kHz = 52936;
// Decoded here: the system converts UTF-32 for managed programs only, and not every system has the
// ISO-2022 code pages (Wine lacks them).
constexpr UINT kUtf32LittleEndian = 12000;
constexpr UINT kUtf32BigEndian = 12001;
constexpr UINT kIso2022Jp = 50220;
constexpr UINT kIso2022Kr = 50225;

struct Charset {
    std::string_view name;
    UINT codePage;
};

// The names a page may declare, with the code page each decodes as: the same names as on every
// system. Big5-HKSCS has no code page of its own on Windows and decodes as Big5 (950), its common
// part; GB18030 needs the system's 54936, which not every system has (Wine lacks it).
constexpr Charset kCharsets[] = {
    // Code page 936 and its names; EUC-CN is the same table for the bytes a page holds.
    {"gb2312", 936},
    {"gbk", 936},
    {"chinese", 936},
    {"cn-gb", 936},
    {"csgb2312", 936},
    {"csgb231280", 936},
    {"csiso58gb231280", 936},
    {"gb_2312-80", 936},
    {"gb231280", 936},
    {"gb2312-80", 936},
    {"iso-ir-58", 936},
    {"x-gbk", 936},
    {"euc-cn", 936},
    {"x-euc-cn", 936},
    {"gb18030", 54936},
    {"hz-gb-2312", kHz},
    // Traditional Chinese.
    {"big5", 950},
    {"cn-big5", 950},
    {"csbig5", 950},
    {"x-x-big5", 950},
    {"big5-hkscs", 950},
    // Japanese.
    {"shift_jis", 932},
    {"shift-jis", 932},
    {"csshiftjis", 932},
    {"cswindows31j", 932},
    {"ms_kanji", 932},
    {"x-ms-cp932", 932},
    {"x-sjis", 932},
    {"euc-jp", 20932},
    {"cseucpkdfmtjapanese", 20932},
    {"extended_unix_code_packed_format_for_japanese", 20932},
    {"x-euc", 20932},
    {"x-euc-jp", 20932},
    {"iso-2022-jp", kIso2022Jp},
    {"csiso2022jp", kIso2022Jp},
    // Korean.
    {"ks_c_5601-1987", 949},
    {"euc-kr", 949},
    {"cseuckr", 949},
    {"csksc56011987", 949},
    {"iso-ir-149", 949},
    {"korean", 949},
    {"ks_c_5601", 949},
    {"ks_c_5601_1987", 949},
    {"ks_c_5601-1989", 949},
    {"ksc_5601", 949},
    {"ksc5601", 949},
    {"iso-2022-kr", kIso2022Kr},
    {"csiso2022kr", kIso2022Kr},
    // Thai and the Windows code pages.
    {"windows-874", 874},
    {"dos-874", 874},
    {"tis-620", 874},
    {"iso-8859-11", 874},
    {"windows-1250", 1250},
    {"x-cp1250", 1250},
    {"windows-1251", 1251},
    {"x-cp1251", 1251},
    {"windows-1252", 1252},
    {"windows-1253", 1253},
    {"windows-1254", 1254},
    {"windows-1255", 1255},
    {"windows-1256", 1256},
    {"cp1256", 1256},
    {"windows-1257", 1257},
    {"windows-1258", 1258},
    // Latin 1 and ASCII decode as code page 1252, as the platform does.
    {"iso-8859-1", 1252},
    {"iso8859-1", 1252},
    {"iso_8859-1", 1252},
    {"iso_8859-1:1987", 1252},
    {"iso-ir-100", 1252},
    {"csisolatin1", 1252},
    {"latin1", 1252},
    {"l1", 1252},
    {"ibm819", 1252},
    {"cp819", 1252},
    {"cp1252", 1252},
    {"x-ansi", 1252},
    {"us-ascii", 1252},
    {"ascii", 1252},
    {"us", 1252},
    {"iso646-us", 1252},
    {"iso_646.irv:1991", 1252},
    {"csascii", 1252},
    {"ansi_x3.4-1968", 1252},
    {"ansi_x3.4-1986", 1252},
    {"ibm367", 1252},
    {"cp367", 1252},
    {"iso-ir-6", 1252},
    // The other ISO-8859 parts.
    {"iso-8859-2", 28592},
    {"iso8859-2", 28592},
    {"iso_8859-2", 28592},
    {"iso_8859-2:1987", 28592},
    {"iso-ir-101", 28592},
    {"csisolatin2", 28592},
    {"latin2", 28592},
    {"l2", 28592},
    {"iso-8859-3", 28593},
    {"iso_8859-3", 28593},
    {"iso_8859-3:1988", 28593},
    {"iso-ir-109", 28593},
    {"csisolatin3", 28593},
    {"latin3", 28593},
    {"l3", 28593},
    {"iso-8859-4", 28594},
    {"iso_8859-4", 28594},
    {"iso_8859-4:1988", 28594},
    {"iso-ir-110", 28594},
    {"csisolatin4", 28594},
    {"latin4", 28594},
    {"l4", 28594},
    {"iso-8859-5", 28595},
    {"iso_8859-5", 28595},
    {"iso_8859-5:1988", 28595},
    {"iso-ir-144", 28595},
    {"csisolatincyrillic", 28595},
    {"cyrillic", 28595},
    {"iso-8859-6", 28596},
    {"iso_8859-6", 28596},
    {"iso_8859-6:1987", 28596},
    {"iso-ir-127", 28596},
    {"csisolatinarabic", 28596},
    {"arabic", 28596},
    {"ecma-114", 28596},
    {"asmo-708", 28596},
    {"iso-8859-7", 28597},
    {"iso_8859-7", 28597},
    {"iso_8859-7:1987", 28597},
    {"iso-ir-126", 28597},
    {"csisolatingreek", 28597},
    {"greek", 28597},
    {"greek8", 28597},
    {"ecma-118", 28597},
    {"elot_928", 28597},
    {"iso-8859-8", 28598},
    {"iso-8859-8-i", 28598},
    {"iso_8859-8", 28598},
    {"iso_8859-8:1988", 28598},
    {"iso-ir-138", 28598},
    {"csisolatinhebrew", 28598},
    {"hebrew", 28598},
    {"logical", 28598},
    {"visual", 28598},
    {"iso-8859-9", 28599},
    {"iso_8859-9", 28599},
    {"iso_8859-9:1989", 28599},
    {"iso-ir-148", 28599},
    {"csisolatin5", 28599},
    {"latin5", 28599},
    {"l5", 28599},
    {"iso-8859-13", 28603},
    {"iso-8859-15", 28605},
    {"iso_8859-15", 28605},
    {"csisolatin9", 28605},
    {"latin-9", 28605},
    {"latin9", 28605},
    {"l9", 28605},
    // Cyrillic KOI8.
    {"koi8-r", 20866},
    {"cskoi8r", 20866},
    {"koi", 20866},
    {"koi8", 20866},
    {"koi8r", 20866},
    {"koi8-u", 21866},
    {"koi8-ru", 21866},
    // Unicode.
    {"utf-8", CP_UTF8},
    {"unicode-1-1-utf-8", CP_UTF8},
    {"unicode-2-0-utf-8", CP_UTF8},
    {"x-unicode20utf8", CP_UTF8},
    {"utf-7", CP_UTF7},
    {"csunicode11utf7", CP_UTF7},
    {"unicode-1-1-utf-7", CP_UTF7},
    {"unicode-2-0-utf-7", CP_UTF7},
    {"x-unicode11utf7", CP_UTF7},
    {"x-unicode20utf7", CP_UTF7},
    {"unicode", kUtf16LittleEndian},
    {"utf-16", kUtf16LittleEndian},
    {"utf-16le", kUtf16LittleEndian},
    {"ucs-2", kUtf16LittleEndian},
    {"unicodefffe", kUtf16BigEndian},
    {"utf-16be", kUtf16BigEndian},
    {"utf-32", kUtf32LittleEndian},
    {"utf-32le", kUtf32LittleEndian},
    {"utf-32be", kUtf32BigEndian},
};

// UTF-16 in either byte order; an odd byte at the end is half a unit and gives U+FFFD.
std::u16string decodeUtf16(std::span<const std::uint8_t> bytes, bool bigEndian) {
    std::u16string out;
    out.reserve(bytes.size() / 2 + 1);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const unsigned first = bytes[i];
        const unsigned second = bytes[i + 1];
        out.push_back(static_cast<char16_t>(bigEndian ? (first << 8 | second) : (second << 8 | first)));
    }
    if (bytes.size() % 2 != 0) {
        out.push_back(u'\uFFFD');
    }
    return out;
}

// HZ (RFC 1843): ASCII, with "~{" ... "~}" around GB2312 pairs written as 7-bit bytes. Decoded
// here through code page 936 (a superset of GB2312) rather than by the system's code page 52936,
// which not every system in use has (Wine lacks it). "~~" is a tilde, "~" and a line feed is a
// line continuation; any other byte after "~", and a pair that is not GB2312, gives "?" as the
// code page layer does.
std::u16string decodeHz(std::span<const std::uint8_t> bytes) {
    std::u16string out;
    std::string pairs;
    bool inGb = false;
    const auto flushPairs = [&] {
        out += decodeCodePage936(pairs);
        pairs.clear();
    };
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::uint8_t byte = bytes[i];
        if (byte == '~' && i + 1 < bytes.size()) {
            const std::uint8_t next = bytes[i + 1];
            if (!inGb && next == '~') {
                out.push_back(u'~');
                ++i;
                continue;
            }
            if (!inGb && next == '\n') {
                ++i;
                continue;
            }
            if (next == '{' || next == '}') {
                flushPairs();
                inGb = next == '{';
                ++i;
                continue;
            }
        }
        if (inGb && byte >= 0x21 && byte <= 0x7E && i + 1 < bytes.size() && bytes[i + 1] >= 0x21 &&
            bytes[i + 1] <= 0x7E) {
            pairs.push_back(static_cast<char>(byte | 0x80));
            pairs.push_back(static_cast<char>(bytes[i + 1] | 0x80));
            ++i;
            continue;
        }
        flushPairs();
        if (inGb && (byte == '\r' || byte == '\n')) {
            inGb = false;  // a line ends GB mode
        }
        out.push_back(byte < 0x80 ? static_cast<char16_t>(byte) : u'?');
    }
    flushPairs();
    return out;
}

// The system's conversion, in pieces that fit its int counts; nullopt when the system lacks the
// code page. A piece never ends inside a character for the code pages in the table but UTF-7 and
// HZ, whose texts are never that large in a page's first bytes or whole.
std::optional<std::u16string> decodeCodePage(UINT codePage, std::span<const std::uint8_t> bytes) {
    std::u16string out;
    if (bytes.empty()) {
        return IsValidCodePage(codePage) ? std::optional<std::u16string>(out) : std::nullopt;
    }
    if (bytes.size() > static_cast<std::size_t>(INT_MAX / 2)) {
        return std::nullopt;
    }
    const auto* source = reinterpret_cast<const char*>(bytes.data());
    const int length = static_cast<int>(bytes.size());
    const int needed = MultiByteToWideChar(codePage, 0, source, length, nullptr, 0);
    if (needed <= 0) {
        return std::nullopt;
    }
    out.resize(static_cast<std::size_t>(needed));
    const int written =
        MultiByteToWideChar(codePage, 0, source, length, reinterpret_cast<wchar_t*>(out.data()), needed);
    if (written <= 0) {
        return std::nullopt;
    }
    out.resize(static_cast<std::size_t>(written));
    return out;
}

// UTF-32 in either byte order. A unit beyond U+10FFFF or in the surrogate range, and a partial unit
// at the end, give U+FFFD.
std::u16string decodeUtf32(std::span<const std::uint8_t> bytes, bool bigEndian) {
    std::u16string out;
    out.reserve(bytes.size() / 4 + 1);
    for (std::size_t i = 0; i + 3 < bytes.size(); i += 4) {
        const std::uint32_t unit =
            bigEndian ? (std::uint32_t{bytes[i]} << 24 | std::uint32_t{bytes[i + 1]} << 16 |
                         std::uint32_t{bytes[i + 2]} << 8 | bytes[i + 3])
                      : (std::uint32_t{bytes[i + 3]} << 24 | std::uint32_t{bytes[i + 2]} << 16 |
                         std::uint32_t{bytes[i + 1]} << 8 | bytes[i]);
        if (unit > 0x10FFFF || (unit >= 0xD800 && unit <= 0xDFFF)) {
            out.push_back(u'\uFFFD');
        } else if (unit >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((unit - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((unit - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(unit));
        }
    }
    if (bytes.size() % 4 != 0) {
        out.push_back(u'\uFFFD');
    }
    return out;
}

// Double-byte pairs of a 7-bit ISO-2022 set, each byte with its high bit set, decoded by the code
// page that holds that set in its 8-bit form; "?" for each pair when the system lacks the code page.
void appendPairs(std::u16string& out, std::string& pairs, UINT codePage) {
    if (pairs.empty()) {
        return;
    }
    const auto* data = reinterpret_cast<const std::uint8_t*>(pairs.data());
    const std::optional<std::u16string> text = decodeCodePage(codePage, std::span(data, pairs.size()));
    out += text ? *text : std::u16string(pairs.size() / 2, u'?');
    pairs.clear();
}

// ISO-2022-JP: ASCII, with escape sequences switching to JIS X 0208 (ESC $ @, ESC $ B; decoded as
// EUC-JP, code page 20932, holds it), half-width katakana (ESC ( I) or back to ASCII (ESC ( B, and
// ESC ( J, whose Roman set differs from ASCII in two signs only). Any other byte gives "?".
std::u16string decodeIso2022Jp(std::span<const std::uint8_t> bytes) {
    enum class Set { Ascii, Jis0208, Katakana } set = Set::Ascii;
    std::u16string out;
    std::string pairs;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::uint8_t byte = bytes[i];
        if (byte == 0x1B && i + 2 < bytes.size()) {
            const std::uint8_t first = bytes[i + 1];
            const std::uint8_t second = bytes[i + 2];
            std::optional<Set> next;
            if (first == '$' && (second == '@' || second == 'B')) {
                next = Set::Jis0208;
            } else if (first == '(' && (second == 'B' || second == 'J')) {
                next = Set::Ascii;
            } else if (first == '(' && second == 'I') {
                next = Set::Katakana;
            }
            if (next) {
                appendPairs(out, pairs, 20932);
                set = *next;
                i += 2;
                continue;
            }
        }
        if (set == Set::Jis0208 && byte >= 0x21 && byte <= 0x7E && i + 1 < bytes.size() &&
            bytes[i + 1] >= 0x21 && bytes[i + 1] <= 0x7E) {
            pairs.push_back(static_cast<char>(byte | 0x80));
            pairs.push_back(static_cast<char>(bytes[i + 1] | 0x80));
            ++i;
            continue;
        }
        appendPairs(out, pairs, 20932);
        if (set == Set::Katakana && byte >= 0x21 && byte <= 0x5F) {
            out.push_back(static_cast<char16_t>(0xFF61 + (byte - 0x21)));
        } else {
            out.push_back(byte < 0x80 ? static_cast<char16_t>(byte) : u'?');
        }
    }
    appendPairs(out, pairs, 20932);
    return out;
}

// ISO-2022-KR: ASCII, with KS X 1001 (announced by ESC $ ) C, which is dropped) between shift-out
// (0x0E) and shift-in (0x0F), decoded as code page 949 holds it. A line ends the shift.
std::u16string decodeIso2022Kr(std::span<const std::uint8_t> bytes) {
    bool shifted = false;
    std::u16string out;
    std::string pairs;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::uint8_t byte = bytes[i];
        if (byte == 0x1B && i + 3 < bytes.size() && bytes[i + 1] == '$' && bytes[i + 2] == ')' &&
            bytes[i + 3] == 'C') {
            i += 3;
            continue;
        }
        if (byte == 0x0E || byte == 0x0F) {
            appendPairs(out, pairs, 949);
            shifted = byte == 0x0E;
            continue;
        }
        if (shifted && byte >= 0x21 && byte <= 0x7E && i + 1 < bytes.size() && bytes[i + 1] >= 0x21 &&
            bytes[i + 1] <= 0x7E) {
            pairs.push_back(static_cast<char>(byte | 0x80));
            pairs.push_back(static_cast<char>(bytes[i + 1] | 0x80));
            ++i;
            continue;
        }
        appendPairs(out, pairs, 949);
        if (byte == '\r' || byte == '\n') {
            shifted = false;
        }
        out.push_back(byte < 0x80 ? static_cast<char16_t>(byte) : u'?');
    }
    appendPairs(out, pairs, 949);
    return out;
}

// Whether this system decodes `codePage`: those decoded here always, the rest when the system has it.
bool systemDecodes(UINT codePage) {
    switch (codePage) {
        case 936:
        case kUtf16LittleEndian:
        case kUtf16BigEndian:
        case kUtf32LittleEndian:
        case kUtf32BigEndian:
        case kHz:
            return true;
        case kIso2022Jp:
            return IsValidCodePage(20932) != 0;
        case kIso2022Kr:
            return IsValidCodePage(949) != 0;
        default:
            return IsValidCodePage(codePage) != 0;
    }
}

}  // namespace

std::optional<std::u16string> decodeCharset(std::string_view charsetName,
                                            std::span<const std::uint8_t> bytes) {
    for (const Charset& charset : kCharsets) {
        if (!equalsIgnoringAsciiCase(charsetName, charset.name)) {
            continue;
        }
        if (charset.codePage == 936) {
            // The code page layer, so a page in the program's own code page decodes exactly as the
            // program's texts do.
            return decodeCodePage936(
                std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        }
        if (charset.codePage == kUtf16LittleEndian || charset.codePage == kUtf16BigEndian) {
            return decodeUtf16(bytes, charset.codePage == kUtf16BigEndian);
        }
        if (charset.codePage == kUtf32LittleEndian || charset.codePage == kUtf32BigEndian) {
            return decodeUtf32(bytes, charset.codePage == kUtf32BigEndian);
        }
        if (charset.codePage == kHz) {
            return decodeHz(bytes);
        }
        if (charset.codePage == kIso2022Jp) {
            return decodeIso2022Jp(bytes);
        }
        if (charset.codePage == kIso2022Kr) {
            return decodeIso2022Kr(bytes);
        }
        std::optional<std::u16string> text = decodeCodePage(charset.codePage, bytes);
        // In UTF-8, a U+FEFF at the start can only come from a byte order mark.
        if (text && charset.codePage == CP_UTF8 && !text->empty() && text->front() == u'\uFEFF') {
            text->erase(0, 1);
        }
        return text;
    }
    return std::nullopt;
}

// Only the names this system decodes: a name whose code page the system lacks (GB18030 under Wine)
// is in the table, but decodeCharset gives nullopt for it there, as for an unknown name.
const std::vector<std::string_view>& charsetNames() {
    static const std::vector<std::string_view> names = [] {
        std::vector<std::string_view> all;
        for (const Charset& charset : kCharsets) {
            if (systemDecodes(charset.codePage)) {
                all.push_back(charset.name);
            }
        }
        return all;
    }();
    return names;
}

}  // namespace tarlowen
