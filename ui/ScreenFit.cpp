#include "ui/ScreenFit.h"

#include <QScreen>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace {

// The frame's width and height beyond the client area; nothing until the window system has framed it.
QSize frameExtent(const QWidget* window) {
    return window->frameGeometry().size() - window->size();
}

} // namespace

QSize sizeFittingScreen(const QWidget* window, const QSize& wanted) {
    const QScreen* screen = window->screen();
    if (!screen)
        return wanted;
    const QSize room = screen->availableGeometry().size() - frameExtent(window);
    return wanted.boundedTo(room.expandedTo(QSize(1, 1)));
}

QPoint keptOnScreen(const QWidget* window, const QPoint& frameTopLeft) {
    const QScreen* screen = window->screen();
    if (!screen)
        return frameTopLeft;
    const QRect area = screen->availableGeometry();
    const QSize frame = window->frameGeometry().size();
    // Right and bottom edges first, so that a frame too large for the area keeps its top left in it.
    const int x = std::max(area.left(), std::min(frameTopLeft.x(), area.right() + 1 - frame.width()));
    const int y = std::max(area.top(), std::min(frameTopLeft.y(), area.bottom() + 1 - frame.height()));
    return {x, y};
}

QMargins frameKeepingMargins(const QWidget* area) {
    const qreal ratio = area->devicePixelRatioF();
    return std::abs(ratio - std::round(ratio)) < 1e-6 ? QMargins() : QMargins(0, 0, 1, 1);
}
