#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "text/text_types.hpp"

namespace tarlowen {

class AutomationComponent;

// Empty, or a shared reference to one component. Copies share the component.
class AutomationObject {
public:
    AutomationObject() = default;
    explicit AutomationObject(std::shared_ptr<AutomationComponent> component) : m_component(std::move(component)) {}

    [[nodiscard]] AutomationComponent* component() const { return m_component.get(); }
    void reset() { m_component.reset(); }
    [[nodiscard]] bool holds(const AutomationObject& other) const { return m_component == other.m_component; }

private:
    std::shared_ptr<AutomationComponent> m_component;
};

// A variant value as components take and give it: empty, boolean, 32-bit integer, double, text (held
// as UTF-16, as components see it), a one-dimensional array of unsigned bytes, or an object.
class AutomationValue {
public:
    using Storage = std::variant<std::monostate, bool, std::int32_t, double, std::u16string, ByteSet, AutomationObject>;

    AutomationValue() = default;
    AutomationValue(bool value) : m_storage(value) {}
    AutomationValue(std::int32_t value) : m_storage(value) {}
    AutomationValue(double value) : m_storage(value) {}
    // Text arguments are in code page 936 and cross into the component as UTF-16.
    AutomationValue(std::string_view text);
    AutomationValue(const char* text) : AutomationValue(std::string_view(text)) {}
    AutomationValue(const Text& text) : AutomationValue(std::string_view(text)) {}
    AutomationValue(std::u16string text) : m_storage(std::move(text)) {}
    AutomationValue(const char16_t* text) : m_storage(std::u16string(text)) {}
    // Any other pointer would quietly become a boolean.
    AutomationValue(const void*) = delete;
    AutomationValue(ByteSet bytes) : m_storage(std::move(bytes)) {}
    AutomationValue(AutomationObject object) : m_storage(std::move(object)) {}

    [[nodiscard]] bool isEmpty() const { return std::holds_alternative<std::monostate>(m_storage); }
    [[nodiscard]] const Storage& storage() const { return m_storage; }
    [[nodiscard]] Storage& storage() { return m_storage; }
    void clear() { m_storage = std::monostate{}; }

    // The value as a component reads an argument; nullopt when it is of another kind.
    [[nodiscard]] std::optional<std::u16string> utf16() const;
    [[nodiscard]] std::optional<bool> boolean() const;
    [[nodiscard]] std::optional<double> number() const;

private:
    Storage m_storage;
};

using AutomationArguments = std::span<const AutomationValue>;

// The operations through which the rest of the system drives components by name. Names match
// regardless of letter case, and a property read without arguments also reaches a method of that name.
// Nothing throws: a failed call, or a call on an empty object, gives an empty value (false for
// WriteProperty), and callers carry on.

// Creates the component registered under `progId` into `object`; false, with `object` empty, when
// there is none, it cannot be made, or the calling thread has no apartment.
bool CreateAutomationObject(AutomationObject& object, std::string_view progId);

AutomationValue InvokeMethod(const AutomationObject& object, std::string_view name,
                             std::initializer_list<AutomationValue> arguments = {});
AutomationValue ReadProperty(const AutomationObject& object, std::string_view name,
                             std::initializer_list<AutomationValue> indexArguments = {});
bool WriteProperty(const AutomationObject& object, std::string_view name,
                   std::initializer_list<AutomationValue> indexArguments, const AutomationValue& value);
bool WriteProperty(const AutomationObject& object, std::string_view name, const AutomationValue& value);

// Drops this reference and leaves `object` empty.
void ReleaseObject(AutomationObject& object);
[[nodiscard]] bool IsEmpty(const AutomationObject& object);

// Conversions of a value. AsText gives code page 936, up to the first zero character ("0" for false, "-1" for true, numbers in their
// shortest form); AsNumber gives 0 for what is not a number; AsByteSet gives the bytes of a byte
// array and nothing for any other value; AsObject gives the object or an empty one.
[[nodiscard]] Text AsText(const AutomationValue& value);
[[nodiscard]] double AsNumber(const AutomationValue& value);
[[nodiscard]] ByteSet AsByteSet(const AutomationValue& value);
[[nodiscard]] ByteSet AsByteSet(AutomationValue&& value);
[[nodiscard]] AutomationObject AsObject(const AutomationValue& value);

}  // namespace tarlowen
