#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Starting the programs an end-to-end test drives: the X server, the program under test and the
// command-line tools that stand in for the user. Every child is started with a parent-death signal,
// so a test run that is killed (a CI time limit) takes its X server and program with it.
namespace tarlowen::e2e {

// "NAME=value" entries, as a child's environment.
using Environment = std::vector<std::string>;

// The test's own environment with `overrides` ("NAME=value") replacing or adding entries.
[[nodiscard]] Environment environmentWith(const std::vector<std::string>& overrides);

// What a finished command gave. `exitCode` is the exit status, 128 + the signal number when a signal
// ended it, or -1 when it could not be started or was killed for running past its time limit.
struct CommandResult {
    int exitCode = -1;
    std::string output;  // standard output, when it was captured
    std::string errors;  // standard error, when it was captured
    bool timedOut = false;

    [[nodiscard]] bool succeeded() const { return exitCode == 0; }
};

struct CommandOptions {
    std::string input;          // written to standard input, which is then closed
    bool captureOutput = true;  // false: stdout and stderr go to /dev/null
    std::chrono::milliseconds timeout{10'000};
};

// Runs `argv` (argv[0] searched on PATH) to its end. With captureOutput false the command's output
// is not read at all, so a command that leaves a background process holding its output (xclip
// keeps serving the selection after its parent process exits) does not keep this call waiting.
[[nodiscard]] CommandResult runCommand(const std::vector<std::string>& argv, const Environment& environment,
                                       const CommandOptions& options = {});

// A long-running child whose standard output and error go to a log file. The destructor kills it
// (SIGKILL) if it still runs, and reaps it.
class ChildProcess {
  public:
    // Starts `argv` (argv[0] searched on PATH). `extraFd`, when given, is handed to the child as
    // descriptor 3. Check running() or exitStatus() for the outcome; a failed start looks like an
    // exit with status 127.
    ChildProcess(const std::vector<std::string>& argv, const Environment& environment,
                 const std::filesystem::path& logFile, std::optional<int> extraFd = std::nullopt);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    [[nodiscard]] pid_t pid() const { return m_pid; }

    // False once the child has ended (it is then reaped).
    [[nodiscard]] bool running();

    // The exit status (as CommandResult::exitCode) once the child has ended, or nullopt while it runs.
    [[nodiscard]] std::optional<int> exitStatus();

    // Waits up to `timeout` for the child to end; its exit status, or nullopt when it still runs.
    [[nodiscard]] std::optional<int> waitFor(std::chrono::milliseconds timeout);

    // Sends `signal`, then waits up to `timeout`; kills it with SIGKILL if it is still there.
    void stop(int signal, std::chrono::milliseconds timeout);

  private:
    pid_t m_pid = -1;
    std::optional<int> m_status;
};

// The whole content of a file, or nullopt when it cannot be read.
[[nodiscard]] std::optional<std::string> readWholeFile(const std::filesystem::path& path);

}  // namespace tarlowen::e2e
