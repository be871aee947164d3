#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

// Conversion between the IBM PC character set (code page 437) and Unicode.
namespace CodePage437 {

// The character code page 437 shows for a byte; bytes 0x00-0x1F map to the C0 controls, 0x7F to
// the house glyph.
char16_t toUnicode(quint8 byte);

QString toUnicode(const QByteArray& bytes);

// Each character of text as its code page 437 byte, or '?' when the code page lacks it.
QByteArray fromUnicode(QStringView text);

} // namespace CodePage437
