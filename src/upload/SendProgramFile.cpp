// The upload command and the send routine that prepares and shows the upload dialog.

#include "upload/SendProgramFile.h"

#include "serial/SaxComm.h"
#include "shell/Forms.h"
#include "shell/MessageBox.h"
#include "shell/ProgressBar.h"
#include "shell/RunTimeError.h"
#include "shell/StatusBar.h"
#include "shell/Variables.h"
#include "shell/frmMain.h"
#include "upload/SelectProgramFile.h"
#include "upload/frmStatus.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>

#include <cerrno>

namespace FileAccess {

void SendProgramFile(const QString& path) {
    frmMain& form = frmMain::current();
    try {
        SaxComm& comm = *form.SaxComm1;
        if (!comm.PortIsOpen()) {
            comm.setPortIsOpen(true);
            comm.setPortNumber(Variables::intCommPort);
            comm.setLineSettings(Variables::lineSettingsText());
        }

        const QFileInfo info(path);
        if (!info.isFile())
            throw RunTimeError::fromErrno(info.exists() ? EISDIR : ENOENT,
                                          QDir::toNativeSeparators(path));
        // Longer files cannot be counted by the transfer: refused before anything is sent.
        const std::optional<qint32> length = Variables::programFileLength(path);
        Variables::varDownloadLength = length.value_or(static_cast<qint32>(info.size()));

        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            throw RunTimeError::fromFile(file, QDir::toNativeSeparators(path));
        file.close();

        frmStatus& dialog = frmStatus::Load();
        dialog.lblStatus->setText(QStringLiteral(" Download Status - [") +
                                  QString::number(*Variables::varDownloadLength) +
                                  QStringLiteral(" Bytes]"));
        dialog.Tag = path;
        dialog.pgStatus->setMin(1);
        dialog.pgStatus->setMax(static_cast<float>(qint64(*Variables::varDownloadLength) + 1));
        dialog.pgStatus->setValue(1);
        dialog.exec();
        Forms::Unload(&dialog);
        comm.setFocus();
    } catch (const RunTimeError& failure) {
        MessageBox::ShowFailure(QStringLiteral("Error Locating Or Sending Specified Download File"),
                                failure.number(), failure.description(),
                                QStringLiteral("File Error"));
    }
}

} // namespace FileAccess

void frmMain::cmdUpload_Click() {
    if (Variables::strProgramFile.isEmpty()) {
        try {
            dlgCommonDialog->CancelError = true;
            dlgCommonDialog->FileName = QStringLiteral("*.bin");
            dlgCommonDialog->Filter = FileAccess::kProgramFileFilter;
            dlgCommonDialog->DialogTitle = QStringLiteral("Open Program File");
            dlgCommonDialog->ShowOpen();
            Variables::strProgramFile = dlgCommonDialog->FileName;
        } catch (const RunTimeError&) {
            SaxComm1->setFocus();
            return;
        }
    }

    const QString sentence = QStringLiteral("Error Locating Or Reading Specified Download File");
    try {
        const QFileInfo info(Variables::strProgramFile);
        if (info.isFile() && !info.isHidden()) {
            StatusBar1->Panels(1)->setText(Variables::strProgramFile);
            FileAccess::SendProgramFile(Variables::strProgramFile);
            SaxComm1->setFocus();
            return;
        }
        MessageBox::ShowFailure(sentence, 0, QString(), QStringLiteral("File Error"));
    } catch (const RunTimeError& failure) {
        MessageBox::ShowFailure(sentence, failure.number(), failure.description(),
                                QStringLiteral("File Error"));
    }
}
