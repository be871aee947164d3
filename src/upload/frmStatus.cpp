#include "upload/frmStatus.h"

#include "serial/SaxComm.h"
#include "shell/DoEvents.h"
#include "shell/Forms.h"
#include "shell/MessageBox.h"
#include "shell/ProgressBar.h"
#include "shell/RunTimeError.h"
#include "shell/Twips.h"
#include "shell/Variables.h"
#include "shell/frmMain.h"
#include "target/TargetProtocol.h"

#include <QFile>
#include <QLabel>
#include <QPointer>
#include <QPushButton>

namespace {

QPointer<frmStatus> g_loaded;
bool g_transferRunning = false;
bool g_stopRequested = false;

// Passes whose counter is a multiple of this do not yield.
constexpr qint64 kYieldSkipInterval = 10000;

} // namespace

frmStatus& frmStatus::Load() {
    if (!g_loaded || !Forms::IsLoaded(g_loaded.data()))
        g_loaded = new frmStatus;
    return *g_loaded;
}

bool frmStatus::transferRunning() {
    return g_transferRunning;
}

void frmStatus::stopForShutdown() {
    g_stopRequested = g_transferRunning;
    if (g_loaded)
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
    // The loop yields, so a second press can arrive while the file is being sent.
    if (g_transferRunning)
        return;
    g_transferRunning = true;
    try {
        transfer();
    } catch (const RunTimeError& failure) {
        g_transferRunning = false;
        hide();
        frmMain& main = frmMain::current();
        // This message tells of the lost line; its own announcement would say it twice.
        if (!main.SaxComm1->PortIsOpen())
            main.lineFailureReported();
        MessageBox::ShowFailure(QStringLiteral("Error Locating Or Sending Specified Download File"),
                                failure.number(), failure.description(),
                                QStringLiteral("File Error"));
        return;
    }
    g_transferRunning = false;
    hide();
}

void frmStatus::transfer() {
    SaxComm& comm = *frmMain::current().SaxComm1;
    QFile file(Tag);
    if (!file.open(QIODevice::ReadOnly))
        throw RunTimeError::fromFile(file, QStringLiteral("Cannot open %1").arg(Tag));
    const qint64 n = Variables::varDownloadLength.value_or(0);
    char byte = TargetProtocol::kExtraByteOfEmptyImage;
    g_stopRequested = false;
    for (qint64 i = 0; i < n + TargetProtocol::kExtraByteCount && !g_stopRequested; ++i) {
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
