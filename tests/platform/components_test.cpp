// The built-in components driven through the automation operations, as the rest of the system drives them.
#include <gtest/gtest.h>

#include "platform/apartment.hpp"
#include "platform/automation.hpp"

namespace tarlowen {
namespace {

class ComponentsTest : public ::testing::Test {
protected:
    ComponentsTest() { CoInitialize(); }
    ~ComponentsTest() override { CoUninitialize(); }

    static ByteSet bytes(std::string_view text) { return ByteSet(text.begin(), text.end()); }
};

// Writes `body` into a new charset stream and reads it back as text in `charset`.
AutomationValue readBack(const ByteSet& body, std::string_view charset) {
    AutomationObject stream;
    EXPECT_TRUE(CreateAutomationObject(stream, "Adodb.Stream"));
    EXPECT_TRUE(WriteProperty(stream, "Type", 1));
    EXPECT_TRUE(WriteProperty(stream, "Mode", 3));
    InvokeMethod(stream, "Open");
    InvokeMethod(stream, "Write", {body});
    EXPECT_TRUE(WriteProperty(stream, "Position", 0));
    EXPECT_TRUE(WriteProperty(stream, "Type", 2));
    EXPECT_TRUE(WriteProperty(stream, "Charset", charset));
    AutomationValue text = InvokeMethod(stream, "ReadText");
    InvokeMethod(stream, "Close");
    return text;
}

TEST_F(ComponentsTest, CharsetStreamReadsBytesBackInTheNamedCharset) {
    // "中文" in UTF-8, with a zero byte after it: the stream converts every byte.
    const AutomationValue text = readBack(bytes(std::string("\xE4\xB8\xAD\xE6\x96\x87\0x", 8)), "UTF-8");
    EXPECT_EQ(text.utf16(), std::u16string(u"\u4E2D\u6587\0x", 4));
    EXPECT_EQ(AsText(text), "\xD6\xD0\xCE\xC4");  // the text ends at the zero character

    EXPECT_EQ(AsText(readBack(bytes("\xA4\xA4"), "big5")), "\xD6\xD0");
    EXPECT_TRUE(readBack(bytes("abc"), "no-such-charset").isEmpty());
}

TEST_F(ComponentsTest, CharsetStreamRefusesCallsOutOfOrder) {
    AutomationObject stream;
    ASSERT_TRUE(CreateAutomationObject(stream, "Adodb.Stream"));
    EXPECT_TRUE(InvokeMethod(stream, "Write", {bytes("a")}).isEmpty());
    EXPECT_FALSE(WriteProperty(stream, "Position", 0));  // not open yet
    EXPECT_FALSE(WriteProperty(stream, "Type", 3));
    InvokeMethod(stream, "Open");
    InvokeMethod(stream, "Write", {bytes("abc")});
    EXPECT_EQ(AsNumber(ReadProperty(stream, "Size")), 3);
    EXPECT_FALSE(WriteProperty(stream, "Type", 2));  // the position is not at the start
    EXPECT_FALSE(WriteProperty(stream, "Position", 4));
    EXPECT_TRUE(WriteProperty(stream, "Position", 1));
    EXPECT_TRUE(InvokeMethod(stream, "ReadText").isEmpty());  // still binary
    EXPECT_FALSE(WriteProperty(stream, "Mode", 3));           // open already
}

TEST_F(ComponentsTest, RegexpExecutesAndReportsMatches) {
    AutomationObject regexp;
    ASSERT_TRUE(CreateAutomationObject(regexp, "VBScript.RegExp"));
    EXPECT_TRUE(WriteProperty(regexp, "IgnoreCase", true));
    EXPECT_FALSE(WriteProperty(regexp, "Singleline", true));
    EXPECT_TRUE(WriteProperty(regexp, "Global", true));
    EXPECT_TRUE(WriteProperty(regexp, "Pattern", "(b)(x)?"));
    EXPECT_EQ(AsText(ReadProperty(regexp, "pattern")), "(b)(x)?");

    const AutomationObject matches = AsObject(InvokeMethod(regexp, "Execute", {"\xD6\xD0" "abB"}));
    ASSERT_FALSE(IsEmpty(matches));
    EXPECT_EQ(AsNumber(ReadProperty(matches, "Count")), 2);
    const AutomationObject second = AsObject(ReadProperty(matches, "Item", {1}));
    EXPECT_EQ(AsText(ReadProperty(second, "Value")), "B");
    EXPECT_EQ(AsNumber(ReadProperty(second, "FirstIndex")), 3);  // UTF-16 units, not bytes
    EXPECT_EQ(AsNumber(ReadProperty(second, "Length")), 1);
    const AutomationObject subMatches = AsObject(ReadProperty(second, "SubMatches"));
    EXPECT_EQ(AsNumber(ReadProperty(subMatches, "Count")), 2);
    EXPECT_EQ(AsText(ReadProperty(subMatches, "Item", {0})), "B");
    EXPECT_TRUE(ReadProperty(subMatches, "Item", {1}).utf16().has_value());  // a group that took no part: ""
    EXPECT_TRUE(IsEmpty(AsObject(ReadProperty(matches, "Item", {2}))));

    EXPECT_EQ(AsText(InvokeMethod(regexp, "Replace", {"abc", "[$1]"})), "a[b]c");
    EXPECT_EQ(AsText(InvokeMethod(regexp, "Test", {"xyz"})), "0");

    EXPECT_TRUE(WriteProperty(regexp, "Pattern", "(unbalanced"));
    EXPECT_TRUE(InvokeMethod(regexp, "Execute", {"abc"}).isEmpty());
}

}  // namespace
}  // namespace tarlowen
