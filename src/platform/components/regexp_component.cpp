#include "platform/components/regexp_component.hpp"

#include <cmath>
#include <optional>
#include <vector>

#include "platform/automation_component.hpp"
#include "platform/components/regexp_engine.hpp"

namespace tarlowen {
namespace {

// The item an index argument names, or nullopt when it is missing, not a number or out of range.
[[nodiscard]] std::optional<std::size_t> itemIndex(AutomationArguments index, std::size_t count) {
    if (index.size() != 1) {
        return std::nullopt;
    }
    const auto number = index[0].number();
    if (!number || !std::isfinite(*number) || *number < 0 || *number >= static_cast<double>(count)) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(*number);
}

class SubMatchesObject final : public NativeComponent {
public:
    explicit SubMatchesObject(std::vector<std::u16string> subMatches) : m_subMatches(std::move(subMatches)) {
        addProperty("Count", [this](AutomationArguments) {
            return std::optional<AutomationValue>(static_cast<std::int32_t>(m_subMatches.size()));
        });
        addProperty("Item", [this](AutomationArguments index) -> std::optional<AutomationValue> {
            const auto at = itemIndex(index, m_subMatches.size());
            if (!at) {
                return std::nullopt;
            }
            return AutomationValue(m_subMatches[*at]);
        });
    }

private:
    std::vector<std::u16string> m_subMatches;
};

class MatchObject final : public NativeComponent {
public:
    explicit MatchObject(RegexpMatch match) : m_match(std::move(match)) {
        addProperty("Value", [this](AutomationArguments) { return std::optional<AutomationValue>(m_match.value); });
        addProperty("FirstIndex", [this](AutomationArguments) {
            return std::optional<AutomationValue>(static_cast<std::int32_t>(m_match.firstIndex));
        });
        addProperty("Length", [this](AutomationArguments) {
            return std::optional<AutomationValue>(static_cast<std::int32_t>(m_match.length));
        });
        addProperty("SubMatches", [this](AutomationArguments) {
            return std::optional<AutomationValue>(
                AutomationObject(std::make_shared<SubMatchesObject>(m_match.subMatches)));
        });
    }

private:
    RegexpMatch m_match;
};

class MatchCollectionObject final : public NativeComponent {
public:
    explicit MatchCollectionObject(std::vector<RegexpMatch> matches) : m_matches(std::move(matches)) {
        addProperty("Count", [this](AutomationArguments) {
            return std::optional<AutomationValue>(static_cast<std::int32_t>(m_matches.size()));
        });
        addProperty("Item", [this](AutomationArguments index) -> std::optional<AutomationValue> {
            const auto at = itemIndex(index, m_matches.size());
            if (!at) {
                return std::nullopt;
            }
            return AutomationValue(AutomationObject(std::make_shared<MatchObject>(m_matches[*at])));
        });
    }

private:
    std::vector<RegexpMatch> m_matches;
};

class RegexpComponent final : public NativeComponent {
public:
    RegexpComponent() {
        addProperty(
            "Pattern", [this](AutomationArguments) { return std::optional<AutomationValue>(m_pattern); },
            [this](AutomationArguments index, const AutomationValue& value) {
                const auto text = value.utf16();
                if (!index.empty() || !text) {
                    return false;
                }
                m_pattern = *text;
                return true;
            });
        addFlag("IgnoreCase", m_settings.ignoreCase);
        addFlag("Global", m_settings.global);
        addFlag("Multiline", m_settings.multiline);

        addMethod("Execute", [this](AutomationArguments arguments) -> std::optional<AutomationValue> {
            const auto compiled = compile();
            const auto subject = arguments.size() == 1 ? arguments[0].utf16() : std::nullopt;
            if (!compiled || !subject) {
                return std::nullopt;
            }
            return AutomationValue(
                AutomationObject(std::make_shared<MatchCollectionObject>(compiled->execute(*subject))));
        });
        addMethod("Replace", [this](AutomationArguments arguments) -> std::optional<AutomationValue> {
            const auto compiled = compile();
            if (!compiled || arguments.size() != 2) {
                return std::nullopt;
            }
            const auto subject = arguments[0].utf16();
            const auto replacement = arguments[1].isEmpty() ? std::u16string() : arguments[1].utf16();
            if (!subject || !replacement) {
                return std::nullopt;
            }
            return AutomationValue(compiled->replace(*subject, *replacement));
        });
        addMethod("Test", [this](AutomationArguments arguments) -> std::optional<AutomationValue> {
            const auto compiled = compile();
            const auto subject = arguments.size() == 1 ? arguments[0].utf16() : std::nullopt;
            if (!compiled || !subject) {
                return std::nullopt;
            }
            return AutomationValue(compiled->test(*subject));
        });
    }

private:
    void addFlag(std::string name, bool& flag) {
        addProperty(
            std::move(name), [&flag](AutomationArguments) { return std::optional<AutomationValue>(flag); },
            [&flag](AutomationArguments index, const AutomationValue& value) {
                const auto setting = value.boolean();
                if (!index.empty() || !setting) {
                    return false;
                }
                flag = *setting;
                return true;
            });
    }

    [[nodiscard]] std::optional<CompiledRegexp> compile() const {
        return CompiledRegexp::compile(m_pattern, m_settings);
    }

    std::u16string m_pattern;
    RegexpSettings m_settings;
};

}  // namespace

std::shared_ptr<AutomationComponent> makeRegexpComponent() { return std::make_shared<RegexpComponent>(); }

}  // namespace tarlowen
