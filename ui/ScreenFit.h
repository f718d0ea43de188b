#pragma once
// Windows and forms keep to the screen they are on, whatever its size and scale: a design size larger
// than the screen's free area (without panels and docks) shrinks to fit it, frame and title bar
// included, and a window is moved no further than it must be to lie wholly within that area.
#include <QMargins>
#include <QPoint>
#include <QSize>

class QWidget;

// The largest size up to `wanted` (a client size) at which `window`, with its frame as far as the
// window system has framed it, fits the free area of its screen.
QSize sizeFittingScreen(const QWidget* window, const QSize& wanted);

// Where the frame's top left corner goes for the frame to lie within the free area of the window's
// screen, as near to `frameTopLeft` as can be; a frame larger than the area keeps its top left corner
// (title bar, close box) in it.
QPoint keptOnScreen(const QWidget* window, const QPoint& frameTopLeft);

// Viewport margins for a scroll area (a text box, a list) that keep its frame's right and bottom
// line at a fractional scale (1.25, 1.5): Qt's backing store rounds the viewport's edge over the frame
// line there at every other size or so (the record box and the list lost it after a resize). One
// logical pixel at the right and the bottom, none at a whole scale.
QMargins frameKeepingMargins(const QWidget* area);
