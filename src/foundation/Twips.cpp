#include "foundation/Twips.h"

#include <QGuiApplication>
#include <QScreen>
#include <QVariant>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace Twips {

namespace {

constexpr double kTwipsPerInch = 1440.0;

double dpiX() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen && screen->logicalDotsPerInchX() > 0 ? screen->logicalDotsPerInchX() : 96.0;
}

double dpiY() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen && screen->logicalDotsPerInchY() > 0 ? screen->logicalDotsPerInchY() : 96.0;
}

// Top-level windows are measured with their frame, children by their own rectangle.
QRect outerRect(const QWidget* widget) {
    return widget->isWindow() ? widget->frameGeometry() : widget->geometry();
}

// The remembered twips value of one edge when the widget still has the pixels it gave.
double remembered(const QWidget* widget, const char* name, int pixels, double perPixel,
                  bool horizontal) {
    const QVariant stored = widget->property(name);
    if (stored.isValid()) {
        const double twips = stored.toDouble();
        if ((horizontal ? toPixelsX(twips) : toPixelsY(twips)) == pixels)
            return twips;
    }
    return pixels * perPixel;
}

// Settings files can hold any number; the window system gets a sane pixel count.
int clampedPixels(double pixels) {
    constexpr double kLimit = 1 << 20;
    if (std::isnan(pixels))
        return 0;
    return static_cast<int>(std::lround(std::clamp(pixels, -kLimit, kLimit)));
}

} // namespace

double perPixelX() {
    return kTwipsPerInch / dpiX();
}

double perPixelY() {
    return kTwipsPerInch / dpiY();
}

int toPixelsX(double twips) {
    return clampedPixels(twips / perPixelX());
}

int toPixelsY(double twips) {
    return clampedPixels(twips / perPixelY());
}

double Left(const QWidget* widget) {
    return remembered(widget, "twipsLeft", outerRect(widget).x(), perPixelX(), true);
}

double Top(const QWidget* widget) {
    return remembered(widget, "twipsTop", outerRect(widget).y(), perPixelY(), false);
}

double Width(const QWidget* widget) {
    return remembered(widget, "twipsWidth", outerRect(widget).width(), perPixelX(), true);
}

double Height(const QWidget* widget) {
    return remembered(widget, "twipsHeight", outerRect(widget).height(), perPixelY(), false);
}

void setLeft(QWidget* widget, double twips) {
    widget->setProperty("twipsLeft", twips);
    widget->move(toPixelsX(twips), outerRect(widget).y());
}

void setTop(QWidget* widget, double twips) {
    widget->setProperty("twipsTop", twips);
    widget->move(outerRect(widget).x(), toPixelsY(twips));
}

void setWidth(QWidget* widget, double twips) {
    widget->setProperty("twipsWidth", twips);
    const int frame = outerRect(widget).width() - widget->width();
    widget->resize(std::max(0, toPixelsX(twips) - frame), widget->height());
}

void setHeight(QWidget* widget, double twips) {
    widget->setProperty("twipsHeight", twips);
    const int frame = outerRect(widget).height() - widget->height();
    widget->resize(widget->width(), std::max(0, toPixelsY(twips) - frame));
}

void setGeometry(QWidget* widget, double left, double top, double width, double height) {
    setLeft(widget, left);
    setTop(widget, top);
    setWidth(widget, width);
    setHeight(widget, height);
}

} // namespace Twips
