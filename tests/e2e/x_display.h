#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumeno::testing {

// A client of an X server, for driving a real window from a test. Kept apart from Qt and
// GoogleTest, whose names Xlib's macros would clash with.
class XDisplayClient {
public:
    explicit XDisplayClient(const std::string& name);
    ~XDisplayClient();
    XDisplayClient(const XDisplayClient&) = delete;
    XDisplayClient& operator=(const XDisplayClient&) = delete;

    bool connected() const { return display_ != nullptr; }
    // The visible top-level window titled exactly `title`; 0 when there is none.
    unsigned long findWindow(const std::string& title);
    // What a window manager sends when the operator clicks the close button.
    void requestClose(unsigned long window);
    // The whole screen as 0xAARRGGBB pixels, row by row.
    std::vector<std::uint32_t> screenshot(int& width, int& height);

private:
    void* display_ = nullptr;
};

}  // namespace lumeno::testing
