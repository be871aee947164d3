#include "serial/SaxComm.h"
#include "serial/TerminalDisplay.h"
#include "foundation/CommandGuard.h"
#include "foundation/MessageBox.h"
#include "foundation/StatusBar.h"
#include "foundation/TerminationSignals.h"
#include "app/Variables.h"
#include "app/frmMain.h"
#include "support/DialogDriver.h"
#include "support/MessageRecorder.h"
#include "support/PtyPair.h"
#include "support/TestProgram.h"
#include "foundation/CommonDialog.h"
#include "upload/frmStatus.h"
#include "verify/frmVerify.h"

#include "upload/SelectProgramFile.h"
#include <QAccessible>
#include <QAccessibleActionInterface>

#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QMenuBar>
#include <QPushButton>
#include <QtTest>

#include <csignal>
using namespace Qt::StringLiterals;

namespace {

// Answers the file dialog from a list, recording what it was shown; nothing means cancel.
struct ScriptedDialog {
    QList<std::optional<QString>> answers;
    QList<CommonDialog> seen;

    ScriptedDialog() {
        CommonDialog::setScript([this](const CommonDialog& dialog) {
            seen << dialog;
            return answers.isEmpty() ? std::nullopt : answers.takeFirst();
        });
    }
    ~ScriptedDialog() { CommonDialog::setScript({}); }
};

QAction* tool(frmMain* form, const QString& id) {
    return form->findChild<QAction*>(id);
}

// A click as the window system delivers it: to the window first, then to the widget under it.
void clickAsTheUser(QWidget* widget) {
    QWidget* window = widget->window();
    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {},
                      widget->mapTo(window, widget->rect().center()));
}

// What a screen reader does when its user activates a control.
void pressAccessibly(QWidget* widget) {
    QAccessibleInterface* button = QAccessible::queryAccessibleInterface(widget);
    button->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
}

enum class State { Idle, Connected, Uploading, UploadCancelled, VerifyWaiting, MessageBoxOpen };
using Action = std::function<void(frmMain*)>;

// What a command can change that the user sees.
struct Seen {
    bool open = false;
    int uploadDialogs = 0;
    int verifyDialogs = 0;
    int fileDialogs = 0;
    int messages = 0;
    bool visible = false;
    bool connectFocused = false;
    QString display;
    bool operator==(const Seen&) const = default;
};

// Counts the dialogs shown, whoever shows them, and dismisses them when asked to.
struct ShowCounter : QObject {
    int upload = 0;
    int verify = 0;
    bool dismiss = false;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Show)
            return false;
        if (auto* upload_ = qobject_cast<frmStatus*>(watched)) {
            ++upload;
            if (dismiss)
                QTimer::singleShot(50, upload_->cmdCancelDownload, &QPushButton::click);
        } else if (auto* verify_ = qobject_cast<frmVerify*>(watched)) {
            ++verify;
            if (dismiss)
                QTimer::singleShot(50, verify_->cmdCancelVerify, &QPushButton::click);
        }
        return false;
    }
};

// The names the file dialog's view lists in its folder.
QStringList shownNames(const QFileDialog& dialog) {
    const auto* view = dialog.findChild<QListView*>(QStringLiteral("listView"));
    QStringList names;
    for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row)
        names << view->model()->index(row, 0, view->rootIndex()).data().toString();
    names.sort();
    return names;
}

} // namespace

// The menu commands, the version text and choosing the program file, as a user drives them.
class tst_Commands : public QObject {
    Q_OBJECT
private slots:
    void cleanup();
    void menuHasItsCaptionsAndIdentifiers();
    void helpEntriesShowTheirTexts_data();
    void helpEntriesShowTheirTexts();
    void clearDisplaySendsNothing();
    void exitWritesTheSettingsFile();
    void versionTextClickFocusesConnect();
    void selectFile_data();
    void selectFile();
    void secondSelectionStartsFromPreviousFile();
    void oneCommandAtATime_data();
    void oneCommandAtATime();
    void typedNameInTheDialog_data();
    void typedNameInTheDialog();
};

void tst_Commands::cleanup() {
    QVERIFY2(noWindowLeftOpen(), "a window was left open");
}

void tst_Commands::menuHasItsCaptionsAndIdentifiers() {
    MessageRecorder messages;
    TestProgram program;
    frmMain* form = program.start();
    QStringList menus;
    for (QAction* menu : form->SSActiveToolBars1->actions()) {
        QStringList entries;
        for (QAction* entry : menu->menu()->actions())
            entries << (entry->isSeparator() ? QStringLiteral("-")
                                             : entry->objectName() + u'=' + entry->text());
        menus << menu->objectName() + u'=' + menu->text() + u':' + entries.join(u',');
    }
    QCOMPARE(menus, (QStringList{
                        QStringLiteral("ID_File=&File:ID_SelectFile=&Select File,"
                                       "ID_ClearDisplay=Clear Display,-,ID_Exit=E&xit"),
                        QStringLiteral("ID_Help=&Help:ID_Contents=Co&ntents,-,ID_About=&About"),
                    }));
}

void tst_Commands::helpEntriesShowTheirTexts_data() {
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QStringList>("mentions");
    QTest::newRow("Contents") << QStringLiteral("ID_Contents") << QStringLiteral("Contents")
                              << QStringList{QStringLiteral("Connect"),
                                             QStringLiteral("Select File"),
                                             QStringLiteral("Upload Program"),
                                             QStringLiteral("Verify Data"),
                                             QStringLiteral("Corvid.ini"),
                                             QStringLiteral("Baud Rate"),
                                             QStringLiteral("ln -s")};
    QTest::newRow("About") << QStringLiteral("ID_About") << QStringLiteral("About")
                           << QStringList{QStringLiteral("Brisa Infineon Flash Programmer"),
                                          QStringLiteral("Ver 1.23 - 09/05/06")};
}

void tst_Commands::helpEntriesShowTheirTexts() {
    QFETCH(QString, id);
    QFETCH(QString, title);
    QFETCH(QStringList, mentions);
    MessageRecorder messages;
    TestProgram program;
    frmMain* form = program.start();
    tool(form, id)->trigger();
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.last().title, title);
    QCOMPARE(messages.last().style, 64);
    for (const QString& mention : mentions)
        QVERIFY2(messages.last().text.contains(mention), qPrintable(mention));
    // Menu identifiers and unknown tools do nothing.
    for (const char* other : {"ID_File", "ID_Help", "ID_File2", "Program", "id_exit"})
        form->SSActiveToolBars1_ToolClick(QString::fromLatin1(other));
    QCOMPARE(messages.count(), 1);
    QVERIFY(form->isVisible());
}

void tst_Commands::clearDisplaySendsNothing() {
    MessageRecorder messages;
    PtyPair pty;
    TestProgram program;
    program.linkPort(2, pty.slavePath());
    frmMain* form = program.start();
    QTest::mouseClick(form->cmdConnect, Qt::LeftButton);
    QTRY_COMPARE(pty.received(), QByteArray("\r"));
    for (int i = 0; i < 40; ++i)
        pty.send(QByteArray("line ") + QByteArray::number(i) + "\r\n");
    QTRY_VERIFY(form->SaxComm1->display()->allLines().size() > 25);
    pty.clearReceived();

    tool(form, QStringLiteral("ID_ClearDisplay"))->trigger();
    QCOMPARE(form->SaxComm1->display()->allLines().join(QString()), QString());
    QVERIFY(form->SaxComm1->PortIsOpen());

    QTest::mouseClick(form->cmdConnect, Qt::LeftButton);
    form->SaxComm1->setDisplayText("still here");
    tool(form, QStringLiteral("ID_ClearDisplay"))->trigger();
    QCOMPARE(form->SaxComm1->display()->screenText(), QString());
    QTest::qWait(50);
    QCOMPARE(pty.received(), QByteArray());
    QCOMPARE(messages.count(), 0);
}

void tst_Commands::exitWritesTheSettingsFile() {
    MessageRecorder messages;
    PtyPair pty;
    TestProgram program;
    program.linkPort(2, pty.slavePath());
    frmMain* form = program.start();
    QTest::mouseClick(form->cmdConnect, Qt::LeftButton);
    QVERIFY(!QFile::exists(program.settingsPath()));
    tool(form, QStringLiteral("ID_Exit"))->trigger();
    QVERIFY(!form->isVisible());
    QVERIFY(!form->SaxComm1->PortIsOpen());
    const QByteArray written = program.readSettings();
    QVERIFY(written.contains("Serial Port=2"));
    QVERIFY(written.contains("Baud Rate=9600"));
    QVERIFY(written.contains("Main Width="));
    QCOMPARE(messages.count(), 0);
}

void tst_Commands::versionTextClickFocusesConnect() {
    MessageRecorder messages;
    PtyPair pty;
    TestProgram program;
    program.linkPort(2, pty.slavePath());
    frmMain* form = program.start();
    for (const QString& caption : {QStringLiteral("&Connect"), QStringLiteral("Disconnect")}) {
        QCOMPARE(form->cmdConnect->text(), caption);
        QTest::mouseClick(form->txtVersionInfo, Qt::LeftButton);
        QCOMPARE(form->focusWidget(), form->cmdConnect);
        QCOMPARE(form->txtVersionInfo->text(), QStringLiteral("Ver 1.23 - 09/05/06"));
        QTest::mouseClick(form->cmdConnect, Qt::LeftButton);
    }
}

void tst_Commands::selectFile_data() {
    QTest::addColumn<int>("size"); // -1: the file does not exist
    QTest::addColumn<bool>("cancel");
    QTest::addColumn<QString>("path"); // "" for the chosen file
    QTest::addColumn<QString>("panel2");
    QTest::addColumn<int>("messageCount");
    QTest::newRow("cancel on first use")
        << 300 << true << QString() << QStringLiteral("0Bytes ") << 0;
    QTest::newRow("300-byte file") << 300 << false << QString() << QStringLiteral("300Bytes ") << 0;
    QTest::newRow("empty file") << 0 << false << QString() << QStringLiteral("0Bytes ") << 0;
    QTest::newRow("typed missing name")
        << -1 << false << QString() << QStringLiteral("0Bytes ") << 1;
}

void tst_Commands::selectFile() {
    QFETCH(int, size);
    QFETCH(bool, cancel);
    QFETCH(QString, panel2);
    QFETCH(int, messageCount);
    MessageRecorder messages;
    ScriptedDialog dialog;
    TestProgram program;
    const QString chosen = program.filePath(QStringLiteral("image.bin"));
    if (size >= 0)
        program.makeFile(QStringLiteral("image.bin"), QByteArray(size, '\x5a'));
    frmMain* form = program.start();
    dialog.answers << (cancel ? std::nullopt : std::optional<QString>(chosen));

    tool(form, QStringLiteral("ID_SelectFile"))->trigger();

    QCOMPARE(dialog.seen.size(), 1);
    QCOMPARE(messages.count(), messageCount);
    QCOMPARE(form->StatusBar1->Panels(2)->text(), panel2);
    if (cancel) {
        QCOMPARE(Variables::strProgramFile, QString());
        QCOMPARE(form->StatusBar1->Panels(1)->text(), QStringLiteral("No File Selected"));
    } else if (size < 0) {
        QCOMPARE(Variables::strProgramFile, chosen);
        QCOMPARE(form->StatusBar1->Panels(1)->text(), QStringLiteral("No File Selected"));
        QCOMPARE(
            messages.last().text,
            QStringLiteral("Error Locating Or Reading Specified Download File\r\rError #  0 - "));
        QCOMPARE(messages.last().title, QStringLiteral("File Error"));
        QCOMPARE(messages.last().style, 16);
    } else {
        QCOMPARE(Variables::strProgramFile, chosen);
        QCOMPARE(Variables::lngFileSize, size);
        QCOMPARE(form->StatusBar1->Panels(1)->text(), chosen);
    }
}

void tst_Commands::secondSelectionStartsFromPreviousFile() {
    MessageRecorder messages;
    ScriptedDialog dialog;
    TestProgram program;
    const QString first = program.makeFile(QStringLiteral("first.hex"), "0123");
    const QString second = program.makeFile(QStringLiteral("second.h86"), "01234");
    frmMain* form = program.start();
    dialog.answers << first << second;
    tool(form, QStringLiteral("ID_SelectFile"))->trigger();
    tool(form, QStringLiteral("ID_SelectFile"))->trigger();

    QCOMPARE(dialog.seen.size(), 2);
    for (const CommonDialog& shown : dialog.seen) {
        QVERIFY(shown.CancelError);
        QCOMPARE(shown.FileName, QStringLiteral("*.bin"));
        QCOMPARE(shown.DialogTitle, QStringLiteral("Open Program File"));
        QCOMPARE(shown.Filter,
                 QStringLiteral("(*.bin)|*.bin|(*.h86)|*.h86|(*.hex)|*.hex|(*.*)|*.*"));
    }
    QCOMPARE(dialog.seen.at(0).InitDir, QString());
    QCOMPARE(dialog.seen.at(1).InitDir, first);
    QCOMPARE(dialog.seen.at(1).startFolder(), program.folder());
    QCOMPARE(dialog.seen.at(1).nameFilters(),
             (QStringList{QStringLiteral("(*.bin)"), QStringLiteral("(*.h86)"),
                          QStringLiteral("(*.hex)"), QStringLiteral("(*.*)")}));
    QCOMPARE(form->StatusBar1->Panels(2)->text(), QStringLiteral("5Bytes "));
    QCOMPARE(messages.count(), 0);
}

void tst_Commands::oneCommandAtATime_data() {
    QTest::addColumn<State>("state");
    QTest::addColumn<Action>("command");
    QTest::addColumn<bool>("done");
    QTest::addColumn<QByteArray>("wireIfDone");
    auto menu = [](const char* id) {
        return [id](frmMain* form) { tool(form, QString::fromLatin1(id))->trigger(); };
    };
    const struct {
        const char* name;
        Action action;
        QByteArray wire;
    } commands[] = {
        {"Connect by mouse", [](frmMain* form) { clickAsTheUser(form->cmdConnect); }, "\r"},
        {"Connect by keyboard",
         [](frmMain* form) { QTest::keyClick(form->cmdConnect, Qt::Key_Space); }, "\r"},
        {"Connect by screen reader", [](frmMain* form) { pressAccessibly(form->cmdConnect); },
         "\r"},
        {"typing in the terminal",
         [](frmMain* form) { QTest::keyClick(form->SaxComm1->focusProxy(), Qt::Key_X); }, "x"},
        {"Upload Program", [](frmMain* form) { clickAsTheUser(form->cmdUpload); }, {}},
        {"Upload Data",
         [](frmMain*) {
             for (QWidget* window : QApplication::topLevelWidgets())
                 if (auto* dialog = qobject_cast<frmStatus*>(window))
                     pressAccessibly(dialog->cmdOkDownload);
         },
         {}},
        {"Verify Data", [](frmMain* form) { pressAccessibly(form->cmdVerify); }, "UFD\r"},
        {"Select File", menu("ID_SelectFile"), {}},
        {"Clear Display", menu("ID_ClearDisplay"), {}},
        {"Exit", menu("ID_Exit"), {}},
        {"Contents", menu("ID_Contents"), {}},
        {"About", menu("ID_About"), {}},
        {"version text", [](frmMain* form) { clickAsTheUser(form->txtVersionInfo); }, {}},
        {"close box",
         [](frmMain* form) {
             // The window system's close reaches the window as a spontaneous event.
             QCloseEvent close;
             QCoreApplication::sendEvent(form->windowHandle(), &close);
         },
         {}},
        {"SIGTERM", [](frmMain*) { std::raise(SIGTERM); }, {}},
    };
    const std::pair<const char*, State> states[] = {
        {"idle", State::Idle},
        {"connected", State::Connected},
        {"uploading", State::Uploading},
        {"upload cancelled, still sending", State::UploadCancelled},
        {"verification waiting", State::VerifyWaiting},
        {"message box open", State::MessageBoxOpen},
    };
    for (const auto& [stateName, state] : states) {
        const bool free = state == State::Idle || state == State::Connected;
        const bool uploading = state == State::Uploading || state == State::UploadCancelled;
        for (const auto& command : commands) {
            const QByteArray name = command.name;
            // Upload Data exists only while its dialog is loaded; a second press is ignored.
            if (name == "Upload Data" && !uploading)
                continue;
            // Without a connection Upload is disabled, and Verify and typing do nothing.
            const bool idleNoOp =
                state == State::Idle &&
                (name == "Upload Program" || name == "Verify Data" || name.startsWith("typing"));
            // A signal ends the running command and closes the program.
            const bool done = name == "SIGTERM" || (free && !idleNoOp && name != "Upload Data");
            // Connect closes the port when connected, which sends nothing.
            const QByteArray wire =
                name.startsWith("Connect") && state != State::Idle ? QByteArray() : command.wire;
            QTest::addRow("%s: %s", stateName, command.name)
                << state << command.action << done << wire;
        }
    }
}

void tst_Commands::oneCommandAtATime() {
    QFETCH(State, state);
    QFETCH(Action, command);
    QFETCH(bool, done);
    QFETCH(QByteArray, wireIfDone);
    int messageCount = 0;
    std::function<void()> inMessageBox;
    const MessageRecorder restoresTheMessageBox;
    MessageBox::setHandler([&](const QString&, int, const QString&) {
        ++messageCount;
        if (auto act = std::exchange(inMessageBox, {}))
            act();
        return MessageBox::vbOK;
    });
    ScriptedDialog fileDialog;
    ShowCounter shown;
    qApp->installEventFilter(&shown);
    PtyPair pty;
    TestProgram program;
    program.linkPort(2, pty.slavePath());
    const QByteArray image = testBytes(200000);
    frmMain* form = program.start();
    Variables::strProgramFile = program.makeFile(QStringLiteral("image.bin"), image);
    form->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(form));
    TerminationSignals termination;
    connect(&termination, &TerminationSignals::terminationRequested, form, &QWidget::close);
    if (state != State::Idle) {
        QTest::mouseClick(form->cmdConnect, Qt::LeftButton);
        QTRY_COMPARE(pty.received(), QByteArray("\r"));
        pty.clearReceived();
    }
    form->SaxComm1->setDisplayText("board says hello");

    auto seen = [&] {
        return Seen{form->SaxComm1->PortIsOpen(),
                    shown.upload,
                    shown.verify,
                    int(fileDialog.seen.size()),
                    messageCount,
                    form->isVisible(),
                    form->focusWidget() == form->cmdConnect,
                    form->SaxComm1->display()->screenText()};
    };
    Seen before;
    Seen after;
    bool inState = false;
    bool settled = false;
    auto act = [&] {
        before = seen();
        command(form);
        // A pressed button clicks a moment later, as it does for the keyboard and a screen
        // reader.
        settled = QTest::qWaitFor(
            [] {
                const QWidgetList widgets = QApplication::allWidgets();
                return std::none_of(widgets.cbegin(), widgets.cend(), [](QWidget* widget) {
                    auto* button = qobject_cast<QAbstractButton*>(widget);
                    return button && button->isDown();
                });
            },
            1000);
        after = seen();
    };

    QByteArray wire;
    switch (state) {
    case State::Idle:
    case State::Connected:
        // A command that is carried out shows its dialog, which is dismissed at once.
        shown.dismiss = true;
        inState = true;
        act();
        break;
    case State::Uploading:
    case State::UploadCancelled:
        wire = image + image.right(1);
        whenShown<frmStatus>(QStringLiteral("frmStatus"), [&](frmStatus& dialog) {
            // The line stalls, so the transfer is in the middle while the command is tried.
            pty.pauseReading(true);
            QTimer::singleShot(50, &dialog, [&] {
                if (state == State::UploadCancelled)
                    dialog.cmdCancelDownload->click();
                inState = frmStatus::transferRunning() &&
                          dialog.isVisible() == (state == State::Uploading);
                act();
                pty.pauseReading(false);
            });
            dialog.cmdOkDownload->click();
        });
        QTest::mouseClick(form->cmdUpload, Qt::LeftButton);
        break;
    case State::VerifyWaiting:
        wire = "UFD\r";
        whenShown<frmVerify>(QStringLiteral("frmVerify"), [&](frmVerify& dialog) {
            QTimer::singleShot(50, &dialog, [&] {
                inState = Variables::blnVerifying != Variables::kFalse;
                act();
                dialog.cmdCancelVerify->click();
            });
        });
        QTest::mouseClick(form->cmdVerify, Qt::LeftButton);
        break;
    case State::MessageBoxOpen:
        inMessageBox = [&] {
            inState = true;
            act();
        };
        tool(form, QStringLiteral("ID_About"))->trigger();
        break;
    }
    qApp->removeEventFilter(&shown);
    QVERIFY(inState);
    QVERIFY(settled);
    QTRY_VERIFY(!CommandGuard::busy());

    // A command carried out changes what the user sees, or the wire; a signal closes the window
    // once the running command has returned. A refused one changes nothing.
    if (done)
        QTRY_VERIFY(after != before || !form->isVisible() || !wireIfDone.isEmpty());
    else
        QCOMPARE(after, before);
    if (done && shown.dismiss)
        wire = wireIfDone;
    // Nothing foreign on the wire, and an image whole and once; a signal stops it after the
    // byte being sent, and every byte handed over still reaches the line.
    if (!form->isVisible()) {
        QVERIFY(!form->SaxComm1->PortIsOpen());
        QVERIFY(program.readSettings().contains("[CONFIGURATION]"));
        QVERIFY(wire.startsWith(pty.received()));
    } else {
        QTRY_COMPARE(pty.received().size(), wire.size());
        QCOMPARE(pty.received(), wire);
        // The buttons tell the truth.
        const bool open = form->SaxComm1->PortIsOpen();
        QCOMPARE(form->cmdConnect->text() == QStringLiteral("Disconnect"), open);
        QCOMPARE(form->cmdUpload->isEnabled(), open);
    }
}

void tst_Commands::typedNameInTheDialog_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("shown"); // empty: the name comes back
    QTest::newRow("the default *.bin") << QStringLiteral("*.bin") << QStringList{u"a.bin"_s};
    QTest::newRow("? and *") << QStringLiteral("*.h?6") << QStringList{u"c.h86"_s};
    QTest::newRow("two patterns") << QStringLiteral("*.bin;*.hex")
                                  << QStringList{u"a.bin"_s, u"b.hex"_s};
    QTest::newRow("*") << QStringLiteral("*") << QStringList{u"a.bin"_s, u"b.hex"_s, u"c.h86"_s};
    QTest::newRow("existing file") << QStringLiteral("b.hex") << QStringList();
    QTest::newRow("missing file") << QStringLiteral("new.bin") << QStringList();
}

void tst_Commands::typedNameInTheDialog() {
    QFETCH(QString, typed);
    QFETCH(QStringList, shown);
    TestProgram program;
    for (const QString& name : {u"a.bin"_s, u"b.hex"_s, u"c.h86"_s})
        program.makeFile(name, "x");
    CommonDialog settings;
    settings.InitDir = program.folder();
    settings.FileName = QStringLiteral("*.bin");
    settings.Filter = FileAccess::kProgramFileFilter;
    const std::unique_ptr<QFileDialog> dialog = settings.openDialog();
    dialog->show();
    QTRY_COMPARE(shownNames(*dialog), QStringList{u"a.bin"_s});

    auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    name->setText(typed);
    QTest::keyClick(name, Qt::Key_Return);
    if (shown.isEmpty()) {
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        QCOMPARE(dialog->selectedFiles(), QStringList{program.filePath(typed)});
    } else {
        QVERIFY(dialog->isVisible());
        QTRY_COMPARE(shownNames(*dialog), shown);
        QCOMPARE(name->text(), typed);
        QCOMPARE(dialog->nameFilters().size(), 4);
    }
}

QTEST_MAIN(tst_Commands)
#include "tst_commands.moc"
