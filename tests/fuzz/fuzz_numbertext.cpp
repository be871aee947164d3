// Feeds arbitrary text to the number conversions and checks that their results agree.

#include "foundation/NumberText.h"
#include "foundation/RunTimeError.h"

#include <QRegularExpression>

#include <cfloat>
#include <cmath>

static void check(bool condition, const char* invariant) {
    if (!condition)
        qFatal("fuzz_numbertext: %s", invariant);
}

static void checkText(const QString& text) {
    const double value = NumberText::numericValue(text);
    const double rounded = NumberText::roundHalfEven(value);
    check(!std::isnan(value) && !(std::fabs(rounded - value) > 0.5), "NaN, or rounded too far");
    static const QRegularExpression signAndDigits(QStringLiteral("\\A[+-]?[0-9]+\\z"));
    const double trimmed = NumberText::numericValue(text.trimmed());
    const bool fits = qBound(-2147483648.0, trimmed, 2147483647.0) == trimmed;
    if (const std::optional<qint32> plain = NumberText::plainInt32(text))
        check(signAndDigits.match(text.trimmed()).hasMatch() && *plain == trimmed, "plainInt32");
    else
        check(!fits || !signAndDigits.match(text.trimmed()).hasMatch(), "plainInt32 refused");
    try {
        check(NumberText::toInt16(value) == rounded, "toInt16 is not the rounded value");
    } catch (const RunTimeError& error) {
        check(error.number() == 6 && qBound(-32768.0, rounded, 32767.0) != rounded, "toInt16");
    }
    try {
        check(std::isfinite(NumberText::toSingle(value)), "toSingle gave no finite value");
    } catch (const RunTimeError& error) {
        check(error.number() == 6 && !(std::fabs(value) <= FLT_MAX), "toSingle refused");
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    // Also as UTF-16, which reaches characters and lone surrogates UTF-8 cannot.
    const QString utf16(reinterpret_cast<const QChar*>(bytes.constData()), bytes.size() / 2);
    for (const QString& text : {QString::fromUtf8(bytes), QString::fromLatin1(bytes), utf16})
        checkText(text);
    return 0;
}
