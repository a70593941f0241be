#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/files.hpp"
#include "support/case_name.hpp"

namespace tarlowen {
namespace {

using namespace std::string_literals;
using testing_support::PrintTo;

std::string repeat(std::string_view piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += piece;
    }
    return out;
}

struct HostileName {
    const char* name;
    std::string fileName;  // code page 936
    std::string expected;  // UTF-8
};

class FileSystemNameSafetyTest : public ::testing::TestWithParam<HostileName> {};

// Whatever the bytes, the name handed to the file system holds no "/", no zero and no control
// character, fits in 255 bytes, and is never "." or ".."; what is left of a hostile name is kept.
TEST_P(FileSystemNameSafetyTest, RemovesWhatIsUnsafeAndKeepsTheRest) {
    const HostileName& c = GetParam();
    const std::string result = fileSystemName(c.fileName);
    EXPECT_EQ(result, c.expected);
    EXPECT_LE(result.size(), kMaxFileNameBytes);
    for (const char byte : result) {
        const auto unit = static_cast<unsigned char>(byte);
        EXPECT_FALSE(unit == '/' || unit < 0x20 || unit == 0x7F) << "byte " << int{unit};
    }
    EXPECT_NE(result, ".");
    EXPECT_NE(result, "..");
}

// 0x80 is the euro sign (E2 82 AC) and 0xFF U+F8F5 (EF A3 B5) in code page 936: one-byte characters
// there, though the text routines take both for lead bytes. 0x81 is a lead byte in both; followed by
// a byte that forms no character with it, the pair decodes as one "?".
INSTANTIATE_TEST_SUITE_P(
    Cases, FileSystemNameSafetyTest,
    ::testing::Values(
        HostileName{"controlCharacters", "n - a\x01\x02\x1b[31m\tb\rc\nd\x7F.m4a", "n - a[31mbcd.m4a"},
        HostileName{"zeroBytes", "n\0 - s\0.m4a"s, "n - s.m4a"},
        HostileName{"slashAfterEuroSign", "n - \x80/etc.m4a",
                    "n - \xE2\x82\xAC"
                    "etc.m4a"},
        HostileName{"slashAfterByteFF", "n - \xFF/x.m4a", "n - \xEF\xA3\xB5x.m4a"},
        HostileName{"controlAfterEuroSign", "n - \x80\n\x80\x1b.m4a", "n - \xE2\x82\xAC\xE2\x82\xAC.m4a"},
        HostileName{"slashTakenByRealLeadByte", "n - \x81/x.m4a", "n - ?x.m4a"},
        HostileName{"zeroAfterRealLeadByte", "n - \x81\0x.m4a"s, "n - ?x.m4a"},
        HostileName{"parentPathStaysInside", "../escaped.m4a", "..escaped.m4a"},
        HostileName{"onlySlashes", "///", ""}, HostileName{"becomesDot", "./", ""},
        HostileName{"becomesDotDot", "/.\x01.\n", ""}, HostileName{"dotsWithMoreStayAName", ".../", "..."},
        // Removal comes first, so the length rule counts only what is kept.
        HostileName{"removedBytesDoNotCountTowardsTheLimit", repeat("/\x01", 200) + repeat("a", 251) + ".m4a",
                    repeat("a", 251) + ".m4a"},
        HostileName{"longRunOfEuroAndSlash", "n - " + repeat("\x80/", 200) + ".m4a",
                    "n - " + repeat("\xE2\x82\xAC", 82) + ".m4a"}),
    testing_support::CaseName{});

}  // namespace
}  // namespace tarlowen
