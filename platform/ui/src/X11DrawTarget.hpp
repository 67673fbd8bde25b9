#pragma once
// The X11 window being redrawn on this thread, for views that place native
// windows (ForeignWindowView). Set by Window around drawing its views.

#include <X11/Xlib.h>

namespace ui::detail {

struct X11DrawTarget {
    Display* display = nullptr;
    ::Window window = 0;
    double scale = 1;
};

// Null outside a window's redraw.
X11DrawTarget*& currentX11DrawTarget();

}  // namespace ui::detail
