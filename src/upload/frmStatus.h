#pragma once

#include "foundation/ToolDialog.h"
#include "upload/UploadState.h"

#include <optional>

class QLabel;
class ProgressBar;
class QPushButton;

// The "Upload Control" dialog: its "Upload Data" button sends the program file to the target
// byte by byte while the progress bar follows; "Cancel" hides it.
class frmStatus : public ToolDialog {
    Q_OBJECT
public:
    // The loaded dialog, loading it first when it is not (it may still be loaded, hidden, from
    // an upload that failed); it sends on the line and counts the passes that state holds.
    static frmStatus& Load(const UploadState& state);
    // True while "Upload Data" is sending.
    static bool transferRunning();
    // Ends a running transfer after the byte being sent and hides the dialog: the program is
    // closing. Cancel, unlike this, lets the transfer run to its end.
    static void stopForShutdown();

    explicit frmStatus(QWidget* parent = nullptr);

    QPushButton* cmdOkDownload = nullptr;
    QPushButton* cmdCancelDownload = nullptr;
    QLabel* lblStatus = nullptr;
    ProgressBar* pgStatus = nullptr;

    void cmdOkDownload_Click();
    void cmdCancelDownload_Click();

protected:
    // The close box does what Cancel does.
    void reject() override;

private:
    void transfer();

    std::optional<UploadState> m_state;
    bool m_transferRunning = false;
    bool m_stopRequested = false;
};
