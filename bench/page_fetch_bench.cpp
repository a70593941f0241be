// Fetches a 2 MiB UTF-8 page that declares its charset from a loopback server with WinHttpFetch,
// 20 times, the same through the HTTP engine alone, and with `curl -s -o /dev/null`, 20 times each;
// prints the median of each.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/allocator.hpp"
#include "platform/http_engine.hpp"
#include "support/scripted_http_server.hpp"
#include "transfer/winhttp/winhttp_fetch.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRuns = 20;

std::string makePage() {
    std::string page = "<html><head><meta charset=\"utf-8\"><title>bench</title></head><body>";
    const std::string line = "\xE4\xB8\xAD\xE6\x96\x87 text line with some ascii and \xE6\xAD\x8C\xE6\x9B\xB2<br>\n";
    while (page.size() < 2 * 1024 * 1024 - line.size()) {
        page += line;
    }
    return page + "</body></html>";
}

double medianMs(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return (samples[kRuns / 2 - 1] + samples[kRuns / 2]) / 2;
}

template <class Work>
double timeMedian(Work work) {
    std::vector<double> samples;
    for (int run = 0; run < kRuns; ++run) {
        const auto start = Clock::now();
        work();
        samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return medianMs(samples);
}

}  // namespace

int main() {
    using namespace tarlowen;
    keepLargeBuffersForReuse();  // as the program does at start
    const std::string page = makePage();
    testing_support::ScriptedHttpServer server;
    server.setDefaultReply(testing_support::respond(200, {{"Content-Type", "text/html"}}, page));
    const std::string url = server.url("/page");

    std::size_t bodySize = 0;
    const double engineMs = timeMedian([&] { bodySize = performHttpExchange({.url = url}).body.size(); });
    std::size_t textSize = 0;
    const double fetchMs = timeMedian([&] { textSize = WinHttpFetch(url).size(); });
    const std::string command = "curl -s -o /dev/null '" + url + "'";
    const double curlMs = timeMedian([&] {
        if (std::system(command.c_str()) != 0) {
            std::fprintf(stderr, "curl failed\n");
            std::exit(1);
        }
    });

    std::printf("page: %zu bytes of UTF-8, %zu bytes of text after conversion\n", page.size(), textSize);
    std::printf("HTTP engine alone       median of %d: %8.2f ms (%zu bytes)\n", kRuns, engineMs, bodySize);
    std::printf("WinHttpFetch            median of %d: %8.2f ms\n", kRuns, fetchMs);
    std::printf("curl -s -o /dev/null    median of %d: %8.2f ms (a new process each time)\n", kRuns, curlMs);
    std::printf("ratio                                 %8.2fx\n", fetchMs / curlMs);
    return 0;
}
