#pragma once

namespace kelvara::host {

// The X display libobs renders on (Xvfb in tests and the demo). Kept apart from Qt code: Xlib's macros
// clash with Qt's headers. Null when no X server answers.
void* open_x11_display();
void close_x11_display(void* display);

} // namespace kelvara::host
