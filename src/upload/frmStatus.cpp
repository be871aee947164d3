#include "upload/frmStatus.h"

#include "foundation/Forms.h"
#include "foundation/MessageBox.h"
#include "foundation/ProgressBar.h"
#include "foundation/RunTimeError.h"
#include "foundation/Twips.h"
#include "serial/SaxComm.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>

frmStatus& frmStatus::Load(const UploadState& state) {
    QPointer<frmStatus>& loaded = state.statusDialog;
    if (!loaded || !Forms::IsLoaded(loaded.data()))
        loaded = new frmStatus;
    loaded->m_state.emplace(state);
    return *loaded;
}

void frmStatus::stopForShutdown() {
    hide();
    if (!m_sender.isRunning())
        return;
    m_sender.stop();
    endTransfer();
}

frmStatus::frmStatus(QWidget* parent) : ToolDialog(QStringLiteral("Upload Control"), parent) {
    setObjectName(QStringLiteral("frmStatus"));

    cmdOkDownload = new QPushButton(QStringLiteral("Upload Data"), this);
    cmdOkDownload->setObjectName(QStringLiteral("cmdOkDownload"));
    cmdOkDownload->setAutoDefault(false);
    Twips::setGeometry(cmdOkDownload, 120, 120, 1695, 375);

    cmdCancelDownload = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancelDownload->setObjectName(QStringLiteral("cmdCancelDownload"));
    cmdCancelDownload->setAutoDefault(false);
    Twips::setGeometry(cmdCancelDownload, 2040, 120, 975, 375);

    lblStatus = new QLabel(QStringLiteral("Download Progress"), this);
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    Twips::setGeometry(lblStatus, 120, 720, 4815, 255);

    pgStatus = new ProgressBar(this);
    pgStatus->setObjectName(QStringLiteral("pgStatus"));
    pgStatus->setMin(0);
    pgStatus->setMax(100);
    pgStatus->setValue(0);
    pgStatus->setAccessibleName(QStringLiteral("Download progress"));
    Twips::setGeometry(pgStatus, 120, 960, 5055, 255);

    setTabOrder(cmdOkDownload, cmdCancelDownload);
    connect(cmdOkDownload, &QPushButton::clicked, this, &frmStatus::cmdOkDownload_Click);
    connect(cmdCancelDownload, &QPushButton::clicked, this, &frmStatus::cmdCancelDownload_Click);

    connect(&m_sender, &ImageSender::progressed, this,
            [this](qint64 handed) { pgStatus->setValue(static_cast<float>(handed)); });
    connect(&m_sender, &ImageSender::allHanded, this, [this] {
        hide();
        endTransfer();
    });
    // A failure can be found deep inside a write; it is told once the sender has returned.
    connect(&m_sender, &ImageSender::failed, this,
            [this](ImageSender::Failure failure, const QString& description) {
                QMetaObject::invokeMethod(
                    this, [this, failure, description] { onFailed(failure, description); },
                    Qt::QueuedConnection);
            });
}

void frmStatus::cmdCancelDownload_Click() {
    hide();
}

void frmStatus::reject() {
    cmdCancelDownload_Click();
}

void frmStatus::cmdOkDownload_Click() {
    // A dialog hidden by Cancel takes no press (a screen reader can still reach its button).
    if (m_sender.isRunning() || m_running || !isVisible())
        return;
    SaxComm& comm = m_state->comm;
    try {
        comm.requireOpen();
        m_file.setFileName(Tag);
        if (!m_file.open(QIODevice::ReadOnly))
            throw RunTimeError::fromFile(m_file, QStringLiteral("Cannot open %1").arg(Tag));
    } catch (const RunTimeError& failure) {
        hide();
        MessageBox::ShowFailure(QStringLiteral("Error Locating Or Sending Specified Download File"),
                                failure.number(), failure.description(),
                                QStringLiteral("File Error"));
        return;
    }
    m_running.emplace();
    m_sender.setQueueLimit(comm.transmitLimit());
    m_sender.start(comm.transmitter(), &m_file, m_state->varDownloadLength.value_or(0));
}

void frmStatus::onFailed(ImageSender::Failure failure, const QString& description) {
    SaxComm& comm = m_state->comm;
    hide();
    RunTimeError error(0, description);
    if (failure == ImageSender::Failure::SourceEnded) {
        // The file is shorter than when it was measured: what went out is not the image.
        error = m_file.error() != QFileDevice::NoError
                    ? RunTimeError::fromFile(m_file, QStringLiteral("Reading %1 failed").arg(Tag))
                    : RunTimeError(ErrorNumber::InputPastEnd,
                                   QStringLiteral("%1 ended after %2 of its %3 bytes: it was "
                                                  "changed during the upload")
                                       .arg(Tag)
                                       .arg(m_sender.handed())
                                       .arg(m_state->varDownloadLength.value_or(0)));
    } else {
        if (comm.lostErrorNumber() != 0)
            error = RunTimeError(comm.lostErrorNumber(), comm.lostErrorDescription());
        // This message tells of the lost line; its own announcement would say it twice.
        if (!comm.PortIsOpen() && m_state->lineFailureReported)
            m_state->lineFailureReported();
    }
    MessageBox::ShowFailure(QStringLiteral("Error Locating Or Sending Specified Download File"),
                            error.number(), error.description(), QStringLiteral("File Error"));
    endTransfer();
}

void frmStatus::endTransfer() {
    m_file.close();
    m_running.reset();
    emit transferEnded();
}
