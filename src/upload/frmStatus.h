#pragma once

#include "foundation/CommandGuard.h"
#include "foundation/ToolDialog.h"
#include "transfer/ImageSender.h"
#include "upload/UploadState.h"

#include <QFile>

#include <optional>

class QLabel;
class ProgressBar;
class QPushButton;

// The "Upload Control" dialog: its "Upload Data" button starts sending the program file to the
// target while the progress bar follows; "Cancel" hides it and the transfer runs on to its end.
// A running transfer counts as a running command, whether the dialog is shown or not.
class frmStatus : public ToolDialog {
    Q_OBJECT
public:
    // The loaded dialog, loading it first when it is not (it may still be loaded, hidden, from
    // an upload that failed); it sends on the line that state holds.
    static frmStatus& Load(const UploadState& state);
    // True from "Upload Data" until the last byte has been handed to the line.
    bool transferRunning() const { return m_sender.isRunning(); }
    // Hands no more bytes to the line and hides the dialog: the program is closing. Cancel,
    // unlike this, lets the transfer run to its end.
    void stopForShutdown();

    explicit frmStatus(QWidget* parent = nullptr);

    QPushButton* cmdOkDownload = nullptr;
    QPushButton* cmdCancelDownload = nullptr;
    QLabel* lblStatus = nullptr;
    ProgressBar* pgStatus = nullptr;

    void cmdOkDownload_Click();
    void cmdCancelDownload_Click();

signals:
    // The transfer has ended, every byte sent or not, and whatever it had to say has been said.
    void transferEnded();

protected:
    // The close box does what Cancel does.
    void reject() override;

private:
    void onFailed(ImageSender::Failure failure, const QString& description);
    void endTransfer();

    std::optional<UploadState> m_state;
    ImageSender m_sender;
    QFile m_file;
    std::optional<CommandGuard::Hold> m_running;
};
