#include "platform/automation.hpp"

#include <gtest/gtest.h>

#include <memory>

#include "platform/apartment.hpp"
#include "platform/automation_component.hpp"
#include "support/recording_component.hpp"

namespace tarlowen {
namespace {

using testing_support::RecordingComponent;

// Holds an apartment for the length of a test.
struct Apartment {
    Apartment() { CoInitialize(); }
    ~Apartment() { CoUninitialize(); }
};

class Counter final : public NativeComponent {
public:
    Counter() {
        addProperty(
            "Value", [this](AutomationArguments) { return std::optional<AutomationValue>(m_value); },
            [this](AutomationArguments, const AutomationValue& value) {
                const auto number = value.number();
                if (!number) {
                    return false;
                }
                m_value = static_cast<std::int32_t>(*number);
                return true;
            });
        addMethod("Next", [this](AutomationArguments arguments) -> std::optional<AutomationValue> {
            if (!arguments.empty()) {
                return std::nullopt;
            }
            return AutomationValue(++m_value);
        });
    }

private:
    std::int32_t m_value = 0;
};

TEST(ApartmentTest, CountsPerThreadAndNeverGoesBelowZero) {
    const int before = apartmentCount();
    CoInitialize();
    CoInitialize();
    EXPECT_EQ(apartmentCount(), before + 2);
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(apartmentCount(), before);
    CoUninitialize();
    EXPECT_EQ(apartmentCount(), 0);
}

TEST(CreateAutomationObjectTest, NeedsAnApartmentAndAKnownProgId) {
    AutomationObject object;
    ASSERT_EQ(apartmentCount(), 0);
    EXPECT_FALSE(CreateAutomationObject(object, "VBScript.RegExp"));
    EXPECT_TRUE(IsEmpty(object));

    const Apartment apartment;
    EXPECT_TRUE(CreateAutomationObject(object, "vbscript.regexp"));
    EXPECT_FALSE(IsEmpty(object));
    EXPECT_TRUE(CreateAutomationObject(object, "ADODB.STREAM"));
    EXPECT_FALSE(CreateAutomationObject(object, "No.Such.Component"));
    EXPECT_TRUE(IsEmpty(object));
}

TEST(CreateAutomationObjectTest, ScopedComponentReplacesAndRestores) {
    const Apartment apartment;
    auto log = std::make_shared<RecordingComponent::Log>();
    {
        const ScopedComponent recording("VBScript.RegExp", RecordingComponent::factory(log));
        AutomationObject object;
        ASSERT_TRUE(CreateAutomationObject(object, "VBScript.RegExp"));
        WriteProperty(object, "Pattern", "a");
        const ScopedComponent failing("Test.Failing", [] { return std::shared_ptr<AutomationComponent>(); });
        EXPECT_FALSE(CreateAutomationObject(object, "Test.Failing"));
    }
    EXPECT_EQ(*log, (RecordingComponent::Log{"put Pattern = \"a\""}));
    AutomationObject regexp;
    ASSERT_TRUE(CreateAutomationObject(regexp, "VBScript.RegExp"));
    EXPECT_TRUE(WriteProperty(regexp, "Pattern", "a"));
    EXPECT_EQ(log->size(), 1U);
}

TEST(AutomationCallsTest, NamesIgnoreCaseAndPropertyReadReachesMethod) {
    const Apartment apartment;
    const ScopedComponent counter("Test.Counter", [] { return std::make_shared<Counter>(); });
    AutomationObject object;
    ASSERT_TRUE(CreateAutomationObject(object, "Test.Counter"));

    EXPECT_TRUE(WriteProperty(object, "VALUE", 41));
    EXPECT_EQ(AsNumber(InvokeMethod(object, "next")), 42);
    EXPECT_EQ(AsNumber(ReadProperty(object, "Next")), 43);  // a read without arguments reaches the method
    EXPECT_TRUE(ReadProperty(object, "Next", {1}).isEmpty());
    EXPECT_EQ(AsNumber(ReadProperty(object, "value")), 43);
}

TEST(AutomationCallsTest, FailuresGiveEmptyValues) {
    const Apartment apartment;
    const ScopedComponent counter("Test.Counter", [] { return std::make_shared<Counter>(); });
    AutomationObject object;
    ASSERT_TRUE(CreateAutomationObject(object, "Test.Counter"));

    EXPECT_FALSE(WriteProperty(object, "Singleline", true));
    EXPECT_FALSE(WriteProperty(object, "Value", "not a number"));
    EXPECT_TRUE(InvokeMethod(object, "Missing").isEmpty());
    EXPECT_TRUE(InvokeMethod(object, "Next", {1}).isEmpty());
    EXPECT_FALSE(WriteProperty(object, "Next", 1));  // a method cannot be written

    AutomationObject copy = object;
    ReleaseObject(object);
    EXPECT_TRUE(IsEmpty(object));
    EXPECT_EQ(AsNumber(InvokeMethod(copy, "Next")), 1);  // the copy still holds the component

    const AutomationObject empty;
    EXPECT_TRUE(InvokeMethod(empty, "Next").isEmpty());
    EXPECT_TRUE(ReadProperty(empty, "Value").isEmpty());
    EXPECT_FALSE(WriteProperty(empty, "Value", 1));
    EXPECT_EQ(AsText(ReadProperty(empty, "Value")), "");
    EXPECT_EQ(AsNumber(ReadProperty(empty, "Value")), 0);
    EXPECT_TRUE(IsEmpty(AsObject(ReadProperty(empty, "Value"))));
    EXPECT_TRUE(AsByteSet(ReadProperty(empty, "Value")).empty());
}

TEST(AutomationValueTest, Conversions) {
    EXPECT_EQ(AsText(AutomationValue(false)), "0");
    EXPECT_EQ(AsText(AutomationValue(true)), "-1");
    EXPECT_EQ(AsText(AutomationValue(-7)), "-7");
    EXPECT_EQ(AsText(AutomationValue(2.5)), "2.5");
    EXPECT_EQ(AsText(AutomationValue("\xD6\xD0" "a")), "\xD6\xD0" "a");  // code page 936 round trip
    EXPECT_EQ(AutomationValue("\xD6\xD0").utf16(), std::u16string(u"\u4E2D"));
    EXPECT_EQ(AsText(AutomationValue(ByteSet{1, 2})), "");

    EXPECT_EQ(AsNumber(AutomationValue(true)), -1);
    EXPECT_EQ(AsNumber(AutomationValue(" 12.5 ")), 12.5);
    EXPECT_EQ(AsNumber(AutomationValue("12x")), 0);
    EXPECT_EQ(AsNumber(AutomationValue()), 0);

    EXPECT_EQ(AsByteSet(AutomationValue(ByteSet{0, 255})), (ByteSet{0, 255}));
    EXPECT_TRUE(AsByteSet(AutomationValue("ab")).empty());
    AutomationValue bytes(ByteSet(1000, 7));
    const ByteSet moved = AsByteSet(std::move(bytes));
    EXPECT_EQ(moved.size(), 1000U);
}

}  // namespace
}  // namespace tarlowen
