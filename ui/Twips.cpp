#include "ui/Twips.h"

#include <QWidget>

#include <cmath>
#include <limits>

namespace {

// Casting an out-of-range double to int is undefined, so clamp first.
double clampToInt(double v) {
    constexpr double lo = std::numeric_limits<int>::min();
    constexpr double hi = std::numeric_limits<int>::max();
    return std::isnan(v) ? 0.0 : std::fmin(std::fmax(v, lo), hi);
}

} // namespace

int roundHalfEven(double value) {
    const double v = clampToInt(value);
    // Spelled out instead of std::nearbyint, which depends on the thread's rounding mode.
    const double floor = std::floor(v);
    const double diff = v - floor;
    if (diff < 0.5)
        return static_cast<int>(floor);
    if (diff > 0.5)
        return static_cast<int>(clampToInt(floor + 1.0));
    return static_cast<int>(std::fmod(floor, 2.0) == 0.0 ? floor : clampToInt(floor + 1.0));
}

int twipsToPixels(double twips) {
    return static_cast<int>(std::round(clampToInt(twips / kTwipsPerPixel)));
}

double pixelsToTwips(int pixels) {
    return static_cast<double>(pixels) * kTwipsPerPixel;
}

void setTwipsGeometry(QWidget* widget, int left, int top, int width, int height) {
    widget->setGeometry(twipsToPixels(left), twipsToPixels(top), twipsToPixels(width), twipsToPixels(height));
}
