// The send routine that prepares and shows the upload dialog.

#include "upload/SendProgramFile.h"

#include "foundation/Forms.h"
#include "foundation/MessageBox.h"
#include "foundation/ProgressBar.h"
#include "foundation/RunTimeError.h"
#include "serial/SaxComm.h"
#include "upload/SelectProgramFile.h"
#include "upload/UploadState.h"
#include "upload/frmStatus.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>

#include <cerrno>

namespace FileAccess {

void SendProgramFile(const QString& path, UploadState& state) {
    try {
        SaxComm& comm = state.comm;
        if (!comm.PortIsOpen()) {
            comm.setPortIsOpen(true);
            comm.setPortNumber(state.intCommPort);
            comm.setLineSettings(state.lineSettings);
        }

        const QFileInfo info(path);
        if (!info.isFile())
            throw RunTimeError::fromErrno(info.exists() ? EISDIR : ENOENT,
                                          QDir::toNativeSeparators(path));
        // Longer files cannot be counted by the transfer: refused before anything is sent.
        const std::optional<qint32> length = programFileLength(path);
        state.varDownloadLength = length.value_or(static_cast<qint32>(info.size()));

        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            throw RunTimeError::fromFile(file, QDir::toNativeSeparators(path));
        file.close();

        frmStatus& dialog = frmStatus::Load(state);
        dialog.lblStatus->setText(QStringLiteral(" Download Status - [") +
                                  QString::number(*state.varDownloadLength) +
                                  QStringLiteral(" Bytes]"));
        dialog.Tag = path;
        dialog.pgStatus->setMin(1);
        dialog.pgStatus->setMax(static_cast<float>(qint64(*state.varDownloadLength) + 1));
        dialog.pgStatus->setValue(1);
        dialog.exec();
        // Cancel hides the dialog while the transfer runs on; it goes when the transfer ends.
        if (dialog.transferRunning()) {
            QObject::connect(
                &dialog, &frmStatus::transferEnded, &comm,
                [&comm, &dialog] {
                    Forms::Unload(&dialog);
                    comm.setFocus();
                },
                Qt::SingleShotConnection);
            return;
        }
        Forms::Unload(&dialog);
        comm.setFocus();
    } catch (const RunTimeError& failure) {
        MessageBox::ShowFailure(QStringLiteral("Error Locating Or Sending Specified Download File"),
                                failure.number(), failure.description(),
                                QStringLiteral("File Error"));
    }
}

} // namespace FileAccess
