#pragma once

#include <QProgressBar>

// A progress bar whose range and value are single-precision numbers, as the program counts
// bytes; any range is accepted (also one of a single value) and a value outside it is shown
// clamped instead of failing.
class ProgressBar : public QProgressBar {
    Q_OBJECT
public:
    explicit ProgressBar(QWidget* parent = nullptr);

    float Min() const { return m_min; }
    float Max() const { return m_max; }
    float Value() const { return m_value; }
    void setMin(float min);
    void setMax(float max);
    void setValue(float value);

signals:
    // Every value the program sets, for tests that follow the progress.
    void valueSet(float value);

private:
    void showPosition();

    float m_min = 0;
    float m_max = 100;
    float m_value = 0;
    int m_shown = -1;
};
