#pragma once

#include <memory>

namespace tarlowen {

class AutomationComponent;

// The HTTP request component: one synchronous exchange at a time over the HTTP engine. Members:
//
//   SetTimeouts(resolve, connect, send, receive)  idle limits in ms; 0 or -1: no limit; below -1 fails
//   SetProxy(setting[, server[, bypass]])   0 or 1: direct; 2: the named proxy list in `server`
//                                           ("host:port" or "http=host:port"); a bypass list fails
//   SetRequestHeader(name, value)  kept for the next Send, also when set before Open; an empty or
//                                  malformed name, or a line break in either, fails
//   Open(verb, url[, async])      an http or https address; async true fails (synchronous only)
//   Option[index]                 4: certificate errors to ignore (flags of 0x3300); 6: follow redirects
//   Send([body])                  no body, a text (sent as UTF-8) or a byte array
//   Status, GetAllResponseHeaders, ResponseBody   the response of the last successful Send
//
// Timeouts, proxy and options stay with the object until changed; headers and the opened request
// are used up by Send. Header texts go out in code page 936; a non-ASCII character of an address
// goes out percent-encoded as UTF-8. Cookies that responses set during one exchange (on a followed
// redirect) travel with its later requests; nothing carries over to the next exchange.
//
// When Send fails (the engine reports a failure in any phase, a partly received body included) the
// three reads fail, giving empty values. ResponseBody hands the body over by move, so a large body
// is held once: the first read after a Send takes it out of the component, and a second read fails.
[[nodiscard]] std::shared_ptr<AutomationComponent> makeHttpRequestComponent();

}  // namespace tarlowen
