#include "platform/code_page.hpp"

#include <gtest/gtest.h>

#include "support/case_name.hpp"

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tarlowen {
namespace {

using testing_support::PrintTo;

// The platform's published table for code page 936, as scripts/make-cp936-fixture condenses it:
// every valid byte sequence with its character, and every character the encoder writes (the
// reverse of the decoding plus the best-fit mappings) with its bytes.
struct ReferenceTable {
    struct Decoding {
        std::string bytes;
        char16_t unit;
    };
    struct Encoding {
        char16_t unit;
        std::string bytes;
    };
    std::size_t declaredDecodings = 0;
    std::size_t declaredEncodings = 0;
    std::vector<Decoding> decodings;
    std::vector<Encoding> encodings;
};

std::string codeBytes(const std::string& hex) {
    const auto code = std::stoul(hex, nullptr, 16);
    if (hex.size() == 2) {
        return std::string(1, static_cast<char>(code));
    }
    return {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
}

// An empty table when the file cannot be read; the table tests then fail on the declared counts.
ReferenceTable loadReferenceTable() {
    ReferenceTable table;
    std::ifstream file(std::string(TARLOWEN_TEST_DATA_DIR) + "/cp936_table.txt");
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string tag;
        fields >> tag;
        if (tag == "counts") {
            fields >> table.declaredDecodings >> table.declaredEncodings;
        } else if (tag == "r") {
            std::string code;
            std::string unicode;
            unsigned count = 0;
            fields >> code >> unicode >> count;
            const auto firstCode = std::stoul(code, nullptr, 16);
            const auto firstUnit = std::stoul(unicode, nullptr, 16);
            for (unsigned i = 0; i < count; ++i) {
                std::ostringstream nextCode;
                nextCode << std::hex << (firstCode + i);
                std::string hex = nextCode.str();
                hex.insert(0, code.size() - hex.size(), '0');
                const auto unit = static_cast<char16_t>(firstUnit + i);
                table.decodings.push_back({codeBytes(hex), unit});
                table.encodings.push_back({unit, codeBytes(hex)});
            }
        } else if (tag == "b") {
            std::string unicode;
            std::string code;
            fields >> unicode >> code;
            const auto unit = static_cast<char16_t>(std::stoul(unicode, nullptr, 16));
            table.encodings.push_back({unit, codeBytes(code)});
        }
    }
    return table;
}

const ReferenceTable& referenceTable() {
    static const ReferenceTable table = loadReferenceTable();
    return table;
}

std::string hexOf(std::string_view bytes) {
    std::ostringstream out;
    out << std::hex << std::uppercase;
    for (const char byte : bytes) {
        out << static_cast<unsigned>(static_cast<unsigned char>(byte)) << ' ';
    }
    return out.str();
}

std::string hexOf(std::u16string_view units) {
    std::ostringstream out;
    out << std::hex << std::uppercase;
    for (const char16_t unit : units) {
        out << "U+" << static_cast<unsigned>(unit) << ' ';
    }
    return out.str();
}

TEST(CodePage936TableTest, DecodesEveryValidByteSequence) {
    const ReferenceTable& table = referenceTable();
    ASSERT_EQ(table.decodings.size(), table.declaredDecodings);
    ASSERT_EQ(table.declaredDecodings, 24070u);

    std::size_t mismatches = 0;
    std::string allBytes;
    std::u16string allUnits;
    for (const auto& entry : table.decodings) {
        const std::u16string decoded = decodeCodePage936(entry.bytes);
        if (decoded != std::u16string(1, entry.unit) && ++mismatches <= 20) {
            ADD_FAILURE() << hexOf(entry.bytes) << "decodes to " << hexOf(decoded) << "instead of "
                          << hexOf(std::u16string(1, entry.unit));
        }
        allBytes += entry.bytes;
        allUnits += entry.unit;
    }
    EXPECT_EQ(mismatches, 0u);
    // All of them in one text: one long run of valid characters for the converter.
    EXPECT_EQ(decodeCodePage936(allBytes), allUnits);
}

TEST(CodePage936TableTest, EncodesEveryTableEntryIncludingBestFit) {
    const ReferenceTable& table = referenceTable();
    ASSERT_EQ(table.encodings.size(), table.declaredEncodings);
    ASSERT_EQ(table.declaredEncodings, 24482u);

    std::size_t mismatches = 0;
    for (const auto& entry : table.encodings) {
        const Text encoded = encodeCodePage936(std::u16string(1, entry.unit));
        if (encoded != entry.bytes && ++mismatches <= 20) {
            ADD_FAILURE() << hexOf(std::u16string(1, entry.unit)) << "encodes to " << hexOf(encoded)
                          << "instead of " << hexOf(entry.bytes);
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

struct DecodeCase {
    const char* name;
    std::string bytes;
    std::u16string expected;
};

class DecodeCodePage936Test : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeCodePage936Test, MatchesPlatform) {
    const DecodeCase& c = GetParam();
    EXPECT_EQ(hexOf(decodeCodePage936(c.bytes)), hexOf(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeCodePage936Test,
    ::testing::Values(
        DecodeCase{"empty", "", u""},
        DecodeCase{"asciiAndChinese", "a\xD6\xD0\xCE\xC4z", u"a\u4E2D\u6587z"},
        DecodeCase{"euroSingleByte", "\x80", u"\u20AC"},
        DecodeCase{"byteFFSingle", "x\xFFy", u"x\uF8F5y"},
        DecodeCase{"userDefinedAreaToPrivateUse", "\xAA\xA1\xA2\xE3", u"\uE000\uE76C"},
        DecodeCase{"invalidPairTakesBothBytes", "\x81\x30x", u"?x"},
        DecodeCase{"invalidPairWithDelete", "\xB0\x7F\xB0\xB0", u"?\u978D"},
        DecodeCase{"invalidPairWithByteFF", "\xB0\xFF", u"?"},
        DecodeCase{"invalidPairBetweenCharacters", "\xD6\xD0\x81 \xCE\xC4", u"\u4E2D?\u6587"},
        DecodeCase{"leadByteAtEnd", "ab\xD6", u"ab?"},
        DecodeCase{"leadByteBeforeZeroKeepsZero", std::string("\xD6\0b", 3), std::u16string(u"?\0b", 3)},
        DecodeCase{"oddRunOfLeadBytes", "\xB0\xB0\xB0", u"\u978D?"}),
    testing_support::CaseName{});

TEST(DecodeCodePage936Test, EveryLeadByteWithANonTrailByteGivesOneQuestionMark) {
    for (int lead = 0x81; lead <= 0xFE; ++lead) {
        for (int second = 0x01; second <= 0xFF; ++second) {
            if ((second >= 0x40 && second <= 0x7E) || (second >= 0x80 && second <= 0xFE)) {
                continue;
            }
            const std::string bytes{static_cast<char>(lead), static_cast<char>(second), 'x'};
            ASSERT_EQ(decodeCodePage936(bytes), u"?x") << hexOf(bytes);
        }
    }
}

struct EncodeCase {
    const char* name;
    std::u16string units;
    std::string expected;
};

class EncodeCodePage936Test : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeCodePage936Test, MatchesPlatform) {
    const EncodeCase& c = GetParam();
    EXPECT_EQ(hexOf(encodeCodePage936(c.units)), hexOf(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EncodeCodePage936Test,
    ::testing::Values(
        EncodeCase{"empty", u"", ""},
        EncodeCase{"asciiAndChinese", u"a\u4E2D\u6587z", "a\xD6\xD0\xCE\xC4z"},
        EncodeCase{"noMappingGivesQuestionMark", u"a\u0E01b", "a?b"},
        EncodeCase{"noBreakSpaceHasNoMapping", u"\u00A0", "?"},
        EncodeCase{"yenBestFit", u"\u00A5", "\xA3\xA4"},
        EncodeCase{"kanbunBestFit", u"\u3192", "\xD2\xBB"},
        EncodeCase{"compatibilityIdeographKept", u"\uFA0C", "\xFE\x40"},
        EncodeCase{"ohmSignNotNormalised", u"\u2126", "?"},
        EncodeCase{"emojiGivesOnePerUnit", u"a\U0001F600b", "a??b"},
        EncodeCase{"loneSurrogates", u"\xD800x\xDC00", "?x?"},
        EncodeCase{"baseAndMarkCompose", u"e\u0301", "\xA8\xA6"},
        EncodeCase{"composedAmidText", u"\u4E2Du\u0308\u4E2D", "\xD6\xD0\xA8\xB9\xD6\xD0"},
        EncodeCase{"onlyOneMarkComposes", u"e\u0301\u0301", "\xA8\xA6?"},
        EncodeCase{"precomposedOutsideCodePageStaysSeparate", u"n\u0303", "n?"},
        EncodeCase{"markWithoutPrecomposedStaysSeparate", u"q\u0301", "q?"},
        EncodeCase{"markAlone", u"\u0301", "?"},
        EncodeCase{"variationSelectorAfterCharacter", u"\u4E2D\uFE0F", "\xD6\xD0?"},
        EncodeCase{"byteOrderMark", u"\uFEFFa", "?a"}),
    testing_support::CaseName{});

TEST(EncodeCodePage936Test, CharactersTheConverterWouldDropOrMisplaceBecomeQuestionMarks) {
    const std::pair<char16_t, char16_t> ranges[] = {
        {0x034F, 0x034F}, {0x061C, 0x061C}, {0x115F, 0x1160}, {0x17B4, 0x17B5}, {0x180B, 0x180F},
        {0x200B, 0x200F}, {0x202A, 0x202E}, {0x2060, 0x206F}, {0x3164, 0x3164}, {0xFE00, 0xFE0F},
        {0xFEFF, 0xFEFF}, {0xFFA0, 0xFFA0}, {0xFFE9, 0xFFEC}, {0xFFEE, 0xFFEE}, {0xFFF0, 0xFFF8},
    };
    for (const auto& [first, last] : ranges) {
        for (char16_t unit = first; unit <= last; ++unit) {
            EXPECT_EQ(encodeCodePage936(std::u16string{u'<', unit, u'>'}), "<?>")
                << hexOf(std::u16string(1, unit));
        }
    }
}

TEST(EncodeCodePage936Test, EveryUnitWritesAtLeastOneByte) {
    // Nothing vanishes: a unit without a character still leaves its "?".
    for (char32_t unit = 1; unit <= 0xFFFF; ++unit) {
        const std::u16string units(1, static_cast<char16_t>(unit));
        const Text encoded = encodeCodePage936(units);
        ASSERT_TRUE(encoded.size() == 1 || encoded.size() == 2) << hexOf(units) << "gives " << hexOf(encoded);
    }
}

TEST(CodePage936Test, ConvertsOnSeveralThreadsAtOnce) {
    const std::string text = "\xD6\xD0\xCE\xC4 text \x80\x81\x30";
    const std::u16string units = u"\u4E2D\u6587 text \u20AC?";
    const std::u16string toEncode = u"\u4E2D\u6587 e\u0301 \U0001F600";
    const std::string encoded = "\xD6\xD0\xCE\xC4 \xA8\xA6 ??";
    std::vector<int> failures(4, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < failures.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                failures[t] += decodeCodePage936(text) != units;
                failures[t] += encodeCodePage936(toEncode) != encoded;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

TEST(CodePage936Test, LongTextsConvertWhole) {
    // Long enough that the conversion goes through in several pieces.
    std::string text = "\x81\x30";
    std::u16string units = u"?";
    std::u16string toEncode;
    std::string encoded;
    for (int i = 0; i < 50000; ++i) {
        text += "\xD6\xD0" "a";
        units += u"\u4E2Da";
        toEncode += u"\u4E2Da";
        encoded += "\xD6\xD0" "a";
        if (i % 5 == 0) {
            toEncode += u"e\u0301\U0001F600";
            encoded += "\xA8\xA6??";
        }
    }
    text += "\xB0";
    units += u"?";
    EXPECT_TRUE(decodeCodePage936(text) == units);
    EXPECT_TRUE(encodeCodePage936(toEncode) == encoded);
}

struct TextToUtf16Case {
    const char* name;
    std::string text;
    bool dropTerminator;
    ByteSet expected;
};

class TextToUtf16Test : public ::testing::TestWithParam<TextToUtf16Case> {};

TEST_P(TextToUtf16Test, WritesLittleEndianUnits) {
    const TextToUtf16Case& c = GetParam();
    EXPECT_EQ(TextToUtf16(c.text, c.dropTerminator), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TextToUtf16Test,
    ::testing::Values(
        TextToUtf16Case{"emptyHasNoTerminator", "", false, {}},
        TextToUtf16Case{"emptyDroppingTerminator", "", true, {}},
        TextToUtf16Case{"withTerminator", "A\xD6\xD0", false, {0x41, 0x00, 0x2D, 0x4E, 0x00, 0x00}},
        TextToUtf16Case{"droppingTerminator", "A\xD6\xD0", true, {0x41, 0x00, 0x2D, 0x4E}},
        TextToUtf16Case{"stopsAtZeroByte", std::string("ab\0cd", 5), false,
                        {0x61, 0x00, 0x62, 0x00, 0x00, 0x00}},
        TextToUtf16Case{"zeroByteFirstIsEmpty", std::string("\0x", 2), false, {}},
        TextToUtf16Case{"leadByteAtEnd", "\xD6", false, {0x3F, 0x00, 0x00, 0x00}}),
    testing_support::CaseName{});

struct Utf16ToTextCase {
    const char* name;
    ByteSet buffer;
    std::string expected;
};

class Utf16ToTextTest : public ::testing::TestWithParam<Utf16ToTextCase> {};

TEST_P(Utf16ToTextTest, ReadsLittleEndianUnits) {
    const Utf16ToTextCase& c = GetParam();
    EXPECT_EQ(hexOf(Utf16ToText(c.buffer)), hexOf(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf16ToTextTest,
    ::testing::Values(Utf16ToTextCase{"empty", {}, ""},
                      Utf16ToTextCase{"unitsWithoutTerminator", {0x41, 0x00, 0x2D, 0x4E}, "A\xD6\xD0"},
                      Utf16ToTextCase{"endsAtFirstZero", {0x41, 0x00, 0x00, 0x00, 0x42, 0x00}, "A"},
                      Utf16ToTextCase{"zeroFirst", {0x00, 0x00, 0x41, 0x00}, ""},
                      Utf16ToTextCase{"oddTrailingByteIgnored", {0x41, 0x00, 0x42}, "A"},
                      Utf16ToTextCase{"singleByte", {0x41}, ""},
                      Utf16ToTextCase{"zeroLowByteIsNotAZero", {0x00, 0x4E, 0x41, 0x00}, "\xD2\xBB" "A"},
                      Utf16ToTextCase{"surrogatePair", {0x3D, 0xD8, 0x00, 0xDE}, "??"},
                      Utf16ToTextCase{"composes", {0x65, 0x00, 0x01, 0x03}, "\xA8\xA6"}),
    testing_support::CaseName{});

TEST(Utf16RoundTripTest, TextSurvivesBothDirections) {
    const std::string text = "ASCII \xD6\xD0\xCE\xC4 \x80 \xFF \xAA\xA1 \xFE\x40";
    EXPECT_EQ(hexOf(Utf16ToText(TextToUtf16(text))), hexOf(text));
    EXPECT_EQ(hexOf(Utf16ToText(TextToUtf16(text, true))), hexOf(text));
}

}  // namespace
}  // namespace tarlowen
