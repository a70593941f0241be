#pragma once

#include "pattern/regex_object.hpp"
#include "text/text_types.hpp"

namespace tarlowen {

// Turns a response body into the text the page transfer returns. The text is the body up to its first
// zero byte, unless the first 1024 bytes declare in a meta tag a charset other than "gbk" or "gb2312"
// (as written, in lower case): then the whole body is converted from that charset by the charset
// stream component, and whatever that gives (empty when the name is unknown) is the text. Uses the
// caller's pattern object, brackets its own work with an apartment initialisation, and lets waiting
// window messages be handled once whenever the search ran (found or not). Reports nothing. Takes the
// body over, so a caller that moves it in never holds the page three times.
[[nodiscard]] Text convertResponseCharset(ByteSet body, RegexObject& pattern);

}  // namespace tarlowen
