#include "foundation/CommandGuard.h"
#include "foundation/CommonDialog.h"
#include "foundation/Forms.h"
#include "foundation/StatusBar.h"
#include "foundation/TerminationSignals.h"
#include "serial/SaxComm.h"
#include "serial/TerminalDisplay.h"
#include "support/Bench.h"
#include "upload/SelectProgramFile.h"
#include "verify/frmVerify.h"

#include <QAccessible>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>

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

void trigger(frmMain* form, const char* id) {
    form->findChild<QAction*>(QString::fromLatin1(id))->trigger();
}

// What a screen reader does when its user activates a button: it clicks a moment later.
void pressAccessibly(QAbstractButton* button) {
    QAccessible::queryAccessibleInterface(button)->actionInterface()->doAction(
        QAccessibleActionInterface::pressAction());
    QVERIFY(QTest::qWaitFor([button] { return !button->isDown(); }));
}

enum class State { Uploading, UploadCancelled, VerifyWaiting, MessageBoxOpen };
using Action = std::function<void(frmMain*)>;

// The names the file dialog's view lists in its folder.
QStringList shownNames(const QFileDialog& dialog) {
    const auto* view = dialog.findChild<QListView*>(u"listView"_s);
    QStringList names;
    for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row)
        names << view->model()->index(row, 0, view->rootIndex()).data().toString();
    names.sort();
    return names;
}

} // namespace

// The menu commands, choosing the program file and one command at a time, as a user drives them.
class tst_Commands : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { QVERIFY(noWindowLeftOpen()); }
    void menuCommands();
    void oneCommandAtATime_data();
    void oneCommandAtATime();
    void typedNameInTheDialog();
};

// The help texts, the menus' own entries (no command), Clear Display (the scrollback too), the
// version text, and Select File: cancelled, a file, a missing file, each selection starting from
// the file chosen before.
void tst_Commands::menuCommands() {
    MessageRecorder messages;
    ScriptedDialog dialog;
    TestProgram program;
    const QString image = program.makeFile(u"image.bin"_s, QByteArray(300, 'Z'));
    const QString missing = program.filePath(u"missing.bin"_s);
    frmMain* form = program.start();
    for (const char* id : {"ID_Contents", "ID_About", "ID_File", "ID_Help"})
        trigger(form, id);
    QCOMPARE(messages.count(), 2);
    const MessageRecorder::Message contents = messages.messages().first();
    QCOMPARE(contents.title + u'|' + messages.last().title, u"Contents|About"_s);
    QVERIFY(
        contents.text.contains(u"Settings file in use: "_s + form->session().settingsFilePath()) &&
        contents.text.contains(u"ln -s"_s) && contents.text.contains(u"--map COM2"_s));
    QVERIFY(messages.last().text.startsWith(
        u"Brisa Infineon Flash Programmer\r\rVer 1.23 - 09/05/06\r\r"_s));
    form->SaxComm1->setDisplayText(QByteArray("line\r\n").repeated(40));
    trigger(form, "ID_ClearDisplay");
    QCOMPARE(form->SaxComm1->display()->allLines().join(QString()), QString());
    form->SaxComm1->setFocus();
    QTest::mouseClick(form->txtVersionInfo, Qt::LeftButton);
    QCOMPARE(form->focusWidget(), form->cmdConnect);

    dialog.answers << std::nullopt << image << missing;
    QStringList shown;
    for (int selection = 0; selection < 3; ++selection) {
        trigger(form, "ID_SelectFile");
        shown << form->session().strProgramFile << form->StatusBar1->Panels(1)->text()
              << form->StatusBar1->Panels(2)->text();
    }
    QCOMPARE(shown, (QStringList{QString(), u"No File Selected"_s, u"0Bytes "_s, image, image,
                                 u"300Bytes "_s, missing, image, u"300Bytes "_s}));
    QCOMPARE(messages.last().title + u'|' + messages.last().text,
             u"File Error|Error Locating Or Reading Specified Download File\r\rError #  0 - "_s);
    const CommonDialog& last = dialog.seen.at(2);
    QVERIFY(last.CancelError && dialog.seen.at(1).InitDir.isEmpty());
    QCOMPARE(last.FileName + u'|' + last.DialogTitle + u'|' + last.Filter,
             u"*.bin|Open Program File|(*.bin)|*.bin|(*.h86)|*.h86|(*.hex)|*.hex|(*.*)|*.*"_s);
    QCOMPARE(last.InitDir, image);
    QCOMPARE(last.startFolder(), program.folder());
    QCOMPARE(last.nameFilters().join(u','), u"(*.bin),(*.h86),(*.hex),(*.*)"_s);
}

void tst_Commands::oneCommandAtATime_data() {
    QTest::addColumn<State>("state");
    QTest::addColumn<Action>("command");
    QList<std::pair<QByteArray, Action>> commands{
        {"Connect by mouse", [](frmMain* f) { clickAsTheUser(f->cmdConnect); }},
        {"Connect by keyboard", [](frmMain* f) { QTest::keyClick(f->cmdConnect, Qt::Key_Space); }},
        {"Connect by screen reader", [](frmMain* f) { pressAccessibly(f->cmdConnect); }},
        {"typing", [](frmMain* f) { QTest::keyClick(f->SaxComm1->focusProxy(), Qt::Key_X); }},
        {"Upload Program", [](frmMain* f) { clickAsTheUser(f->cmdUpload); }},
        {"Upload Data",
         [](frmMain*) { pressAccessibly(qobject_cast<frmStatus*>(Forms::At(1))->cmdOkDownload); }},
        {"Verify Data", [](frmMain* f) { pressAccessibly(f->cmdVerify); }},
        {"version text", [](frmMain* f) { clickAsTheUser(f->txtVersionInfo); }},
        {"close box",
         [](frmMain* f) {
             QCoreApplication::sendEvent(f->windowHandle(), std::make_unique<QCloseEvent>().get());
         }},
        {"SIGTERM", [](frmMain*) { std::raise(SIGTERM); }}};
    for (const char* id :
         {"ID_SelectFile", "ID_ClearDisplay", "ID_Exit", "ID_Contents", "ID_About"})
        commands.append({id, [id](frmMain* f) { trigger(f, id); }});
    const char* states[] = {"uploading", "upload cancelled, still sending", "verification waiting",
                            "message box open"};
    // Upload Data exists only while its dialog is loaded.
    for (int state = 0; state < 4; ++state)
        for (const auto& [name, action] : commands)
            if (name != "Upload Data" || State(state) <= State::UploadCancelled)
                QTest::addRow("%s: %s", states[state], name.constData()) << State(state) << action;
}

// Whichever way it is asked for, no command starts while another runs or a message box waits.
void tst_Commands::oneCommandAtATime() {
    QFETCH(State, state);
    QFETCH(Action, command);
    const bool signal = QByteArray(QTest::currentDataTag()).endsWith("SIGTERM");
    int messageCount = 0;
    ScriptedDialog fileDialog;
    Bench bench;
    frmMain* form = bench.form;
    const QByteArray image = bench.chooseFile(testBytes(200000));
    form->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(form));
    TerminationSignals termination;
    connect(&termination, &TerminationSignals::terminationRequested, form, &QWidget::close);
    form->SaxComm1->setDisplayText("board says hello");

    auto seen = [&] {
        return std::tuple(Forms::Count(), int(fileDialog.seen.size()), messageCount,
                          form->isVisible(), form->focusWidget() == form->cmdConnect,
                          form->SaxComm1->display()->screenText());
    };
    auto before = seen(), after = before;
    bool inState = false;
    auto act = [&](bool reached) {
        inState = reached;
        before = seen();
        command(form);
        after = seen();
    };
    MessageBox::setHandler([&](const QString&, int, const QString&) {
        if (++messageCount == 1 && state == State::MessageBoxOpen)
            act(true);
        return MessageBox::vbOK;
    });
    QByteArray wire;
    if (state == State::MessageBoxOpen) {
        trigger(form, "ID_About"); // the command is tried while its message box waits
    } else if (state == State::VerifyWaiting) {
        wire = "UFD\r";
        whenShown<frmVerify>(u"frmVerify"_s, [&](frmVerify& dialog) {
            QTimer::singleShot(50, &dialog, [&] {
                act(form->session().blnVerifying);
                clickAsTheUser(dialog.cmdCancelVerify);
            });
        });
        bench.verify();
    } else {
        wire = image + image.right(1);
        bench.upload([&](frmStatus& dialog) {
            // The line stalls, so the transfer is in the middle while the command is tried.
            bench.pty.pauseReading(true);
            QTimer::singleShot(50, &dialog, [&] {
                if (state == State::UploadCancelled)
                    clickAsTheUser(dialog.cmdCancelDownload);
                act(dialog.transferRunning() && dialog.isVisible() == (state == State::Uploading));
                bench.pty.pauseReading(false);
            });
            dialog.cmdOkDownload->click();
        });
    }
    QVERIFY(inState);
    QTRY_VERIFY(!CommandGuard::busy());

    // A refused command changes nothing, on the screen or the wire, where an image goes whole and
    // once. A signal closes the window once the running command has returned, stopping an image
    // after the byte being sent; every byte handed over still reaches the line.
    if (signal) {
        QTRY_VERIFY(!form->isVisible());
        QVERIFY(!form->SaxComm1->PortIsOpen() &&
                bench.program.readSettings().contains("[CONFIGURATION]"));
        QVERIFY(wire.startsWith(bench.pty.received()));
    } else {
        QCOMPARE(after, before);
        QTRY_COMPARE(bench.pty.received(), wire);
        QVERIFY(form->SaxComm1->PortIsOpen() && form->cmdUpload->isEnabled() &&
                form->cmdConnect->text() == u"Disconnect"_s);
    }
}

// A wildcard typed in the name box keeps the dialog open and lists what matches, until a plain
// name comes back.
void tst_Commands::typedNameInTheDialog() {
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
    const std::pair<QString, QStringList> typed[] = {{u"*.h?6"_s, {u"c.h86"_s}},
                                                     {u"*.bin;*.hex"_s, {u"a.bin"_s, u"b.hex"_s}},
                                                     {u"*"_s, {u"a.bin"_s, u"b.hex"_s, u"c.h86"_s}},
                                                     {u"*.bin"_s, {u"a.bin"_s}},
                                                     {u"b.hex"_s, {program.filePath(u"b.hex"_s)}}};
    for (const auto& [text, names] : typed) {
        name->setText(text);
        QTest::keyClick(name, Qt::Key_Return);
        QTRY_COMPARE(dialog->isVisible() ? shownNames(*dialog) : dialog->selectedFiles(), names);
    }
}

QTEST_MAIN(tst_Commands)
#include "tst_commands.moc"
