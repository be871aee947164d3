#include "serial/CodePage437.h"
#include "serial/TerminalDisplay.h"

#include <QAccessible>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QTest>
#include <QVBoxLayout>

#include <string_view>

using namespace Qt::StringLiterals;
using namespace std::string_view_literals;

namespace {

QByteArray numberedLines(int first, int count) {
    QByteArray bytes;
    for (int i = first; i < first + count; ++i)
        bytes += "line " + QByteArray::number(i) + "\r\n";
    return bytes;
}

struct ScreenCase {
    const char* name;
    std::string_view input;
    const char16_t* screen;
    int column, row; // of the cursor afterwards
};

const ScreenCase kScreenCases[] = {
    {"plain text", "hello", u"hello", 5, 0},
    {"CR LF", "ab\r\ncd", u"ab\ncd", 2, 1},
    {"LF keeps column", "ab\ncd", u"ab\n  cd", 4, 1},
    {"CR overwrites", "abc\rX", u"Xbc", 1, 0},
    {"BS moves without erasing", "abc\b\bX", u"aXc", 2, 0},
    {"BS stops at column 0", "\b\bX", u"X", 1, 0},
    {"TAB to next multiple of 8", "ab\tX\tY", u"ab      X       Y", 17, 0},
    {"ESC[2J clears and homes", "abc\r\ndef\x1b[2J", u"", 0, 0},
    {"ESC[J erases cursor to end", "abc\r\ndef\x1b[1;2H\x1b[J", u"a", 1, 0},
    {"ESC[1J erases start to cursor", "abc\r\ndef\x1b[2;2H\x1b[1J", u"\n  f", 1, 1},
    {"ESC[K erases to end of line", "abcdef\x1b[3D\x1b[K", u"abc", 3, 0},
    {"ESC[1K erases start of line", "abcdef\x1b[3D\x1b[1K", u"    ef", 3, 0},
    {"ESC[2K erases the line", "abc\r\ndef\x1b[2K", u"abc", 3, 1},
    {"ESC[H row and column", "\x1b[3;5HX", u"\n\n    X", 5, 2},
    {"ESC[f as ESC[H", "\x1b[2;2fX", u"\n X", 2, 1},
    {"ESC[H defaults to home", "abc\x1b[HX", u"Xbc", 1, 0},
    {"ESC[H clamps", "\x1b[99;999H", u"", 79, 24},
    {"moves", "\x1b[5B\x1b[10C\x1b[2A\x1b[3D", u"", 7, 3},
    {"moves default to 1", "\x1b[B\x1b[C\x1b[0C", u"", 2, 1},
    {"moves clamp at top left", "\x1b[3;3H\x1b[99A\x1b[99D", u"", 0, 0},
    {"moves clamp at bottom right", "\x1b[99B\x1b[99C", u"", 79, 24},
    {"save and restore", "ab\x1b[s\r\ncd\x1b[uX", u"abX\ncd", 3, 0},
    {"SGR not printed", "a\x1b[1;31;44mb\x1b[0mc\x1b[38;5;1md", u"abcd", 4, 0},
    {"unknown CSI dropped", "a\x1b[6nb\x1b[?25lc", u"abc", 3, 0},
    {"ESC X dropped", "a\x1bXb\x1b\x80", u"ab", 2, 0},
    {"ESC ESC [ still a sequence", "a\x1b\x1b[Cb", u"a b", 3, 0},
    {"parameter after intermediate skipped", "a\x1b[ 1Hb", u"ab", 2, 0},
    {"high byte abandons sequence", "a\x1b[1\xc9\x62", u"ab", 2, 0},
    {"control abandons sequence and acts", "a\x1b[1\r\nb", u"a\nb", 1, 1},
    {"BEL NUL and other C0 ignored", "a\a\0b\x01\x0b\x0c\x1f\x63"sv, u"abc", 3, 0},
    {"code page 437 glyphs", "\x7f\x80\xb0\xc9\xe1\xff", u"\u2302\u00c7\u2591\u2554\u00df\u00a0", 6,
     0},
};

struct KeyCase {
    const char* name;
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    const char16_t* text;
    const char* bytes; // sent to the line; Tab and Shift+Tab move the focus instead
};

const KeyCase kKeyCases[] = {
    {"letter", Qt::Key_A, Qt::NoModifier, u"a", "a"},
    {"shifted letter", Qt::Key_A, Qt::ShiftModifier, u"A", "A"},
    {"space", Qt::Key_Space, Qt::NoModifier, u" ", " "},
    {"letter in code page", Qt::Key_Eacute, Qt::NoModifier, u"\u00e9", "\x82"},
    {"box drawing", Qt::Key_unknown, Qt::NoModifier, u"\u2554", "\xc9"},
    {"not in code page", Qt::Key_unknown, Qt::NoModifier, u"\u20ac", "?"},
    {"AltGr character", Qt::Key_At, Qt::ControlModifier | Qt::AltModifier, u"@", "@"},
    {"Return", Qt::Key_Return, Qt::NoModifier, u"\r", "\r"},
    {"keypad Enter", Qt::Key_Enter, Qt::KeypadModifier, u"\r", "\r"},
    {"Backspace", Qt::Key_Backspace, Qt::NoModifier, u"\b", "\x08"},
    {"Escape", Qt::Key_Escape, Qt::NoModifier, u"\x1b", "\x1b"},
    {"Up", Qt::Key_Up, Qt::NoModifier, u"", "\x1b[A"},
    {"Down", Qt::Key_Down, Qt::NoModifier, u"", "\x1b[B"},
    {"Right", Qt::Key_Right, Qt::NoModifier, u"", "\x1b[C"},
    {"Left", Qt::Key_Left, Qt::NoModifier, u"", "\x1b[D"},
    {"Ctrl+A", Qt::Key_A, Qt::ControlModifier, u"\x01", "\x01"},
    {"Ctrl+C", Qt::Key_C, Qt::ControlModifier, u"\x03", "\x03"},
    {"Ctrl+Z", Qt::Key_Z, Qt::ControlModifier, u"\x1a", "\x1a"},
    {"Alt+letter left to mnemonics", Qt::Key_F, Qt::AltModifier, u"f", ""},
    {"function key ignored", Qt::Key_F1, Qt::NoModifier, u"", ""},
    {"Tab moves focus", Qt::Key_Tab, Qt::NoModifier, u"\t", ""},
    {"Shift+Tab moves focus", Qt::Key_Backtab, Qt::ShiftModifier, u"", ""},
};

} // namespace

// Checks how the terminal display turns line bytes into screen text, scrollback and key bytes.
class tst_TerminalDisplay : public QObject {
    Q_OBJECT
private slots:
    void screenAndCursor_data();
    void screenAndCursor();
    void codePageRoundTrip();
    void scrollback();
    void viewFollowsOutputUnlessScrolledUp();
    void keys();
    void randomMegabyteStaysBounded();
    void screenReaderReadsTheView();
};

void tst_TerminalDisplay::screenAndCursor_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("screen");
    QTest::addColumn<QPoint>("cursor");
    for (const ScreenCase& c : kScreenCases)
        QTest::newRow(c.name) << QByteArray(c.input.data(), qsizetype(c.input.size()))
                              << QString::fromUtf16(c.screen) << QPoint(c.column, c.row);
    const QByteArray row80(80, 'a');
    const QString text80(80, u'a');
    QTest::newRow("TAB stops at column 79")
        << QByteArray(78, 'a') + "\t\tX" << QString(78, u'a') + u" X"_s << QPoint(79, 0);
    QTest::newRow("full row leaves cursor in column 79") << row80 << text80 << QPoint(79, 0);
    QTest::newRow("wrap at column 80") << row80 + "b" << text80 + u"\nb"_s << QPoint(1, 1);
    QTest::newRow("full row then CR LF adds no blank row")
        << row80 + "\r\nb" << text80 + u"\nb"_s << QPoint(1, 1);
    QTest::newRow("LF on last row scrolls")
        << QByteArray("\x1b[25;1Hx\r\ny") << QString(23, u'\n') + u"x\ny"_s << QPoint(1, 24);
    QTest::newRow("over-long sequence skipped to its end")
        << "a\x1b[" + QByteArray(40, '1') + "Cb" << u"ab"_s << QPoint(2, 0);
    QTest::newRow("32 parameter bytes still obeyed")
        << "a\x1b[" + QByteArray(31, '0') + "5Cb" << u"a     b"_s << QPoint(7, 0);
}

// The same bytes give the same screen whether written at once or one at a time.
void tst_TerminalDisplay::screenAndCursor() {
    QFETCH(QByteArray, input);
    TerminalDisplay whole, split;
    whole.write(input);
    for (const char byte : std::as_const(input))
        split.write(QByteArray(1, byte));
    for (TerminalDisplay* display : {&whole, &split}) {
        QTEST(display->screenText(), "screen");
        QTEST(display->cursorPosition(), "cursor");
    }
}

void tst_TerminalDisplay::codePageRoundTrip() {
    QByteArray printable;
    for (int byte = 0x20; byte <= 0xff; ++byte)
        printable.append(static_cast<char>(byte));
    QCOMPARE(CodePage437::fromUnicode(CodePage437::toUnicode(printable)), printable);
    QCOMPARE(CodePage437::fromUnicode(u"A\u20ac\U0001F600"), QByteArray("A??"));
}

void tst_TerminalDisplay::scrollback() {
    TerminalDisplay display;
    QCOMPARE(display.scrollbackLines(), 500);
    display.write(numberedLines(0, 600));
    QStringList lines = display.allLines();
    QCOMPARE(lines.size(), 500 + 24);
    QCOMPARE(lines.first(), u"line 76"_s);
    QCOMPARE(lines.last(), u"line 599"_s);

    display.write("\x1b[2J");
    QCOMPARE(display.screenText(), QString());
    lines = display.allLines();
    QCOMPARE(lines.size(), 500);
    QCOMPARE(lines.last(), u"line 575"_s);

    display.setScrollbackLines(10);
    QCOMPARE(display.allLines().first(), u"line 566"_s);
    display.setScrollbackLines(0);
    display.setScrollbackLines(500);
    QCOMPARE(display.allLines(), QStringList());
    display.write("after");
    QCOMPARE(display.allLines(), QStringList{u"after"_s});
}

void tst_TerminalDisplay::viewFollowsOutputUnlessScrolledUp() {
    TerminalDisplay display;
    display.resize(400, 200);
    display.show();
    QVERIFY(QTest::qWaitForWindowExposed(&display));
    QScrollBar* bar = display.verticalScrollBar();

    display.write("first\r\n");
    QCOMPARE(bar->maximum(), 0);
    display.write(numberedLines(0, 100));
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum());

    bar->setValue(10);
    display.write(numberedLines(100, 20));
    QCOMPARE(bar->value(), 10);

    // Once the scrollback is full, dropping old lines must not move what the reader looks at.
    display.write(numberedLines(120, 600));
    bar->setValue(300);
    const QString topLine = display.allLines().at(bar->value());
    display.write(numberedLines(720, 20));
    QCOMPARE(display.allLines().at(bar->value()), topLine);

    bar->setValue(bar->maximum());
    display.write(numberedLines(740, 5));
    QCOMPARE(bar->value(), bar->maximum());
}

// Each key in turn, with a line edit beside the display to take the focus.
void tst_TerminalDisplay::keys() {
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* display = new TerminalDisplay;
    layout->addWidget(display);
    layout->addWidget(new QLineEdit);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QByteArray emitted;
    connect(display, &TerminalDisplay::keyBytes, this,
            [&](const QByteArray& bytes) { emitted += bytes; });
    for (const KeyCase& c : kKeyCases) {
        display->setFocus();
        QVERIFY(display->hasFocus());
        emitted.clear();
        QTest::sendKeyEvent(QTest::Click, display, c.key, QString::fromUtf16(c.text), c.modifiers);
        QVERIFY2(emitted == c.bytes, c.name);
        QVERIFY2(display->hasFocus() == (c.key != Qt::Key_Tab && c.key != Qt::Key_Backtab), c.name);
    }
}

// An odd chunk size splits escape sequences at every possible point over the run.
void tst_TerminalDisplay::randomMegabyteStaysBounded() {
    QRandomGenerator random(437);
    QByteArray data(1 << 20, Qt::Uninitialized);
    random.fillRange(reinterpret_cast<quint32*>(data.data()), data.size() / 4);
    TerminalDisplay display;
    display.resize(300, 200);
    display.show();
    for (qsizetype offset = 0; offset < data.size(); offset += 4093)
        display.write(data.mid(offset, 4093));

    const QStringList lines = display.allLines();
    QVERIFY(lines.size() <= 500 + 25);
    for (const QString& line : lines) {
        QVERIFY(line.size() <= 80);
        QVERIFY(std::none_of(line.begin(), line.end(), [](QChar c) { return c.unicode() < 0x20; }));
    }
    const QPoint cursor = display.cursorPosition();
    QVERIFY(cursor.x() >= 0 && cursor.x() < 80 && cursor.y() >= 0 && cursor.y() < 25);
    QVERIFY(!display.grab().isNull());
}

void tst_TerminalDisplay::screenReaderReadsTheView() {
    TerminalDisplay display;
    display.resize(display.sizeHint());
    display.show();
    QVERIFY(QTest::qWaitForWindowExposed(&display));
    display.write("Brisa C167 target simulator\r\n> ");
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(&display);
    QCOMPARE(accessible->role(), QAccessible::Terminal);
    QCOMPARE(accessible->text(QAccessible::Name), u"Terminal display"_s);
    QAccessibleTextInterface* text = accessible->textInterface();
    QVERIFY(text);
    QCOMPARE(text->text(0, text->characterCount()), u"Brisa C167 target simulator\n> "_s);
    QCOMPARE(text->cursorPosition(), 30);
    display.write("\r\nProgrammed 65537 bytes\r\n> ");
    QCOMPARE(text->cursorPosition(), 55);
    int start = 0;
    int end = 0;
    QCOMPARE(text->textAtOffset(35, QAccessible::LineBoundary, &start, &end),
             u"Programmed 65537 bytes\n"_s);
    // Offsets and screen positions agree: the 'P' is the first cell of the third row.
    const QRect cell = text->characterRect(start);
    QCOMPARE(display.viewport()->mapFromGlobal(cell.center()).y() / cell.height(), 2);
    QCOMPARE(text->offsetAtPoint(cell.center()), start);

    // Scrolled up past the cursor, the view's rows are read and the caret stays in the text.
    display.write(numberedLines(0, 100));
    display.verticalScrollBar()->setValue(0);
    QVERIFY(
        text->text(0, text->characterCount()).startsWith(u"Brisa C167 target simulator\n>\n"_s));
    QCOMPARE(text->cursorPosition(), 0);
}

QTEST_MAIN(tst_TerminalDisplay)
#include "tst_terminaldisplay.moc"
