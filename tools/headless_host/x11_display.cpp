#include "x11_display.hpp"

#include <X11/Xlib.h>

namespace kelvara::host {

void* open_x11_display() {
    return XOpenDisplay(nullptr);
}

void close_x11_display(void* display) {
    if (display != nullptr) {
        XCloseDisplay(static_cast<Display*>(display));
    }
}

} // namespace kelvara::host
