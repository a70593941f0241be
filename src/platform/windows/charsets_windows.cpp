// Page charsets on Windows: the system's code page conversions behind the project's own table of
// names, for the project's charset stream component (the system's own stream component cannot be
// relied on to convert named charsets everywhere the program runs, Wine included).
#include <windows.h>

#include <climits>
#include <cstddef>
#include <string>

#include "platform/charsets.hpp"
#include "platform/code_page.hpp"
#include "text/ascii_case.hpp"

namespace tarlowen {
namespace {

constexpr UINT kUtf16LittleEndian = 1200;
constexpr UINT kUtf16BigEndian = 1201;
constexpr UINT kHz = 52936;

struct Charset {
    std::string_view name;
    UINT codePage;
};

// The names a page may declare, with the code page the system decodes each as.
constexpr Charset kCharsets[] = {
    {"gb2312", 936},
    {"gbk", 936},
    {"chinese", 936},
    {"csgb2312", 936},
    {"csiso58gb231280", 936},
    {"gb_2312-80", 936},
    {"iso-ir-58", 936},
    {"utf-8", CP_UTF8},
    {"iso-8859-1", 1252},
    {"latin1", 1252},
    {"us-ascii", 1252},
    {"ascii", 1252},
    {"cp819", 1252},
    {"windows-1252", 1252},
    {"unicode", kUtf16LittleEndian},
    {"utf-16", kUtf16LittleEndian},
    {"unicodefffe", kUtf16BigEndian},
    {"big5", 950},
    {"shift_jis", 932},
    {"ks_c_5601-1987", 949},
    {"euc-kr", 949},
    {"utf-7", CP_UTF7},
    {"hz-gb-2312", kHz},
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
        if (charset.codePage == kHz) {
            return decodeHz(bytes);
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

}  // namespace tarlowen
