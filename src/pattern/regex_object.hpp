#pragma once

#include <optional>
#include <string_view>

#include "platform/automation.hpp"
#include "text/text_types.hpp"

namespace tarlowen {

// Regular-expression matching through the regex component: one object compiles a pattern, runs it over
// one subject and answers questions about the result. Texts are code page 936; match and sub-match
// numbers count from 1. The object holds an apartment initialisation from construction to destruction
// and is used only on the thread that made it. No operation reports an error: a failed step gives
// false, 0 or an empty text.
class RegexObject {
public:
    RegexObject();
    ~RegexObject();
    RegexObject(const RegexObject&) = delete;
    RegexObject& operator=(const RegexObject&) = delete;

    // Runs `pattern` over `subject` with a new component, discarding the previous search. Absent
    // switches: case ignored, multiline and global on, and the quote marker ("#" and the word for
    // quotation mark) left as written. True when the component gave a match collection, even an empty
    // one; false when it could not be made or rejected the pattern.
    bool Search(std::string_view pattern, std::string_view subject, std::optional<bool> caseSensitive = std::nullopt,
                std::optional<bool> multiline = std::nullopt, std::optional<bool> global = std::nullopt,
                std::optional<bool> useQuoteMarker = std::nullopt);

    // The pattern as set on the component (with quote markers replaced); empty before any search.
    [[nodiscard]] Text GetPattern() const;

    // The last subject with its matches replaced (the first only when the search was not global).
    [[nodiscard]] Text ReplaceMatches(std::string_view replacement = {}) const;

    [[nodiscard]] int MatchCount() const;

    // The text of match `matchIndex`; `position`, when given, receives its 0-based byte offset in the
    // subject (-2 when the text is not found there).
    [[nodiscard]] Text MatchText(int matchIndex, int* position = nullptr) const;

    // The text of sub-match `subMatchIndex` of match `matchIndex`; a group that took no part gives the
    // empty text. `position` as for MatchText, searched from the enclosing match.
    [[nodiscard]] Text SubMatchText(int matchIndex, int subMatchIndex, int* position = nullptr) const;

    // The number of sub-matches of the first match; 0 without a match.
    [[nodiscard]] int SubMatchCount() const;

private:
    [[nodiscard]] AutomationObject match(int matchIndex) const;
    [[nodiscard]] int positionOf(const Text& found, const AutomationObject& match) const;

    AutomationObject m_regExp;
    AutomationObject m_matches;
    AutomationValue m_subjectValue;
};

}  // namespace tarlowen
