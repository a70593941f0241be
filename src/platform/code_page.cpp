#include "platform/code_page.hpp"

#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <type_traits>

namespace tarlowen {
namespace {

static_assert(std::is_same_v<UChar, char16_t>, "ICU must be built with UChar as char16_t");

// The converter reproduces the platform's table over every valid byte sequence; with fallbacks on
// it also applies the platform's best-fit mappings when encoding.
constexpr char kConverterName[] = "windows-936-2000";

// The code page 936 converter of the calling thread: opened on first use, closed when the thread
// ends. A converter carries conversion state, so threads never share one.
class ThreadConverter {
  public:
    ThreadConverter() {
        UErrorCode status = U_ZERO_ERROR;
        UConverter* converter = ucnv_open(kConverterName, &status);
        if (U_FAILURE(status) || converter == nullptr) {
            return;
        }
        ucnv_setFallback(converter, true);
        ucnv_setSubstChars(converter, "?", 1, &status);
        if (U_FAILURE(status)) {
            ucnv_close(converter);
            return;
        }
        m_converter = converter;
    }
    ~ThreadConverter() {
        if (m_converter != nullptr) {
            ucnv_close(m_converter);
        }
    }
    ThreadConverter(const ThreadConverter&) = delete;
    ThreadConverter& operator=(const ThreadConverter&) = delete;

    // Null when the converter could not be opened (ICU data missing).
    [[nodiscard]] UConverter* get() const { return m_converter; }

  private:
    UConverter* m_converter = nullptr;
};

UConverter* threadConverter() {
    thread_local ThreadConverter converter;
    return converter.get();
}

constexpr bool isLead(unsigned char byte) {
    return byte >= 0x81 && byte <= 0xFE;
}

constexpr bool isTrail(unsigned char byte) {
    return byte >= 0x40 && byte <= 0xFE && byte != 0x7F;
}

// Without a converter only ASCII can be decoded; every other character gives "?".
void appendDecodedWithoutConverter(std::string_view segment, std::u16string& out) {
    for (std::size_t i = 0; i < segment.size(); ++i) {
        const auto byte = static_cast<unsigned char>(segment[i]);
        out.push_back(byte < 0x80 ? char16_t{byte} : u'?');
        if (isLead(byte)) {
            ++i;
        }
    }
}

// The converter's output grows by at most this many units or bytes at a time, so a large text
// never has much more memory touched than its result needs.
constexpr std::size_t kOutputStep = 64 * 1024;

// Appends the decoding of a segment that holds only whole, valid characters, so the converter
// never sees a sequence it would replace.
void appendDecoded(UConverter* converter, std::string_view segment, std::u16string& out) {
    if (segment.empty()) {
        return;
    }
    if (converter == nullptr) {
        appendDecodedWithoutConverter(segment, out);
        return;
    }
    ucnv_resetToUnicode(converter);
    const char* source = segment.data();
    const char* const sourceLimit = source + segment.size();
    std::size_t written = out.size();
    for (;;) {
        // Every character of the code page is one UTF-16 unit from at least one byte.
        out.resize(written + std::min(static_cast<std::size_t>(sourceLimit - source) + 1, kOutputStep));
        char16_t* const start = out.data() + written;
        char16_t* target = start;
        UErrorCode status = U_ZERO_ERROR;
        ucnv_toUnicode(converter, &target, out.data() + out.size(), &source, sourceLimit, nullptr, true,
                       &status);
        written += static_cast<std::size_t>(target - start);
        if (status != U_BUFFER_OVERFLOW_ERROR) {
            break;
        }
    }
    out.resize(written);
}

// Characters the converter would drop or turn into control bytes, but which the platform turns
// into "?": default-ignorable characters, and the halfwidth arrows and circle.
struct UnitRange {
    char16_t first;
    char16_t last;
};
constexpr UnitRange kForcedQuestionMarks[] = {
    {0x034F, 0x034F}, {0x061C, 0x061C}, {0x115F, 0x1160}, {0x17B4, 0x17B5}, {0x180B, 0x180F},
    {0x200B, 0x200F}, {0x202A, 0x202E}, {0x2060, 0x206F}, {0x3164, 0x3164}, {0xFE00, 0xFE0F},
    {0xFEFF, 0xFEFF}, {0xFFA0, 0xFFA0}, {0xFFE9, 0xFFEC}, {0xFFEE, 0xFFEE}, {0xFFF0, 0xFFF8},
};

bool isForcedQuestionMark(char16_t unit) {
    // Most text (ASCII, Chinese) lies outside the span of the list.
    if (unit < 0x034F || (unit > 0x3164 && unit < 0xFE00)) {
        return false;
    }
    for (const UnitRange& range : kForcedQuestionMarks) {
        if (unit >= range.first && unit <= range.last) {
            return true;
        }
    }
    return false;
}

constexpr bool isSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDFFF;
}

// Whether the code page has a character for the unit (directly or by best fit); the unit is never
// "?" itself, so a "?" out means it has none.
bool hasMapping(UConverter* converter, char16_t unit) {
    char bytes[8];
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = ucnv_fromUChars(converter, bytes, sizeof bytes, &unit, 1, &status);
    return U_SUCCESS(status) && length > 0 && !(length == 1 && bytes[0] == '?');
}

// The precomposed character for a base and a following nonspacing mark, when Unicode has one and
// the code page can write it; otherwise the two stay separate characters. Only the pair composes:
// full normalization would also rewrite compatibility characters (U+FA0C, U+2126) that the code
// page writes as they are, or not at all.
std::optional<char16_t> composeWithMark(UConverter* converter, char16_t base, char16_t mark) {
    if (mark < 0x0300 || isSurrogate(base) || isSurrogate(mark) || u_charType(mark) != U_NON_SPACING_MARK) {
        return std::nullopt;
    }
    UErrorCode status = U_ZERO_ERROR;
    const UNormalizer2* nfc = unorm2_getNFCInstance(&status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    const UChar32 composite = unorm2_composePair(nfc, base, mark);
    if (composite < 0 || composite > 0xFFFF || !hasMapping(converter, static_cast<char16_t>(composite))) {
        return std::nullopt;
    }
    return static_cast<char16_t>(composite);
}

// Without a converter only ASCII can be encoded; every other unit gives "?".
Text encodeWithoutConverter(std::u16string_view units) {
    Text out;
    out.reserve(units.size());
    for (const char16_t unit : units) {
        out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return out;
}

}  // namespace

std::u16string decodeCodePage936(std::string_view bytes) {
    UConverter* const converter = threadConverter();
    std::u16string out;
    out.reserve(bytes.size());
    // Runs of valid characters go to the converter whole; a lead byte that forms no character is
    // handled here, because the converter would give U+FFFD and then reread the second byte.
    std::size_t segmentStart = 0;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (!isLead(byte)) {
            ++i;
            continue;
        }
        const bool hasNext = i + 1 < bytes.size();
        if (hasNext && isTrail(static_cast<unsigned char>(bytes[i + 1]))) {
            i += 2;
            continue;
        }
        appendDecoded(converter, bytes.substr(segmentStart, i - segmentStart), out);
        out.push_back(u'?');
        // The lead byte takes the byte after it along, except a zero byte: that ends the text.
        i += (hasNext && bytes[i + 1] != '\0') ? 2 : 1;
        segmentStart = i;
    }
    appendDecoded(converter, bytes.substr(segmentStart), out);
    return out;
}

Text encodeCodePage936(std::u16string_view units) {
    UConverter* const converter = threadConverter();
    if (converter == nullptr) {
        return encodeWithoutConverter(units);
    }
    Text out;
    // Enough for two bytes a unit, the most the code page needs; reserved, not yet touched.
    out.reserve(2 * units.size());
    // The converter would write one "?" for a surrogate pair, drop default-ignorable characters
    // and never compose: settle those units here, a chunk at a time, and convert each chunk.
    // Every unit in a chunk is a whole character, so each chunk converts on its own.
    constexpr std::size_t kChunkUnits = 4096;
    char16_t chunk[kChunkUnits];
    const int32_t maxCharSize = ucnv_getMaxCharSize(converter);
    std::size_t i = 0;
    while (i < units.size()) {
        std::size_t filled = 0;
        for (; filled < kChunkUnits && i < units.size(); ++i) {
            const char16_t unit = units[i];
            if (isSurrogate(unit) || isForcedQuestionMark(unit)) {
                chunk[filled++] = u'?';
                continue;
            }
            if (i + 1 < units.size()) {
                if (const std::optional<char16_t> composite =
                        composeWithMark(converter, unit, units[i + 1])) {
                    chunk[filled++] = *composite;
                    ++i;
                    continue;
                }
            }
            chunk[filled++] = unit;
        }
        const std::size_t written = out.size();
        out.resize(written + static_cast<std::size_t>(UCNV_GET_MAX_BYTES_FOR_STRING(filled, maxCharSize)));
        char* target = out.data() + written;
        const char16_t* source = chunk;
        UErrorCode status = U_ZERO_ERROR;
        ucnv_fromUnicode(converter, &target, out.data() + out.size(), &source, chunk + filled, nullptr, true,
                         &status);
        out.resize(static_cast<std::size_t>(target - out.data()));
    }
    return out;
}

std::string utf16ToUtf8(std::u16string_view units) {
    if (units.empty()) {
        return {};
    }
    std::string utf8(units.size() * 3, '\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8WithSub(utf8.data(), static_cast<int32_t>(utf8.size()), &length, units.data(),
                       static_cast<int32_t>(units.size()), 0xFFFD, nullptr, &status);
    if (U_FAILURE(status)) {
        return {};
    }
    utf8.resize(static_cast<std::size_t>(length));
    return utf8;
}

}  // namespace tarlowen
