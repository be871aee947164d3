// Arbitrary line bytes keep the terminal display well formed, however they are split into writes.

#include "serial/TerminalDisplay.h"

#include <QApplication>
#include <QRegularExpression>
#include <QScrollBar>

static const auto check = [](bool ok, const char* what) { ok ? void() : qFatal("%s", what); };

static std::tuple<QString, QStringList, QPoint> shown(const TerminalDisplay& display, int limit) {
    static const QRegularExpression kRows(QStringLiteral("\\A\\P{Cc}{0,80}(\\n\\P{Cc}{0,80})*\\z"));
    const QString text = display.screenText();
    const QStringList all = display.allLines();
    const qsizetype rows = text.isEmpty() ? 0 : text.count(u'\n') + 1;
    check(rows <= TerminalDisplay::Rows && rows <= all.size() && all.size() - rows <= limit &&
              all.mid(all.size() - rows).join(u'\n') == text,
          "scrollback or screen rows wrong");
    check(kRows.match(all.join(u'\n')).hasMatch(), "a line longer than 80 or holding a control");
    check(QRect(0, 0, 80, 25).contains(display.cursorPosition()), "the cursor is off the screen");
    return {text, all, display.cursorPosition()};
}

// The application is never destroyed: tearing Qt down after libFuzzer calls exit() gains nothing.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    [[maybe_unused]] static QApplication* const application = new QApplication(*argc, *argv);
    return 0;
}

// A limit of 0 to 7 lines reaches the dropping of old lines; one display gets the bytes one by one
// up to where the last byte says, then the rest. Then painting, scrolled, and a shrunk scrollback.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const int limit = size > 0 ? data[0] % 8 : 0;
    const qsizetype split = size > 0 ? data[size - 1] % (size + 1) : 0;
    TerminalDisplay whole, parts;
    whole.setScrollbackLines(limit);
    parts.setScrollbackLines(limit);
    whole.write(bytes);
    for (const char byte : bytes.first(split))
        parts.write(QByteArray(1, byte));
    parts.write(bytes.sliced(split));
    check(shown(parts, limit) == shown(whole, limit), "split writes changed the result");
    whole.resize(240, 120);
    whole.verticalScrollBar()->setValue(size > 0 ? data[size / 2] % 32 : 0); // clamped to its range
    check(!whole.grab().isNull(), "the display could not be painted");
    whole.setScrollbackLines(limit / 2);
    check(get<0>(shown(whole, limit / 2)) == parts.screenText(), "shrinking changed the screen");
    return 0;
}
