#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

namespace tarlowen {

// One running copy per user: two copies would fetch every link twice and write each file twice.
// The first copy holds an advisory lock (flock) on a file in the user's runtime directory; the
// kernel drops the lock with the process however it ends, so a copy that was killed never blocks
// the next start. The first copy also listens on a local socket beside the lock file, where a later
// start asks it to bring its window to the front.
class InstanceLock {
  public:
    // Takes the lock in `directory`. Null when another process holds it.
    [[nodiscard]] static std::unique_ptr<InstanceLock> acquire(const std::filesystem::path& directory);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

  private:
    explicit InstanceLock(int fd) : m_fd(fd) {}
    int m_fd;
};

// The per-user directory for the lock and the socket: XDG_RUNTIME_DIR, or else a directory of our
// own under /tmp that only this user may use. Empty when neither can be had (the program then runs
// without the one-copy rule rather than not at all).
[[nodiscard]] std::filesystem::path instanceDirectory();

[[nodiscard]] std::filesystem::path instanceSocketPath(const std::filesystem::path& directory);

// What a running copy answers on its socket once it has shown its window.
inline constexpr std::string_view kShowRequest = "show\n";
inline constexpr std::string_view kShownReply = "shown\n";

// Asks the running copy to bring its window to the front; true when it said it did, within `limit`.
[[nodiscard]] bool askRunningInstanceToShow(const std::filesystem::path& socketPath,
                                            std::chrono::milliseconds limit);

}  // namespace tarlowen
