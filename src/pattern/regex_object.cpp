#include "pattern/regex_object.hpp"

#include <cmath>

#include "platform/apartment.hpp"
#include "platform/code_page.hpp"
#include "text/text_primitives.hpp"

namespace tarlowen {
namespace {

[[nodiscard]] int asInteger(const AutomationValue& value) {
    const double number = std::trunc(AsNumber(value));
    if (number > 2147483647.0 || number < -2147483648.0) {
        return 0;
    }
    return static_cast<int>(number);
}

}  // namespace

RegexObject::RegexObject() { CoInitialize(); }

RegexObject::~RegexObject() {
    ReleaseObject(m_regExp);
    ReleaseObject(m_matches);
    m_subjectValue.clear();
    CoUninitialize();
}

bool RegexObject::Search(std::string_view pattern, std::string_view subject, std::optional<bool> caseSensitive,
                         std::optional<bool> multiline, std::optional<bool> global,
                         std::optional<bool> useQuoteMarker) {
    ReleaseObject(m_regExp);
    ReleaseObject(m_matches);
    CreateAutomationObject(m_regExp, "VBScript.RegExp");

    WriteProperty(m_regExp, "IgnoreCase", !caseSensitive.value_or(false));
    WriteProperty(m_regExp, "Multiline", multiline.value_or(true));
    WriteProperty(m_regExp, "Singleline", true);  // the component has no such property: a silent no-op
    WriteProperty(m_regExp, "Global", global.value_or(true));
    const Text effectivePattern = useQuoteMarker.value_or(false)
                                      ? SubstituteText(pattern, kQuoteMarker, "\"", 1, std::nullopt, true)
                                      : Text(pattern);
    WriteProperty(m_regExp, "Pattern", effectivePattern);

    m_subjectValue = AutomationValue(subject);
    m_matches = AsObject(InvokeMethod(m_regExp, "Execute", {m_subjectValue}));
    return !IsEmpty(m_matches);
}

Text RegexObject::GetPattern() const { return AsText(ReadProperty(m_regExp, "Pattern")); }

Text RegexObject::ReplaceMatches(std::string_view replacement) const {
    return AsText(InvokeMethod(m_regExp, "Replace", {m_subjectValue, replacement}));
}

int RegexObject::MatchCount() const { return asInteger(ReadProperty(m_matches, "Count")); }

AutomationObject RegexObject::match(int matchIndex) const {
    return AsObject(ReadProperty(m_matches, "Item", {static_cast<std::int32_t>(matchIndex - 1)}));
}

Text RegexObject::MatchText(int matchIndex, int* position) const {
    const AutomationObject found = match(matchIndex);
    Text text = AsText(ReadProperty(found, "Value"));
    if (position != nullptr) {
        *position = positionOf(text, found);
    }
    return text;
}

Text RegexObject::SubMatchText(int matchIndex, int subMatchIndex, int* position) const {
    const AutomationObject found = match(matchIndex);
    const AutomationObject subMatches = AsObject(ReadProperty(found, "SubMatches"));
    Text text = AsText(ReadProperty(subMatches, "Item", {static_cast<std::int32_t>(subMatchIndex - 1)}));
    if (position != nullptr) {
        *position = positionOf(text, found);
    }
    return text;
}

int RegexObject::SubMatchCount() const {
    const AutomationObject first = match(1);
    const AutomationObject subMatches = AsObject(ReadProperty(first, "SubMatches"));
    return asInteger(ReadProperty(subMatches, "Count"));
}

// The component counts FirstIndex in UTF-16 units, while positions in a text count bytes, and every
// two-byte character before the match makes the byte offset larger. The search for `found` therefore
// starts at the byte where the match's first unit lies: the length in code page 936 of the subject's
// first FirstIndex units. Starting at FirstIndex itself would begin too early and could report an
// earlier occurrence of the same text.
int RegexObject::positionOf(const Text& found, const AutomationObject& match) const {
    const Text subject = AsText(m_subjectValue);
    const int firstIndex = std::max(asInteger(ReadProperty(match, "FirstIndex")), 0);
    const std::u16string units = m_subjectValue.utf16().value_or(std::u16string{});
    const std::size_t prefixUnits = std::min(static_cast<std::size_t>(firstIndex), units.size());
    const auto startByte = static_cast<int>(encodeCodePage936(std::u16string_view(units).substr(0, prefixUnits)).size());
    const Text ignoreCase = AsText(ReadProperty(m_regExp, "IgnoreCase"));
    const bool caseIgnored = !ignoreCase.empty() && ignoreCase != "0";
    return SearchText(subject, found, startByte + 1, caseIgnored) - 1;
}

}  // namespace tarlowen
