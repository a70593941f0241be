// The system's own components through the automation bridge (under Wine when cross-built): created
// by ProgID, driven by name through IDispatch, values converted both ways.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/apartment.hpp"
#include "platform/automation.hpp"
#include "platform/automation_component.hpp"
#include "support/recording_component.hpp"
#include "under_wine.hpp"

namespace tarlowen {
namespace {

class SystemComponentsTest : public ::testing::Test {
  protected:
    void SetUp() override { CoInitialize(); }
    void TearDown() override { CoUninitialize(); }
};

TEST_F(SystemComponentsTest, RegexpGroupThatTookNoPartReadsAsEmptyText) {
    AutomationObject regexp;
    ASSERT_TRUE(CreateAutomationObject(regexp, "VBScript.RegExp"));
    ASSERT_TRUE(WriteProperty(regexp, "Pattern", "(b)(x)?"));
    const AutomationObject matches = AsObject(InvokeMethod(regexp, "Execute", {"abc"}));
    const AutomationObject match = AsObject(ReadProperty(matches, "Item", {0}));
    const AutomationObject subMatches = AsObject(ReadProperty(match, "SubMatches"));
    EXPECT_EQ(AsNumber(ReadProperty(subMatches, "Count")), 2);
    EXPECT_EQ(AsText(ReadProperty(subMatches, "Item", {0})), "b");
    // The system's component gives an empty value (not a text) for such a group; read as text,
    // as every caller reads it, it is "" either way.
    const AutomationValue untaken = ReadProperty(subMatches, "Item", {1});
    EXPECT_EQ(AsText(untaken), "");
    EXPECT_TRUE(untaken.isEmpty() || untaken.utf16() == std::u16string());
    ReleaseObject(regexp);
}

TEST_F(SystemComponentsTest, ValuesCrossBothWays) {
    AutomationObject regexp;
    ASSERT_TRUE(CreateAutomationObject(regexp, "vbscript.regexp"));  // ProgIDs ignore case
    EXPECT_TRUE(WriteProperty(regexp, "Global", true));
    EXPECT_EQ(ReadProperty(regexp, "global").boolean(), std::optional<bool>(true));
    EXPECT_TRUE(WriteProperty(regexp, "Pattern", "\xD6\xD0(.)"));  // code page 936 in, UTF-16 across
    EXPECT_EQ(AsText(ReadProperty(regexp, "Pattern")), "\xD6\xD0(.)");
    EXPECT_EQ(AsText(InvokeMethod(regexp, "Replace", {"a\xD6\xD0\xCE\xC4z", "<$1>"})), "a<\xCE\xC4>z");
    EXPECT_EQ(
        AsNumber(ReadProperty(AsObject(InvokeMethod(regexp, "Execute", {"\xD6\xD0x\xD6\xD0y"})), "Count")),
        2);
    EXPECT_TRUE(InvokeMethod(regexp, "NoSuchMember").isEmpty());
    EXPECT_FALSE(WriteProperty(regexp, "NoSuchMember", 1));
    ReleaseObject(regexp);
}

TEST_F(SystemComponentsTest, HttpRequestComponentIsTheSystemsAndTakesSettings) {
    AutomationObject request;
    ASSERT_TRUE(CreateAutomationObject(request, "WinHttp.WinHttpRequest.5.1"));
    InvokeMethod(request, "SetTimeouts", {15000, 15000, 15000, 15000});
    InvokeMethod(request, "Open", {"GET", "http://127.0.0.1:9/", false});
    // An indexed property write: follow redirects, off and on again. Reading the option back gives
    // the boolean on Windows; Wine 8 does not implement that read (the call fails, an empty value),
    // which is accepted under Wine only.
    const bool wine = testing_support::runningUnderWine();
    EXPECT_TRUE(WriteProperty(request, "Option", {6}, false));
    const std::optional<bool> off = ReadProperty(request, "Option", {6}).boolean();
    EXPECT_TRUE(off == std::optional<bool>(false) || (wine && !off.has_value()));
    EXPECT_TRUE(WriteProperty(request, "Option", {6}, true));
    const std::optional<bool> on = ReadProperty(request, "Option", {6}).boolean();
    EXPECT_TRUE(on == std::optional<bool>(true) || (wine && !on.has_value()));
    // A member the component does not have fails.
    EXPECT_FALSE(WriteProperty(request, "NoSuchMember", 1));
    // Nothing sent yet: the response members fail and give empty values.
    EXPECT_TRUE(ReadProperty(request, "Status").isEmpty());
    EXPECT_TRUE(AsByteSet(ReadProperty(request, "ResponseBody")).empty());
    ReleaseObject(request);
}

TEST_F(SystemComponentsTest, RegistryStillPutsARecordingComponentInPlace) {
    auto log = std::make_shared<testing_support::RecordingComponent::Log>();
    const ScopedComponent scoped("VBScript.RegExp", testing_support::RecordingComponent::factory(log));
    AutomationObject regexp;
    ASSERT_TRUE(CreateAutomationObject(regexp, "VBScript.RegExp"));
    EXPECT_TRUE(WriteProperty(regexp, "Pattern", "x"));
    EXPECT_EQ(*log, testing_support::RecordingComponent::Log{"put Pattern = \"x\""});
    ReleaseObject(regexp);
}

TEST(SystemComponentsApartmentTest, NoApartmentNoComponent) {
    ASSERT_EQ(apartmentCount(), 0);
    AutomationObject regexp;
    EXPECT_FALSE(CreateAutomationObject(regexp, "VBScript.RegExp"));
    EXPECT_TRUE(IsEmpty(regexp));
}

}  // namespace
}  // namespace tarlowen
