#pragma once

#include "verify/VerifyState.h"

#include <QString>

#include <array>
#include <memory>
#include <optional>

class frmMain;

// The state that the main window's commands and dialogs read and write: owned by the main
// window, handed down to what uses it, and set up by InitVariables at start-up.
class Session {
public:
    static constexpr qint32 kRxBufferSize = Verification::kRxBufferSize;
    using RxBuffer = std::array<quint8, kRxBufferSize>;

    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

private:
    // Declared first, so that it exists before bytRxBuffer refers to it.
    std::unique_ptr<RxBuffer> m_rxBuffer;

public:
    QString strAppPath;
    QString strMessage;
    QString strProgramFile;
    std::optional<qint32> varDownloadLength;
    qint32 lngFileSize = 0;
    bool blnVerifying = false;
    qint16 intCommPort = 0;
    QString strBaudRate;
    // Positions 1 to kRxBufferSize; position p is element p - 1.
    RxBuffer& bytRxBuffer;
    qint32 lngRxCount = 0;

    // Resets the state, reads the settings file into it and into the window's geometry,
    // corrects port and baud rate, measures the last program file and fills the window's
    // status bar.
    void InitVariables(frmMain& form);

    // The folder of the program file.
    static QString programFolder();
    // Static because tests set it before the window (and so its session) is made.
    static void setProgramFolder(const QString& folder);

    // The folder of Corvid.ini and the COMn links: the program's folder for a portable copy,
    // else the per-user folder (SettingsFolder::forProgram).
    static QString settingsFolder();

    // The path of the settings file: strAppPath followed by "Corvid.ini".
    QString settingsFilePath() const;

    // The line settings text for strBaudRate: the rate, no parity, 8 data bits, 1 stop bit.
    QString lineSettingsText() const;

    // The text of status bar panel 3 for the current port and baud rate.
    QString portPanelText() const;
};

// The baud rate that the start-up check makes of a stored text.
QString checkedBaudRate(const QString& stored);
