// Downloads one large file from a loopback server with AutomationFetch streaming into the program's
// song writer (temporary file, sync, rename), next to `curl -s -o FILE` followed by `sync FILE`, and
// plain `curl -s -o FILE`, on the same address; prints the wall time and peak resident memory of each.
//
// Each download runs in a child process of its own, so its peak resident set (from wait4) is its own
// and nothing else's. The server runs in this process and streams the file from disk with sendfile,
// so it holds no copy of the body that could blur the figures.
//
//   automation_download_bench [--size-mib N] [--runs R] [--dir DIRECTORY]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/allocator.hpp"
#include "platform/files.hpp"
#include "transfer/automation/automation_fetch.hpp"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr std::size_t kMiB = 1024 * 1024;

// ---- the child that downloads with AutomationFetch -----------------------------------------------

// The download cycle's own use: the address alone, the body streamed into the song writer as it
// arrives, which syncs the file and renames it into place, as the program saves a song.
int fetchToFile(const char* url, const char* path) {
    const fs::path target(path);
    tarlowen::MediaFileWriter writer(target.parent_path(), target.filename().string());
    int status = 0;
    static_cast<void>(tarlowen::AutomationFetch(
        url, {.status = &status, .bodySink = [&writer](const tarlowen::HttpBodyPiece& piece) {
                  return writer.append(piece.bytes);
              }}));
    return status == 200 && writer.finish() == tarlowen::MediaWriteResult::Written ? 0 : 1;
}

// ---- the loopback server -------------------------------------------------------------------------

class FileServer {
  public:
    FileServer(const fs::path& file, std::uintmax_t size) : m_file(file), m_size(size) {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (m_listener < 0 ||
            ::bind(m_listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listener, 8) != 0) {
            std::perror("listen");
            std::exit(1);
        }
        socklen_t length = sizeof address;
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
    }

    ~FileServer() {
        m_stopping = true;
        ::shutdown(m_listener, SHUT_RDWR);
        m_thread.join();
        ::close(m_listener);
    }

    FileServer(const FileServer&) = delete;
    FileServer& operator=(const FileServer&) = delete;

    [[nodiscard]] std::string url() const {
        return "http://127.0.0.1:" + std::to_string(m_port) + "/media.m4a";
    }

  private:
    // One request per connection: read the head, send the file, close.
    void serve() {
        while (!m_stopping) {
            const int connection = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) {
                continue;
            }
            std::string head;
            char chunk[4096];
            while (head.find("\r\n\r\n") == std::string::npos) {
                const ssize_t count = ::recv(connection, chunk, sizeof chunk, 0);
                if (count <= 0) {
                    break;
                }
                head.append(chunk, static_cast<std::size_t>(count));
            }
            const std::string response =
                "HTTP/1.1 200 OK\r\nContent-Type: audio/mp4\r\nContent-Length: " + std::to_string(m_size) +
                "\r\nConnection: close\r\n\r\n";
            const int file = ::open(m_file.c_str(), O_RDONLY | O_CLOEXEC);
            if (file >= 0 && ::send(connection, response.data(), response.size(), MSG_NOSIGNAL) ==
                                 static_cast<ssize_t>(response.size())) {
                off_t offset = 0;
                while (static_cast<std::uintmax_t>(offset) < m_size) {
                    if (::sendfile(connection, file, &offset, m_size - static_cast<std::uintmax_t>(offset)) <=
                        0) {
                        break;
                    }
                }
            }
            if (file >= 0) {
                ::close(file);
            }
            ::close(connection);
        }
    }

    fs::path m_file;
    std::uintmax_t m_size;
    int m_listener = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
};

// ---- measuring -------------------------------------------------------------------------------------

struct Run {
    double seconds = 0;
    long peakKiB = 0;  // ru_maxrss of the child
    bool ok = false;
};

Run runChild(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    Run run;
    const auto start = Clock::now();
    pid_t child = 0;
    if (::posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        std::perror("posix_spawnp");
        return run;
    }
    int status = 0;
    rusage usage{};
    while (::wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.peakKiB = usage.ru_maxrss;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

bool sameContent(const fs::path& a, const fs::path& b) {
    std::FILE* left = std::fopen(a.c_str(), "rb");
    std::FILE* right = std::fopen(b.c_str(), "rb");
    bool same = left != nullptr && right != nullptr;
    std::vector<char> x(kMiB);
    std::vector<char> y(kMiB);
    while (same) {
        const std::size_t n = std::fread(x.data(), 1, x.size(), left);
        const std::size_t m = std::fread(y.data(), 1, y.size(), right);
        same = n == m && std::memcmp(x.data(), y.data(), n) == 0;
        if (n == 0) {
            break;
        }
    }
    if (left != nullptr) {
        std::fclose(left);
    }
    if (right != nullptr) {
        std::fclose(right);
    }
    return same;
}

void makeSource(const fs::path& path, std::size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::perror("source file");
        std::exit(1);
    }
    std::mt19937_64 random(20240607);
    std::vector<std::uint64_t> block(kMiB / sizeof(std::uint64_t));
    for (std::size_t written = 0; written < size; written += kMiB) {
        std::generate(block.begin(), block.end(), random);
        std::fwrite(block.data(), 1, std::min(kMiB, size - written), file);
    }
    std::fclose(file);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc == 4 && std::strcmp(argv[1], "--fetch") == 0) {
        tarlowen::keepLargeBuffersForReuse();  // as the program does at start
        return fetchToFile(argv[2], argv[3]);
    }
    std::size_t sizeMiB = 256;
    int runs = 3;
    fs::path directory = fs::temp_directory_path();
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--size-mib") {
            sizeMiB = std::stoul(argv[i + 1]);
        } else if (option == "--runs") {
            runs = std::max(1, std::stoi(argv[i + 1]));
        } else if (option == "--dir") {
            directory = argv[i + 1];
        }
    }
    const fs::path work = directory / ("automation_download_bench." + std::to_string(::getpid()));
    fs::create_directories(work);
    const std::size_t size = sizeMiB * kMiB;
    const fs::path source = work / "source.bin";
    makeSource(source, size);

    const std::string self = fs::read_symlink("/proc/self/exe");
    // Three contestants, each in a child of its own: the program's way, curl with a sync of its
    // file (the same durability), and plain curl.
    const char* names[3] = {"AutomationFetch -> song file", "curl -o FILE; sync FILE", "curl -s -o FILE"};
    std::vector<double> seconds[3];
    long peaks[3] = {0, 0, 0};
    bool allOk = true;
    {
        const FileServer server(source, size);
        const std::string url = server.url();
        for (int run = 0; run < runs; ++run) {
            // Rotate which goes first, so none always meets a warmer machine.
            for (int turn = 0; turn < 3; ++turn) {
                const int who = (run + turn) % 3;
                const fs::path output = work / ("out" + std::to_string(who) + ".bin");
                Run result;
                if (who == 0) {
                    result = runChild({self, "--fetch", url, output.string()});
                } else if (who == 1) {
                    result = runChild(
                        {"sh", "-c", "curl -s -o \"$1\" \"$2\" && sync \"$1\"", "sh", output.string(), url});
                } else {
                    result = runChild({"curl", "-s", "-o", output.string(), url});
                }
                std::error_code error;
                const bool ok = result.ok && fs::file_size(output, error) == size && !error &&
                                sameContent(source, output);
                allOk = allOk && ok;
                seconds[who].push_back(result.seconds);
                if (who != 1) {  // the shell's own peak would stand for curl's
                    peaks[who] = std::max(peaks[who], result.peakKiB);
                }
                fs::remove(output, error);
            }
        }
    }
    fs::remove_all(work);

    std::printf("automation download of %zu MiB over loopback, median of %d runs, peak of each child\n",
                sizeMiB, runs);
    for (int who = 0; who < 3; ++who) {
        std::printf("  %-30s %8.3f s", names[who], median(seconds[who]));
        if (who != 1) {
            std::printf("  %8.1f MiB peak RSS", static_cast<double>(peaks[who]) / 1024.0);
        }
        std::printf("\n");
    }
    const double ratio = median(seconds[0]) / median(seconds[1]);
    std::printf("  time ratio to curl + sync %.3f (target at most 1.0): %s; to plain curl %.3f\n", ratio,
                ratio <= 1.0 ? "met" : "MISSED", median(seconds[0]) / median(seconds[2]));
    std::printf("  peak %.1f MiB, whatever the size of the body\n", static_cast<double>(peaks[0]) / 1024.0);
    if (!allOk) {
        std::printf("  a download failed or differs from the served file\n");
        return 1;
    }
    return 0;
}
