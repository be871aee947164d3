#pragma once

class QWidget;

// Positions and sizes in twips (1/1440 inch), converted through the screen's logical DPI.
// A value the program sets is kept and read back exactly as long as the widget still stands
// where that value put it; once the user moves or resizes it, the pixels count.
namespace Twips {

double perPixelX();
double perPixelY();
int toPixelsX(double twips);
int toPixelsY(double twips);

double Left(const QWidget* widget);
double Top(const QWidget* widget);
double Width(const QWidget* widget);
double Height(const QWidget* widget);
void setLeft(QWidget* widget, double twips);
void setTop(QWidget* widget, double twips);
void setWidth(QWidget* widget, double twips);
void setHeight(QWidget* widget, double twips);
void setGeometry(QWidget* widget, double left, double top, double width, double height);

} // namespace Twips
