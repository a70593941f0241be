#include "app/session_plan.hpp"

namespace tarlowen {

namespace {

// Platforms the user may choose: ones that need no display server of their own kind.
[[nodiscard]] bool isHeadlessPlatform(const std::string& platform) {
    const std::string name = platform.substr(0, platform.find(':'));
    return name == "offscreen" || name == "minimal" || name == "vnc";
}

}  // namespace

SessionPlan planSession(const SessionProbe& probe) {
    SessionPlan plan;
    if (isHeadlessPlatform(probe.configuredPlatform)) {
        plan.platform = WindowPlatform::AsConfigured;
        return plan;
    }
    if (!probe.x11Reachable && !probe.waylandReachable) {
        plan.exitStatus = kNoDisplayExitStatus;
        plan.message = "tarlowen: no graphical display: DISPLAY/WAYLAND_DISPLAY not set or not reachable";
        return plan;
    }
    if (probe.waylandReachable && probe.waylandDataControl) {
        plan.clipboard = ClipboardKind::WaylandDataControl;
        if (probe.x11Reachable) {
            plan.platform = WindowPlatform::Xcb;
        } else if (probe.qtWaylandPlugin) {
            plan.platform = WindowPlatform::Wayland;
        } else {
            plan.exitStatus = kNoDisplayExitStatus;
            plan.message =
                "tarlowen: no display to show the window on: XWayland is not running and Qt's Wayland "
                "platform (qt6-wayland) is not installed";
        }
        return plan;
    }
    if (probe.x11Reachable) {
        plan.platform = WindowPlatform::Xcb;
        if (probe.waylandReachable) {
            plan.message =
                "tarlowen: this Wayland compositor offers no clipboard access for background programs; "
                "running through XWayland: links copied in Wayland-only programs are seen while one of "
                "its windows has focus";
        }
        return plan;
    }
    plan.exitStatus = kNoDisplayExitStatus;
    plan.message =
        "tarlowen: this Wayland compositor offers no clipboard access for background programs and "
        "XWayland is not running";
    return plan;
}

}  // namespace tarlowen

#include <fcntl.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdlib>

namespace tarlowen {

bool x11Reachable() {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
        return false;
    }
    // The X library writes the server's refusal ("Authorization required, ...") to standard error
    // itself; the program says what it means in its own line, so that text is kept off.
    const int savedError = ::dup(STDERR_FILENO);
    const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (savedError >= 0 && quiet >= 0) {
        ::dup2(quiet, STDERR_FILENO);
    }
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool reachable = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    if (savedError >= 0 && quiet >= 0) {
        ::dup2(savedError, STDERR_FILENO);
    }
    if (quiet >= 0) {
        ::close(quiet);
    }
    if (savedError >= 0) {
        ::close(savedError);
    }
    return reachable;
}

}  // namespace tarlowen
