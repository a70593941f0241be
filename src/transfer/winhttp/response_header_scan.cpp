#include "transfer/winhttp/response_header_scan.hpp"

#include "platform/message_pump.hpp"
#include "text/text_primitives.hpp"
#include "text/text_routines.hpp"
#include "text/text_split.hpp"

namespace tarlowen {
namespace {

constexpr int kStatusTextStart = 10;  // after "HTTP/1.1 "
constexpr std::string_view kLocation = "Location: ";

[[nodiscard]] Text statusTextOf(std::string_view headerBlock) {
    const int end = SearchText(headerBlock, "\r\n", kStatusTextStart);
    if (end == -1) {
        return {};
    }
    return TakeSlice(headerBlock, kStatusTextStart, end - kStatusTextStart);
}

[[nodiscard]] bool isLocationLine(std::string_view line) {
    return SearchText(TakeLeft(line, static_cast<int>(kLocation.size())), kLocation, std::nullopt, true) == 1;
}

}  // namespace

Text SetCookiePair(std::string_view line) {
    if (TextBefore(line, ": ") != "Set-Cookie") {
        return {};
    }
    const Text pair = SearchText(line, ";") != -1
                          ? TextBetween(line, "Set-Cookie:", ";")
                          : SubstituteText(line, "Set-Cookie:", "", std::nullopt, std::nullopt, false);
    return TrimSpaces(pair);
}

void ScanResponseHeaders(std::string_view headerBlock, Text& statusText, Text& returnedCookies, Text& location) {
    statusText = statusTextOf(headerBlock);
    Text cookies;
    for (const Text& line : SplitText(headerBlock, "\r\n")) {
        if (TextBefore(line, ": ") == "Set-Cookie") {
            cookies.append(SetCookiePair(line)).append("; ");
        }
        if (isLocationLine(line)) {
            location = TakeSlice(line, static_cast<int>(kLocation.size()) + 1, static_cast<int>(line.size()));
        }
        PumpWaitingMessages();
    }
    returnedCookies = TakeLeft(cookies, static_cast<int>(cookies.size()) - 2);
}

}  // namespace tarlowen
