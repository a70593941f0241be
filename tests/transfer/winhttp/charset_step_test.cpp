#include "transfer/winhttp/charset_step.hpp"

#include <gtest/gtest.h>

#include "platform/apartment.hpp"
#include "platform/automation_component.hpp"
#include "platform/message_pump.hpp"
#include "support/case_name.hpp"
#include "support/recording_component.hpp"

namespace tarlowen {
namespace {

using testing_support::PrintTo;
using testing_support::RecordingComponent;

ByteSet bytesOf(std::string_view text) { return ByteSet(text.begin(), text.end()); }

// Counts the event points of one call and checks that the call leaves the apartment count as it was.
struct StepRun {
    Text text;
    int pumps = 0;
};

StepRun runStep(const ByteSet& body) {
    StepRun run;
    setMessagePumpHandler([&run] { ++run.pumps; });
    {
        RegexObject pattern;
        run.text = convertResponseCharset(body, pattern);
        EXPECT_EQ(apartmentCount(), 1);
    }
    setMessagePumpHandler({});
    EXPECT_EQ(apartmentCount(), 0);
    return run;
}

struct CharsetCase {
    const char* name;
    std::string body;
    std::string expected;
};

class CharsetStepTest : public ::testing::TestWithParam<CharsetCase> {};

TEST_P(CharsetStepTest, ReturnsTextInCodePage936) {
    const CharsetCase& c = GetParam();
    const StepRun run = runStep(bytesOf(c.body));
    EXPECT_EQ(run.text, c.expected);
    EXPECT_EQ(run.pumps, 1);  // the search ran, so the step has its one event point
}

const std::string kPadding(1024, ' ');

INSTANTIATE_TEST_SUITE_P(
    Cases, CharsetStepTest,
    ::testing::Values(
        // "中文" is E4 B8 AD E6 96 87 in UTF-8 and D6 D0 CE C4 in code page 936.
        CharsetCase{"utf8Quoted", "<meta charset=\"utf-8\">\xE4\xB8\xAD\xE6\x96\x87",
                    "<meta charset=\"utf-8\">\xD6\xD0\xCE\xC4"},
        CharsetCase{"utf8Bare", "<META http-equiv=Content-Type content=text/html;charset=UTF-8>\xE4\xB8\xAD",
                    "<META http-equiv=Content-Type content=text/html;charset=UTF-8>\xD6\xD0"},
        CharsetCase{"invalidUtf8BecomesQuestionMark", "<meta charset=utf-8>\xFF", "<meta charset=utf-8>?"},
        // Lower-case local names are left alone: the bytes stay as they are, invalid pair included.
        CharsetCase{"gbkLowerNotConverted", "<meta charset=gbk>\x81\x7F", "<meta charset=gbk>\x81\x7F"},
        CharsetCase{"gb2312LowerNotConverted", "<meta charset='gb2312'>\x81\x7F", "<meta charset='gb2312'>\x81\x7F"},
        CharsetCase{"gbkUpperConverted", "<meta charset=GBK>\x81\x7F", "<meta charset=GBK>?"},
        CharsetCase{"big5", "<meta charset=big5>\xA4\xA4\xA4\xE5", "<meta charset=big5>\xD6\xD0\xCE\xC4"},
        CharsetCase{"shiftJis", "<meta charset=shift_jis>\x93\xFA\x96\x7B", "<meta charset=shift_jis>\xC8\xD5\xB1\xBE"},
        // A four-byte GB18030 sequence (U+20000) has no place in code page 936: one "?" per unit.
        CharsetCase{"gb18030", "<meta charset=\"GB18030\">\xD6\xD0\xCE\xC4\x95\x32\x82\x36",
                    "<meta charset=\"GB18030\">\xD6\xD0\xCE\xC4??"},
        CharsetCase{"windows1251", "<meta charset=windows-1251>\xCF\xF0", "<meta charset=windows-1251>\xA7\xB1\xA7\xE2"},
        CharsetCase{"unknownCharsetGivesEmpty", "<meta charset=klingon>abc", ""},
        CharsetCase{"firstMetaWins", "<meta charset=gbk><meta charset=utf-8>\xD6\xD0",
                    "<meta charset=gbk><meta charset=utf-8>\xD6\xD0"},
        CharsetCase{"charsetOnLaterLine", "<meta\ncharset=utf-8>\xE4\xB8\xAD", "<meta\ncharset=utf-8>\xE4\xB8\xAD"},
        CharsetCase{"metaAfterFirst1024Bytes", kPadding + "<meta charset=utf-8>\xE4\xB8\xAD",
                    kPadding + "<meta charset=utf-8>\xE4\xB8\xAD"},
        CharsetCase{"noMeta", "plain \xD6\xD0", "plain \xD6\xD0"},
        CharsetCase{"empty", "", ""}),
    testing_support::CaseName{});

TEST(CharsetStepZeroByteTest, TextEndsAtZeroByteUnlessConverted) {
    const std::string plain("ab\0cd", 5);
    EXPECT_EQ(runStep(bytesOf(plain)).text, "ab");

    // With a conversion the component receives every byte; its text is cut at the zero character.
    const std::string page("<meta charset=utf-8>\0\xE4\xB8\xAD", 24);
    auto log = std::make_shared<RecordingComponent::Log>();
    const ScopedComponent stream("Adodb.Stream", RecordingComponent::factory(log));
    runStep(bytesOf(page));
    EXPECT_NE(std::find(log->begin(), log->end(), "Write(bytes[24])"), log->end());
}

TEST(CharsetStepCallsTest, DrivesTheStreamInOrder) {
    auto log = std::make_shared<RecordingComponent::Log>();
    const ScopedComponent stream(
        "Adodb.Stream", RecordingComponent::factory(log, [](RecordingComponent::Kind, const std::string& name,
                                                            AutomationArguments) -> std::optional<AutomationValue> {
            if (name == "ReadText") {
                return AutomationValue(u"converted");
            }
            return AutomationValue{};
        }));
    const StepRun run = runStep(bytesOf("<meta charset=Big5>x"));
    EXPECT_EQ(run.text, "converted");
    EXPECT_EQ(*log, (RecordingComponent::Log{
                        "put Type = 1",
                        "put Mode = 3",
                        "Open()",
                        "Write(bytes[20])",
                        "put Position = 0",
                        "put Type = 2",
                        "put Charset = \"Big5\"",
                        "ReadText()",
                        "Close()",
                    }));
}

TEST(CharsetStepCallsTest, WithoutComponentsTheTextStaysAndNothingIsPumped) {
    const ScopedComponent noStream("Adodb.Stream", [] { return std::shared_ptr<AutomationComponent>(); });
    EXPECT_EQ(runStep(bytesOf("<meta charset=utf-8>\x81\x7F")).text, "<meta charset=utf-8>\x81\x7F");

    const ScopedComponent noRegexp("VBScript.RegExp", [] { return std::shared_ptr<AutomationComponent>(); });
    const StepRun run = runStep(bytesOf("<meta charset=utf-8>x"));
    EXPECT_EQ(run.text, "<meta charset=utf-8>x");
    EXPECT_EQ(run.pumps, 0);
}

}  // namespace
}  // namespace tarlowen
