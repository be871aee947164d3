#include "serial/SaxComm.h"
#include "foundation/Forms.h"
#include "foundation/IniFile.h"
#include "foundation/StatusBar.h"
#include "foundation/Twips.h"
#include "app/Variables.h"
#include "app/frmMain.h"
#include "support/MessageRecorder.h"
#include "support/TestProgram.h"
#include "upload/frmStatus.h"
#include "verify/frmVerify.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

QByteArray settingsWith(const QByteArray& port, const QByteArray& baud, const QByteArray& file,
                        const QByteArray& geometry = "Main Left=1500\nMain Top=1200\n"
                                                     "Main Width=9000\nMain Height=6000\n") {
    return "[SCREEN INFO]\n" + geometry + "[CONFIGURATION]\nSerial Port=" + port +
           "\nBaud Rate=" + baud + "\nLast File=" + file + "\n";
}

QString panel(const frmMain* form, int index) {
    return form->StatusBar1->Panels(index)->text();
}

QString storedValue(const QString& path, const QString& section, const QString& key) {
    IniFile ini;
    ini.setFileName(path);
    ini.setSection(section);
    ini.setKey(key);
    return ini.value();
}

} // namespace

// Start-up and shutdown of the main window against real settings files.
class tst_Startup : public QObject {
    Q_OBJECT
private slots:
    void cleanup();
    void firstRunWithoutSettingsFile();
    void baudRateCheck_data();
    void baudRateCheck();
    void portCheck_data();
    void portCheck();
    void lastFilePanels_data();
    void lastFilePanels();
    void configurationWrittenBack();
    void minimisedWindowKeepsStoredGeometry();
    void windowStaysWithinReach_data();
    void windowStaysWithinReach();
    void serialPortConversion_data();
    void serialPortConversion();
    void windowsWrittenFileIsRead();
    void readOnlySettingsFileReportedAtExit();
    void initializationErrorLeavesDesignedState();
    void shutdownUnloadsOtherWindowsNewestFirst();
};

void tst_Startup::cleanup() {
    QVERIFY2(noWindowLeftOpen(), "a window was left open");
}

void tst_Startup::firstRunWithoutSettingsFile() {
    MessageRecorder messages;
    QByteArray written;
    {
        TestProgram program;
        frmMain* form = program.start();
        QCOMPARE(messages.count(), 0);
        QCOMPARE(panel(form, 1), QStringLiteral("No File Selected"));
        QCOMPARE(panel(form, 2), QStringLiteral("0Bytes "));
        QCOMPARE(panel(form, 3), QStringLiteral(" COM2  (9600 - 8N1 ) "));
        QCOMPARE(form->SaxComm1->LineSettings(), QStringLiteral("9600,n,8,1"));
        QCOMPARE(form->SaxComm1->PortNumber(), qint16(2));
        QVERIFY(!form->SaxComm1->PortIsOpen());
        QVERIFY(!form->cmdUpload->isEnabled());
        QVERIFY(form->cmdConnect->isEnabled());
        QVERIFY(form->cmdVerify->isEnabled());
        QCOMPARE(form->txtVersionInfo->text(), QStringLiteral("Ver 1.23 - 09/05/06"));
        QCOMPARE(Variables::strAppPath, program.folder() + u'/');
        program.close();
        written = program.readSettings();
        QVERIFY(!written.isEmpty());

        // The file the first run wrote is read by the next start without a message.
        TestProgram::resetSharedState();
        frmMain* second = program.start();
        QCOMPARE(messages.count(), 0);
        QCOMPARE(panel(second, 3), QStringLiteral(" COM2  (9600 - 8N1 ) "));
        QCOMPARE(storedValue(program.settingsPath(), QStringLiteral("CONFIGURATION"),
                             QStringLiteral("Serial Port")),
                 QStringLiteral("2"));
        QCOMPARE(storedValue(program.settingsPath(), QStringLiteral("CONFIGURATION"),
                             QStringLiteral("Baud Rate")),
                 QStringLiteral("9600"));
    }
}

void tst_Startup::baudRateCheck_data() {
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QString>("expected");
    for (const char* rate : {"2400", "4800", "9600", "14400", "19200", "38400", "57600", "115200"})
        QTest::addRow("%s unchanged", rate) << QByteArray(rate) << QString::fromLatin1(rate);
    QTest::newRow("300 not a multiple of 1200") << QByteArray("300") << QStringLiteral("9600");
    QTest::newRow("600 not a multiple of 1200") << QByteArray("600") << QStringLiteral("9600");
    QTest::newRow("56000 not a multiple of 1200") << QByteArray("56000") << QStringLiteral("9600");
    QTest::newRow("0 too slow") << QByteArray("0") << QStringLiteral("1200");
    QTest::newRow("-2400 too slow") << QByteArray("-2400") << QStringLiteral("1200");
    QTest::newRow("230400 too fast") << QByteArray("230400") << QStringLiteral("115200");
    QTest::newRow("empty") << QByteArray("") << QStringLiteral("9600");
    QTest::newRow("not a number") << QByteArray("fast") << QStringLiteral("9600");
    QTest::newRow("number then letters") << QByteArray("9600baud") << QStringLiteral("9600");
    QTest::newRow("beyond 32 bits") << QByteArray("4294967296") << QStringLiteral("9600");
    QTest::newRow("fraction") << QByteArray("9600.4") << QStringLiteral("9600");
    QTest::newRow("exponent") << QByteArray("1.2E3") << QStringLiteral("9600");
}

void tst_Startup::baudRateCheck() {
    QFETCH(QByteArray, stored);
    QFETCH(QString, expected);
    MessageRecorder messages;
    TestProgram program;
    program.writeSettings(settingsWith("3", stored, ""));
    frmMain* form = program.start();
    QCOMPARE(messages.count(), 0);
    QCOMPARE(Variables::strBaudRate, expected);
    QCOMPARE(panel(form, 3), QStringLiteral(" COM3  (%1 - 8N1 ) ").arg(expected));
    QCOMPARE(form->SaxComm1->LineSettings(), expected + QStringLiteral(",n,8,1"));
    QCOMPARE(form->txtVersionInfo->text(), QStringLiteral("Ver 1.23 - 09/05/06"));
}

void tst_Startup::portCheck_data() {
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<int>("expected");
    QTest::newRow("0") << QByteArray("0") << 2;
    QTest::newRow("5") << QByteArray("5") << 2;
    QTest::newRow("-1") << QByteArray("-1") << 2;
    QTest::newRow("1") << QByteArray("1") << 1;
    QTest::newRow("4") << QByteArray("4") << 4;
}

void tst_Startup::portCheck() {
    QFETCH(QByteArray, stored);
    QFETCH(int, expected);
    MessageRecorder messages;
    TestProgram program;
    program.writeSettings(settingsWith(stored, "19200", ""));
    frmMain* form = program.start();
    QCOMPARE(int(Variables::intCommPort), expected);
    QCOMPARE(int(form->SaxComm1->PortNumber()), expected);
    QCOMPARE(panel(form, 3), QStringLiteral(" COM%1  (19200 - 8N1 ) ").arg(expected));
}

void tst_Startup::lastFilePanels_data() {
    QTest::addColumn<QString>("lastFile"); // "<folder>" stands for the program folder
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("panel1");
    QTest::addColumn<QString>("panel2");
    QTest::newRow("existing") << QStringLiteral("<folder>/image.bin") << 300
                              << QStringLiteral("<folder>/image.bin")
                              << QStringLiteral("300Bytes ");
    QTest::newRow("missing") << QStringLiteral("<folder>/gone.bin") << -1
                             << QStringLiteral("<folder>/gone.bin") << QStringLiteral("0Bytes ");
    QTest::newRow("empty") << QString() << -1 << QStringLiteral("No File Selected")
                           << QStringLiteral("0Bytes ");
    QTest::newRow("hidden") << QStringLiteral("<folder>/.image.bin") << 10
                            << QStringLiteral("<folder>/.image.bin") << QStringLiteral("0Bytes ");
    QTest::newRow("a folder") << QStringLiteral("<folder>") << -1 << QStringLiteral("<folder>")
                              << QStringLiteral("0Bytes ");
}

void tst_Startup::lastFilePanels() {
    QFETCH(QString, lastFile);
    QFETCH(int, size);
    QFETCH(QString, panel1);
    QFETCH(QString, panel2);
    MessageRecorder messages;
    TestProgram program;
    lastFile.replace(QStringLiteral("<folder>"), program.folder());
    panel1.replace(QStringLiteral("<folder>"), program.folder());
    if (size >= 0) {
        QFile file(lastFile);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(size, 'x'));
    }
    program.writeSettings(settingsWith("2", "9600", lastFile.toUtf8()));
    frmMain* form = program.start();
    QCOMPARE(messages.count(), 0);
    QCOMPARE(panel(form, 1), panel1);
    QCOMPARE(panel(form, 2), panel2);
    QCOMPARE(Variables::strProgramFile, lastFile);
}

void tst_Startup::configurationWrittenBack() {
    MessageRecorder messages;
    TestProgram program;
    const QString image = program.makeFile(QStringLiteral("board.h86"), "ab");
    program.writeSettings(settingsWith("3", "38400", image.toUtf8()));
    program.start();
    program.close();
    QCOMPARE(messages.count(), 0);
    const QString path = program.settingsPath();
    const QString config = QStringLiteral("CONFIGURATION");
    QCOMPARE(storedValue(path, config, QStringLiteral("Serial Port")), QStringLiteral("3"));
    QCOMPARE(storedValue(path, config, QStringLiteral("Baud Rate")), QStringLiteral("38400"));
    QCOMPARE(storedValue(path, config, QStringLiteral("Last File")), image);
}

void tst_Startup::minimisedWindowKeepsStoredGeometry() {
    MessageRecorder messages;
    TestProgram program;
    program.writeSettings(settingsWith("4", "57600", "",
                                       "Main Left=30\nMain Top=45\n"
                                       "Main Width=7777\nMain Height=5555\n"));
    frmMain* form = program.start();
    form->setWindowState(Qt::WindowMinimized);
    QCOMPARE(form->WindowState(), frmMain::vbMinimized);
    Variables::intCommPort = 1;
    program.close();
    QCOMPARE(messages.count(), 0);
    const QString path = program.settingsPath();
    QCOMPARE(storedValue(path, QStringLiteral("SCREEN INFO"), QStringLiteral("Main Width")),
             QStringLiteral("7777"));
    QCOMPARE(storedValue(path, QStringLiteral("SCREEN INFO"), QStringLiteral("Main Left")),
             QStringLiteral("30"));
    QCOMPARE(storedValue(path, QStringLiteral("CONFIGURATION"), QStringLiteral("Serial Port")),
             QStringLiteral("1"));
}

void tst_Startup::windowStaysWithinReach_data() {
    QTest::addColumn<QByteArray>("stored"); // Main Left, Top, Width and Height
    QTest::addColumn<bool>("kept");         // the stored position is kept exactly
    QTest::addColumn<QSize>("pixels");      // the outer size; empty: the primary screen's
    QTest::newRow("on the screen") << "1500 1200 9000 6000"_ba << true << QSize(600, 400);
    QTest::newRow("partly left of it") << "-3000 1500 9000 6000"_ba << true << QSize(600, 400);
    QTest::newRow("monitor that is gone") << "-5000 -5000 9000 6000"_ba << false << QSize(600, 400);
    QTest::newRow("-5000 everywhere") << "-5000 -5000 -5000 -5000"_ba << false << QSize(333, 200);
    QTest::newRow("99999999 everywhere")
        << "99999999 99999999 99999999 99999999"_ba << false << QSize();
    QTest::newRow("left 1e30") << "1e30 1200 9000 6000"_ba << false << QSize(600, 400);
    QTest::newRow("below the screen") << "1500 99999 9000 6000"_ba << false << QSize(600, 400);
    QTest::newRow("huge size on the screen") << "0 0 1e30 99999999"_ba << true << QSize();
}

void tst_Startup::windowStaysWithinReach() {
    QFETCH(QByteArray, stored);
    QFETCH(bool, kept);
    QFETCH(QSize, pixels);
    MessageRecorder messages;
    TestProgram program;
    const QList<QByteArray> edges = stored.split(' ');
    program.writeSettings(settingsWith("2", "9600", "",
                                       "Main Left=" + edges[0] + "\nMain Top=" + edges[1] +
                                           "\nMain Width=" + edges[2] +
                                           "\nMain Height=" + edges[3] + "\n"));
    const QRect outer = program.start()->frameGeometry();
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    QCOMPARE(outer.size(), pixels.isEmpty() ? screen.size() : pixels);
    QVERIFY2(kept || screen.contains(outer), qPrintable(QDebug::toString(outer)));
    program.close();
    QCOMPARE(messages.count(), 0);

    // What is written is where the window was: exactly the stored position where it was kept.
    const QStringList keys{u"Main Left"_s, u"Main Top"_s, u"Main Width"_s, u"Main Height"_s};
    const QList<int> real{outer.x(), outer.y(), outer.width(), outer.height()};
    for (int i = 0; i < 4; ++i) {
        const double value =
            storedValue(program.settingsPath(), u"SCREEN INFO"_s, keys[i]).toDouble();
        if (kept && (i < 2 || !pixels.isEmpty()))
            QCOMPARE(value, edges[i].toDouble());
        QCOMPARE(i % 2 ? Twips::toPixelsY(value) : Twips::toPixelsX(value), real[i]);
    }
}

void tst_Startup::serialPortConversion_data() {
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("failed");
    QTest::newRow("2.5 to even 2") << QByteArray("2.5") << 2 << false;
    QTest::newRow("3.5 to even 4") << QByteArray("3.5") << 4 << false;
    QTest::newRow("3 and a blank") << QByteArray("3 ") << 3 << false;
    QTest::newRow("COM3 reads 0") << QByteArray("COM3") << 2 << false;
    QTest::newRow("blanks inside") << QByteArray(" 3 ") << 3 << false;
    QTest::newRow("hexadecimal") << QByteArray("&H4") << 4 << false;
    QTest::newRow("70000 overflows") << QByteArray("70000") << 2 << true;
}

void tst_Startup::serialPortConversion() {
    QFETCH(QByteArray, stored);
    QFETCH(int, port);
    QFETCH(bool, failed);
    MessageRecorder messages;
    TestProgram program;
    const QString image = program.makeFile(QStringLiteral("image.bin"), "abc");
    program.writeSettings(settingsWith(stored, "19200", image.toUtf8(),
                                       "Main Left=600\nMain Top=450\n"
                                       "Main Width=8000\nMain Height=5000\n"));
    frmMain* form = program.start();
    QCOMPARE(int(Variables::intCommPort), port);
    // The geometry is applied before the port is read, whatever happens to the port.
    QCOMPARE(form->Width(), 8000.0);
    QCOMPARE(form->Height(), 5000.0);
    if (failed) {
        QCOMPARE(messages.count(), 1);
        QCOMPARE(messages.last().text,
                 QStringLiteral("Error Reading Corvid.ini file\r\rError #  6 - Overflow"));
        QCOMPARE(messages.last().title, QStringLiteral("File Error"));
        QCOMPARE(messages.last().style, 16);
        // The keys after the port were not read.
        QCOMPARE(Variables::strBaudRate, QStringLiteral("9600"));
        QCOMPARE(panel(form, 1), QStringLiteral("No File Selected"));
    } else {
        QCOMPARE(messages.count(), 0);
        QCOMPARE(Variables::strBaudRate, QStringLiteral("19200"));
        QCOMPARE(panel(form, 2), QStringLiteral("3Bytes "));
    }
}

void tst_Startup::windowsWrittenFileIsRead() {
    MessageRecorder messages;
    TestProgram program;
    program.writeSettings("; written on a Windows machine\r\n"
                          "[screen info]\r\n"
                          "MAIN LEFT = 750\r\nmain top= 600\r\n"
                          "Main width =10005\r\nMAIN Height=7005\r\n"
                          "\r\n[Configuration]\r\n"
                          "serial port = 4 \r\nBAUD RATE=115200\r\nlast file=\r\n"
                          "[Tools]\r\nEditor=notepad.exe\r\n");
    frmMain* form = program.start();
    QCOMPARE(messages.count(), 0);
    QCOMPARE(form->Left(), 750.0);
    QCOMPARE(form->Width(), 10005.0);
    QCOMPARE(panel(form, 3), QStringLiteral(" COM4  (115200 - 8N1 ) "));
    program.close();
    const QByteArray written = program.readSettings();
    QVERIFY(written.startsWith("; written on a Windows machine\r\n[screen info]\r\n"));
    QVERIFY(written.contains("[Tools]\r\nEditor=notepad.exe\r\n"));
    QVERIFY(!written.contains("\n\n") && written.count('\n') == written.count("\r\n"));
}

void tst_Startup::readOnlySettingsFileReportedAtExit() {
    MessageRecorder messages;
    TestProgram program;
    const QByteArray original = settingsWith("2", "9600", "");
    program.writeSettings(original);
    QFile::setPermissions(program.settingsPath(), QFile::ReadOwner | QFile::ReadGroup);
    QPointer<frmMain> form = program.start();
    QCOMPARE(messages.count(), 0);
    program.close();
    QCOMPARE(messages.count(), 1);
    QVERIFY(messages.last().text.startsWith(
        QStringLiteral("Error Writinging Corvid.ini file\r\rError # ")));
    QCOMPARE(messages.last().title, QStringLiteral("File Error"));
    QVERIFY(!form->isVisible());
    QCOMPARE(program.readSettings(), original);
}

void tst_Startup::initializationErrorLeavesDesignedState() {
    MessageRecorder messages;
    TestProgram program;
    // A sparse file longer than the 32-bit size the program counts in.
    const QString huge = program.filePath(QStringLiteral("huge.bin"));
    {
        QFile file(huge);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(qint64(3) << 30));
    }
    program.writeSettings(settingsWith("2", "9600", huge.toUtf8()));
    frmMain* form = program.start();
    QCOMPARE(messages.count(), 1);
    QVERIFY(messages.last().text.startsWith(
        QStringLiteral("Brisa Infineon Programmer Initialization Error\r\rError #  6 - Overflow")));
    QCOMPARE(messages.last().title, QStringLiteral("Initialization Error"));
    QCOMPARE(messages.last().style, 16);
    QVERIFY(form->isVisible());
    QVERIFY(form->cmdUpload->isEnabled());
    QCOMPARE(form->txtVersionInfo->text(), QStringLiteral("Ver 1.10 - 04/01/2002"));
    QCOMPARE(panel(form, 1), QStringLiteral("Filename"));
    QCOMPARE(panel(form, 2), QStringLiteral("0"));
    QCOMPARE(panel(form, 3), QStringLiteral("Port[NC]"));
}

void tst_Startup::shutdownUnloadsOtherWindowsNewestFirst() {
    MessageRecorder messages;
    TestProgram program;
    frmMain* form = program.start();
    auto* status = new frmStatus;
    auto* verify = new frmVerify;
    QCOMPARE(Forms::Count(), 3);
    QCOMPARE(Forms::At(0), form);
    QStringList destroyed;
    connect(status, &QObject::destroyed, this, [&] { destroyed << QStringLiteral("frmStatus"); });
    connect(verify, &QObject::destroyed, this, [&] { destroyed << QStringLiteral("frmVerify"); });
    program.close();
    QCOMPARE(Forms::Count(), 0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(destroyed, (QStringList{QStringLiteral("frmVerify"), QStringLiteral("frmStatus")}));
}

QTEST_MAIN(tst_Startup)
#include "tst_startup.moc"
