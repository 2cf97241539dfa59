#include "x_display.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace lumeno::testing {

namespace {
Display* asDisplay(void* display) { return static_cast<Display*>(display); }
}  // namespace

XDisplayClient::XDisplayClient(const std::string& name) : display_(XOpenDisplay(name.c_str())) {}

XDisplayClient::~XDisplayClient() {
    if (display_) XCloseDisplay(asDisplay(display_));
}

unsigned long XDisplayClient::findWindow(const std::string& title) {
    Display* display = asDisplay(display_);
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    Window found = 0;
    // Without a window manager nothing is reparented: top-level windows are the root's children.
    if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) return 0;
    for (unsigned i = 0; i < count && !found; ++i) {
        // Qt keeps unmapped helper windows that may carry the application's name too.
        XWindowAttributes attributes{};
        if (!XGetWindowAttributes(display, children[i], &attributes) || attributes.map_state != IsViewable) continue;
        char* name = nullptr;
        if (XFetchName(display, children[i], &name) && name) {
            if (title == name) found = children[i];
            XFree(name);
        }
    }
    if (children) XFree(children);
    return found;
}

void XDisplayClient::requestClose(unsigned long window) {
    Display* display = asDisplay(display_);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
}

std::vector<std::uint32_t> XDisplayClient::screenshot(int& width, int& height) {
    Display* display = asDisplay(display_);
    const Window root = DefaultRootWindow(display);
    XWindowAttributes attributes{};
    XGetWindowAttributes(display, root, &attributes);
    width = attributes.width;
    height = attributes.height;
    std::vector<std::uint32_t> pixels;
    XImage* image = XGetImage(display, root, 0, 0, width, height, AllPlanes, ZPixmap);
    if (!image) return pixels;
    pixels.reserve(static_cast<std::size_t>(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) pixels.push_back(0xff000000u | static_cast<std::uint32_t>(XGetPixel(image, x, y)));
    XDestroyImage(image);
    return pixels;
}

}  // namespace lumeno::testing
