#pragma once
// The X11 window being redrawn on this thread, for views that place native
// windows (ForeignWindowView). Set by Window around drawing its views; a
// ViewHost presenting a sheet marks what it draws beneath as covered.

#include <X11/Xlib.h>

namespace ui::detail {

struct X11DrawTarget {
    Display* display = nullptr;
    ::Window window = 0;
    double scale = 1;
    bool covered = false;  // the views drawn now lie beneath something modal
};

// Null outside a window's redraw.
X11DrawTarget*& currentX11DrawTarget();

}  // namespace ui::detail
