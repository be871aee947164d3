#pragma once

#include "foundation/ToolDialog.h"
#include "transfer/ReplyReceiver.h"
#include "verify/VerifyState.h"

#include <optional>

class QLabel;
class ProgressBar;
class QPushButton;

// The "Verify Flash Data" dialog: once shown it asks the target for its flash, takes the reply
// as the capture hands it over while showing how far it has come, compares it with the program
// file and shows the verdict; Cancel abandons the wait.
class frmVerify : public ToolDialog {
    Q_OBJECT
public:
    // Loads the dialog for the state it verifies (its load handler runs) without showing it.
    static frmVerify& Load(const VerifyState& state);

    explicit frmVerify(QWidget* parent = nullptr);

    QPushButton* cmdCancelVerify = nullptr;
    QLabel* lblVerifyReceivingData = nullptr;
    ProgressBar* pgVerify = nullptr;

    void Form_Load();
    // Sends the request; the reply's end, a Cancel or a lost line ends the wait.
    void Form_Activate();
    void cmdCancelVerify_Click();
    // Bytes that the capture received while the dialog waits for the reply.
    void takeReply(const QByteArray& bytes);

protected:
    void showEvent(QShowEvent* event) override;
    // The close box does what Cancel does.
    void reject() override;

private:
    void activate();
    void storeFlash(qint64 offset, const char* bytes, qint64 size);
    // Ends the wait: the display shows the line again; with a verdict when the reply is whole
    // and no Cancel came.
    void endWait(bool replyWhole);
    void compare();

    std::optional<VerifyState> m_state;
    ReplyReceiver m_reply;
    bool m_activated = false;
};
