#include "upload/frmStatus.h"

#include "shell/Twips.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

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

    pgStatus = new QProgressBar(this);
    pgStatus->setObjectName(QStringLiteral("pgStatus"));
    pgStatus->setRange(0, 100);
    pgStatus->setValue(0);
    pgStatus->setTextVisible(false);
    pgStatus->setAccessibleName(QStringLiteral("Download progress"));
    Twips::setGeometry(pgStatus, 120, 960, 5055, 255);

    setTabOrder(cmdOkDownload, cmdCancelDownload);
}
