#pragma once

#include <memory>

namespace tarlowen {

class AutomationComponent;

// The regular-expression component: properties Pattern, IgnoreCase, Global and Multiline; methods
// Execute (a match collection of matches with Value, FirstIndex, Length and SubMatches), Replace and
// Test. A pattern the dialect rejects makes the methods fail.
[[nodiscard]] std::shared_ptr<AutomationComponent> makeRegexpComponent();

}  // namespace tarlowen
