#include "e2e/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

extern char** environ;

namespace tarlowen::e2e {
namespace {

using Clock = std::chrono::steady_clock;

// An owned file descriptor.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : m_fd(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    [[nodiscard]] int get() const { return m_fd; }
    [[nodiscard]] bool valid() const { return m_fd >= 0; }
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = fd;
    }

  private:
    int m_fd = -1;
};

struct Pipe {
    Fd read;
    Fd write;
};

[[nodiscard]] std::optional<Pipe> makePipe() {
    std::array<int, 2> fds{};
    if (::pipe2(fds.data(), O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    return Pipe{Fd(fds[0]), Fd(fds[1])};
}

// argv[0] as a path: itself when it holds a slash, else the first executable of that name on PATH.
// Done before fork, because the child may only make async-signal-safe calls.
[[nodiscard]] std::string resolveProgram(const std::string& name, const Environment& environment) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    std::string path = "/usr/local/bin:/usr/bin:/bin";
    for (const std::string& entry : environment) {
        if (entry.rfind("PATH=", 0) == 0) {
            path = entry.substr(5);
        }
    }
    std::istringstream directories(path);
    std::string directory;
    while (std::getline(directories, directory, ':')) {
        const std::string candidate = (directory.empty() ? std::string(".") : directory) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return name;
}

[[nodiscard]] std::vector<char*> cStrings(const std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (const std::string& text : strings) {
        pointers.push_back(const_cast<char*>(text.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

[[nodiscard]] int decodeStatus(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

// Descriptors the child gets as 0, 1, 2 and, when valid, 3.
struct ChildFds {
    int input = -1;
    int output = -1;
    int errors = -1;
    int extra = -1;
};

// Forks and executes `argv`; -1 when fork fails. The child dies with the thread that started it, so
// nothing outlives a killed test run.
[[nodiscard]] pid_t spawn(const std::vector<std::string>& argv, const Environment& environment,
                          const ChildFds& fds) {
    const std::string program = resolveProgram(argv.at(0), environment);
    std::vector<char*> arguments = cStrings(argv);
    std::vector<char*> variables = cStrings(environment);
    const pid_t parent = ::getpid();

    const pid_t pid = ::fork();
    if (pid != 0) {
        return pid;
    }
    // Child: async-signal-safe calls only from here on.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) {
        ::_exit(127);
    }
    // Lift every source above the targets first, so placing one cannot overwrite another.
    const auto lift = [](int fd) { return fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 10) : -1; };
    const int input = lift(fds.input);
    const int output = lift(fds.output);
    const int errors = lift(fds.errors);
    const int extra = lift(fds.extra);
    const int devNull = lift(::open("/dev/null", O_RDWR | O_CLOEXEC));
    // dup2 clears close-on-exec on the target.
    ::dup2(input >= 0 ? input : devNull, 0);
    ::dup2(output >= 0 ? output : devNull, 1);
    ::dup2(errors >= 0 ? errors : devNull, 2);
    if (extra >= 0) {
        ::dup2(extra, 3);
    }
    ::signal(SIGPIPE, SIG_DFL);
    ::execve(program.c_str(), arguments.data(), variables.data());
    ::_exit(127);
}

// Reads what `fd` has now; false at end of file or on error.
bool drain(int fd, std::string& into) {
    std::array<char, 4096> buffer{};
    const ssize_t count = ::read(fd, buffer.data(), buffer.size());
    if (count <= 0) {
        return false;
    }
    into.append(buffer.data(), static_cast<std::size_t>(count));
    return true;
}

[[nodiscard]] int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for `pid` until `deadline`; its decoded status, or nullopt when it still runs.
[[nodiscard]] std::optional<int> reapBefore(pid_t pid, Clock::time_point deadline) {
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return decodeStatus(status);
        }
        if (done < 0) {
            return -1;
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

Environment environmentWith(const std::vector<std::string>& overrides) {
    Environment result;
    const auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string text(*entry);
        bool replaced = false;
        for (const std::string& replacement : overrides) {
            replaced = replaced || nameOf(replacement) == nameOf(text);
        }
        if (!replaced) {
            result.push_back(text);
        }
    }
    result.insert(result.end(), overrides.begin(), overrides.end());
    return result;
}

CommandResult runCommand(const std::vector<std::string>& argv, const Environment& environment,
                         const CommandOptions& options) {
    ::signal(SIGPIPE, SIG_IGN);  // a command that exits without reading its input must not end the test
    CommandResult result;
    std::optional<Pipe> input = makePipe();
    std::optional<Pipe> output = Pipe{};
    std::optional<Pipe> errors = Pipe{};
    if (options.captureOutput) {
        output = makePipe();
        errors = makePipe();
    }
    if (!input || !output || !errors) {
        return result;
    }
    const pid_t pid =
        spawn(argv, environment,
              {.input = input->read.get(), .output = output->write.get(), .errors = errors->write.get()});
    input->read.reset();
    output->write.reset();
    errors->write.reset();
    if (pid < 0) {
        return result;
    }
    const Clock::time_point deadline = Clock::now() + options.timeout;

    // Small inputs only: a pipe holds 64 KiB, more than any clipboard text of these tests.
    std::string_view pending = options.input;
    while (!pending.empty()) {
        const ssize_t written = ::write(input->write.get(), pending.data(), pending.size());
        if (written <= 0) {
            break;
        }
        pending.remove_prefix(static_cast<std::size_t>(written));
    }
    input->write.reset();

    bool outputOpen = output->read.valid();
    bool errorsOpen = errors->read.valid();
    while ((outputOpen || errorsOpen) && Clock::now() < deadline) {
        std::array<pollfd, 2> watched{{{outputOpen ? output->read.get() : -1, POLLIN, 0},
                                       {errorsOpen ? errors->read.get() : -1, POLLIN, 0}}};
        if (::poll(watched.data(), watched.size(), remainingMs(deadline)) <= 0) {
            continue;
        }
        if (outputOpen && watched[0].revents != 0) {
            outputOpen = drain(output->read.get(), result.output);
        }
        if (errorsOpen && watched[1].revents != 0) {
            errorsOpen = drain(errors->read.get(), result.errors);
        }
    }

    if (const std::optional<int> status = reapBefore(pid, deadline)) {
        result.exitCode = *status;
        return result;
    }
    ::kill(pid, SIGKILL);
    static_cast<void>(reapBefore(pid, Clock::now() + std::chrono::seconds(5)));
    result.exitCode = -1;
    result.timedOut = true;
    return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Environment& environment,
                           const std::filesystem::path& logFile, std::optional<int> extraFd) {
    Fd log(::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    m_pid =
        spawn(argv, environment, {.output = log.get(), .errors = log.get(), .extra = extraFd.value_or(-1)});
    if (m_pid < 0) {
        m_status = 127;
    }
}

ChildProcess::~ChildProcess() {
    if (running()) {
        stop(SIGKILL, std::chrono::seconds(5));
    }
}

bool ChildProcess::running() {
    return !exitStatus().has_value();
}

std::optional<int> ChildProcess::exitStatus() {
    if (!m_status) {
        m_status = reapBefore(m_pid, Clock::now());
    }
    return m_status;
}

std::optional<int> ChildProcess::waitFor(std::chrono::milliseconds timeout) {
    if (!m_status) {
        m_status = reapBefore(m_pid, Clock::now() + timeout);
    }
    return m_status;
}

void ChildProcess::stop(int signal, std::chrono::milliseconds timeout) {
    if (!running()) {
        return;
    }
    ::kill(m_pid, signal);
    if (!waitFor(timeout)) {
        ::kill(m_pid, SIGKILL);
        static_cast<void>(waitFor(std::chrono::seconds(5)));
    }
}

std::optional<std::string> readWholeFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace tarlowen::e2e
