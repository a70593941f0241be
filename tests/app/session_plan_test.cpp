#include "app/session_plan.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarlowen {
namespace {

struct PlanCase {
    const char* name;
    SessionProbe probe;
    WindowPlatform platform;
    ClipboardKind clipboard;
    int exitStatus;          // -1: runs
    std::string messageHas;  // empty: no message at all
};

TEST(SessionPlanTest, PicksPlatformAndClipboardForEachSession) {
    const std::vector<PlanCase> cases{
        {"nothing", {}, WindowPlatform::Xcb, ClipboardKind::Toolkit, 2, "no graphical display"},
        {"x11Only", {.x11Reachable = true}, WindowPlatform::Xcb, ClipboardKind::Toolkit, -1, ""},
        {"waylandWithDataControlAndXWayland",
         {.x11Reachable = true, .waylandReachable = true, .waylandDataControl = true},
         WindowPlatform::Xcb,
         ClipboardKind::WaylandDataControl,
         -1,
         ""},
        {"waylandWithDataControlNoXWayland",
         {.waylandReachable = true, .waylandDataControl = true, .qtWaylandPlugin = true},
         WindowPlatform::Wayland,
         ClipboardKind::WaylandDataControl,
         -1,
         ""},
        {"waylandWithDataControlNoXWaylandNoPlugin",
         {.waylandReachable = true, .waylandDataControl = true},
         WindowPlatform::Xcb,
         ClipboardKind::WaylandDataControl,
         2,
         "qt6-wayland"},
        // Never the toolkit's Wayland clipboard: through XWayland, with a notice.
        {"waylandWithoutDataControl",
         {.x11Reachable = true, .waylandReachable = true, .qtWaylandPlugin = true},
         WindowPlatform::Xcb,
         ClipboardKind::Toolkit,
         -1,
         "links copied in Wayland-only programs are seen while one of its windows has focus"},
        {"waylandWithoutDataControlNoXWayland",
         {.waylandReachable = true, .qtWaylandPlugin = true},
         WindowPlatform::Xcb,
         ClipboardKind::Toolkit,
         2,
         "XWayland is not running"},
        // A platform the user asked for that needs no display is left alone...
        {"offscreenAsked",
         {.configuredPlatform = "offscreen"},
         WindowPlatform::AsConfigured,
         ClipboardKind::Toolkit,
         -1,
         ""},
        // ...but asking for the toolkit's Wayland platform does not bring its clipboard back.
        {"waylandAsked",
         {.x11Reachable = true,
          .waylandReachable = true,
          .qtWaylandPlugin = true,
          .configuredPlatform = "wayland"},
         WindowPlatform::Xcb,
         ClipboardKind::Toolkit,
         -1,
         "XWayland"},
        {"xcbAskedWithoutDisplay",
         {.configuredPlatform = "xcb"},
         WindowPlatform::Xcb,
         ClipboardKind::Toolkit,
         2,
         "DISPLAY/WAYLAND_DISPLAY not set or not reachable"},
    };
    for (const PlanCase& c : cases) {
        SCOPED_TRACE(c.name);
        const SessionPlan plan = planSession(c.probe);
        EXPECT_EQ(plan.exitStatus, c.exitStatus);
        if (plan.runs()) {
            EXPECT_EQ(plan.platform, c.platform);
            EXPECT_EQ(plan.clipboard, c.clipboard);
        }
        if (c.messageHas.empty()) {
            EXPECT_EQ(plan.message, "");
        } else {
            EXPECT_NE(plan.message.find(c.messageHas), std::string::npos) << plan.message;
            EXPECT_EQ(plan.message.find('\n'), std::string::npos) << "one line";
            EXPECT_EQ(plan.message.find("einstall"), std::string::npos);
        }
    }
}

}  // namespace
}  // namespace tarlowen
