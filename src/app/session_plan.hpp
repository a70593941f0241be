#pragma once

#include <string>

namespace tarlowen {

// What was found about the graphical session before the toolkit starts.
struct SessionProbe {
    bool x11Reachable = false;        // DISPLAY is set and an X server took the connection
    bool waylandReachable = false;    // WAYLAND_DISPLAY is set and the compositor took the connection
    bool waylandDataControl = false;  // the compositor lets a client use the clipboard without focus
    bool qtWaylandPlugin = false;     // the toolkit's Wayland platform plugin is installed
    std::string configuredPlatform;   // QT_QPA_PLATFORM as the user set it, possibly empty
};

enum class WindowPlatform {
    AsConfigured,  // leave the toolkit's platform alone (offscreen and the like, set by the user)
    Xcb,           // X11, possibly through XWayland
    Wayland,
};

enum class ClipboardKind {
    Toolkit,             // the toolkit's clipboard (X11 selections)
    WaylandDataControl,  // our own client of the compositor's data-control protocol
};

// How the program runs in the session it found. When `exitStatus` is set, it does not run at all:
// `message` says why and the program exits with that status. Otherwise `message`, when not empty,
// is a notice for standard error.
struct SessionPlan {
    WindowPlatform platform = WindowPlatform::Xcb;
    ClipboardKind clipboard = ClipboardKind::Toolkit;
    int exitStatus = -1;  // -1: run
    std::string message;

    [[nodiscard]] bool runs() const { return exitStatus < 0; }
};

// Exit status when there is no display to run on.
inline constexpr int kNoDisplayExitStatus = 2;

// Decides platform and clipboard. The toolkit's own Wayland clipboard is never used: it sees a
// copy only while one of our windows has focus and its emptying is refused without a fresh input
// serial. The window runs on X11 whenever an X server (XWayland in a Wayland session) is there,
// even when the clipboard goes through the compositor: the toolkit's X11 platform is always
// installed with it, and a second start can bring the window to the front, which Wayland does not
// let a program do on its own.
[[nodiscard]] SessionPlan planSession(const SessionProbe& probe);

}  // namespace tarlowen

namespace tarlowen {

// Whether DISPLAY is set and an X server there accepts our connection (a server that refuses the
// authorisation cookie, as under sudo, does not).
[[nodiscard]] bool x11Reachable();

}  // namespace tarlowen
