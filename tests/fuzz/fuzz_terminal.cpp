// Feeds arbitrary line bytes to the terminal display and checks that the screen stays well formed
// and does not depend on how the bytes were split into writes.

#include "serial/TerminalDisplay.h"

#include <QApplication>
#include <QByteArray>
#include <QImage>
#include <QScrollBar>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int MaxScrollback = 7;
// Feeding every byte on its own is slow, so only short inputs get that third display.
constexpr std::size_t MaxBytewiseSize = 256;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_terminal: %s\n", what);
    std::abort();
}

void check(bool condition, const char* what) {
    if (!condition)
        fail(what);
}

// What the display shows, taken once so that the checks do not build it again and again.
struct Snapshot {
    QString screen;
    QStringList all;
    QPoint cursor;
    bool operator==(const Snapshot&) const = default;
};

Snapshot snapshotOf(const TerminalDisplay& display) {
    return {display.screenText(), display.allLines(), display.cursorPosition()};
}

Snapshot checkWellFormed(const TerminalDisplay& display, int scrollback) {
    const Snapshot shown = snapshotOf(display);
    check(shown.cursor.x() >= 0 && shown.cursor.x() < TerminalDisplay::Columns &&
              shown.cursor.y() >= 0 && shown.cursor.y() < TerminalDisplay::Rows,
          "cursor outside the screen");

    const QStringList screen = shown.screen.isEmpty() ? QStringList() : shown.screen.split(u'\n');
    check(screen.size() <= TerminalDisplay::Rows, "more screen rows than the screen has");
    for (const QString& line : screen) {
        check(line.size() <= TerminalDisplay::Columns, "screen row longer than 80 columns");
        for (const QChar c : line)
            check(c.unicode() >= 0x20 && c.unicode() != 0x7f, "control character on the screen");
    }

    check(shown.all.size() <= scrollback + TerminalDisplay::Rows,
          "more lines than scrollback allows");
    for (const QString& line : shown.all)
        check(line.size() <= TerminalDisplay::Columns, "scrollback line longer than 80 columns");
    // allLines() is the scrollback followed by what screenText() shows.
    check(shown.all.size() >= screen.size(), "allLines() shorter than the screen");
    const qsizetype scrollbackUsed = shown.all.size() - screen.size();
    check(scrollbackUsed <= scrollback, "scrollback holds more lines than its limit");
    check(shown.all.mid(scrollbackUsed) == screen, "allLines() does not end with the screen rows");
    return shown;
}

// Paints the display scrolled to a position taken from the input, for the painting arithmetic.
void paint(TerminalDisplay& display, std::uint8_t position) {
    display.resize(240, 120);
    QScrollBar* bar = display.verticalScrollBar();
    bar->setValue(bar->maximum() == 0 ? 0 : position % (bar->maximum() + 1));
    QImage image(display.size(), QImage::Format_RGB32);
    display.render(&image);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "qt.qpa.*=false");
    static int argc = 1;
    static char name[] = "fuzz_terminal";
    static char* argv[] = {name, nullptr};
    // Never destroyed: tearing Qt down after libFuzzer calls exit() gains nothing.
    static QApplication* const application = new QApplication(argc, argv);
    Q_UNUSED(application);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    // A small limit, so that inputs reach the point where old lines are dropped.
    const int scrollback = size > 0 ? data[0] % (MaxScrollback + 1) : 0;
    const std::size_t split = size >= 2 ? ((data[size - 1] << 8) | data[size - 2]) % (size + 1) : 0;
    const auto splitAt = static_cast<qsizetype>(split);

    TerminalDisplay whole;
    whole.setScrollbackLines(scrollback);
    whole.write(bytes);
    const Snapshot expected = checkWellFormed(whole, scrollback);

    TerminalDisplay halves;
    halves.setScrollbackLines(scrollback);
    halves.write(bytes.first(splitAt));
    checkWellFormed(halves, scrollback);
    halves.write(bytes.sliced(splitAt));
    check(checkWellFormed(halves, scrollback) == expected,
          "writing in two parts changed the result");

    if (size <= MaxBytewiseSize) {
        TerminalDisplay bytewise;
        bytewise.setScrollbackLines(scrollback);
        for (const char byte : bytes)
            bytewise.write(QByteArray(1, byte));
        check(snapshotOf(bytewise) == expected, "writing byte by byte changed the result");
    }

    paint(whole, size > 0 ? data[size / 2] : 0);

    // Shrinking the scrollback drops old lines only, never a screen row.
    const int smaller = scrollback / 2;
    whole.setScrollbackLines(smaller);
    check(checkWellFormed(whole, smaller).screen == expected.screen,
          "shrinking the scrollback changed the screen");
    return 0;
}
