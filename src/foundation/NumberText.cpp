#include "foundation/NumberText.h"

#include "foundation/RunTimeError.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace NumberText {

namespace {

bool isIgnorable(QChar c) {
    return c == u' ' || c == u'\t' || c == u'\n';
}

QString withoutBlanks(const QString& text) {
    QString compact;
    compact.reserve(text.size());
    for (QChar c : text) {
        if (!isIgnorable(c))
            compact.append(c);
    }
    return compact;
}

bool isAsciiDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

int digitValue(QChar c) {
    const char16_t u = c.toLower().unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return 10 + (u - u'a');
    return -1;
}

// Reads a "&H" or "&O" whole number from the start of text; returns its length, 0 when the
// text does not start with one.
qsizetype readRadixNumber(const QString& text, double& value) {
    if (text.size() < 2 || text.at(0) != u'&')
        return 0;
    const QChar marker = text.at(1).toUpper();
    const int radix = marker == u'H' ? 16 : marker == u'O' ? 8 : 0;
    if (radix == 0)
        return 0;
    qsizetype pos = 2;
    double result = 0;
    for (; pos < text.size(); ++pos) {
        const int digit = digitValue(text.at(pos));
        if (digit < 0 || digit >= radix)
            break;
        result = result * radix + digit;
    }
    value = result;
    return pos;
}

// Reads a decimal number (sign, digits, one point, exponent) from the start of text; returns
// its length, 0 when the text does not start with a number.
qsizetype readDecimalNumber(const QString& text, double& value) {
    qsizetype pos = 0;
    const qsizetype size = text.size();
    if (pos < size && (text.at(pos) == u'+' || text.at(pos) == u'-'))
        ++pos;
    qsizetype digits = 0;
    while (pos < size && isAsciiDigit(text.at(pos))) {
        ++pos;
        ++digits;
    }
    if (pos < size && text.at(pos) == u'.') {
        ++pos;
        while (pos < size && isAsciiDigit(text.at(pos))) {
            ++pos;
            ++digits;
        }
    }
    if (digits == 0)
        return 0;
    qsizetype end = pos;
    if (pos < size && (text.at(pos) == u'e' || text.at(pos) == u'E' || text.at(pos) == u'd' ||
                       text.at(pos) == u'D')) {
        qsizetype exp = pos + 1;
        if (exp < size && (text.at(exp) == u'+' || text.at(exp) == u'-'))
            ++exp;
        const qsizetype expDigitsStart = exp;
        while (exp < size && isAsciiDigit(text.at(exp)))
            ++exp;
        if (exp > expDigitsStart)
            end = exp;
    }
    QString number = text.left(end);
    // The "D" exponent marker is an old spelling of "E".
    number.replace(u'd', u'e').replace(u'D', u'e');
    bool ok = false;
    value = number.toDouble(&ok);
    if (!ok) {
        // Only an exponent too large can fail here: the text is well formed.
        value = text.at(0) == u'-' ? -std::numeric_limits<double>::infinity()
                                   : std::numeric_limits<double>::infinity();
    }
    return end;
}

} // namespace

double numericValue(const QString& text) {
    const QString compact = withoutBlanks(text);
    double value = 0;
    if (readRadixNumber(compact, value) > 0)
        return value;
    if (readDecimalNumber(compact, value) > 0)
        return value;
    return 0;
}

double roundHalfEven(double value) {
    return std::nearbyint(value); // the default rounding mode rounds halves to even
}

qint16 toInt16(double value) {
    const double rounded = roundHalfEven(value);
    if (!(rounded >= std::numeric_limits<qint16>::min() &&
          rounded <= std::numeric_limits<qint16>::max()))
        throw RunTimeError(ErrorNumber::Overflow, QStringLiteral("Overflow"));
    return static_cast<qint16>(rounded);
}

std::optional<qint32> plainInt32(const QString& text) {
    const QString trimmed = text.trimmed();
    const qsizetype start = trimmed.startsWith(u'-') || trimmed.startsWith(u'+') ? 1 : 0;
    if (trimmed.size() <= start ||
        !std::all_of(trimmed.cbegin() + start, trimmed.cend(), isAsciiDigit))
        return std::nullopt;
    bool ok = false;
    const qint32 value = trimmed.toInt(&ok);
    return ok ? std::optional<qint32>(value) : std::nullopt;
}

qint32 usableBaudRate(const QString& stored) {
    constexpr qint32 kStep = 1200;
    constexpr qint32 kSlowest = 1200;
    constexpr qint32 kFastest = 115200;
    constexpr qint32 kFallback = 9600;
    // A rate that is not a whole number in range would stop every start-up with an error that
    // only editing the file can cure; it is treated like any other unusable rate.
    const std::optional<qint32> value = plainInt32(stored);
    if (!value || *value % kStep != 0)
        return kFallback;
    return std::clamp(*value, kSlowest, kFastest);
}

QString errorNumberLine(int number, const QString& description) {
    const QString sign = number < 0 ? QString() : QStringLiteral(" ");
    return QStringLiteral("Error # ") + sign + QString::number(number) + QStringLiteral(" - ") +
           description;
}

QString failureMessage(const QString& sentence, int number, const QString& description) {
    return sentence + QStringLiteral("\r\r") + errorNumberLine(number, description);
}

} // namespace NumberText

namespace NumberText {
float toSingle(double value) {
    if (!(std::fabs(value) <= std::numeric_limits<float>::max()))
        throw RunTimeError(ErrorNumber::Overflow, QStringLiteral("Overflow"));
    return static_cast<float>(value);
}
} // namespace NumberText
