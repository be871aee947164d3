// Feeds arbitrary text to the number conversions and checks that their results agree.

#include "foundation/NumberText.h"
#include "foundation/RunTimeError.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

void check(bool condition, const char* what, const QString& text) {
    if (condition)
        return;
    std::fprintf(stderr, "fuzz_numbertext: %s for \"%s\"\n", what, text.toUtf8().constData());
    std::abort();
}

void checkText(const QString& text) {
    const double value = NumberText::numericValue(text);
    check(!std::isnan(value), "numericValue gave NaN", text);

    // Both readers take the number at the start of the trimmed text the same way.
    const QString trimmed = text.trimmed();
    const double trimmedValue = NumberText::numericValue(trimmed);
    // A sign and decimal digits, nothing else: the form plainInt32 takes.
    const qsizetype sign = trimmed.startsWith(u'+') || trimmed.startsWith(u'-') ? 1 : 0;
    const bool isPlain =
        trimmed.size() > sign && std::all_of(trimmed.begin() + sign, trimmed.end(),
                                             [](QChar c) { return c >= u'0' && c <= u'9'; });
    if (const std::optional<qint32> plain = NumberText::plainInt32(text)) {
        check(isPlain, "plainInt32 took a text that is not sign and digits", text);
        check(trimmedValue == double(*plain), "plainInt32 disagrees with numericValue", text);
    } else if (isPlain) {
        // Digit strings that fit a 32-bit integer are exact in a double, however many zeros lead.
        check(!(trimmedValue >= std::numeric_limits<qint32>::min() &&
                trimmedValue <= std::numeric_limits<qint32>::max()),
              "plainInt32 refused a fitting integer", text);
    }

    const double rounded = NumberText::roundHalfEven(value);
    check(std::isnan(rounded) || std::isinf(rounded) || std::fabs(rounded - value) <= 0.5,
          "roundHalfEven moved by more than a half", text);
    try {
        check(double(NumberText::toInt16(value)) == rounded,
              "toInt16 differs from the rounded value", text);
    } catch (const RunTimeError& error) {
        check(error.number() == ErrorNumber::Overflow, "toInt16 threw other than overflow", text);
        check(!(rounded >= -32768.0 && rounded <= 32767.0), "toInt16 refused a fitting value",
              text);
    }
    try {
        check(std::isfinite(NumberText::toSingle(value)),
              "toSingle gave a value that is not finite", text);
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
