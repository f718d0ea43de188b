#include "control/DragFrame.h"

#include "util/Twips.h"

#include <QMouseEvent>

int DragFrame::buttonCode(Qt::MouseButtons buttons) {
    return (buttons & Qt::LeftButton ? 1 : 0) | (buttons & Qt::RightButton ? 2 : 0) |
           (buttons & Qt::MiddleButton ? 4 : 0);
}

int DragFrame::shiftCode(Qt::KeyboardModifiers modifiers) {
    return (modifiers & Qt::ShiftModifier ? 1 : 0) | (modifiers & Qt::ControlModifier ? 2 : 0) |
           (modifiers & Qt::AltModifier ? 4 : 0);
}

// The handlers move the frame by the pointer's offset inside it, so that offset must be taken
// against where the frame is now. The frame is a native window once any sibling's handle has been
// asked for (the viewer's, for the caret): its events' local positions are then computed by the
// window system against where the frame was when the event was queued, and a busy window that
// moved the frame in between would see each move again and overshoot. The global position is the
// pointer's own.
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
