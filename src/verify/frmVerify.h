#pragma once

#include "foundation/ToolDialog.h"
#include "verify/VerifyState.h"

#include <optional>

class QLabel;
class ProgressBar;
class QPushButton;

// The "Verify Flash Data" dialog: once shown it asks the target for its flash, waits for the
// reply while showing how far it has come, compares it with the program file and shows the
// verdict; Cancel abandons the wait.
class frmVerify : public ToolDialog {
    Q_OBJECT
public:
    // Loads the dialog for the state it verifies (its load handler runs) without showing it.
    static frmVerify& Load(const VerifyState& state);
    // The loaded dialog, or nothing.
    static frmVerify* loaded();

    explicit frmVerify(QWidget* parent = nullptr);

    QPushButton* cmdCancelVerify = nullptr;
    QLabel* lblVerifyReceivingData = nullptr;
    ProgressBar* pgVerify = nullptr;

    void Form_Load();
    // The exchange: request, wait, comparison and verdict; hides the dialog at the end.
    void Form_Activate();
    void cmdCancelVerify_Click();

protected:
    void showEvent(QShowEvent* event) override;
    // The close box does what Cancel does.
    void reject() override;

private:
    void activate();
    void compare();

    std::optional<VerifyState> m_state;
    bool m_activated = false;
};
