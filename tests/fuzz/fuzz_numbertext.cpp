// Feeds arbitrary text to the number conversions and checks that their results agree.

#include "foundation/NumberText.h"
#include "foundation/RunTimeError.h"

#include <QByteArray>
#include <QString>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>

namespace {

[[noreturn]] void fail(const char* what, const QString& text) {
    std::fprintf(stderr, "fuzz_numbertext: %s for \"%s\"\n", what, text.toUtf8().constData());
    std::abort();
}

void check(bool condition, const char* what, const QString& text) {
    if (!condition)
        fail(what, text);
}

bool isAsciiDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

// A sign and decimal digits, nothing else: the form plainInt32 takes.
bool isPlainInteger(const QString& text) {
    const qsizetype start = text.startsWith(u'+') || text.startsWith(u'-') ? 1 : 0;
    if (text.size() <= start)
        return false;
    for (qsizetype i = start; i < text.size(); ++i) {
        if (!isAsciiDigit(text[i]))
            return false;
    }
    return true;
}

bool fitsInt32(double value) {
    return value >= std::numeric_limits<qint32>::min() &&
           value <= std::numeric_limits<qint32>::max();
}

void checkText(const QString& text) {
    const double value = NumberText::numericValue(text);
    check(!std::isnan(value), "numericValue gave NaN", text);

    const QString trimmed = text.trimmed();
    // Both readers take the number at the start of the trimmed text the same way.
    const double trimmedValue = NumberText::numericValue(trimmed);

    const std::optional<qint32> plain = NumberText::plainInt32(text);
    if (plain) {
        check(isPlainInteger(trimmed), "plainInt32 took a text that is not sign and digits", text);
        check(trimmedValue == double(*plain), "plainInt32 disagrees with numericValue", text);
    } else if (isPlainInteger(trimmed)) {
        // Digit strings that fit a 32-bit integer are exact in a double, however many zeros lead.
        check(!fitsInt32(trimmedValue), "plainInt32 refused a fitting integer", text);
    }

    const double rounded = NumberText::roundHalfEven(value);
    check(std::isnan(rounded) || std::isinf(rounded) || std::fabs(rounded - value) <= 0.5,
          "roundHalfEven moved by more than a half", text);
    try {
        const qint16 small = NumberText::toInt16(value);
        check(double(small) == rounded, "toInt16 differs from the rounded value", text);
    } catch (const RunTimeError& error) {
        check(error.number() == ErrorNumber::Overflow, "toInt16 threw other than overflow", text);
        check(!(rounded >= -32768.0 && rounded <= 32767.0), "toInt16 refused a fitting value",
              text);
    }
    try {
        const float single = NumberText::toSingle(value);
        check(std::isfinite(single), "toSingle gave a value that is not finite", text);
    } catch (const RunTimeError& error) {
        check(error.number() == ErrorNumber::Overflow, "toSingle threw other than overflow", text);
        check(!(std::fabs(value) <= std::numeric_limits<float>::max()),
              "toSingle refused a fitting value", text);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto* chars = reinterpret_cast<const char*>(data);
    const auto length = static_cast<qsizetype>(size);
    checkText(QString::fromUtf8(chars, length));
    checkText(QString::fromLatin1(chars, length));
    // Even sizes also as UTF-16, which reaches characters and lone surrogates UTF-8 cannot.
    if (size % 2 == 0) {
        QString utf16(length / 2, Qt::Uninitialized);
        std::memcpy(utf16.data(), data, size);
        checkText(utf16);
    }

    if (size >= sizeof(int)) {
        int number = 0;
        std::memcpy(&number, data, sizeof number);
        const QString description =
            QString::fromUtf8(chars + sizeof number, length - qsizetype(sizeof number));
        const QString line = NumberText::errorNumberLine(number, description);
        check(line.startsWith(QStringLiteral("Error # ")) && line.endsWith(description) &&
                  line.contains(QString::number(number)),
              "errorNumberLine lost a part", line);
    }
    return 0;
}
