#pragma once
// Design geometry is written in twips (1440 per inch). Widgets live in logical pixels; Qt itself
// takes care of high-DPI scaling, so the conversion is a fixed 15 twips per logical pixel.

class QWidget;

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
