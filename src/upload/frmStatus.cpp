#include "upload/frmStatus.h"

#include "foundation/DoEvents.h"
#include "foundation/Forms.h"
#include "foundation/MessageBox.h"
#include "foundation/ProgressBar.h"
#include "foundation/RunTimeError.h"
#include "foundation/Twips.h"
#include "serial/SaxComm.h"
#include "transfer/TargetProtocol.h"

#include <QFile>
#include <QLabel>
#include <QPointer>
#include <QPushButton>

namespace {

QPointer<frmStatus> g_loaded;

// Passes whose counter is a multiple of this do not yield.
constexpr qint64 kYieldSkipInterval = 10000;

} // namespace

frmStatus& frmStatus::Load(const UploadState& state) {
    if (!g_loaded || !Forms::IsLoaded(g_loaded.data()))
        g_loaded = new frmStatus;
    g_loaded->m_state.emplace(state);
    return *g_loaded;
}

bool frmStatus::transferRunning() {
    return g_loaded && g_loaded->m_transferRunning;
}

void frmStatus::stopForShutdown() {
    if (!g_loaded)
        return;
    g_loaded->m_stopRequested = g_loaded->m_transferRunning;
    g_loaded->hide();
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
}

void frmStatus::cmdCancelDownload_Click() {
    hide();
}

void frmStatus::reject() {
    cmdCancelDownload_Click();
}

void frmStatus::cmdOkDownload_Click() {
    // The loop yields, so a second press can arrive while the file is being sent; a dialog
    // hidden by Cancel takes no press (a screen reader can still reach its button).
    if (m_transferRunning || !isVisible())
        return;
    m_transferRunning = true;
    try {
        transfer();
    } catch (const RunTimeError& failure) {
        m_transferRunning = false;
        hide();
        // This message tells of the lost line; its own announcement would say it twice.
        if (!m_state->comm.PortIsOpen() && m_state->lineFailureReported)
            m_state->lineFailureReported();
        MessageBox::ShowFailure(QStringLiteral("Error Locating Or Sending Specified Download File"),
                                failure.number(), failure.description(),
                                QStringLiteral("File Error"));
        return;
    }
    m_transferRunning = false;
    hide();
}

void frmStatus::transfer() {
    SaxComm& comm = m_state->comm;
    QFile file(Tag);
    if (!file.open(QIODevice::ReadOnly))
        throw RunTimeError::fromFile(file, QStringLiteral("Cannot open %1").arg(Tag));
    const qint64 n = m_state->varDownloadLength.value_or(0);
    char byte = TargetProtocol::kExtraByteOfEmptyImage;
    m_stopRequested = false;
    for (qint64 i = 0; i < n + TargetProtocol::kExtraByteCount && !m_stopRequested; ++i) {
        // At the end of the file the read delivers nothing and the byte of the pass before
        // goes out again.
        if (!file.getChar(&byte) && file.error() != QFileDevice::NoError)
            throw RunTimeError::fromFile(file, QStringLiteral("Reading %1 failed").arg(Tag));
        comm.SendText(&byte, 1);
        pgStatus->setValue(static_cast<float>(i + 1));
        if (i % kYieldSkipInterval != 0)
            DoEvents();
    }
    file.close();
}
