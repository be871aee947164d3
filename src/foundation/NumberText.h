#pragma once

#include <QString>

#include <optional>

// Conversions between text and numbers with the rules of the settings file and the messages.
namespace NumberText {

// The numeric value of a text: blanks, tabs and line feeds are ignored wherever they stand,
// the number at the start of what remains is taken (sign, digits, one decimal point,
// exponent), "&H" and "&O" read hexadecimal and octal whole numbers, and a text that does not
// begin with a number gives 0.
double numericValue(const QString& text);

// Rounds to the nearest whole number, halves going to the even neighbour.
double roundHalfEven(double value);

// The numeric value rounded half-to-even as a signed 16-bit integer; throws an overflow
// failure when it does not fit.
qint16 toInt16(double value);

// A text of decimal digits with an optional sign (blanks around it allowed) that fits a
// signed 32-bit integer; nothing otherwise.
std::optional<qint32> plainInt32(const QString& text);

// The baud rate the window uses for a stored rate: a multiple of 1200 from 1200 to 115200 as
// it is, a text that is not a whole multiple of 1200 9600, a multiple below the range 1200
// and one above it 115200.
qint32 usableBaudRate(const QString& stored);

// "Error # " followed by the number after a sign position (a blank, or the minus sign) and
// " - " and the description.
QString errorNumberLine(int number, const QString& description);

// A fixed sentence, two carriage returns and the error number line: the form of every failure
// message.
QString failureMessage(const QString& sentence, int number, const QString& description);

} // namespace NumberText

namespace NumberText {
// A number as single precision; throws an overflow failure beyond its range.
float toSingle(double value);
} // namespace NumberText
