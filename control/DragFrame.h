#pragma once
// A frame (the panels, the splitter bar) that reports its mouse events as the design's handlers take
// them: a button code (1 left, 2 right, 4 middle, added up for buttons held together), the shift
// state (1 Shift, 2 Ctrl, 4 Alt) and the pointer position inside the frame in twips.
//
// Pressed and moved events carry every button held at that moment, so "the left button alone" is
// code 1 exactly; a released event carries the button that was let go.
#include <QFrame>

class DragFrame : public QFrame {
    Q_OBJECT
public:
    using QFrame::QFrame;

    static int buttonCode(Qt::MouseButtons buttons);
    static int shiftCode(Qt::KeyboardModifiers modifiers);

Q_SIGNALS:
    void mouseDown(int button, int shift, double x, double y);
    void mouseMove(int button, int shift, double x, double y);
    void mouseUp(int button, int shift, double x, double y);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QPointF pointerAt(const QMouseEvent* event) const;
};
