#pragma once

#include <QString>

namespace FileAccess {

// The filter pairs of the program file dialogs.
inline const QString kProgramFileFilter =
    QStringLiteral("(*.bin)|*.bin|(*.h86)|*.h86|(*.hex)|*.hex|(*.*)|*.*");

// Lets the user choose the program file; records its path and length and shows them in the
// status bar. Cancelling changes nothing; a missing file is reported.
void SelectProgramFile();

} // namespace FileAccess
