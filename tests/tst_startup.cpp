#include "app/Variables.h"
#include "app/frmMain.h"
#include "foundation/Forms.h"
#include "foundation/IniFile.h"
#include "foundation/StatusBar.h"
#include "foundation/Twips.h"
#include "serial/SaxComm.h"
#include "support/MessageRecorder.h"
#include "support/TestProgram.h"
#include "upload/frmStatus.h"
#include "verify/frmVerify.h"

#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

// Geometry is "Main Left Top Width Height".
QByteArray settingsWith(const QByteArray& port, const QByteArray& baud, const QByteArray& file,
                        const QByteArray& geometry = "600 450 8000 5000") {
    const QList<QByteArray> edges = geometry.split(' ');
    return "[SCREEN INFO]\nMain Left=" + edges[0] + "\nMain Top=" + edges[1] +
           "\nMain Width=" + edges[2] + "\nMain Height=" + edges[3] +
           "\n[CONFIGURATION]\nSerial Port=" + port + "\nBaud Rate=" + baud +
           "\nLast File=" + file + "\n";
}

// The status bar's file, size and port panels, split by '|'.
QString panels(const frmMain* form) {
    const auto text = [form](int index) { return form->StatusBar1->Panels(index)->text(); };
    return text(1) + u'|' + text(2) + u'|' + text(3);
}

// The last message box as "title|style|text".
QString said(const MessageRecorder& messages) {
    const MessageRecorder::Message& last = messages.last();
    return last.title + u'|' + QString::number(last.style) + u'|' + last.text;
}

// The values stored under the keys, split by '|'.
QString stored(const TestProgram& program, const QStringList& keys) {
    QStringList values;
    IniFile ini;
    ini.setFileName(program.settingsPath());
    for (const QString& key : keys) {
        ini.setSection(key.startsWith(u"Main"_s) ? u"SCREEN INFO"_s : u"CONFIGURATION"_s);
        ini.setKey(key);
        values << ini.value();
    }
    return values.join(u'|');
}

} // namespace

// Start-up and shutdown of the main window against real settings files.
class tst_Startup : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { QVERIFY2(noWindowLeftOpen(), "a window was left open"); }

    void storedConfigurationRead_data() {
        QTest::addColumn<QByteArray>("port");
        QTest::addColumn<QByteArray>("baud");
        QTest::addColumn<QString>("file"); // "<folder>" stands for the program folder
        QTest::addColumn<int>("toPort");
        QTest::addColumn<QString>("toBaud");
        QTest::addColumn<QString>("size");
        QTest::addColumn<QString>("message");
        const auto row = [](const QByteArray& name, const QByteArray& port, const QByteArray& baud,
                            int toPort, const QByteArray& toBaud, const char* file = "",
                            const char* size = "0Bytes ", const char* message = "") {
            QTest::newRow(name.constData())
                << port << baud << QString::fromUtf8(file) << toPort << QString::fromUtf8(toBaud)
                << QString::fromUtf8(size) << QString::fromUtf8(message);
        };
        // "stored|read": unchanged; not a multiple of 1200; out of range; no plain whole number.
        for (const char* rates :
             {"2400|2400",   "4800|4800",     "9600|9600",       "14400|14400",   "19200|19200",
              "38400|38400", "57600|57600",   "115200|115200",   "300|9600",      "600|9600",
              "56000|9600",  "0|1200",        "-2400|1200",      "230400|115200", "|9600",
              "fast|9600",   "9600baud|9600", "4294967296|9600", "9600.4|9600",   "1.2E3|9600"}) {
            const QList<QByteArray> rate = QByteArray(rates).split('|');
            row("rate '" + rate[0] + "' gives " + rate[1], "3", rate[0], 3, rate[1]);
        }
        // Outside 1..4, halves to even, blanks, a name, hexadecimal.
        for (const char* ports : {"0|2", "5|2", "-1|2", "1|1", "4|4", "2.5|2", "3.5|4", "3 |3",
                                  "COM3|2", " 3 |3", "&H4|4"}) {
            const QList<QByteArray> port = QByteArray(ports).split('|');
            row("port '" + port[0] + "' gives " + port[1], port[0], "19200", port[1].toInt(),
                "19200");
        }
        row("port 70000 overflows, later keys unread", "70000", "19200", 2, "9600",
            "<folder>/image.bin", "0Bytes ",
            "File Error|16|Error Reading Corvid.ini file\r\rError #  6 - Overflow");
        row("no settings file", "", "", 2, "9600");
        row("existing file", "2", "9600", 2, "9600", "<folder>/image.bin", "300Bytes ");
        row("missing file", "2", "9600", 2, "9600", "<folder>/gone.bin");
        row("hidden file", "2", "9600", 2, "9600", "<folder>/.image.bin");
        row("a folder as file", "2", "9600", 2, "9600", "<folder>");
    }

    // Each start is closed and started again: what it wrote is read back the same, silently.
    void storedConfigurationRead() {
        QFETCH(QByteArray, port);
        QFETCH(QByteArray, baud);
        QFETCH(QString, file);
        QFETCH(int, toPort);
        QFETCH(QString, toBaud);
        QFETCH(QString, size);
        QFETCH(QString, message);
        MessageRecorder messages;
        TestProgram program;
        program.makeFile(u"image.bin"_s, QByteArray(300, 'x'));
        program.makeFile(u".image.bin"_s, QByteArray(10, 'x'));
        file.replace(u"<folder>"_s, program.folder());
        if (!port.isEmpty())
            program.writeSettings(settingsWith(port, baud, file.toUtf8()));
        frmMain* form = program.start();
        QCOMPARE(messages.count(), message.isEmpty() ? 0 : 1);
        if (!message.isEmpty()) {
            QCOMPARE(said(messages), message);
            file.clear();
        }
        QCOMPARE(int(Variables::intCommPort), toPort);
        QCOMPARE(int(form->SaxComm1->PortNumber()), toPort);
        QCOMPARE(Variables::strBaudRate, toBaud);
        QCOMPARE(form->SaxComm1->LineSettings(), toBaud + u",n,8,1"_s);
        QCOMPARE(Variables::strProgramFile, file);
        const QString shown = (file.isEmpty() ? u"No File Selected"_s : file) + u'|' + size +
                              u"| COM%1  (%2 - 8N1 ) "_s.arg(toPort).arg(toBaud);
        QCOMPARE(panels(form), shown);
        QVERIFY(!form->SaxComm1->PortIsOpen() && !form->cmdUpload->isEnabled());
        QVERIFY(form->cmdConnect->isEnabled() && form->cmdVerify->isEnabled());
        QCOMPARE(form->txtVersionInfo->text(), u"Ver 1.23 - 09/05/06"_s);
        QCOMPARE(Variables::strAppPath, program.folder() + u'/');
        // The geometry is applied before the port is read, whatever happens to the port.
        if (!port.isEmpty())
            QCOMPARE(QSizeF(form->Width(), form->Height()), QSizeF(8000, 5000));
        program.close();
        QCOMPARE(stored(program, {u"Serial Port"_s, u"Baud Rate"_s, u"Last File"_s}),
                 u"%1|%2|"_s.arg(toPort).arg(toBaud) + file);
        TestProgram::resetSharedState();
        QCOMPARE(panels(program.start()), shown);
        QCOMPARE(messages.count(), message.isEmpty() ? 0 : 1);
    }

    void windowsFileReadAndWrittenBack() {
        MessageRecorder messages;
        TestProgram program;
        const QString image = program.makeFile(u"board.h86"_s, "ab");
        program.writeSettings("; written on a Windows machine\r\n[screen info]\r\n"
                              "MAIN LEFT = 750\r\nmain top= 600\r\n"
                              "Main width =10005\r\nMAIN Height=7005\r\n\r\n[Configuration]\r\n"
                              "serial port = 4 \r\nBAUD RATE=115200\r\nlast file=" +
                              image.toUtf8() + "\r\n[Tools]\r\nEditor=notepad.exe\r\n");
        frmMain* form = program.start();
        QCOMPARE(form->Left(), 750.0);
        QCOMPARE(form->Width(), 10005.0);
        QCOMPARE(panels(form), image + u"|2Bytes | COM4  (115200 - 8N1 ) "_s);

        // A minimised window writes the geometry it had; the port in use now is written.
        form->setWindowState(Qt::WindowMinimized);
        QCOMPARE(form->WindowState(), frmMain::vbMinimized);
        Variables::intCommPort = 1;
        program.close();
        QCOMPARE(messages.count(), 0);
        QCOMPARE(stored(program, {u"Main Width"_s, u"Main Left"_s, u"Serial Port"_s, u"Baud Rate"_s,
                                  u"Last File"_s}),
                 u"10005|750|1|115200|"_s + image);
        const QByteArray written = program.readSettings();
        QVERIFY(written.startsWith("; written on a Windows machine\r\n[screen info]\r\n"));
        QVERIFY(written.contains("[Tools]\r\nEditor=notepad.exe\r\n"));
        QVERIFY(!written.contains("\n\n") && written.count('\n') == written.count("\r\n"));
    }

    void windowStaysWithinReach_data() {
        QTest::addColumn<QByteArray>("geometry");
        QTest::addColumn<bool>("kept");    // the stored position is kept exactly
        QTest::addColumn<QSize>("pixels"); // the outer size; empty: the primary screen's
        QTest::newRow("on the screen") << "1500 1200 9000 6000"_ba << true << QSize(600, 400);
        QTest::newRow("partly left of it") << "-3000 1500 9000 6000"_ba << true << QSize(600, 400);
        QTest::newRow("monitor gone") << "-5000 -5000 9000 6000"_ba << false << QSize(600, 400);
        QTest::newRow("-5000 everywhere")
            << "-5000 -5000 -5000 -5000"_ba << false << QSize(333, 200);
        QTest::newRow("99999999 everywhere")
            << "99999999 99999999 99999999 99999999"_ba << false << QSize();
        QTest::newRow("left 1e30") << "1e30 1200 9000 6000"_ba << false << QSize(600, 400);
        QTest::newRow("below the screen") << "1500 99999 9000 6000"_ba << false << QSize(600, 400);
        QTest::newRow("huge size on the screen") << "0 0 1e30 99999999"_ba << true << QSize();
    }

    void windowStaysWithinReach() {
        QFETCH(QByteArray, geometry);
        QFETCH(bool, kept);
        QFETCH(QSize, pixels);
        MessageRecorder messages;
        TestProgram program;
        program.writeSettings(settingsWith("2", "9600", "", geometry));
        const QRect outer = program.start()->frameGeometry();
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        QCOMPARE(outer.size(), pixels.isEmpty() ? screen.size() : pixels);
        QVERIFY2(kept || screen.contains(outer), qPrintable(QDebug::toString(outer)));
        program.close();
        QCOMPARE(messages.count(), 0);

        // What is written is where the window was: exactly the stored position where it was kept.
        const QList<QByteArray> edges = geometry.split(' ');
        const QStringList keys{u"Main Left"_s, u"Main Top"_s, u"Main Width"_s, u"Main Height"_s};
        const QList<int> real{outer.x(), outer.y(), outer.width(), outer.height()};
        for (int i = 0; i < 4; ++i) {
            const double value = stored(program, {keys[i]}).toDouble();
            if (kept && (i < 2 || !pixels.isEmpty()))
                QCOMPARE(value, edges[i].toDouble());
            QCOMPARE(i % 2 ? Twips::toPixelsY(value) : Twips::toPixelsX(value), real[i]);
        }
    }

    void readOnlySettingsFileReportedAtExit() {
        MessageRecorder messages;
        TestProgram program;
        const QByteArray original = settingsWith("2", "9600", "");
        program.writeSettings(original);
        QFile::setPermissions(program.settingsPath(), QFile::ReadOwner | QFile::ReadGroup);
        QPointer<frmMain> form = program.start();
        QCOMPARE(messages.count(), 0);
        program.close();
        QCOMPARE(messages.count(), 1);
        QVERIFY(said(messages).startsWith(
            u"File Error|16|Error Writinging Corvid.ini file\r\rError # "_s));
        QVERIFY(!form->isVisible());
        QCOMPARE(program.readSettings(), original);
    }

    void initializationErrorLeavesDesignedState() {
        MessageRecorder messages;
        TestProgram program;
        // A sparse file longer than the 32-bit size the program counts in.
        QFile huge(program.filePath(u"huge.bin"_s));
        QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(qint64(3) << 30));
        program.writeSettings(settingsWith("2", "9600", huge.fileName().toUtf8()));
        frmMain* form = program.start();
        QCOMPARE(messages.count(), 1);
        QVERIFY(said(messages).startsWith(u"Initialization Error|16|Brisa Infineon Programmer "
                                          "Initialization Error\r\rError #  6 - Overflow"_s));
        QVERIFY(form->isVisible() && form->cmdUpload->isEnabled());
        QCOMPARE(form->txtVersionInfo->text(), u"Ver 1.10 - 04/01/2002"_s);
        QCOMPARE(panels(form), u"Filename|0|Port[NC]"_s);
    }

    void shutdownUnloadsOtherWindowsNewestFirst() {
        MessageRecorder messages;
        TestProgram program;
        frmMain* form = program.start();
        QStringList destroyed;
        for (QWidget* window : std::initializer_list<QWidget*>{new frmStatus, new frmVerify})
            connect(window, &QObject::destroyed, this,
                    [&destroyed, name = window->objectName()] { destroyed << name; });
        QCOMPARE(Forms::Count(), 3);
        QCOMPARE(Forms::At(0), form);
        program.close();
        QCOMPARE(Forms::Count(), 0);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(destroyed, (QStringList{u"frmVerify"_s, u"frmStatus"_s}));
    }
};

QTEST_MAIN(tst_Startup)
#include "tst_startup.moc"
