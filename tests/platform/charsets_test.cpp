#include "platform/charsets.hpp"

#include <gtest/gtest.h>

#include "support/case_name.hpp"

#include <algorithm>
#include <cctype>
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

// ---- Every charset a page may declare ----

struct PageCase {
    const char* charset;
    std::string bytes;  // made with an independent encoder when the test was written
    std::u16string expected;
};

class CharsetPageTest : public ::testing::TestWithParam<PageCase> {};

TEST_P(CharsetPageTest, DecodesAPageInThatCharset) {
    const PageCase& c = GetParam();
    EXPECT_EQ(decode(c.charset, c.bytes), std::optional<std::u16string>(c.expected));
}

struct PageCaseName {
    std::string operator()(const ::testing::TestParamInfo<PageCase>& info) const {
        std::string name;
        for (const char c : std::string(info.param.charset)) {
            name += std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
        }
        return name + "_" + std::to_string(info.index);
    }
};

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(Charsets, CharsetPageTest,
                         ::testing::Values(
        PageCase{"gb18030", "\xD6\xD0\xCE\xC4\xA8\xA6\x95\x32\x82\x36"s, u"\u4E2D\u6587\u00E9\U00020000"},
        PageCase{"GB18030", "\xD6\xD0\xCE\xC4"s, u"\u4E2D\u6587"},
        PageCase{"euc-cn", "\xD6\xD0\xCE\xC4"s, u"\u4E2D\u6587"},
        PageCase{"hz-gb-2312", "\x7E\x7B\x56\x50\x4E\x44\x7E\x7D\x61\x62\x63"s, u"\u4E2D\u6587abc"},
        PageCase{"gbk", "\xD6\xD0\xCE\xC4"s, u"\u4E2D\u6587"},
        PageCase{"gb2312", "\xD6\xD0\xCE\xC4"s, u"\u4E2D\u6587"},
        PageCase{"big5", "\xA4\xA4\xA4\xE5"s, u"\u4E2D\u6587"},
        PageCase{"big5-hkscs", "\xA4\xA4\xA4\xE5\x87\x40"s, u"\u4E2D\u6587\u43F0"},
        PageCase{"shift_jis", "\x93\xFA\x96\x7B\x8C\xEA\xB6"s, u"\u65E5\u672C\u8A9E\uFF76"},
        PageCase{"euc-jp", "\xC6\xFC\xCB\xDC\xB8\xEC"s, u"\u65E5\u672C\u8A9E"},
        PageCase{"iso-2022-jp", "\x1B\x24\x42\x46\x7C\x4B\x5C\x38\x6C\x1B\x28\x42\x61\x62\x63"s, u"\u65E5\u672C\u8A9Eabc"},
        PageCase{"euc-kr", "\xC7\xD1\xB1\xB9\xBE\xEE"s, u"\uD55C\uAD6D\uC5B4"},
        PageCase{"ks_c_5601-1987", "\xC7\xD1\xB1\xB9\xBE\xEE"s, u"\uD55C\uAD6D\uC5B4"},
        PageCase{"iso-2022-kr", "\x1B\x24\x29\x43\x0E\x47\x51\x31\x39\x3E\x6E\x0F"s, u"\uD55C\uAD6D\uC5B4"},
        PageCase{"windows-874", "\xE4\xB7\xC2\x80"s, u"\u0E44\u0E17\u0E22\u20AC"},
        PageCase{"windows-1250", "\xA3\xF3\x64\x9F\x80"s, u"\u0141\u00F3d\u017A\u20AC"},
        PageCase{"windows-1251", "\xCF\xF0\xE8\xE2\xE5\xF2\x88"s, u"\u041F\u0440\u0438\u0432\u0435\u0442\u20AC"},
        PageCase{"windows-1252", "\x63\x61\x66\xE9\x80"s, u"caf\u00E9\u20AC"},
        PageCase{"windows-1253", "\xC5\xEB\xEB\xDC\xE4\xE1"s, u"\u0395\u03BB\u03BB\u03AC\u03B4\u03B1"},
        PageCase{"windows-1254", "\x54\xFC\x72\x6B\xE7\x65"s, u"T\u00FCrk\u00E7e"},
        PageCase{"windows-1255", "\xF2\xE1\xF8\xE9\xFA"s, u"\u05E2\u05D1\u05E8\u05D9\u05EA"},
        PageCase{"windows-1256", "\xDA\xD1\xC8\xED"s, u"\u0639\u0631\u0628\u064A"},
        PageCase{"windows-1257", "\x4C\x69\x65\x74\x75\x76\x69\xF8"s, u"Lietuvi\u0173"},
        PageCase{"windows-1258", "\x56\x69\xF2\x74"s, u"Vi\u0323t"},
        PageCase{"iso-8859-1", "\x63\x61\x66\xE9"s, u"caf\u00E9"},
        PageCase{"iso-8859-2", "\xA3\xF3\x64\xBC"s, u"\u0141\u00F3d\u017A"},
        PageCase{"iso-8859-3", "\xA1\x61\x6C"s, u"\u0126al"},
        PageCase{"iso-8859-4", "\xC0\xAA\xCF"s, u"\u0100\u0112\u012A"},
        PageCase{"iso-8859-5", "\xBF\xE0\xD8\xD2\xD5\xE2"s, u"\u041F\u0440\u0438\u0432\u0435\u0442"},
        PageCase{"iso-8859-6", "\xD9\xD1\xC8\xEA"s, u"\u0639\u0631\u0628\u064A"},
        PageCase{"iso-8859-7", "\xC5\xEB\xEB\xDC\xE4\xE1"s, u"\u0395\u03BB\u03BB\u03AC\u03B4\u03B1"},
        PageCase{"iso-8859-8", "\xF2\xE1\xF8\xE9\xFA"s, u"\u05E2\u05D1\u05E8\u05D9\u05EA"},
        PageCase{"iso-8859-9", "\x54\xFC\x72\x6B\xE7\x65"s, u"T\u00FCrk\u00E7e"},
        PageCase{"iso-8859-13", "\x4C\x69\x65\x74\x75\x76\x69\xF8"s, u"Lietuvi\u0173"},
        PageCase{"iso-8859-15", "\xA4\x75\x72\x6F\x20\xBC"s, u"\u20ACuro \u0152"},
        PageCase{"koi8-r", "\xF0\xD2\xC9\xD7\xC5\xD4"s, u"\u041F\u0440\u0438\u0432\u0435\u0442"},
        PageCase{"koi8-u", "\xF5\xCB\xD2\xC1\xA7\xCE\xC1"s, u"\u0423\u043A\u0440\u0430\u0457\u043D\u0430"},
        PageCase{"us-ascii", "\x70\x6C\x61\x69\x6E"s, u"plain"},
        PageCase{"utf-7", "\x2B\x54\x69\x31\x6C\x68\x77\x20\x61\x2B\x2D\x62"s, u"\u4E2D\u6587 a+b"},
        PageCase{"utf-8", "\xE4\xB8\xAD\xE6\x96\x87"s, u"\u4E2D\u6587"},
        PageCase{"utf-16", "\x2D\x4E\x87\x65\x41\x00"s, u"\u4E2D\u6587A"},
        PageCase{"unicode", "\x2D\x4E\x87\x65\x41\x00"s, u"\u4E2D\u6587A"},
        PageCase{"unicodeFFFE", "\x4E\x2D\x65\x87\x00\x41"s, u"\u4E2D\u6587A"},
        PageCase{"utf-16le", "\x2D\x4E\x87\x65\x41\x00"s, u"\u4E2D\u6587A"},
        PageCase{"utf-16be", "\x4E\x2D\x65\x87\x00\x41"s, u"\u4E2D\u6587A"}),
                         PageCaseName{});

TEST(CharsetTableTest, EveryNameOpensItsConverterAndIgnoresCaseOnly) {
    const std::vector<std::uint8_t> ascii = bytesOf("abc");
    ASSERT_GE(charsetNames().size(), 100u);
    for (const std::string_view name : charsetNames()) {
        EXPECT_TRUE(decodeCharset(name, ascii).has_value()) << name;
        std::string upper(name);
        for (char& c : upper) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        EXPECT_TRUE(decodeCharset(upper, ascii).has_value()) << upper;
        std::string underscored(name);
        std::replace(underscored.begin(), underscored.end(), '-', '_');
        if (underscored != name) {
            // Only the names as the table writes them: "ISO_8859_2" is no name of "iso-8859-2".
            const auto other = std::find(charsetNames().begin(), charsetNames().end(), underscored);
            EXPECT_EQ(decodeCharset(underscored, ascii).has_value(), other != charsetNames().end()) << underscored;
        }
    }
}

}  // namespace
}  // namespace tarlowen
