#include "foundation/CommandGuard.h"
#include "foundation/CommonDialog.h"
#include "foundation/MessageBox.h"
#include "foundation/StatusBar.h"
#include "foundation/TerminationSignals.h"
#include "serial/SaxComm.h"
#include "serial/TerminalDisplay.h"
#include "support/Bench.h"
#include "upload/SelectProgramFile.h"
#include "verify/frmVerify.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QMenuBar>

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

QAction* tool(frmMain* form, const char* id) {
    return form->findChild<QAction*>(QString::fromLatin1(id));
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
    void cleanup() { QVERIFY2(noWindowLeftOpen(), "a window was left open"); }
    void menusAndHelpTexts();
    void clearDisplayAndExit();
    void selectFile_data();
    void selectFile();
    void oneCommandAtATime_data();
    void oneCommandAtATime();
    void typedNameInTheDialog_data();
    void typedNameInTheDialog();
};

void tst_Commands::menusAndHelpTexts() {
    MessageRecorder messages;
    TestProgram program;
    frmMain* form = program.start();
    QStringList menus;
    for (QAction* menu : form->SSActiveToolBars1->actions()) {
        QStringList entries;
        for (QAction* entry : menu->menu()->actions())
            entries << (entry->isSeparator() ? u"-"_s : entry->objectName() + u'=' + entry->text());
        menus << menu->objectName() + u'=' + menu->text() + u':' + entries.join(u',');
    }
    QCOMPARE(menus, (QStringList{u"ID_File=&File:ID_SelectFile=&Select File,"
                                 u"ID_ClearDisplay=Clear Display,-,ID_Exit=E&xit"_s,
                                 u"ID_Help=&Help:ID_Contents=Co&ntents,-,ID_About=&About"_s}));
    const QStringList contents{u"Connect"_s,     u"Select File"_s, u"Upload Program"_s,
                               u"Verify Data"_s, u"Corvid.ini"_s,  u"Baud Rate"_s,
                               u"ln -s"_s};
    const QStringList about{u"Brisa Infineon Flash Programmer"_s, u"Ver 1.23 - 09/05/06"_s};
    for (const auto& [id, mentions] :
         {std::pair{"ID_Contents", contents}, std::pair{"ID_About", about}}) {
        tool(form, id)->trigger();
        QCOMPARE(messages.last().title, QString::fromLatin1(id + 3));
        QCOMPARE(messages.last().style, 64);
        for (const QString& mention : mentions)
            QVERIFY2(messages.last().text.contains(mention), qPrintable(mention));
    }
    // Menu identifiers and unknown tools do nothing.
    for (const char* other : {"ID_File", "ID_Help", "ID_File2", "Program", "id_exit"})
        form->SSActiveToolBars1_ToolClick(QString::fromLatin1(other));
    QCOMPARE(messages.count(), 2);
    QVERIFY(form->isVisible());
}

// The table below sees the display cleared and the window gone; here the scrollback is
// emptied too, and the settings file written at exit holds the port.
void tst_Commands::clearDisplayAndExit() {
    Bench bench;
    frmMain* form = bench.form;
    for (int i = 0; i < 40; ++i)
        bench.pty.send("line " + QByteArray::number(i) + "\r\n");
    QTRY_VERIFY(form->SaxComm1->display()->allLines().size() > 25);
    tool(form, "ID_ClearDisplay")->trigger();
    QCOMPARE(form->SaxComm1->display()->allLines().join(QString()), QString());
    QVERIFY(!QFile::exists(bench.program.settingsPath()));
    tool(form, "ID_Exit")->trigger();
    QVERIFY(!form->SaxComm1->PortIsOpen());
    const QByteArray written = bench.program.readSettings();
    QVERIFY(written.contains("Serial Port=2") && written.contains("Baud Rate=9600"));
    QVERIFY(written.contains("Main Width="));
    QCOMPARE(bench.pty.received(), QByteArray());
    QCOMPARE(bench.messages.count(), 0);
}

void tst_Commands::selectFile_data() {
    QTest::addColumn<int>("size"); // -1: the file does not exist
    QTest::addColumn<bool>("cancel");
    QTest::addColumn<QString>("panel2");
    QTest::newRow("cancel on first use") << 300 << true << u"0Bytes "_s;
    QTest::newRow("300-byte file") << 300 << false << u"300Bytes "_s;
    QTest::newRow("empty file") << 0 << false << u"0Bytes "_s;
    QTest::newRow("typed missing name") << -1 << false << u"0Bytes "_s;
}

// A second selection starts from the file chosen before, with the same title, name and filter.
void tst_Commands::selectFile() {
    QFETCH(int, size);
    QFETCH(bool, cancel);
    MessageRecorder messages;
    ScriptedDialog dialog;
    TestProgram program;
    const QString chosen = program.filePath(u"image.bin"_s);
    if (size >= 0)
        program.makeFile(u"image.bin"_s, QByteArray(size, '\x5a'));
    const QString second = program.makeFile(u"second.h86"_s, "01234");
    frmMain* form = program.start();
    dialog.answers << (cancel ? std::nullopt : std::optional<QString>(chosen));
    tool(form, "ID_SelectFile")->trigger();

    QCOMPARE(messages.count(), size < 0 ? 1 : 0);
    QTEST(form->StatusBar1->Panels(2)->text(), "panel2");
    QCOMPARE(Variables::strProgramFile, cancel ? QString() : chosen);
    QCOMPARE(form->StatusBar1->Panels(1)->text(),
             cancel || size < 0 ? u"No File Selected"_s : chosen);
    if (size < 0) {
        QCOMPARE(messages.last().text,
                 u"Error Locating Or Reading Specified Download File\r\rError #  0 - "_s);
        QCOMPARE(messages.last().title, u"File Error"_s);
        QCOMPARE(messages.last().style, 16);
    }
    QCOMPARE(Variables::lngFileSize, qMax(size, 0) * !cancel);

    dialog.answers << second;
    tool(form, "ID_SelectFile")->trigger();
    QCOMPARE(dialog.seen.size(), 2);
    for (const CommonDialog& shown : dialog.seen) {
        QVERIFY(shown.CancelError);
        QCOMPARE(shown.FileName, u"*.bin"_s);
        QCOMPARE(shown.DialogTitle, u"Open Program File"_s);
        QCOMPARE(shown.Filter, u"(*.bin)|*.bin|(*.h86)|*.h86|(*.hex)|*.hex|(*.*)|*.*"_s);
    }
    QCOMPARE(dialog.seen.at(0).InitDir, QString());
    QCOMPARE(dialog.seen.at(1).InitDir, cancel ? QString() : chosen);
    QCOMPARE(dialog.seen.at(1).startFolder(), cancel ? QString() : program.folder());
    QCOMPARE(dialog.seen.at(1).nameFilters(),
             (QStringList{u"(*.bin)"_s, u"(*.h86)"_s, u"(*.hex)"_s, u"(*.*)"_s}));
    QCOMPARE(form->StatusBar1->Panels(2)->text(), u"5Bytes "_s);
}

void tst_Commands::oneCommandAtATime_data() {
    QTest::addColumn<State>("state");
    QTest::addColumn<Action>("command");
    QTest::addColumn<bool>("done");
    QTest::addColumn<QByteArray>("wireIfDone");
    auto menu = [](const char* id) { return [id](frmMain* form) { tool(form, id)->trigger(); }; };
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
    ScriptedDialog fileDialog;
    ShowCounter shown;
    qApp->installEventFilter(&shown);
    Bench bench(state != State::Idle);
    // The bench's recorder puts the message box back when it goes.
    MessageBox::setHandler([&](const QString&, int, const QString&) {
        ++messageCount;
        if (auto act = std::exchange(inMessageBox, {}))
            act();
        return MessageBox::vbOK;
    });
    frmMain* form = bench.form;
    PtyPair& pty = bench.pty;
    const QByteArray image = bench.chooseFile(testBytes(200000));
    form->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(form));
    TerminationSignals termination;
    connect(&termination, &TerminationSignals::terminationRequested, form, &QWidget::close);
    form->SaxComm1->setDisplayText("board says hello");

    auto seen = [&] {
        return std::tuple(form->SaxComm1->PortIsOpen(), shown.upload, shown.verify,
                          int(fileDialog.seen.size()), messageCount, form->isVisible(),
                          form->focusWidget() == form->cmdConnect,
                          form->SaxComm1->display()->screenText());
    };
    auto before = seen();
    auto after = before;
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
        whenShown<frmStatus>(u"frmStatus"_s, [&](frmStatus& dialog) {
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
        whenShown<frmVerify>(u"frmVerify"_s, [&](frmVerify& dialog) {
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
        tool(form, "ID_About")->trigger();
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
        QVERIFY(bench.program.readSettings().contains("[CONFIGURATION]"));
        QVERIFY(wire.startsWith(pty.received()));
    } else {
        QTRY_COMPARE(pty.received().size(), wire.size());
        QCOMPARE(pty.received(), wire);
        // The buttons tell the truth.
        const bool open = form->SaxComm1->PortIsOpen();
        QCOMPARE(form->cmdConnect->text() == u"Disconnect"_s, open);
        QCOMPARE(form->cmdUpload->isEnabled(), open);
    }
}

void tst_Commands::typedNameInTheDialog_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("shown"); // empty: the name comes back
    QTest::newRow("the default *.bin") << u"*.bin"_s << QStringList{u"a.bin"_s};
    QTest::newRow("? and *") << u"*.h?6"_s << QStringList{u"c.h86"_s};
    QTest::newRow("two patterns") << u"*.bin;*.hex"_s << QStringList{u"a.bin"_s, u"b.hex"_s};
    QTest::newRow("*") << u"*"_s << QStringList{u"a.bin"_s, u"b.hex"_s, u"c.h86"_s};
    QTest::newRow("existing file") << u"b.hex"_s << QStringList();
    QTest::newRow("missing file") << u"new.bin"_s << QStringList();
}

void tst_Commands::typedNameInTheDialog() {
    QFETCH(QString, typed);
    QFETCH(QStringList, shown);
    TestProgram program;
    for (const QString& name : {u"a.bin"_s, u"b.hex"_s, u"c.h86"_s})
        program.makeFile(name, "x");
    CommonDialog settings;
    settings.InitDir = program.folder();
    settings.FileName = u"*.bin"_s;
    settings.Filter = FileAccess::kProgramFileFilter;
    const std::unique_ptr<QFileDialog> dialog = settings.openDialog();
    dialog->show();
    QTRY_COMPARE(shownNames(*dialog), QStringList{u"a.bin"_s});

    auto* name = dialog->findChild<QLineEdit*>(u"fileNameEdit"_s);
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
