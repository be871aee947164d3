#include "serial/CodePage437.h"
#include "serial/TerminalDisplay.h"

#include <QAccessible>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QTest>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace {

QByteArray numberedLines(int first, int count) {
    QByteArray bytes;
    for (int i = first; i < first + count; ++i)
        bytes += "line " + QByteArray::number(i) + "\r\n";
    return bytes;
}

} // namespace

// Checks how the terminal display turns line bytes into screen text, scrollback and key bytes.
class tst_TerminalDisplay : public QObject {
    Q_OBJECT
private slots:
    void screenAndCursor_data();
    void screenAndCursor();
    void splitWritesGiveSameResult_data() { screenAndCursor_data(); }
    void splitWritesGiveSameResult();
    void codePageRoundTrip();
    void scrollback();
    void viewFollowsOutputUnlessScrolledUp();
    void keys_data();
    void keys();
    void randomMegabyteStaysBounded();
    void screenReaderReadsTheView();
};

void tst_TerminalDisplay::screenAndCursor_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("screen");
    QTest::addColumn<QPoint>("cursor");

    const QByteArray row80(80, 'a');
    const QString text80(80, u'a');
    QTest::newRow("plain text") << QByteArray("hello") << u"hello"_s << QPoint(5, 0);
    QTest::newRow("CR LF") << QByteArray("ab\r\ncd") << u"ab\ncd"_s << QPoint(2, 1);
    QTest::newRow("LF keeps column") << QByteArray("ab\ncd") << u"ab\n  cd"_s << QPoint(4, 1);
    QTest::newRow("CR overwrites") << QByteArray("abc\rX") << u"Xbc"_s << QPoint(1, 0);
    QTest::newRow("BS moves without erasing") << QByteArray("abc\b\bX") << u"aXc"_s << QPoint(2, 0);
    QTest::newRow("BS stops at column 0") << QByteArray("\b\bX") << u"X"_s << QPoint(1, 0);
    QTest::newRow("TAB to next multiple of 8")
        << QByteArray("ab\tX\tY") << u"ab      X       Y"_s << QPoint(17, 0);
    QTest::newRow("TAB stops at column 79")
        << QByteArray(78, 'a') + "\t\tX" << QString(78, u'a') + u" X"_s << QPoint(79, 0);
    QTest::newRow("full row leaves cursor in column 79") << row80 << text80 << QPoint(79, 0);
    QTest::newRow("wrap at column 80") << row80 + "b" << text80 + u"\nb"_s << QPoint(1, 1);
    QTest::newRow("full row then CR LF adds no blank row")
        << row80 + "\r\nb" << text80 + u"\nb"_s << QPoint(1, 1);
    QTest::newRow("LF on last row scrolls")
        << QByteArray("\x1b[25;1Hx\r\ny") << QString(23, u'\n') + u"x\ny"_s << QPoint(1, 24);
    QTest::newRow("ESC[2J clears and homes")
        << QByteArray("abc\r\ndef\x1b[2J") << QString() << QPoint(0, 0);
    QTest::newRow("ESC[J erases cursor to end")
        << QByteArray("abc\r\ndef\x1b[1;2H\x1b[J") << u"a"_s << QPoint(1, 0);
    QTest::newRow("ESC[1J erases start to cursor")
        << QByteArray("abc\r\ndef\x1b[2;2H\x1b[1J") << u"\n  f"_s << QPoint(1, 1);
    QTest::newRow("ESC[K erases to end of line")
        << QByteArray("abcdef\x1b[3D\x1b[K") << u"abc"_s << QPoint(3, 0);
    QTest::newRow("ESC[1K erases start of line")
        << QByteArray("abcdef\x1b[3D\x1b[1K") << u"    ef"_s << QPoint(3, 0);
    QTest::newRow("ESC[2K erases the line")
        << QByteArray("abc\r\ndef\x1b[2K") << u"abc"_s << QPoint(3, 1);
    QTest::newRow("ESC[H row and column")
        << QByteArray("\x1b[3;5HX") << u"\n\n    X"_s << QPoint(5, 2);
    QTest::newRow("ESC[f as ESC[H") << QByteArray("\x1b[2;2fX") << u"\n X"_s << QPoint(2, 1);
    QTest::newRow("ESC[H defaults to home") << QByteArray("abc\x1b[HX") << u"Xbc"_s << QPoint(1, 0);
    QTest::newRow("ESC[H clamps") << QByteArray("\x1b[99;999H") << QString() << QPoint(79, 24);
    QTest::newRow("moves") << QByteArray("\x1b[5B\x1b[10C\x1b[2A\x1b[3D") << QString()
                           << QPoint(7, 3);
    QTest::newRow("moves default to 1")
        << QByteArray("\x1b[B\x1b[C\x1b[0C") << QString() << QPoint(2, 1);
    QTest::newRow("moves clamp at top left")
        << QByteArray("\x1b[3;3H\x1b[99A\x1b[99D") << QString() << QPoint(0, 0);
    QTest::newRow("moves clamp at bottom right")
        << QByteArray("\x1b[99B\x1b[99C") << QString() << QPoint(79, 24);
    QTest::newRow("save and restore")
        << QByteArray("ab\x1b[s\r\ncd\x1b[uX") << u"abX\ncd"_s << QPoint(3, 0);
    QTest::newRow("SGR not printed")
        << QByteArray("a\x1b[1;31;44mb\x1b[0mc\x1b[38;5;1md") << u"abcd"_s << QPoint(4, 0);
    QTest::newRow("unknown CSI dropped")
        << QByteArray("a\x1b[6nb\x1b[?25lc") << u"abc"_s << QPoint(3, 0);
    QTest::newRow("ESC X dropped") << QByteArray("a\x1bXb\x1b\x80") << u"ab"_s << QPoint(2, 0);
    QTest::newRow("ESC ESC [ still a sequence")
        << QByteArray("a\x1b\x1b[Cb") << u"a b"_s << QPoint(3, 0);
    QTest::newRow("over-long sequence skipped to its end")
        << "a\x1b[" + QByteArray(40, '1') + "Cb" << u"ab"_s << QPoint(2, 0);
    QTest::newRow("32 parameter bytes still obeyed")
        << "a\x1b[" + QByteArray(31, '0') + "5Cb" << u"a     b"_s << QPoint(7, 0);
    QTest::newRow("parameter after intermediate skipped")
        << QByteArray("a\x1b[ 1Hb") << u"ab"_s << QPoint(2, 0);
    QTest::newRow("high byte abandons sequence")
        << QByteArray("a\x1b[1\xc9\x62") << u"ab"_s << QPoint(2, 0);
    QTest::newRow("control abandons sequence and acts")
        << QByteArray("a\x1b[1\r\nb") << u"a\nb"_s << QPoint(1, 1);
    QTest::newRow("BEL NUL and other C0 ignored")
        << QByteArray("a\a\0b\x01\x0b\x0c\x1f\x63", 9) << u"abc"_s << QPoint(3, 0);
    QTest::newRow("code page 437 glyphs")
        << QByteArray("\x7f\x80\xb0\xc9\xe1\xff") << u"\u2302\u00c7\u2591\u2554\u00df\u00a0"_s
        << QPoint(6, 0);
}

void tst_TerminalDisplay::screenAndCursor() {
    QFETCH(QByteArray, input);
    TerminalDisplay display;
    display.write(input);
    QTEST(display.screenText(), "screen");
    QTEST(display.cursorPosition(), "cursor");
}

void tst_TerminalDisplay::splitWritesGiveSameResult() {
    QFETCH(QByteArray, input);
    TerminalDisplay display;
    for (const char byte : std::as_const(input))
        display.write(QByteArray(1, byte));
    QTEST(display.screenText(), "screen");
    QTEST(display.cursorPosition(), "cursor");
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
    QCOMPARE(display.scrollbackLines(), 500);
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

void tst_TerminalDisplay::keys_data() {
    QTest::addColumn<Qt::Key>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("keepsFocus");

    const Qt::KeyboardModifiers none = Qt::NoModifier;
    const Qt::KeyboardModifiers ctrl = Qt::ControlModifier;
    QTest::newRow("letter") << Qt::Key_A << none << u"a"_s << QByteArray("a") << true;
    QTest::newRow("shifted letter") << Qt::Key_A << Qt::KeyboardModifiers(Qt::ShiftModifier)
                                    << u"A"_s << QByteArray("A") << true;
    QTest::newRow("space") << Qt::Key_Space << none << u" "_s << QByteArray(" ") << true;
    QTest::newRow("letter in code page")
        << Qt::Key_Eacute << none << u"\u00e9"_s << QByteArray("\x82") << true;
    QTest::newRow("box drawing") << Qt::Key_unknown << none << u"\u2554"_s << QByteArray("\xc9")
                                 << true;
    QTest::newRow("not in code page")
        << Qt::Key_unknown << none << u"\u20ac"_s << QByteArray("?") << true;
    QTest::newRow("AltGr character")
        << Qt::Key_At << (ctrl | Qt::AltModifier) << u"@"_s << QByteArray("@") << true;
    QTest::newRow("Return") << Qt::Key_Return << none << u"\r"_s << QByteArray("\r") << true;
    QTest::newRow("keypad Enter") << Qt::Key_Enter << Qt::KeyboardModifiers(Qt::KeypadModifier)
                                  << u"\r"_s << QByteArray("\r") << true;
    QTest::newRow("Backspace") << Qt::Key_Backspace << none << u"\b"_s << QByteArray("\x08")
                               << true;
    QTest::newRow("Escape") << Qt::Key_Escape << none << u"\x1b"_s << QByteArray("\x1b") << true;
    QTest::newRow("Up") << Qt::Key_Up << none << QString() << QByteArray("\x1b[A") << true;
    QTest::newRow("Down") << Qt::Key_Down << none << QString() << QByteArray("\x1b[B") << true;
    QTest::newRow("Right") << Qt::Key_Right << none << QString() << QByteArray("\x1b[C") << true;
    QTest::newRow("Left") << Qt::Key_Left << none << QString() << QByteArray("\x1b[D") << true;
    QTest::newRow("Ctrl+A") << Qt::Key_A << ctrl << u"\x01"_s << QByteArray("\x01") << true;
    QTest::newRow("Ctrl+C") << Qt::Key_C << ctrl << u"\x03"_s << QByteArray("\x03") << true;
    QTest::newRow("Ctrl+Z") << Qt::Key_Z << ctrl << u"\x1a"_s << QByteArray("\x1a") << true;
    QTest::newRow("Alt+letter left to mnemonics")
        << Qt::Key_F << Qt::KeyboardModifiers(Qt::AltModifier) << u"f"_s << QByteArray() << true;
    QTest::newRow("function key ignored")
        << Qt::Key_F1 << none << QString() << QByteArray() << true;
    QTest::newRow("Tab moves focus") << Qt::Key_Tab << none << u"\t"_s << QByteArray() << false;
    QTest::newRow("Shift+Tab moves focus")
        << Qt::Key_Backtab << Qt::KeyboardModifiers(Qt::ShiftModifier) << QString() << QByteArray()
        << false;
}

void tst_TerminalDisplay::keys() {
    QFETCH(Qt::Key, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(QString, text);
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* display = new TerminalDisplay;
    layout->addWidget(display);
    layout->addWidget(new QLineEdit);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    display->setFocus();
    QVERIFY(display->hasFocus());

    QByteArray emitted;
    connect(display, &TerminalDisplay::keyBytes, this,
            [&](const QByteArray& bytes) { emitted += bytes; });
    QTest::sendKeyEvent(QTest::Click, display, key, text, modifiers);
    QTEST(emitted, "bytes");
    QTEST(display->hasFocus(), "keepsFocus");
}

void tst_TerminalDisplay::randomMegabyteStaysBounded() {
    QRandomGenerator random(437);
    QByteArray data(1 << 20, Qt::Uninitialized);
    random.fillRange(reinterpret_cast<quint32*>(data.data()), data.size() / 4);

    TerminalDisplay display;
    display.resize(300, 200);
    display.show();
    // An odd chunk size splits escape sequences at every possible point over the run.
    constexpr qsizetype Chunk = 4093;
    for (qsizetype offset = 0; offset < data.size(); offset += Chunk)
        display.write(data.mid(offset, Chunk));

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
