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

void DragFrame::mousePressEvent(QMouseEvent* event) {
    const QPointF p = event->position() * kTwipsPerPixel;
    Q_EMIT mouseDown(buttonCode(event->buttons()), shiftCode(event->modifiers()), p.x(), p.y());
    event->accept();
}

void DragFrame::mouseMoveEvent(QMouseEvent* event) {
    const QPointF p = event->position() * kTwipsPerPixel;
    Q_EMIT mouseMove(buttonCode(event->buttons()), shiftCode(event->modifiers()), p.x(), p.y());
    event->accept();
}

void DragFrame::mouseReleaseEvent(QMouseEvent* event) {
    const QPointF p = event->position() * kTwipsPerPixel;
    Q_EMIT mouseUp(buttonCode(event->button()), shiftCode(event->modifiers()), p.x(), p.y());
    event->accept();
}
