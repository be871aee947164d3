// Feeds arbitrary line bytes to the terminal display and checks that the screen stays well formed
// and does not depend on how the bytes were split into writes.

#include "serial/TerminalDisplay.h"

#include <QApplication>
#include <QImage>
#include <QScrollBar>

#include <cstdio>
#include <cstdlib>

namespace {

void check(bool condition, const char* what) {
    if (condition)
        return;
    std::fprintf(stderr, "fuzz_terminal: %s\n", what);
    std::abort();
}

// What the display shows: screen text, all lines and the cursor.
using Snapshot = std::tuple<QString, QStringList, QPoint>;

Snapshot checkWellFormed(const TerminalDisplay& display, int scrollback) {
    const QPoint cursor = display.cursorPosition();
    check(cursor.x() >= 0 && cursor.x() < TerminalDisplay::Columns && cursor.y() >= 0 &&
              cursor.y() < TerminalDisplay::Rows,
          "cursor outside the screen");
    const QString text = display.screenText();
    const QStringList screen = text.isEmpty() ? QStringList() : text.split(u'\n');
    check(screen.size() <= TerminalDisplay::Rows, "more screen rows than the screen has");
    for (const QString& line : screen) {
        for (const QChar c : line)
            check(c.unicode() >= 0x20 && c.unicode() != 0x7f, "control character on the screen");
    }
    // allLines() is the scrollback, at most its limit, followed by what screenText() shows.
    const QStringList all = display.allLines();
    for (const QString& line : all)
        check(line.size() <= TerminalDisplay::Columns, "line longer than 80 columns");
    check(all.size() >= screen.size(), "allLines() shorter than the screen");
    check(all.size() - screen.size() <= scrollback, "scrollback holds more lines than its limit");
    check(all.mid(all.size() - screen.size()) == screen,
          "allLines() does not end with the screen rows");
    return {text, all, cursor};
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
    // A limit of 0 to 7 lines, so that inputs reach the point where old lines are dropped.
    const int scrollback = size > 0 ? data[0] % 8 : 0;
    const std::size_t split = size >= 2 ? ((data[size - 1] << 8) | data[size - 2]) % (size + 1) : 0;
    TerminalDisplay whole, halves, bytewise;
    for (TerminalDisplay* display : {&whole, &halves, &bytewise})
        display->setScrollbackLines(scrollback);
    whole.write(bytes);
    const Snapshot expected = checkWellFormed(whole, scrollback);
    halves.write(bytes.first(qsizetype(split)));
    checkWellFormed(halves, scrollback);
    halves.write(bytes.sliced(qsizetype(split)));
    check(checkWellFormed(halves, scrollback) == expected,
          "writing in two parts changed the result");
    // Feeding every byte on its own is slow, so only short inputs get that third display.
    if (size <= 256) {
        for (const char byte : bytes)
            bytewise.write(QByteArray(1, byte));
        check(checkWellFormed(bytewise, scrollback) == expected,
              "writing byte by byte changed the result");
    }

    // Painting, scrolled to a position the input chooses, for the painting arithmetic.
    whole.resize(240, 120);
    QScrollBar* bar = whole.verticalScrollBar();
    bar->setValue(bar->maximum() == 0 ? 0 : (size > 0 ? data[size / 2] : 0) % (bar->maximum() + 1));
    QImage image(whole.size(), QImage::Format_RGB32);
    whole.render(&image);

    // Shrinking the scrollback drops old lines only, never a screen row.
    whole.setScrollbackLines(scrollback / 2);
    check(std::get<0>(checkWellFormed(whole, scrollback / 2)) == std::get<0>(expected),
          "shrinking the scrollback changed the screen");
    return 0;
}
