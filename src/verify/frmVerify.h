#pragma once

#include "shell/ToolDialog.h"

class QLabel;
class ProgressBar;
class QPushButton;

// The "Verify Flash Data" dialog: shows how far the target's reply has come.
class frmVerify : public ToolDialog {
    Q_OBJECT
public:
    explicit frmVerify(QWidget* parent = nullptr);

    QPushButton* cmdCancelVerify = nullptr;
    QLabel* lblVerifyReceivingData = nullptr;
    ProgressBar* pgVerify = nullptr;
};
