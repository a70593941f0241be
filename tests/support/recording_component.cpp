#include "support/recording_component.hpp"

#include <cstdio>
#include <variant>

namespace tarlowen::testing_support {
namespace {

std::string joined(AutomationArguments arguments) {
    std::string text;
    for (const AutomationValue& argument : arguments) {
        if (!text.empty()) {
            text += ", ";
        }
        text += describe(argument);
    }
    return text;
}

std::string indexPart(AutomationArguments index) { return index.empty() ? "" : "[" + joined(index) + "]"; }

}  // namespace

std::string describe(const AutomationValue& value) {
    struct Describer {
        std::string operator()(std::monostate) const { return "empty"; }
        std::string operator()(bool flag) const { return flag ? "true" : "false"; }
        std::string operator()(std::int32_t number) const { return std::to_string(number); }
        std::string operator()(double number) const {
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, "%g", number);
            return buffer;
        }
        std::string operator()(const std::u16string& text) const {
            std::string quoted = "\"";
            for (const char16_t unit : text) {
                if (unit >= 0x20 && unit < 0x7F) {
                    quoted.push_back(static_cast<char>(unit));
                } else {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(unit));
                    quoted += escape;
                }
            }
            return quoted + "\"";
        }
        std::string operator()(const ByteSet& bytes) const { return "bytes[" + std::to_string(bytes.size()) + "]"; }
        std::string operator()(const AutomationObject& object) const {
            return object.component() == nullptr ? "empty object" : "object";
        }
    };
    return std::visit(Describer{}, value.storage());
}

std::optional<AutomationValue> RecordingComponent::respond(Kind kind, std::string_view name,
                                                           AutomationArguments arguments) {
    if (!m_answer) {
        return AutomationValue{};
    }
    return m_answer(kind, std::string(name), arguments);
}

std::optional<AutomationValue> RecordingComponent::invokeMethod(std::string_view name, AutomationArguments arguments) {
    m_log->push_back(std::string(name) + "(" + joined(arguments) + ")");
    return respond(Kind::Method, name, arguments);
}

std::optional<AutomationValue> RecordingComponent::readProperty(std::string_view name, AutomationArguments index) {
    m_log->push_back("get " + std::string(name) + indexPart(index));
    return respond(Kind::Get, name, index);
}

bool RecordingComponent::writeProperty(std::string_view name, AutomationArguments index, const AutomationValue& value) {
    m_log->push_back("put " + std::string(name) + indexPart(index) + " = " + describe(value));
    const AutomationValue arguments[] = {value};
    return respond(Kind::Put, name, arguments).has_value();
}

ComponentFactory RecordingComponent::factory(std::shared_ptr<Log> log, Answer answer) {
    return [log = std::move(log), answer = std::move(answer)] {
        return std::make_shared<RecordingComponent>(log, answer);
    };
}

}  // namespace tarlowen::testing_support
