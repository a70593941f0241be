#pragma once

#include <memory>

#include "platform/automation.hpp"
#include "platform/http_engine.hpp"

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

// The component's native side channel, for a caller in this program that wants the body as it
// arrives rather than in one piece. Members reached by name carry automation values, and a function
// of the caller's is none; so, the way a component may offer a native interface beside its
// automation one, the caller holding the object hands the sink to it directly. The bridge allows
// this because an AutomationObject exposes the component it refers to, and only this component
// answers to it.
//
// The sink takes the body of the next Send, piece by piece, with the response's status and
// announced length; ResponseBody then reads as an empty byte array, while Status and
// GetAllResponseHeaders read as usual. A sink that returns false ends the exchange as a failed Send.
// The next Send uses the sink up whatever happens, so a sink that refers to its caller's variables
// never stays behind on an object the caller shares; an empty sink takes back one not yet used.
// False, and nothing set, when `request` holds no HTTP request component (an empty object, a test's
// recording component): the caller then reads ResponseBody as usual.
bool setResponseBodySink(const AutomationObject& request, HttpBodySink sink);

}  // namespace tarlowen
