// The response header scan on any header block: the status text is the bytes from the tenth up to the
// first CR LF found at a character start, window messages are let through exactly once per line,
// each cookie pair and the location are cut from the lines as they stand, and a block without a
// location line leaves the caller's location alone.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "platform/message_pump.hpp"
#include "reference_text.hpp"
#include "text/text_split.hpp"
#include "transfer/winhttp/response_header_scan.hpp"

namespace {

using namespace tarlowen;

bool isLocationLine(std::string_view line) {
    return line.size() >= 10 && reference::matchesAt(line, 0, "Location: ", true);
}

std::string expectedStatus(std::string_view block) {
    const int end = reference::searchText(block, "\r\n", 10, false);
    return end == -1 ? std::string() : reference::takeSlice(block, 10, end - 10);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string block = fuzzing::consumeText(input, 4096);

    int pumped = 0;
    const auto previous = setMessagePumpHandler([&pumped] { ++pumped; });
    Text status = "unchanged status";
    Text cookies = "unchanged cookies";
    const Text locationBefore = "kept location";
    Text location = locationBefore;
    ScanResponseHeaders(block, status, cookies, location);
    setMessagePumpHandler(previous);

    const std::vector<std::string> lines = reference::splitText(block, "\r\n");
    FUZZ_CHECK(pumped == static_cast<int>(lines.size()));
    FUZZ_CHECK(status == expectedStatus(block));

    std::string expectedLocation = locationBefore;
    std::string expectedCookies;
    for (const std::string& line : lines) {
        if (isLocationLine(line)) {
            expectedLocation = line.substr(10);
        }
        const Text pair = SetCookiePair(line);
        if (reference::textBefore(line, ": ", std::nullopt, false) == "Set-Cookie") {
            // The pair lies inside the line and carries no space at either end.
            FUZZ_CHECK(line.find(pair) != std::string::npos);
            FUZZ_CHECK(TrimSpaces(pair) == pair);
            expectedCookies += pair + "; ";
        } else {
            FUZZ_CHECK(pair.empty());
        }
    }
    if (!expectedCookies.empty()) {
        expectedCookies.resize(expectedCookies.size() - 2);
    }
    FUZZ_CHECK(location == expectedLocation);
    FUZZ_CHECK(cookies == expectedCookies);
    return 0;
}
