#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/automation_component.hpp"

namespace tarlowen::testing_support {

// Renders a value for a call log: numbers and booleans as written, texts in double quotes (UTF-16
// units outside ASCII as \uXXXX), byte arrays as bytes[size], objects as "object", nothing as "empty".
std::string describe(const AutomationValue& value);

// A component that writes every call it receives into a shared log, as "Name(arg, ...)" for methods,
// "get Name[index]" for property reads and "put Name[index] = value" for writes, and answers with
// whatever `answer` gives (nothing: an empty value, which counts as success). The log outlives the
// component, so a test can read it after the code under test released its object.
class RecordingComponent final : public AutomationComponent {
public:
    using Log = std::vector<std::string>;
    enum class Kind { Method, Get, Put };
    using Answer = std::function<std::optional<AutomationValue>(Kind, const std::string& name, AutomationArguments)>;

    explicit RecordingComponent(std::shared_ptr<Log> log, Answer answer = {})
        : m_log(std::move(log)), m_answer(std::move(answer)) {}

    std::optional<AutomationValue> invokeMethod(std::string_view name, AutomationArguments arguments) override;
    std::optional<AutomationValue> readProperty(std::string_view name, AutomationArguments index) override;
    bool writeProperty(std::string_view name, AutomationArguments index, const AutomationValue& value) override;

    // A factory for ScopedComponent that makes recording components writing into `log`.
    static ComponentFactory factory(std::shared_ptr<Log> log, Answer answer = {});

private:
    std::optional<AutomationValue> respond(Kind kind, std::string_view name, AutomationArguments arguments);

    std::shared_ptr<Log> m_log;
    Answer m_answer;
};

}  // namespace tarlowen::testing_support
