#include "control/DragFrame.h"

#include "ui/Twips.h"

#include <QMouseEvent>

int DragFrame::buttonCode(Qt::MouseButtons buttons) {
    return (buttons & Qt::LeftButton ? 1 : 0) | (buttons & Qt::RightButton ? 2 : 0) |
           (buttons & Qt::MiddleButton ? 4 : 0);
}

int DragFrame::shiftCode(Qt::KeyboardModifiers modifiers) {
    return (modifiers & Qt::ShiftModifier ? 1 : 0) | (modifiers & Qt::ControlModifier ? 2 : 0) |
           (modifiers & Qt::AltModifier ? 4 : 0);
}

// Taken against where the frame is now. As a native window (the viewer's handle makes its siblings
// native), its events' local positions are where the frame was when they were queued, so a busy
// window that moved it meanwhile would count each step twice.
QPointF DragFrame::pointerAt(const QMouseEvent* event) const {
    return mapFromGlobal(event->globalPosition()) * kTwipsPerPixel;
}

void DragFrame::mousePressEvent(QMouseEvent* event) {
    const QPointF p = pointerAt(event);
    Q_EMIT mouseDown(buttonCode(event->buttons()), shiftCode(event->modifiers()), p.x(), p.y());
    event->accept();
}

void DragFrame::mouseMoveEvent(QMouseEvent* event) {
    const QPointF p = pointerAt(event);
    Q_EMIT mouseMove(buttonCode(event->buttons()), shiftCode(event->modifiers()), p.x(), p.y());
    event->accept();
}

void DragFrame::mouseReleaseEvent(QMouseEvent* event) {
    const QPointF p = pointerAt(event);
    Q_EMIT mouseUp(buttonCode(event->button()), shiftCode(event->modifiers()), p.x(), p.y());
    event->accept();
}
