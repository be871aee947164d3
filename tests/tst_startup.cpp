#include "app/frmMain.h"
#include "foundation/StatusBar.h"
#include "foundation/Twips.h"
#include "serial/SaxComm.h"
#include "support/TestProgram.h"
#include "upload/frmStatus.h"
#include "verify/frmVerify.h"

#include <QtTest>
#include <QtWidgets>

using namespace Qt::StringLiterals;

namespace {

// A settings file holding "port|baud rate|last file" and the geometry "left top width height".
QByteArray settingsWith(const QString& configuration,
                        const QByteArray& geometry = "600 450 8000 5000") {
    const QList<QByteArray> edges = geometry.split(' ');
    const QList<QByteArray> values = configuration.toUtf8().split('|');
    return "[SCREEN INFO]\nMain Left=" + edges[0] + "\nMain Top=" + edges[1] +
           "\nMain Width=" + edges[2] + "\nMain Height=" + edges[3] +
           "\n[CONFIGURATION]\nSerial Port=" + values[0] + "\nBaud Rate=" + values[1] +
           "\nLast File=" + values[2] + "\n";
}

// The status bar's file, size and port panels, split by '|'.
QString panels(const frmMain* form) {
    const auto text = [form](int index) { return form->StatusBar1->Panels(index)->text(); };
    return text(1) + u'|' + text(2) + u'|' + text(3);
}

// The last message box as "title|style|text"; empty when there was none.
QString said(const MessageRecorder& messages) {
    const MessageRecorder::Message last =
        messages.count() ? messages.last() : MessageRecorder::Message{};
    return messages.count() ? last.title + u'|' + QString::number(last.style) + u'|' + last.text
                            : QString();
}

} // namespace

// Start-up and shutdown of the main window against real settings files.
class tst_Startup : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { QVERIFY(noWindowLeftOpen()); }

    void storedConfigurationRead_data() {
        QTest::addColumn<QString>("stored"); // port|baud rate|last file; empty: no settings file
        QTest::addColumn<QString>("read");   // port|baud rate|file size[|the message it gave]
        QTest::newRow("no settings file") << QString() << u"2|9600|0"_s;
        QTest::newRow("bounds, a file") << u"1|115200|<dir>/a.bin"_s << u"1|115200|300"_s;
        QTest::newRow("lowered, no file") << u"4|230400|<dir>/gone.bin"_s << u"4|115200|0"_s;
        QTest::newRow("not a multiple, hidden") << u"0|300|<dir>/.a.bin"_s << u"2|9600|0"_s;
        QTest::newRow("raised, a folder") << u"5|-2400|<dir>"_s << u"2|1200|0"_s;
        QTest::newRow("halves to even, not whole") << u"2.5|9600.4|"_s << u"2|9600|0"_s;
        QTest::newRow("70000 overflows, later keys unread")
            << u"70000|19200|<dir>/a.bin"_s
            << u"2|9600|0|File Error|16|Error Reading Corvid.ini file\r\rError #  6 - Overflow"_s;
    }

    // What each start writes at exit holds what it read.
    void storedConfigurationRead() {
        QFETCH(QString, stored);
        QFETCH(QString, read);
        MessageRecorder messages;
        TestProgram program;
        program.makeFile(u"a.bin"_s, QByteArray(300, 'x'));
        program.makeFile(u".a.bin"_s, "x");
        stored.replace(u"<dir>"_s, program.folder());
        if (!stored.isEmpty())
            program.writeSettings(settingsWith(stored));
        frmMain* form = program.start();
        QCOMPARE(said(messages), read.section(u'|', 3));
        const QStringList got = read.split(u'|');
        const QString file = got.size() == 3 ? stored.section(u'|', 2) : QString();
        const QString shown = (file.isEmpty() ? u"No File Selected"_s : file) + u'|' + got[2] +
                              u"Bytes | COM%1  (%2 - 8N1 ) "_s.arg(got[0], got[1]);
        QCOMPARE(panels(form), shown);
        QCOMPARE(QString::number(form->SaxComm1->PortNumber()), got[0]);
        QCOMPARE(form->SaxComm1->LineSettings(), got[1] + u",n,8,1"_s);
        QVERIFY(!form->SaxComm1->PortIsOpen() && !form->cmdUpload->isEnabled());
        QCOMPARE(form->txtVersionInfo->text(), u"Ver 1.23 - 09/05/06"_s);
        QVERIFY(stored.isEmpty() || QSizeF(form->Width(), form->Height()) == QSizeF(8000, 5000));
        program.close();
        QCOMPARE(program.readSettings().split('[').value(2),
                 settingsWith(got[0] + u'|' + got[1] + u'|' + file).split('[').value(2));
    }

    void windowStaysWithinReach_data() {
        QTest::addColumn<QByteArray>("geometry");
        QTest::addColumn<bool>("kept");    // the stored position is kept exactly
        QTest::addColumn<QSize>("pixels"); // the outer size; empty: the primary screen's
        QTest::newRow("partly left") << "-3000 1500 9000 6000"_ba << true << QSize(600, 400);
        QTest::newRow("monitor gone") << "-5000 -5000 9000 6000"_ba << false << QSize(600, 400);
        QTest::newRow("99999999") << "99999999 99999999 99999999 99999999"_ba << false << QSize();
        QTest::newRow("huge size on the screen") << "0 0 1e30 99999999"_ba << true << QSize();
    }

    // What is written at exit is where the window was: exactly the stored place where it was kept.
    void windowStaysWithinReach() {
        QFETCH(QByteArray, geometry);
        QFETCH(bool, kept);
        QFETCH(QSize, pixels);
        MessageRecorder messages;
        TestProgram program;
        program.writeSettings(settingsWith(u"2|9600|"_s, geometry));
        const QRect outer = program.start()->frameGeometry();
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        QCOMPARE(outer.size(), pixels.isEmpty() ? screen.size() : pixels);
        QVERIFY(kept || screen.contains(outer));
        program.close();
        const QByteArrayList where{QByteArray::number(outer.x() * Twips::perPixelX()),
                                   QByteArray::number(outer.y() * Twips::perPixelY()),
                                   QByteArray::number(outer.width() * Twips::perPixelX()),
                                   QByteArray::number(outer.height() * Twips::perPixelY())};
        QCOMPARE(
            program.readSettings(),
            settingsWith(u"2|9600|"_s, kept && !pixels.isEmpty() ? geometry : where.join(' ')));
    }

    // A read-only settings file is reported at exit and left as it was; the other windows are
    // unloaded all the same, the newest first.
    void shutdownWithReadOnlySettingsFile() {
        MessageRecorder messages;
        TestProgram program;
        const QByteArray original = settingsWith(u"2|9600|"_s);
        program.writeSettings(original);
        QVERIFY(QFile::setPermissions(program.settingsPath(), QFile::ReadOwner | QFile::ReadGroup));
        QPointer<frmMain> form = program.start();
        QStringList destroyed;
        for (QWidget* window : std::initializer_list<QWidget*>{new frmStatus, new frmVerify})
            connect(window, &QObject::destroyed, this,
                    [&destroyed, name = window->objectName()] { destroyed << name; });
        program.close();
        QVERIFY(said(messages).startsWith(
            u"File Error|16|Error Writinging Corvid.ini file\r\rError # "_s));
        QVERIFY(!form->isVisible());
        QCOMPARE(program.readSettings(), original);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(destroyed, (QStringList{u"frmVerify"_s, u"frmStatus"_s}));
    }

    void initializationErrorLeavesDesignedState() {
        MessageRecorder messages;
        TestProgram program;
        // A sparse file longer than the 32-bit size the program counts in.
        QFile huge(program.filePath(u"huge.bin"_s));
        QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(qint64(3) << 30));
        program.writeSettings(settingsWith(u"2|9600|"_s + huge.fileName()));
        frmMain* form = program.start();
        QVERIFY(said(messages).startsWith(u"Initialization Error|16|Brisa Infineon Programmer "
                                          "Initialization Error\r\rError #  6 - Overflow"_s));
        QVERIFY(form->isVisible() && form->cmdUpload->isEnabled());
        QCOMPARE(form->txtVersionInfo->text(), u"Ver 1.10 - 04/01/2002"_s);
        QCOMPARE(panels(form), u"Filename|0|Port[NC]"_s);
    }
};

QTEST_MAIN(tst_Startup)
#include "tst_startup.moc"
