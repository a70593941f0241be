#include "transfer/automation/base64.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tarlowen {
namespace {

ByteSet bytesOf(const std::string& text) { return ByteSet(text.begin(), text.end()); }

TEST(Base64EncodeTest, Rfc4648Vectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [input, expected] : vectors) {
        EXPECT_EQ(Base64Encode(bytesOf(input)), expected) << input;
    }
}

TEST(Base64EncodeTest, ZeroAndHighBytesAndLengths) {
    EXPECT_EQ(Base64Encode(ByteSet{0, 0, 0}), "AAAA");
    EXPECT_EQ(Base64Encode(ByteSet{0xFF, 0xEF, 0xBE}), "/+++");
    EXPECT_EQ(Base64Encode(bytesOf("user:")), "dXNlcjo=");
    // 100 bytes: 4 * ceil(100 / 3) characters, no line breaks.
    const Text long_ = Base64Encode(ByteSet(100, 0x41));
    EXPECT_EQ(long_.size(), 136U);
    EXPECT_EQ(long_.find('\n'), std::string::npos);
    EXPECT_TRUE(long_.ends_with("QQ=="));
}

}  // namespace
}  // namespace tarlowen
