#include "foundation/StatusBar.h"

#include "foundation/Twips.h"

#include <QLocale>
#include <QRegularExpression>
#include <QTime>

#include <chrono>

namespace {

struct PanelDesign {
    const char* designText;
    const char* toolTip;
    const char* purpose; // told to assistive technology when there is no tool tip
    double minimumWidth; // twips
    int stretch;
};

constexpr std::array<PanelDesign, StatusBar::kPanelCount> kPanels = {{
    {"Filename", "Path To Binary File To Be Downloaded To Target", "Program file", 1440, 1},
    {"0", "", "Program file size", 500, 0},
    {"Port[NC]", "Serial Port Settings (Set In corvid.ini File)", "Serial port settings", 1440, 0},
    {"", "Local PC Time", "Local PC time", 500, 0},
}};

} // namespace

StatusBar::StatusBar(QWidget* parent) : QStatusBar(parent) {
    setObjectName(QStringLiteral("StatusBar1"));
    setSizeGripEnabled(true);
    for (int i = 0; i < kPanelCount; ++i) {
        const PanelDesign& design = kPanels.at(i);
        auto* panel = new QLabel(QString::fromLatin1(design.designText), this);
        panel->setObjectName(QStringLiteral("Panel%1").arg(i + 1));
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setMinimumWidth(Twips::toPixelsX(design.minimumWidth));
        panel->setToolTip(QString::fromLatin1(design.toolTip));
        // A screen reader announces what the panel shows (a label without an accessible name
        // is named by its text, and tells of every change) and describes it by its tool tip.
        panel->setTextFormat(Qt::PlainText);
        panel->setAccessibleDescription(
            QString::fromLatin1(*design.toolTip ? design.toolTip : design.purpose));
        panel->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        panel->setFocusPolicy(Qt::TabFocus);
        // Panel 1 shows long paths; it gives way instead of widening the window.
        if (design.stretch > 0)
            panel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        addPermanentWidget(panel, design.stretch);
        m_panels.at(i) = panel;
    }
    m_clock.setSingleShot(true);
    connect(&m_clock, &QTimer::timeout, this, &StatusBar::updateClock);
    updateClock();
}

QLabel* StatusBar::Panels(int index) const {
    Q_ASSERT(index >= 1 && index <= kPanelCount);
    return m_panels.at(index - 1);
}

void StatusBar::updateClock() {
    // The panel is refreshed once a minute, so it shows no seconds whatever the locale says.
    QString format = QLocale::system().timeFormat(QLocale::ShortFormat);
    format.remove(QRegularExpression(QStringLiteral("[:.]?s+")));
    m_panels.back()->setText(QLocale::system().toString(QTime::currentTime(), format));
    scheduleClock();
}

void StatusBar::scheduleClock() {
    // The clock shows minutes; it wakes just after the next minute begins, not every second.
    const QTime now = QTime::currentTime();
    const int msToNextMinute = 60000 - (now.second() * 1000 + now.msec()) + 50;
    m_clock.start(std::chrono::milliseconds(msToNextMinute));
}
