#include "serial/SaxComm.h"
#include "serial/TerminalDisplay.h"
#include "shell/StatusBar.h"
#include "shell/Variables.h"
#include "shell/frmMain.h"
#include "support/MessageRecorder.h"
#include "support/PtyPair.h"
#include "support/TestProgram.h"
#include "upload/CommonDialog.h"
#include "upload/SelectProgramFile.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QMenuBar>
#include <QPushButton>
#include <QtTest>

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
