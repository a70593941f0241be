#include "platform/charsets.hpp"

#include <gtest/gtest.h>

#include "support/case_name.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarlowen {
namespace {

using testing_support::PrintTo;

std::vector<std::uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

std::optional<std::u16string> decode(std::string_view charset, std::string_view bytes) {
    const std::vector<std::uint8_t> buffer = bytesOf(bytes);
    return decodeCharset(charset, buffer);
}

struct CharsetCase {
    const char* name;
    std::string charset;
    std::string bytes;
    std::optional<std::u16string> expected;
};

class DecodeCharsetTest : public ::testing::TestWithParam<CharsetCase> {};

TEST_P(DecodeCharsetTest, UsesOwnNameTable) {
    const CharsetCase& c = GetParam();
    EXPECT_EQ(decode(c.charset, c.bytes), c.expected);
}

// "\xD6\xD0\xCE\xC4" is the two-character word for "Chinese" in code page 936.
INSTANTIATE_TEST_SUITE_P(
    Names, DecodeCharsetTest,
    ::testing::Values(
        CharsetCase{"gb2312", "gb2312", "\xD6\xD0\xCE\xC4", u"\u4E2D\u6587"},
        CharsetCase{"gb2312Capitals", "GB2312", "\xD6\xD0\xCE\xC4", u"\u4E2D\u6587"},
        CharsetCase{"gbkMixedCase", "GbK", "\xD6\xD0\xCE\xC4", u"\u4E2D\u6587"},
        CharsetCase{"chinese", "Chinese", "\xD6\xD0\xCE\xC4", u"\u4E2D\u6587"},
        CharsetCase{"csgb2312", "csGB2312", "\xD6\xD0\xCE\xC4", u"\u4E2D\u6587"},
        CharsetCase{"csiso58gb231280", "csISO58GB231280", "\xD6\xD0\xCE\xC4", u"\u4E2D\u6587"},
        CharsetCase{"gb231280", "GB_2312-80", "\xD6\xD0\xCE\xC4", u"\u4E2D\u6587"},
        CharsetCase{"isoIr58", "iso-ir-58", "\xD6\xD0\xCE\xC4", u"\u4E2D\u6587"},
        CharsetCase{"gb2312EuroIsCodePage936", "gb2312", "\x80", u"\u20AC"},
        CharsetCase{"gb2312InvalidPairAsCodePage", "gb2312", "\x81\x30x\xD6", u"?x?"},
        CharsetCase{"utf8", "utf-8", "\xE4\xB8\xAD\xE6\x96\x87", u"\u4E2D\u6587"},
        CharsetCase{"utf8Capitals", "UTF-8", "\xE4\xB8\xAD", u"\u4E2D"},
        CharsetCase{"utf8InvalidByte", "utf-8", "a\xFF" "b", u"a\uFFFDb"},
        CharsetCase{"utf8TruncatedAtEnd", "utf-8", "a\xE4\xB8", u"a\uFFFD"},
        CharsetCase{"utf8ByteOrderMarkDropped", "utf-8", "\xEF\xBB\xBF" "a", u"a"},
        CharsetCase{"utf8LaterFeffKept", "utf-8", "a\xEF\xBB\xBF" "b", u"a\uFEFFb"},
        CharsetCase{"utf8Underscore", "UTF_8", "a", std::nullopt},
        CharsetCase{"utf8Space", "utf 8", "a", std::nullopt},
        CharsetCase{"utf8NoHyphen", "utf8", "a", std::nullopt},
        CharsetCase{"unknown", "x-unknown", "a", std::nullopt},
        CharsetCase{"emptyName", "", "a", std::nullopt},
        CharsetCase{"gb2312WithSpace", " gb2312", "a", std::nullopt},
        CharsetCase{"windows1252Euro", "windows-1252", "\x80\xE9", u"\u20AC\u00E9"},
        CharsetCase{"iso88591AsWindows1252", "ISO-8859-1", "\x80\x93", u"\u20AC\u201C"},
        CharsetCase{"latin1", "Latin1", "\x80", u"\u20AC"},
        CharsetCase{"usAscii", "us-ascii", "a\x80", u"a\u20AC"},
        CharsetCase{"ascii", "ASCII", "\x80", u"\u20AC"},
        CharsetCase{"cp819", "cp819", "\x80", u"\u20AC"},
        CharsetCase{"unicodeLittleEndian", "Unicode", std::string("\x2D\x4E" "A\x00", 4), u"\u4E2DA"},
        CharsetCase{"utf16LittleEndian", "UTF-16", "\x2D\x4E", u"\u4E2D"},
        CharsetCase{"utf16OddByteAtEnd", "utf-16", "\x2D\x4E" "A", u"\u4E2D\uFFFD"},
        CharsetCase{"unicodeFffeBigEndian", "unicodeFFFE", std::string("\x4E\x2D\x00" "A", 4), u"\u4E2DA"},
        CharsetCase{"big5", "Big5", "\xA4\xA4\xA4\xE5", u"\u4E2D\u6587"},
        CharsetCase{"shiftJisWaveDash", "Shift_JIS", "\x81\x60", u"\uFF5E"},
        CharsetCase{"ksc5601", "ks_c_5601-1987", "\xC7\xD1\xB1\xB9\xBE\xEE", u"\uD55C\uAD6D\uC5B4"},
        CharsetCase{"eucKrAsCodePage949", "EUC-KR", "\x8C\x63", u"\uB620"},
        CharsetCase{"utf7", "UTF-7", "+Ti1lhw-", u"\u4E2D\u6587"},
        CharsetCase{"hz", "HZ-GB-2312", "~{VPND~}", u"\u4E2D\u6587"},
        CharsetCase{"emptyBytes", "big5", "", u""}),
    testing_support::CaseName{});

// Made-up pages, encoded once with iconv from the UTF-8 of the expected strings.
constexpr char16_t kLibraryPage[] =
    u"<html><head><title>城市圖書館：本週新書</title></head><body><h1>歡迎光臨</h1>"
    u"<p>開館時間：週一至週五 09:00–21:00。借閱證遺失請洽櫃台，補辦費用 NT$50。</p>"
    u"<ul><li>《海邊的旅人》‧第二版</li><li>《臺灣山林步道》</li></ul></body></html>";

constexpr char kLibraryPageBig5[] =
    "<html><head><title>\xAB\xB0\xA5\xAB\xB9\xCF\xAE\xD1\xC0]\xA1G\xA5\xBB\xB6g\xB7s\xAE\xD1</t"
    "itle></head><body><h1>\xC5w\xAA\xEF\xA5\xFA\xC1{</h1><p>\xB6}\xC0]\xAE\xC9\xB6\xA1\xA1G"
    "\xB6g\xA4@\xA6\xDC\xB6g\xA4\xAD 09:00\xA1V21:00\xA1" "C\xAD\xC9\xBE\x5C\xC3\xD2\xBF\xF2"
    "\xA5\xA2\xBD\xD0\xAC\xA2\xC2" "d\xA5x\xA1" "A\xB8\xC9\xBF\xEC\xB6O\xA5\xCE NT$50\xA1" "C</"
    "p><ul><li>\xA1m\xAE\xFC\xC3\xE4\xAA\xBA\xAE\xC8\xA4H\xA1n\xA1" "E\xB2\xC4\xA4G\xAA\xA9</li"
    "><li>\xA1m\xBBO\xC6W\xA4s\xAAL\xA8" "B\xB9" "D\xA1n</li></ul></body></html>";

constexpr char16_t kWeatherPage[] =
    u"<html><head><title>天気予報：東京～大阪</title></head><body>"
    u"<p>明日は晴れ時々くもり。最高気温２３℃、降水確率３０％です。</p>"
    u"<p>詳細は＼こちら／をご覧ください。</p></body></html>";

constexpr char kWeatherPageShiftJis[] =
    "<html><head><title>\x93V\x8B" "C\x97\x5C\x95\xF1\x81" "F\x93\x8C\x8B\x9E\x81`\x91\xE5\x8D"
    "\xE3</title></head><body><p>\x96\xBE\x93\xFA\x82\xCD\x90\xB0\x82\xEA\x8E\x9E\x81X\x82\xAD"
    "\x82\xE0\x82\xE8\x81" "B\x8D\xC5\x8D\x82\x8B" "C\x89\xB7\x82Q\x82R\x81\x8E\x81" "A\x8D~"
    "\x90\x85\x8Am\x97\xA6\x82R\x82O\x81\x93\x82\xC5\x82\xB7\x81" "B</p><p>\x8F\xDA\x8D\xD7\x82"
    "\xCD\x81_\x82\xB1\x82\xBF\x82\xE7\x81^\x82\xF0\x82\xB2\x97\x97\x82\xAD\x82\xBE\x82\xB3\x82"
    "\xA2\x81" "B</p></body></html>";

constexpr char16_t kMixedPage[] =
    u"<p>Ünïcödé text: 中文网页、日本語のページ、한국어 페이지 — and €5 ≈ ¥40.</p>";

constexpr char kMixedPageUtf8[] =
    "<p>\xC3\x9Cn\xC3\xAF" "c\xC3\xB6" "d\xC3\xA9 text: \xE4\xB8\xAD\xE6\x96\x87\xE7\xBD\x91"
    "\xE9\xA1\xB5\xE3\x80\x81\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE3\x83\x9A\xE3"
    "\x83\xBC\xE3\x82\xB8\xE3\x80\x81\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4 \xED\x8E\x98\xEC\x9D"
    "\xB4\xEC\xA7\x80 \xE2\x80\x94 and \xE2\x82\xAC" "5 \xE2\x89\x88 \xC2\xA5" "40.</p>";

constexpr char16_t kShopPage[] =
    u"<title>网上书店 – 新品上架</title><p>价格：￥28.00，满百包邮。</p>";

constexpr std::uint8_t kShopPageUtf16Le[] = {
    0x3C, 0x00, 0x74, 0x00, 0x69, 0x00, 0x74, 0x00, 0x6C, 0x00, 0x65, 0x00, 0x3E, 0x00, 0x51, 0x7F,
    0x0A, 0x4E, 0x66, 0x4E, 0x97, 0x5E, 0x20, 0x00, 0x13, 0x20, 0x20, 0x00, 0xB0, 0x65, 0xC1, 0x54,
    0x0A, 0x4E, 0xB6, 0x67, 0x3C, 0x00, 0x2F, 0x00, 0x74, 0x00, 0x69, 0x00, 0x74, 0x00, 0x6C, 0x00,
    0x65, 0x00, 0x3E, 0x00, 0x3C, 0x00, 0x70, 0x00, 0x3E, 0x00, 0xF7, 0x4E, 0x3C, 0x68, 0x1A, 0xFF,
    0xE5, 0xFF, 0x32, 0x00, 0x38, 0x00, 0x2E, 0x00, 0x30, 0x00, 0x30, 0x00, 0x0C, 0xFF, 0xE1, 0x6E,
    0x7E, 0x76, 0x05, 0x53, 0xAE, 0x90, 0x02, 0x30, 0x3C, 0x00, 0x2F, 0x00, 0x70, 0x00, 0x3E, 0x00,
};

constexpr std::uint8_t kShopPageUtf16Be[] = {
    0x00, 0x3C, 0x00, 0x74, 0x00, 0x69, 0x00, 0x74, 0x00, 0x6C, 0x00, 0x65, 0x00, 0x3E, 0x7F, 0x51,
    0x4E, 0x0A, 0x4E, 0x66, 0x5E, 0x97, 0x00, 0x20, 0x20, 0x13, 0x00, 0x20, 0x65, 0xB0, 0x54, 0xC1,
    0x4E, 0x0A, 0x67, 0xB6, 0x00, 0x3C, 0x00, 0x2F, 0x00, 0x74, 0x00, 0x69, 0x00, 0x74, 0x00, 0x6C,
    0x00, 0x65, 0x00, 0x3E, 0x00, 0x3C, 0x00, 0x70, 0x00, 0x3E, 0x4E, 0xF7, 0x68, 0x3C, 0xFF, 0x1A,
    0xFF, 0xE5, 0x00, 0x32, 0x00, 0x38, 0x00, 0x2E, 0x00, 0x30, 0x00, 0x30, 0xFF, 0x0C, 0x6E, 0xE1,
    0x76, 0x7E, 0x53, 0x05, 0x90, 0xAE, 0x30, 0x02, 0x00, 0x3C, 0x00, 0x2F, 0x00, 0x70, 0x00, 0x3E,
};

TEST(DecodeCharsetPagesTest, Big5PageWithCodePage950Punctuation) {
    // The page has U+2013 and U+2027, which code page 950 places where plain Big5 has other marks.
    EXPECT_EQ(decode("big5", kLibraryPageBig5), std::u16string(kLibraryPage));
}

TEST(DecodeCharsetPagesTest, ShiftJisPageWithCodePage932Symbols) {
    // The fullwidth tilde and reverse solidus (81 60, 81 5F) are where code page 932 differs from
    // the JIS mapping.
    EXPECT_EQ(decode("shift_jis", kWeatherPageShiftJis), std::u16string(kWeatherPage));
}

TEST(DecodeCharsetPagesTest, Utf8PageWithAndWithoutByteOrderMark) {
    EXPECT_EQ(decode("utf-8", kMixedPageUtf8), std::u16string(kMixedPage));
    EXPECT_EQ(decode("utf-8", std::string("\xEF\xBB\xBF") + kMixedPageUtf8), std::u16string(kMixedPage));
}

TEST(DecodeCharsetPagesTest, Utf16PageInBothByteOrders) {
    EXPECT_EQ(decodeCharset("utf-16", kShopPageUtf16Le), std::u16string(kShopPage));
    EXPECT_EQ(decodeCharset("unicodefffe", kShopPageUtf16Be), std::u16string(kShopPage));
    // The other order gives other characters, not the page.
    EXPECT_NE(decodeCharset("unicode", kShopPageUtf16Be), std::u16string(kShopPage));
}

}  // namespace
}  // namespace tarlowen
