#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/automation.hpp"

namespace tarlowen {

// What the automation operations call on a component. A result of nullopt (or false) is a failed call;
// the operations turn it into an empty value. Implementations never throw.
class AutomationComponent {
public:
    virtual ~AutomationComponent() = default;

    virtual std::optional<AutomationValue> invokeMethod(std::string_view name, AutomationArguments arguments) = 0;
    virtual std::optional<AutomationValue> readProperty(std::string_view name, AutomationArguments index) = 0;
    virtual bool writeProperty(std::string_view name, AutomationArguments index, const AutomationValue& value) = 0;
};

// A component whose members are declared in a table: names are matched without regard to letter case,
// and a property read without arguments falls back to a method of that name.
class NativeComponent : public AutomationComponent {
public:
    NativeComponent() = default;
    // Member handlers capture the component itself, so it is never copied.
    NativeComponent(const NativeComponent&) = delete;
    NativeComponent& operator=(const NativeComponent&) = delete;

    std::optional<AutomationValue> invokeMethod(std::string_view name, AutomationArguments arguments) override;
    std::optional<AutomationValue> readProperty(std::string_view name, AutomationArguments index) override;
    bool writeProperty(std::string_view name, AutomationArguments index, const AutomationValue& value) override;

protected:
    using Method = std::function<std::optional<AutomationValue>(AutomationArguments)>;
    using Getter = std::function<std::optional<AutomationValue>(AutomationArguments)>;
    using Setter = std::function<bool(AutomationArguments, const AutomationValue&)>;

    void addMethod(std::string name, Method method);
    void addProperty(std::string name, Getter getter, Setter setter = {});

private:
    struct Member {
        std::string name;
        Method method;
        Getter getter;
        Setter setter;
    };
    [[nodiscard]] Member* find(std::string_view name);

    std::vector<Member> m_members;
};

using ComponentFactory = std::function<std::shared_ptr<AutomationComponent>()>;

// The components that CreateAutomationObject can make, by ProgID (compared without regard to case).
// It starts filled with the built-in components, as a machine has its components installed.
// Registering under a ProgID replaces what was there and returns it, so a test can put a recording or
// failing component in place and restore the original afterwards (see ScopedComponent).
ComponentFactory registerComponent(std::string_view progId, ComponentFactory factory);
[[nodiscard]] ComponentFactory registeredComponent(std::string_view progId);

// Puts `factory` under `progId` for the lifetime of this object.
class ScopedComponent {
public:
    ScopedComponent(std::string progId, ComponentFactory factory)
        : m_progId(std::move(progId)), m_previous(registerComponent(m_progId, std::move(factory))) {}
    ~ScopedComponent() { registerComponent(m_progId, std::move(m_previous)); }
    ScopedComponent(const ScopedComponent&) = delete;
    ScopedComponent& operator=(const ScopedComponent&) = delete;

private:
    std::string m_progId;
    ComponentFactory m_previous;
};

}  // namespace tarlowen
