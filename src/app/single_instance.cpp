#include "app/single_instance.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tarlowen {

namespace fs = std::filesystem;

std::unique_ptr<InstanceLock> InstanceLock::acquire(const fs::path& directory) {
    const int fd =
        ::open((directory / "tarlowen.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<InstanceLock>(new InstanceLock(fd));
}

InstanceLock::~InstanceLock() {
    ::close(m_fd);
}

fs::path instanceDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime == '/') {
        struct stat info {};
        if (::stat(runtime, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid()) {
            return runtime;
        }
    }
    // No runtime directory (a session started by su or a service): one of our own, checked to be
    // a real directory of this user that nobody else can enter, so no other user can plant a lock.
    const fs::path own = fs::path("/tmp") / ("tarlowen-" + std::to_string(::geteuid()));
    ::mkdir(own.c_str(), 0700);
    struct stat info {};
    if (::lstat(own.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & 0077U) != 0) {
        return {};
    }
    return own;
}

fs::path instanceSocketPath(const fs::path& directory) {
    return directory / "tarlowen.socket";
}

bool askRunningInstanceToShow(const fs::path& socketPath, std::chrono::milliseconds limit) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = socketPath.string();
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    bool shown = false;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, kShowRequest.data(), kShowRequest.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(kShowRequest.size())) {
        std::string reply;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (reply.size() < kShownReply.size()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd descriptor{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&descriptor, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            char buffer[16];
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) {
                break;
            }
            reply.append(buffer, static_cast<std::size_t>(got));
        }
        shown = reply == kShownReply;
    }
    ::close(fd);
    return shown;
}

}  // namespace tarlowen
