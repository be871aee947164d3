#include "foundation/NumberText.h"
#include "foundation/RunTimeError.h"

#include <QtTest>

using namespace Qt::StringLiterals;

// The numeric value of settings texts and the number line of failure messages.
class tst_NumberText : public QObject {
    Q_OBJECT
private slots:
    void conversions_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");   // numericValue
        QTest::addColumn<QVariant>("plain"); // plainInt32; null where it refuses the text
        const QVariant refused;
        QTest::newRow("whole") << u"11400"_s << 11400.0 << QVariant(11400);
        QTest::newRow("blanks, tabs, line feeds anywhere")
            << u" 1 1\t4\n00 "_s << 11400.0 << refused;
        QTest::newRow("blanks around") << u" 9600 "_s << 9600.0 << QVariant(9600);
        QTest::newRow("blank inside") << u"96 00"_s << 9600.0 << refused;
        QTest::newRow("negative") << u"-120"_s << -120.0 << QVariant(-120);
        QTest::newRow("explicit plus") << u"+7"_s << 7.0 << QVariant(7);
        QTest::newRow("largest") << u"2147483647"_s << 2147483647.0 << QVariant(2147483647);
        QTest::newRow("one too many") << u"2147483648"_s << 2147483648.0 << refused;
        QTest::newRow("decimal point") << u"2.5"_s << 2.5 << refused;
        QTest::newRow("leading point") << u".5"_s << 0.5 << refused;
        QTest::newRow("second point ends it") << u"1.2.3"_s << 1.2 << refused;
        QTest::newRow("exponent") << u"1.5E3"_s << 1500.0 << refused;
        QTest::newRow("negative exponent") << u"25e-1"_s << 2.5 << refused;
        QTest::newRow("exponent without digits ignored") << u"12e"_s << 12.0 << refused;
        QTest::newRow("huge exponent") << u"1e999"_s << qInf() << refused;
        QTest::newRow("letter ends it") << u"3 COM"_s << 3.0 << refused;
        QTest::newRow("trailing letters") << u"9600bd"_s << 9600.0 << refused;
        QTest::newRow("comma ends it") << u"1,5"_s << 1.0 << refused;
        QTest::newRow("hexadecimal") << u"&H1F"_s << 31.0 << refused;
        QTest::newRow("hexadecimal lower case") << u"&hff"_s << 255.0 << refused;
        QTest::newRow("octal") << u"&O17"_s << 15.0 << refused;
        QTest::newRow("octal stops at 8") << u"&O78"_s << 7.0 << refused;
        QTest::newRow("letters first") << u"COM3"_s << 0.0 << refused;
        QTest::newRow("empty") << QString() << 0.0 << refused;
        QTest::newRow("sign alone") << u"-"_s << 0.0 << refused;
        QTest::newRow("non-ASCII digits are no digits") << u"\u0663"_s << 0.0 << refused;
    }

    void conversions() {
        QFETCH(QString, text);
        QTEST(NumberText::numericValue(text), "value");
        const std::optional<qint32> plain = NumberText::plainInt32(text);
        QTEST(plain ? QVariant(*plain) : QVariant(), "plain");
    }

    void toInt16RoundsHalvesToEven_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<int>("expected"); // 99999 marks an overflow
        QTest::newRow("2.5") << 2.5 << 2;
        QTest::newRow("3.5") << 3.5 << 4;
        QTest::newRow("-2.5") << -2.5 << -2;
        QTest::newRow("2.51") << 2.51 << 3;
        QTest::newRow("32767") << 32767.0 << 32767;
        QTest::newRow("32767.5 overflows") << 32767.5 << 99999;
        QTest::newRow("-32768.5 to even") << -32768.5 << -32768;
        QTest::newRow("70000 overflows") << 70000.0 << 99999;
    }

    void toInt16RoundsHalvesToEven() {
        QFETCH(double, value);
        int result = 99999;
        try {
            result = NumberText::toInt16(value);
        } catch (const RunTimeError& failure) {
            QCOMPARE(failure.number(), 6);
        }
        QTEST(result, "expected");
    }

    void failureMessage_data() {
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("message");
        QTest::newRow("positive") << 13 << u"Type mismatch"_s
                                  << u"Sentence\r\rError #  13 - Type mismatch"_s;
        QTest::newRow("zero, empty description")
            << 0 << QString() << u"Sentence\r\rError #  0 - "_s;
        QTest::newRow("negative") << -2147 << u"x"_s << u"Sentence\r\rError # -2147 - x"_s;
    }

    void failureMessage() {
        QFETCH(int, number);
        QFETCH(QString, description);
        QTEST(NumberText::failureMessage(u"Sentence"_s, number, description), "message");
    }
};

QTEST_GUILESS_MAIN(tst_NumberText)
#include "tst_numbertext.moc"
