#pragma once
// The host window's one layout rule, kept apart from the window so it can be checked on its own.
#include <QRect>

#include <optional>

// Where the control goes, in twips relative to the window's client area, for a window whose OUTER
// size (frame and title bar included) is `outerWidth` x `outerHeight` twips: at 50, 50 with width
// W - 100 and height H - 700. Nothing when either would not be positive: the control then keeps
// its place and size.
inline std::optional<QRect> controlRectForOuterSize(int outerWidth, int outerHeight) {
    const int width = outerWidth - 100;
    const int height = outerHeight - 700;
    if (width <= 0 || height <= 0)
        return std::nullopt;
    return QRect(50, 50, width, height);
}
