#include "platform/automation.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "platform/apartment.hpp"
#include "platform/automation_component.hpp"
#include "platform/code_page.hpp"
#include "platform/components/charset_stream_component.hpp"
#include "platform/components/http_request_component.hpp"
#include "platform/components/regexp_component.hpp"
#include "text/ascii_case.hpp"

namespace tarlowen {
namespace {

class ComponentRegistry {
public:
    static ComponentRegistry& instance() {
        static ComponentRegistry registry;
        return registry;
    }

    ComponentFactory put(std::string_view progId, ComponentFactory factory) {
        const std::lock_guard lock(m_mutex);
        ComponentFactory& slot = m_factories[lowerAscii(progId)];
        return std::exchange(slot, std::move(factory));
    }

    [[nodiscard]] ComponentFactory get(std::string_view progId) {
        const std::lock_guard lock(m_mutex);
        const auto found = m_factories.find(lowerAscii(progId));
        return found == m_factories.end() ? ComponentFactory{} : found->second;
    }

private:
    ComponentRegistry() {
        m_factories[lowerAscii("VBScript.RegExp")] = makeRegexpComponent;
        m_factories[lowerAscii("Adodb.Stream")] = makeCharsetStreamComponent;
        m_factories[lowerAscii("WinHttp.WinHttpRequest.5.1")] = makeHttpRequestComponent;
    }

    std::mutex m_mutex;
    std::unordered_map<std::string, ComponentFactory> m_factories;
};

[[nodiscard]] Text formatNumber(double number) {
    char buffer[32];
    const auto [end, error] = std::to_chars(std::begin(buffer), std::end(buffer), number);
    return error == std::errc{} ? Text(buffer, end) : Text{};
}

[[nodiscard]] std::optional<double> parseNumber(std::u16string_view text) {
    std::string ascii;
    for (const char16_t unit : text) {
        if (unit > 0x7F) {
            return std::nullopt;
        }
        ascii.push_back(static_cast<char>(unit));
    }
    const auto first = ascii.find_first_not_of(' ');
    const auto last = ascii.find_last_not_of(' ');
    if (first == std::string::npos) {
        return std::nullopt;
    }
    double number = 0;
    const char* begin = ascii.data() + first;
    const char* end = ascii.data() + last + 1;
    const auto [stop, error] = std::from_chars(begin, end, number);
    if (error != std::errc{} || stop != end) {
        return std::nullopt;
    }
    return number;
}

}  // namespace

AutomationValue::AutomationValue(std::string_view text) : m_storage(decodeCodePage936(text)) {}

std::optional<std::u16string> AutomationValue::utf16() const {
    if (const auto* text = std::get_if<std::u16string>(&m_storage)) {
        return *text;
    }
    return std::nullopt;
}

std::optional<bool> AutomationValue::boolean() const {
    if (const auto* value = std::get_if<bool>(&m_storage)) {
        return *value;
    }
    if (const auto n = number()) {
        return *n != 0;
    }
    return std::nullopt;
}

std::optional<double> AutomationValue::number() const {
    if (const auto* value = std::get_if<std::int32_t>(&m_storage)) {
        return *value;
    }
    if (const auto* value = std::get_if<double>(&m_storage)) {
        return *value;
    }
    if (const auto* value = std::get_if<bool>(&m_storage)) {
        return *value ? -1.0 : 0.0;
    }
    if (const auto* value = std::get_if<std::u16string>(&m_storage)) {
        return parseNumber(*value);
    }
    return std::nullopt;
}

// ---- the operations -------------------------------------------------------------------------------

bool CreateAutomationObject(AutomationObject& object, std::string_view progId) {
    object.reset();
    if (apartmentCount() == 0) {
        return false;
    }
    const ComponentFactory factory = ComponentRegistry::instance().get(progId);
    if (!factory) {
        return false;
    }
    std::shared_ptr<AutomationComponent> component = factory();
    if (!component) {
        return false;
    }
    object = AutomationObject(std::move(component));
    return true;
}

AutomationValue InvokeMethod(const AutomationObject& object, std::string_view name,
                             std::initializer_list<AutomationValue> arguments) {
    AutomationComponent* component = object.component();
    if (component == nullptr) {
        return {};
    }
    return component->invokeMethod(name, AutomationArguments(arguments.begin(), arguments.size()))
        .value_or(AutomationValue{});
}

AutomationValue ReadProperty(const AutomationObject& object, std::string_view name,
                             std::initializer_list<AutomationValue> indexArguments) {
    AutomationComponent* component = object.component();
    if (component == nullptr) {
        return {};
    }
    return component->readProperty(name, AutomationArguments(indexArguments.begin(), indexArguments.size()))
        .value_or(AutomationValue{});
}

bool WriteProperty(const AutomationObject& object, std::string_view name,
                   std::initializer_list<AutomationValue> indexArguments, const AutomationValue& value) {
    AutomationComponent* component = object.component();
    if (component == nullptr) {
        return false;
    }
    return component->writeProperty(name, AutomationArguments(indexArguments.begin(), indexArguments.size()), value);
}

bool WriteProperty(const AutomationObject& object, std::string_view name, const AutomationValue& value) {
    return WriteProperty(object, name, {}, value);
}

void ReleaseObject(AutomationObject& object) { object.reset(); }

bool IsEmpty(const AutomationObject& object) { return object.component() == nullptr; }

Text AsText(const AutomationValue& value) {
    const auto& storage = value.storage();
    if (const auto* text = std::get_if<std::u16string>(&storage)) {
        // Texts reach the caller as zero-terminated strings do: up to the first zero character.
        const std::u16string_view units(*text);
        return encodeCodePage936(units.substr(0, units.find(u'\0')));
    }
    if (const auto* flag = std::get_if<bool>(&storage)) {
        return *flag ? "-1" : "0";
    }
    if (const auto* integer = std::get_if<std::int32_t>(&storage)) {
        return std::to_string(*integer);
    }
    if (const auto* number = std::get_if<double>(&storage)) {
        return formatNumber(*number);
    }
    return {};
}

double AsNumber(const AutomationValue& value) {
    const auto number = value.number();
    return number && std::isfinite(*number) ? *number : 0.0;
}

ByteSet AsByteSet(const AutomationValue& value) {
    if (const auto* bytes = std::get_if<ByteSet>(&value.storage())) {
        return *bytes;
    }
    return {};
}

ByteSet AsByteSet(AutomationValue&& value) {
    if (auto* bytes = std::get_if<ByteSet>(&value.storage())) {
        ByteSet moved = std::move(*bytes);
        value.clear();
        return moved;
    }
    return {};
}

AutomationObject AsObject(const AutomationValue& value) {
    if (const auto* object = std::get_if<AutomationObject>(&value.storage())) {
        return *object;
    }
    return {};
}

// ---- components with member tables ----------------------------------------------------------------

void NativeComponent::addMethod(std::string name, Method method) {
    m_members.push_back(Member{std::move(name), std::move(method), {}, {}});
}

void NativeComponent::addProperty(std::string name, Getter getter, Setter setter) {
    m_members.push_back(Member{std::move(name), {}, std::move(getter), std::move(setter)});
}

NativeComponent::Member* NativeComponent::find(std::string_view name) {
    const auto found = std::find_if(m_members.begin(), m_members.end(),
                                    [&](const Member& member) { return equalsIgnoringAsciiCase(member.name, name); });
    return found == m_members.end() ? nullptr : &*found;
}

std::optional<AutomationValue> NativeComponent::invokeMethod(std::string_view name, AutomationArguments arguments) {
    Member* member = find(name);
    if (member == nullptr || !member->method) {
        return std::nullopt;
    }
    return member->method(arguments);
}

std::optional<AutomationValue> NativeComponent::readProperty(std::string_view name, AutomationArguments index) {
    Member* member = find(name);
    if (member == nullptr) {
        return std::nullopt;
    }
    if (member->getter) {
        return member->getter(index);
    }
    if (member->method && index.empty()) {
        return member->method(index);
    }
    return std::nullopt;
}

bool NativeComponent::writeProperty(std::string_view name, AutomationArguments index, const AutomationValue& value) {
    Member* member = find(name);
    if (member == nullptr || !member->setter) {
        return false;
    }
    return member->setter(index, value);
}

ComponentFactory registerComponent(std::string_view progId, ComponentFactory factory) {
    return ComponentRegistry::instance().put(progId, std::move(factory));
}

ComponentFactory registeredComponent(std::string_view progId) { return ComponentRegistry::instance().get(progId); }

}  // namespace tarlowen
