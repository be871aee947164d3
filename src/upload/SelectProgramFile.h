#pragma once

#include <QString>

#include <optional>

struct UploadState;

namespace FileAccess {

// The filter pairs of the program file dialogs.
inline const QString kProgramFileFilter =
    QStringLiteral("(*.bin)|*.bin|(*.h86)|*.h86|(*.hex)|*.hex|(*.*)|*.*");

// Lets the user choose the program file; records its path and length and shows them in the
// status bar. Cancelling changes nothing; a missing file is reported.
void SelectProgramFile(UploadState& state);

// The length of an ordinary file for the 32-bit size the program counts in, or nothing when
// there is no ordinary, visible file at path; throws when it is too long to count.
std::optional<qint32> programFileLength(const QString& path);

// The text of the size panel for a length: the digits directly followed by "Bytes ".
QString sizePanelText(qint32 size);

} // namespace FileAccess
