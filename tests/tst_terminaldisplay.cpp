#include "serial/CodePage437.h"
#include "serial/TerminalDisplay.h"

#include <QAccessible>
#include <QScrollBar>
#include <QTest>

using namespace Qt::StringLiterals;

class tst_TerminalDisplay : public QObject {
    Q_OBJECT
private slots:
    void screenAndCursor_data();
    void screenAndCursor();
    void keysAndCodePage();
    void scrollbackAndScreenReader();
};

// One row per family of controls and sequences: the screen they leave, and the cursor.
void tst_TerminalDisplay::screenAndCursor_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("screen");
    QTest::addColumn<QPoint>("cursor");
    const auto row = [](const char* name, const QByteArray& in, const QString& out, int x, int y) {
        QTest::newRow(name) << in << out << QPoint(x, y);
    };
    row("C0 controls", QByteArrayLiteral("abc\rX\nY\b\b\bZ\x1b[1\r\nb\a\0\x01\x0b\x0c\x1f\x63"),
        u"Xbc\nZY\nbc"_s, 2, 2);
    row("TAB", "ab\tX\tY\x1b[1;78H\t\tZ", u"ab      X       Y"_s + QString(62, u' ') + u'Z', 79, 0);
    row("erase in display", "wxyz\x1b[2Jabc\r\ndef\r\nghi\x1b[2;2H\x1b[1J\x1b[3;2H\x1b[J",
        u"\n  f\ng"_s, 1, 2);
    row("erase in line", "abcdef\r\nghijkl\r\nmno\x1b[1;4H\x1b[K\x1b[2;4H\x1b[1K\x1b[3;2H\x1b[2K",
        u"abc\n    kl"_s, 1, 2);
    row("cursor position", "abc\x1b[HX\x1b[3;5fY\x1b[99;999H", u"Xbc\n\n    Y"_s, 79, 24);
    row("cursor moves, saved and restored",
        "\x1b[5B\x1b[10C\x1b[2A\x1b[3DX\x1b[B\x1b[C\x1b[0CY\x1b[s\x1b[99A\x1b[99DZ\x1b[u",
        u"Z\n\n\n       X\n          Y"_s, 11, 4);
    row("colour, unknown, broken, over-long sequences unprinted; ESC ESC [ is one",
        "a\x1b[1;31;44mb\x1b[38;5;1mc\x1b[6nd\x1b[?25le\x1bXf\x1b[ 1Hg\x1b[1\xc9h\x1b\x1b[Ci\x1b[" +
            QByteArray(31, '0') + "5Cj\x1b[" + QByteArray(32, '0') + "5Ck",
        u"abcdefgh i     jk"_s, 17, 0);
    row("code page 437", "\x7f\x80\xb0\xc9\xff", u"\u2302\u00c7\u2591\u2554\u00a0"_s, 5, 0);
    // A full row keeps the cursor in it: CR LF adds no blank row, the next glyph wraps.
    row("wrap and scroll", "\x1b[24;1H" + QByteArray(80, 'a') + "\r\n" + QByteArray(80, 'a') + "b",
        QString(22, u'\n') + QString(80, u'a') + u'\n' + QString(80, u'a') + u"\nb"_s, 1, 24);
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

// Keys put their code page 437 bytes or their sequences on the line, as the PC terminal does.
void tst_TerminalDisplay::keysAndCodePage() {
    TerminalDisplay display;
    QByteArray sent, printable;
    connect(&display, &TerminalDisplay::keyBytes, this, [&](const QByteArray& b) { sent += b; });
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Backspace, Qt::Key_Escape,
                        Qt::Key_Up, Qt::Key_Down, Qt::Key_Right, Qt::Key_Left})
        QTest::sendKeyEvent(QTest::Click, &display, key, {}, {});
    QTest::sendKeyEvent(QTest::Click, &display, Qt::Key_A, {}, Qt::ControlModifier);
    QTest::sendKeyEvent(QTest::Click, &display, Qt::Key_Z, {}, Qt::ControlModifier);
    // AltGr (Ctrl+Alt) types characters; Alt with a letter is left to the menu's mnemonics.
    QTest::sendKeyEvent(QTest::Click, &display, Qt::Key_At, u"@"_s,
                        Qt::ControlModifier | Qt::AltModifier);
    QTest::sendKeyEvent(QTest::Click, &display, Qt::Key_F, u"f"_s, Qt::AltModifier);
    for (int byte = 0x20; byte <= 0xff; ++byte)
        printable.append(static_cast<char>(byte));
    QTest::sendKeyEvent(QTest::Click, &display, Qt::Key_unknown,
                        CodePage437::toUnicode(printable) + u"\U0001F600"_s, {});
    QCOMPARE(sent, "\r\r\b\x1b\x1b[A\x1b[B\x1b[C\x1b[D\x01\x1a@" + printable + '?');
}

// 500 lines stay above the screen; the view follows the output, or keeps its lines when scrolled
// up. A screen reader reads the rows in view and the cursor; offsets and cells agree.
void tst_TerminalDisplay::scrollbackAndScreenReader() {
    TerminalDisplay display;
    display.resize(400, 200);
    display.show();
    QVERIFY(QTest::qWaitForWindowExposed(&display));
    QCOMPARE(QAccessible::queryAccessibleInterface(&display)->role(), QAccessible::Terminal);
    QAccessibleTextInterface* text =
        QAccessible::queryAccessibleInterface(&display)->textInterface();
    QScrollBar* bar = display.verticalScrollBar();
    QByteArray lines;
    for (int i = 0; i < 600; ++i)
        lines += "line " + QByteArray::number(i) + "\r\n";
    display.write(lines);
    QCOMPARE(bar->value(), bar->maximum());
    QCOMPARE(display.allLines().size(), 500 + 24);
    bar->setValue(300);
    const QString top = display.allLines().at(300);
    display.write(QByteArray(20, '\n'));
    QCOMPARE(display.allLines().at(bar->value()), top);
    bar->setValue(0);
    QVERIFY(text->text(0, text->characterCount()).startsWith(u"line 96\nline 97\n"_s));
    QCOMPARE(text->cursorPosition(), 0);
    const QRect cell = text->characterRect(8); // the first cell of the second row
    QCOMPARE(display.viewport()->mapFromGlobal(cell.center()).y() / cell.height(), 1);
    QCOMPARE(text->offsetAtPoint(cell.center()), 8);

    // ESC[2J leaves the scrollback; shrinking it keeps its newest lines.
    display.write("\x1b[2J");
    const QStringList kept = display.allLines();
    display.setScrollbackLines(10);
    QCOMPARE(display.allLines(), kept.mid(490));
}

QTEST_MAIN(tst_TerminalDisplay)
#include "tst_terminaldisplay.moc"
