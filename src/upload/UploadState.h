#pragma once

#include <QPointer>
#include <QString>

#include <functional>
#include <optional>

class CommonDialog;
class SaxComm;
class StatusBar;
class frmStatus;

// What choosing and sending the program file read and write of the program's shared state and
// controls. The main window owns all of it and hands it to the upload routines it calls.
struct UploadState {
    SaxComm& comm;
    StatusBar& statusBar;
    CommonDialog& dialog;
    QString& strProgramFile;
    qint32& lngFileSize;
    std::optional<qint32>& varDownloadLength;
    // Used only when the send routine has to open the port itself.
    qint16 intCommPort;
    QString lineSettings;
    // A transfer that found the line lost has told the user so.
    std::function<void()> lineFailureReported;
    // The upload dialog while it is loaded.
    QPointer<frmStatus>& statusDialog;
};
