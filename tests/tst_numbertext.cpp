#include "foundation/NumberText.h"
#include "foundation/RunTimeError.h"

#include <QtTest>

class tst_NumberText : public QObject {
    Q_OBJECT
private slots:
    void conversions_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value"); // numericValue
        QTest::addColumn<int>("plain");    // plainInt32; 99999 where it refuses the text
        QTest::addColumn<int>("int16");    // toInt16 of the value; 99999 where it overflows
        const auto row = [](const char* text, double value, int plain, int int16) {
            QTest::newRow(text) << QString::fromUtf8(text) << value << plain << int16;
        };
        row("+1 1\t4\n00", 11400, 99999, 11400);
        row(" +2147483647 ", 2147483647, 2147483647, 99999);
        row("-2147483649", -2147483649.0, 99999, 99999);
        row("25e-1", 2.5, 99999, 2);
        row("32767.5", 32767.5, 99999, 99999);
        row("-32768.5", -32768.5, 99999, -32768);
        row(".5D1", 5, 99999, 5);
        row("12eV", 12, 99999, 12);
        row("1e999", qInf(), 99999, 99999);
        row("&hFf", 255, 99999, 255);
        row("&o178", 15, 99999, 15);
        row("\u0663", 0, 99999, 0);
    }

    void conversions() {
        QFETCH(QString, text);
        QFETCH(double, value);
        QCOMPARE(NumberText::numericValue(text), value);
        QTEST(NumberText::plainInt32(text).value_or(99999), "plain");
        int int16 = 99999;
        try {
            int16 = NumberText::toInt16(value);
        } catch (const RunTimeError& failure) {
            QCOMPARE(failure.number(), 6);
        }
        QTEST(int16, "int16");
        QCOMPARE(NumberText::errorNumberLine(0, text), QStringLiteral("Error #  0 - ") + text);
    }
};

QTEST_GUILESS_MAIN(tst_NumberText)
#include "tst_numbertext.moc"
