// Peak resident memory of one page fetch (WinHttpFetch) for a large page, next to the page's size:
// a 32 MiB page with `<meta charset="utf-8">` (converted to code page 936) and one without a charset
// (taken as it is); with an argument in MiB, a page of that size as well. Each fetch runs in a child
// process of its own (this program, started again), which reports its own peak (VmHWM: a wait4
// figure would include the parent's memory, which a spawned child inherits until it executes); the
// loopback server stays in the parent. Also fetches, with the same program, an endless page: its peak shows
// the page limit at work.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/allocator.hpp"
#include "support/scripted_http_server.hpp"
#include "transfer/winhttp/winhttp_fetch.hpp"

extern char** environ;

namespace {

constexpr double kMiB = 1024.0 * 1024.0;

// Mostly ASCII with two Chinese words per line, as a share page is.
std::string makePage(std::size_t size, bool declaresUtf8) {
    std::string page = declaresUtf8 ? "<html><head><meta charset=\"utf-8\"></head><body>" : "<html><body>";
    const std::string line =
        "\xE4\xB8\xAD\xE6\x96\x87 text line with some ascii and \xE6\xAD\x8C\xE6\x9B\xB2<br>\n";
    page.reserve(size);
    while (page.size() + line.size() < size) {
        page += line;
    }
    page.append(size - page.size(), ' ');
    return page;
}

// This process's peak resident memory in KiB.
long ownPeakKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return 0;
}

// Runs this program as "fetch URL FILE" and returns the child's peak resident memory in KiB, which
// the child writes to FILE.
long fetchInChild(const char* self, const std::string& url) {
    char file[] = "/tmp/tarlowen-page-memory-XXXXXX";
    const int fd = ::mkstemp(file);
    if (fd < 0) {
        std::perror("mkstemp");
        std::exit(1);
    }
    ::close(fd);
    std::vector<char*> arguments = {const_cast<char*>(self), const_cast<char*>("fetch"),
                                    const_cast<char*>(url.c_str()), file, nullptr};
    pid_t child = 0;
    if (posix_spawn(&child, self, nullptr, nullptr, arguments.data(), environ) != 0) {
        std::perror("posix_spawn");
        std::exit(1);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "the fetch child failed\n");
        std::exit(1);
    }
    long peak = 0;
    std::ifstream(file) >> peak;
    ::unlink(file);
    return peak;
}

}  // namespace

int main(int argc, char* argv[]) {
    using namespace tarlowen;
    if (argc == 4 && std::string(argv[1]) == "fetch") {
        keepLargeBuffersForReuse();  // as the program does at start
        const Text text = WinHttpFetch(argv[2]);
        std::ofstream(argv[3]) << ownPeakKiB();
        return text.empty() && std::string(argv[2]).find("small") == std::string::npos ? 1 : 0;
    }

    std::vector<std::size_t> sizes = {std::size_t{32} << 20};
    if (argc == 2) {
        sizes.push_back(static_cast<std::size_t>(std::strtoul(argv[1], nullptr, 10)) << 20);
    }
    const long idleKiB = [&] {
        testing_support::ScriptedHttpServer server;
        server.setDefaultReply(testing_support::respond(200, {}, "<html></html>"));
        return fetchInChild(argv[0], server.url("/small"));
    }();
    std::printf("a small page: peak RSS %.1f MiB (the program's own share)\n",
                static_cast<double>(idleKiB) / 1024);
    for (const std::size_t size : sizes) {
        for (const bool utf8 : {true, false}) {
            long peakKiB = 0;
            {
                const std::string page = makePage(size, utf8);
                testing_support::ScriptedHttpServer server;
                server.setDefaultReply(testing_support::respond(200, {{"Content-Type", "text/html"}}, page));
                peakKiB = fetchInChild(argv[0], server.url("/page"));
            }
            const double beyondIdle = static_cast<double>(peakKiB - idleKiB) * 1024;
            std::printf(
                "%4.0f MiB page, %-17s peak RSS %7.1f MiB, beyond a small page's %7.1f MiB = %.2fx the "
                "page\n",
                static_cast<double>(size) / kMiB,
                utf8 ? "declaring utf-8:" : "without charset:", static_cast<double>(peakKiB) / 1024,
                beyondIdle / kMiB, beyondIdle / static_cast<double>(size));
        }
    }
    {
        testing_support::ScriptedHttpServer server;
        server.setDefaultReply(testing_support::endlessBody());
        const long peakKiB = fetchInChild(argv[0], server.url("/endless"));
        std::printf("endless page (kept up to %.0f MiB): peak RSS %.1f MiB\n",
                    static_cast<double>(kMaxPageBodyBytes) / kMiB, static_cast<double>(peakKiB) / 1024);
    }
    return 0;
}
