#pragma once
// Design geometry is written in twips (1440 per inch). Widgets live in logical pixels; Qt itself
// takes care of high-DPI scaling, so the conversion is a fixed 15 twips per logical pixel.

#include <QString>
#include <QWidget>

inline constexpr int kTwipsPerPixel = 15;

// Nearest integer, a half going to the even neighbour (2.5 -> 2, 3.5 -> 4). Recorded sizes and
// combo box heights are rounded this way so they match what the layout records elsewhere.
// Values beyond the int range are clamped.
int roundHalfEven(double value);

// Nearest whole pixel; a half pixel goes away from zero (std::lround). Used wherever a twips
// value, possibly fractional after scaling, becomes a widget coordinate.
int twipsToPixels(double twips);

double pixelsToTwips(int pixels);

// Places `widget` at a design geometry given in twips, relative to its parent widget.
void setTwipsGeometry(QWidget* widget, int left, int top, int width, int height);

// A new child of `parent`, named and placed as the design has it, with its caption or text when
// given: the one way the control, the forms and the login dialog build their children.
template <class W>
W* designChild(QWidget* parent, const QString& name, int left, int top, int width, int height,
               const QString& text = {}) {
    auto* widget = new W(parent);
    widget->setObjectName(name);
    if constexpr (requires(W * w) { w->setText(text); }) {
        if (!text.isEmpty())
            widget->setText(text);
    }
    setTwipsGeometry(widget, left, top, width, height);
    return widget;
}
