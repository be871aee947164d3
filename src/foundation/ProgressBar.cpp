#include "foundation/ProgressBar.h"

#include <algorithm>

namespace {

// The bar is drawn in this many steps whatever the range; a million bytes make a thousand
// value changes per step, so most updates cost no repaint.
constexpr int kSteps = 1000;

} // namespace

ProgressBar::ProgressBar(QWidget* parent) : QProgressBar(parent) {
    QProgressBar::setRange(0, kSteps);
    setTextVisible(false);
    showPosition();
}

void ProgressBar::setMin(float min) {
    m_min = min;
    showPosition();
}

void ProgressBar::setMax(float max) {
    m_max = max;
    showPosition();
}

void ProgressBar::setValue(float value) {
    m_value = value;
    emit valueSet(value);
    showPosition();
}

void ProgressBar::showPosition() {
    int position = 0;
    if (m_max > m_min) {
        const double fraction = (double(m_value) - m_min) / (double(m_max) - m_min);
        position = static_cast<int>(std::clamp(fraction, 0.0, 1.0) * kSteps);
    } else if (m_value >= m_max) {
        position = kSteps;
    }
    if (position != m_shown) {
        m_shown = position;
        QProgressBar::setValue(position);
        // QProgressBar repaints only when it believes the chunk has grown since its last paint,
        // and it counts any paint as one, even one clipped to a strip under a neighbour that
        // is being redrawn (the verification's label overlaps the bar by a pixel row and
        // changes with every byte). The whole bar is therefore asked for at every step.
        update();
    }
}
