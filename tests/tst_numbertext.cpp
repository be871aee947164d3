#include "foundation/NumberText.h"
#include "foundation/RunTimeError.h"

#include <QtTest>

// The numeric value of settings texts and the number line of failure messages.
class tst_NumberText : public QObject {
    Q_OBJECT
private slots:
    void numericValue_data();
    void numericValue();
    void plainInt32_data();
    void plainInt32();
    void toInt16RoundsHalvesToEven_data();
    void toInt16RoundsHalvesToEven();
    void failureMessage_data();
    void failureMessage();
};

void tst_NumberText::numericValue_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value");
    QTest::newRow("whole") << QStringLiteral("11400") << 11400.0;
    QTest::newRow("blanks, tabs, line feeds anywhere") << QStringLiteral(" 1 1\t4\n00 ") << 11400.0;
    QTest::newRow("negative") << QStringLiteral("-120") << -120.0;
    QTest::newRow("explicit plus") << QStringLiteral("+7") << 7.0;
    QTest::newRow("decimal point") << QStringLiteral("2.5") << 2.5;
    QTest::newRow("leading point") << QStringLiteral(".5") << 0.5;
    QTest::newRow("second point ends it") << QStringLiteral("1.2.3") << 1.2;
    QTest::newRow("exponent") << QStringLiteral("1.5E3") << 1500.0;
    QTest::newRow("negative exponent") << QStringLiteral("25e-1") << 2.5;
    QTest::newRow("exponent without digits ignored") << QStringLiteral("12e") << 12.0;
    QTest::newRow("letter ends it") << QStringLiteral("3 COM") << 3.0;
    QTest::newRow("comma ends it") << QStringLiteral("1,5") << 1.0;
    QTest::newRow("hexadecimal") << QStringLiteral("&H1F") << 31.0;
    QTest::newRow("hexadecimal lower case") << QStringLiteral("&hff") << 255.0;
    QTest::newRow("octal") << QStringLiteral("&O17") << 15.0;
    QTest::newRow("octal stops at 8") << QStringLiteral("&O78") << 7.0;
    QTest::newRow("letters first") << QStringLiteral("COM3") << 0.0;
    QTest::newRow("empty") << QString() << 0.0;
    QTest::newRow("sign alone") << QStringLiteral("-") << 0.0;
    QTest::newRow("non-ASCII digits are no digits") << QStringLiteral("\u0663") << 0.0;
}

void tst_NumberText::numericValue() {
    QFETCH(QString, text);
    QTEST(NumberText::numericValue(text), "value");
}

void tst_NumberText::plainInt32_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("value");
    QTest::newRow("plain") << QStringLiteral("9600") << true << 9600;
    QTest::newRow("blanks around") << QStringLiteral(" 9600 ") << true << 9600;
    QTest::newRow("fraction") << QStringLiteral("2400.5") << false << 0;
    QTest::newRow("explicit plus") << QStringLiteral("+9600") << true << 9600;
    QTest::newRow("negative") << QStringLiteral("-2400") << true << -2400;
    QTest::newRow("largest") << QStringLiteral("2147483647") << true << 2147483647;
    QTest::newRow("one too many") << QStringLiteral("2147483648") << false << 0;
    QTest::newRow("empty") << QString() << false << 0;
    QTest::newRow("trailing letters") << QStringLiteral("9600bd") << false << 0;
    QTest::newRow("blank inside") << QStringLiteral("96 00") << false << 0;
    QTest::newRow("huge exponent") << QStringLiteral("1e999") << false << 0;
}

void tst_NumberText::plainInt32() {
    QFETCH(QString, text);
    QFETCH(bool, valid);
    const std::optional<qint32> value = NumberText::plainInt32(text);
    QCOMPARE(value.has_value(), valid);
    if (valid)
        QTEST(int(*value), "value");
}

void tst_NumberText::toInt16RoundsHalvesToEven_data() {
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

void tst_NumberText::toInt16RoundsHalvesToEven() {
    QFETCH(double, value);
    QFETCH(int, expected);
    if (expected == 99999) {
        try {
            NumberText::toInt16(value);
            QFAIL("no overflow");
        } catch (const RunTimeError& failure) {
            QCOMPARE(failure.number(), 6);
        }
    } else {
        QCOMPARE(int(NumberText::toInt16(value)), expected);
    }
}

void tst_NumberText::failureMessage_data() {
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("message");
    QTest::newRow("positive") << 13 << QStringLiteral("Type mismatch")
                              << QStringLiteral("Sentence\r\rError #  13 - Type mismatch");
    QTest::newRow("zero, empty description")
        << 0 << QString() << QStringLiteral("Sentence\r\rError #  0 - ");
    QTest::newRow("negative") << -2147 << QStringLiteral("x")
                              << QStringLiteral("Sentence\r\rError # -2147 - x");
}

void tst_NumberText::failureMessage() {
    QFETCH(int, number);
    QFETCH(QString, description);
    QTEST(NumberText::failureMessage(QStringLiteral("Sentence"), number, description), "message");
}

QTEST_GUILESS_MAIN(tst_NumberText)
#include "tst_numbertext.moc"
