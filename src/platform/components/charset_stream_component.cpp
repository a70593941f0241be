#include "platform/components/charset_stream_component.hpp"

#include <cmath>
#include <optional>
#include <string>

#include "platform/automation_component.hpp"
#include "platform/charsets.hpp"
#include "platform/code_page.hpp"

namespace tarlowen {
namespace {

constexpr std::int32_t kTypeBinary = 1;
constexpr std::int32_t kTypeText = 2;

[[nodiscard]] std::optional<std::int32_t> wholeNumber(const AutomationValue& value) {
    const auto number = value.number();
    if (!number || !std::isfinite(*number) || *number != std::trunc(*number) || std::fabs(*number) > 2147483647.0) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(*number);
}

class CharsetStreamComponent final : public NativeComponent {
public:
    CharsetStreamComponent() {
        addProperty(
            "Type", [this](AutomationArguments) { return std::optional<AutomationValue>(m_type); },
            [this](AutomationArguments index, const AutomationValue& value) {
                const auto type = wholeNumber(value);
                // The type can change only while nothing lies before the position.
                if (!index.empty() || !type || (*type != kTypeBinary && *type != kTypeText) ||
                    (m_open && m_position != 0)) {
                    return false;
                }
                m_type = *type;
                return true;
            });
        addProperty(
            "Mode", [this](AutomationArguments) { return std::optional<AutomationValue>(m_mode); },
            [this](AutomationArguments index, const AutomationValue& value) {
                const auto mode = wholeNumber(value);
                if (!index.empty() || !mode || m_open) {
                    return false;
                }
                m_mode = *mode;
                return true;
            });
        addProperty(
            "Charset", [this](AutomationArguments) { return std::optional<AutomationValue>(m_charset); },
            [this](AutomationArguments index, const AutomationValue& value) {
                const auto name = value.utf16();
                if (!index.empty() || !name) {
                    return false;
                }
                m_charset = *name;
                return true;
            });
        addProperty(
            "Position",
            [this](AutomationArguments) -> std::optional<AutomationValue> {
                if (!m_open) {
                    return std::nullopt;
                }
                return AutomationValue(static_cast<std::int32_t>(m_position));
            },
            [this](AutomationArguments index, const AutomationValue& value) {
                const auto position = wholeNumber(value);
                if (!index.empty() || !m_open || !position || *position < 0 ||
                    static_cast<std::size_t>(*position) > m_bytes.size()) {
                    return false;
                }
                m_position = static_cast<std::size_t>(*position);
                return true;
            });
        addProperty("Size", [this](AutomationArguments) -> std::optional<AutomationValue> {
            if (!m_open) {
                return std::nullopt;
            }
            return AutomationValue(static_cast<std::int32_t>(m_bytes.size()));
        });

        addMethod("Open", [this](AutomationArguments arguments) -> std::optional<AutomationValue> {
            if (m_open || !arguments.empty()) {
                return std::nullopt;
            }
            m_open = true;
            m_bytes.clear();
            m_position = 0;
            return AutomationValue{};
        });
        addMethod("Write", [this](AutomationArguments arguments) -> std::optional<AutomationValue> {
            const ByteSet* bytes = arguments.size() == 1 ? std::get_if<ByteSet>(&arguments[0].storage()) : nullptr;
            if (!m_open || m_type != kTypeBinary || bytes == nullptr) {
                return std::nullopt;
            }
            const std::size_t end = m_position + bytes->size();
            if (end > m_bytes.size()) {
                m_bytes.resize(end);
            }
            std::copy(bytes->begin(), bytes->end(), m_bytes.begin() + static_cast<std::ptrdiff_t>(m_position));
            m_position = end;
            return AutomationValue{};
        });
        addMethod("ReadText", [this](AutomationArguments arguments) -> std::optional<AutomationValue> {
            // An optional character count; only "all of it" (-1) is supported.
            if (!m_open || m_type != kTypeText || arguments.size() > 1 ||
                (arguments.size() == 1 && wholeNumber(arguments[0]) != -1)) {
                return std::nullopt;
            }
            const auto name = asciiOnly(m_charset);  // a name beyond ASCII names no charset
            if (!name) {
                return std::nullopt;
            }
            const std::span<const std::uint8_t> rest(m_bytes.data() + m_position, m_bytes.size() - m_position);
            auto text = decodeCharset(*name, rest);
            if (!text) {
                return std::nullopt;
            }
            m_position = m_bytes.size();
            return AutomationValue(std::move(*text));
        });
        addMethod("Close", [this](AutomationArguments arguments) -> std::optional<AutomationValue> {
            if (!m_open || !arguments.empty()) {
                return std::nullopt;
            }
            m_open = false;
            m_bytes = ByteSet{};
            m_position = 0;
            return AutomationValue{};
        });
    }

private:
    std::int32_t m_type = kTypeBinary;
    std::int32_t m_mode = 0;
    std::u16string m_charset = u"Unicode";
    bool m_open = false;
    ByteSet m_bytes;
    std::size_t m_position = 0;
};

}  // namespace

std::shared_ptr<AutomationComponent> makeCharsetStreamComponent() {
    return std::make_shared<CharsetStreamComponent>();
}

}  // namespace tarlowen
