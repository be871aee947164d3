#pragma once

#include "foundation/NumberText.h"
#include "verify/VerifyState.h"

#include <QString>

#include <array>
#include <optional>

// The process-wide state that every command reads and writes, and its reset at start-up.
namespace Variables {

inline constexpr qint32 kRxBufferSize = Verification::kRxBufferSize;

extern QString strAppPath;
extern QString strMessage;
extern QString strProgramFile;
extern std::optional<qint32> varDownloadLength;
extern qint32 lngFileSize;
extern bool blnVerifying;
extern qint16 intCommPort;
extern QString strBaudRate;
// Positions 1 to kRxBufferSize; position p is element p - 1.
extern std::array<quint8, kRxBufferSize>& bytRxBuffer;
extern qint32 lngRxCount;

using NumberText::kFalse;
using NumberText::kTrue;

// Resets the state, reads the settings file, corrects port and baud rate, measures the last
// program file and fills the status bar of the main window.
void InitVariables();

// The folder of the program file; tests point it at a temporary folder.
QString programFolder();
void setProgramFolder(const QString& folder);

// The folder of Corvid.ini and the COMn links: the program's folder for a portable copy, else
// the per-user folder (SettingsFolder::forProgram).
QString settingsFolder();

// The path of the settings file: strAppPath followed by "Corvid.ini".
QString settingsFilePath();

// The line settings text for strBaudRate: the rate, no parity, 8 data bits, 1 stop bit.
QString lineSettingsText();

// The text of status bar panel 3 for the current port and baud rate.
QString portPanelText();

// The baud rate that the start-up check makes of a stored text.
QString checkedBaudRate(const QString& stored);

} // namespace Variables
