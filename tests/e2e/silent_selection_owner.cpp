// Takes the X clipboard and never answers a request for it, as a hung or hostile program would.
// Prints "owned" once it holds the selection and "request" for each request it ignores, until it is
// killed.
#include <X11/Xlib.h>

#include <cstdio>

int main() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fputs("cannot open the display\n", stderr);
        return 1;
    }
    const Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
    const Atom clipboard = XInternAtom(display, "CLIPBOARD", False);
    XSetSelectionOwner(display, clipboard, window, CurrentTime);
    XSync(display, False);
    if (XGetSelectionOwner(display, clipboard) != window) {
        std::fputs("could not take the clipboard\n", stderr);
        return 1;
    }
    std::puts("owned");
    std::fflush(stdout);
    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == SelectionRequest) {
            std::puts("request");  // and no answer
            std::fflush(stdout);
        }
    }
}
