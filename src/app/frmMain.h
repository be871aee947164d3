#pragma once

#include "app/Session.h"
#include "foundation/CommandGuard.h"
#include "foundation/CommonDialog.h"
#include "foundation/IniFile.h"
#include "upload/UploadState.h"
#include "verify/VerifyState.h"

#include <QMainWindow>
#include <QPointer>

#include <functional>
#include <memory>
#include <optional>

class QGroupBox;
class QLabel;
class QLineEdit;
class QMenuBar;
class QPushButton;
class SaxComm;
class StatusBar;
class frmStatus;
class frmVerify;

// The main window: the terminal display, the button frame, the version text, the menu bar and
// the status bar; its load and unload run the program's start-up and shutdown.
class frmMain : public QMainWindow {
    Q_OBJECT
public:
    // Window states as the settings and the resize rule count them.
    static constexpr int vbNormal = 0;
    static constexpr int vbMinimized = 1;
    static constexpr int vbMaximized = 2;

    explicit frmMain(QWidget* parent = nullptr);
    ~frmMain() override;

    // The state the window's commands and dialogs share; the window owns it.
    Session& session() { return m_session; }

    // Outer position and size (frame included), in twips.
    double Left() const;
    double Top() const;
    double Width() const;
    double Height() const;
    void setLeft(double twips);
    void setTop(double twips);
    void setWidth(double twips);
    void setHeight(double twips);
    int WindowState() const;

    // Start-up: the session's state, settings, the serial control's configuration, the window
    // shown.
    void Form_Load();
    // Lays out the terminal display, the button frame and the version text for the size.
    void Form_Resize();
    // Shutdown: the port closed, the settings written, the other windows unloaded.
    void Form_Unload();
    void ShutDown();

    // Connect/Disconnect: opens or closes the port and keeps the buttons telling the truth.
    void cmdConnect_Click();
    // Clicking the version text moves the focus to the Connect button.
    void txtVersionInfo_Click();
    // The serial control's event: received bytes, or the device lost.
    void SaxComm1_SerialEvent();
    // The upload command: makes sure a file is chosen and exists, then sends it.
    void cmdUpload_Click();
    // The verify command: checks port and file, then runs the verification dialog.
    void cmdVerify_Click();
    // What the upload routines and the verification dialog use of the session and the
    // controls, handed to them by the commands that run them.
    UploadState uploadState();
    VerifyState verifyState();

    // A command found the line lost and has told the user: the buttons show the port closed
    // at once, and the serial control's own announcement of the loss is not shown again.
    void lineFailureReported();

    // The controls, reached by name as the other windows and modules do.
    QMenuBar* SSActiveToolBars1 = nullptr;
    SaxComm* SaxComm1 = nullptr;
    QGroupBox* frControls = nullptr;
    QPushButton* cmdConnect = nullptr;
    QPushButton* cmdUpload = nullptr;
    QPushButton* cmdVerify = nullptr;
    QLabel* lblVersionInfo = nullptr;
    QLineEdit* txtVersionInfo = nullptr;
    StatusBar* StatusBar1 = nullptr;
    IniFile iniFile;
    std::unique_ptr<CommonDialog> dlgCommonDialog;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

private:
    void buildMenu();
    void buildControls();
    void applyOuterSizeOnceFramed();
    void keepWithinReach();
    void reportUnhandled(const QString& what, const std::exception& failure);
    void connectionLost();
    void showPortClosed();
    // The menu bar's tools, each run as a command by its own action.
    void selectProgramFile();
    void clearDisplay();
    void exitProgram();
    void showContents();
    void showAbout();
    // Runs a command unless another one is running; what it does not report itself is reported.
    void runCommand(const QString& what, const std::function<void()>& handler,
                    bool holdsTheGuard = true);
    void busyChanged(bool busy);
    bool blocksInput(QObject* receiver, const QEvent* event) const;

    // Closing the port waits for the line; what comes after it runs when the port has closed.
    void portClosed(int errorNumber, const QString& description);
    void disconnected(int errorNumber, const QString& description);

    QPointer<frmStatus> m_statusDialog;
    QPointer<frmVerify> m_verifyDialog;
    // The command that closed the port and waits for it to be closed.
    enum class ClosingFor { Nothing, Disconnect, Exit };
    ClosingFor m_closingFor = ClosingFor::Nothing;
    std::optional<CommandGuard::Hold> m_closing;
    Session m_session;
    bool m_unloaded = false;
    bool m_outerSizePending = false;
    bool m_placedOnScreen = false;
    bool m_lossReported = false;
    bool m_closePending = false;
};
