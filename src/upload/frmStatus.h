#pragma once

#include "shell/ToolDialog.h"

class QLabel;
class QProgressBar;
class QPushButton;

// The "Upload Control" dialog: starts the transfer of the program file and shows its progress.
class frmStatus : public ToolDialog {
    Q_OBJECT
public:
    explicit frmStatus(QWidget* parent = nullptr);

    QPushButton* cmdOkDownload = nullptr;
    QPushButton* cmdCancelDownload = nullptr;
    QLabel* lblStatus = nullptr;
    QProgressBar* pgStatus = nullptr;
};
