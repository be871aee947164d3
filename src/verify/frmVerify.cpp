#include "verify/frmVerify.h"

#include "shell/ProgressBar.h"
#include "shell/Twips.h"

#include <QLabel>
#include <QPushButton>

frmVerify::frmVerify(QWidget* parent) : ToolDialog(QStringLiteral("Verify Flash Data"), parent) {
    setObjectName(QStringLiteral("frmVerify"));

    cmdCancelVerify = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancelVerify->setObjectName(QStringLiteral("cmdCancelVerify"));
    cmdCancelVerify->setAutoDefault(false);
    Twips::setGeometry(cmdCancelVerify, 2040, 120, 1095, 375);

    lblVerifyReceivingData = new QLabel(QStringLiteral("Receiving Flash Data [ 0 Bytes]"), this);
    lblVerifyReceivingData->setObjectName(QStringLiteral("lblVerifyReceivingData"));
    Twips::setGeometry(lblVerifyReceivingData, 120, 720, 4815, 255);

    pgVerify = new ProgressBar(this);
    pgVerify->setObjectName(QStringLiteral("pgVerify"));
    pgVerify->setMin(0);
    pgVerify->setMax(100);
    pgVerify->setValue(0);
    pgVerify->setAccessibleName(QStringLiteral("Flash data received"));
    Twips::setGeometry(pgVerify, 120, 960, 5055, 255);
}
