#pragma once

#include <QLabel>
#include <QStatusBar>
#include <QTimer>

#include <array>

// The main window's status bar: four sunken panels (file, size, port settings, clock). Panel 1
// takes the width the others leave; the others are as wide as their text but never narrower
// than their minimum.
class StatusBar : public QStatusBar {
    Q_OBJECT
public:
    explicit StatusBar(QWidget* parent = nullptr);

    static constexpr int kPanelCount = 4;

    // Panels counted from 1, as the program names them.
    QLabel* Panels(int index) const;

private:
    void updateClock();
    void scheduleClock();

    std::array<QLabel*, kPanelCount> m_panels{};
    QTimer m_clock;
};
