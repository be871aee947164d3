#include "app/frmMain.h"
#include "foundation/SettingsFolder.h"
#include "serial/PortNames.h"
#include "support/PtyPair.h"
#include "support/TestProgram.h"

#include <QtTest>
#include <QtWidgets>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

// Where Corvid.ini and the COMn links are kept: beside a portable copy, per user when installed.
class tst_SettingsFolder : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_home;
    QString perUser() const { return m_home.filePath(u"corvid"_s); }

private slots:
    void init() { qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.path())); }
    void cleanup() { qunsetenv("XDG_CONFIG_HOME"); }

    void chosenFolder() {
        QTemporaryDir temp;
        const auto made = [&](const QString& name, mode_t mode) {
            const QString folder = temp.filePath(name);
            return QDir().mkdir(folder) && ::chmod(QFile::encodeName(folder).constData(), mode) == 0
                       ? folder
                       : QString();
        };
        const QString link = temp.filePath(u"link"_s);
        QVERIFY(QFile::link(u"/usr/bin"_s, link));
        QCOMPARE(SettingsFolder::forProgram(made(u"writable"_s, 0755)),
                 temp.filePath(u"writable"_s));
        // Run as root here, the system folders and the read-only one are still not written.
        for (const QString& folder :
             {made(u"read-only"_s, 0555), u"/usr/bin"_s, link, temp.filePath(u"missing"_s)})
            QCOMPARE(SettingsFolder::forProgram(folder), perUser());
    }

    // An installed copy (read-only folder): both programs use the per-user file and links.
    void windowAndFlashAgree() {
        TestProgram program;
        const QString flash = program.filePath(u"corvid-flash"_s);
        QVERIFY(QFile::copy(QStringLiteral(CORVID_FLASH_PATH), flash));
        QVERIFY(::chmod(QFile::encodeName(program.folder()).constData(), 0555) == 0);
        const auto writable =
            qScopeGuard([&] { ::chmod(QFile::encodeName(program.folder()).constData(), 0755); });
        const QString settings = QDir(perUser()).filePath(u"Corvid.ini"_s);

        PtyPair pty;
        QProcess map;
        map.start(flash, {u"--map"_s, u"COM2"_s, pty.slavePath()});
        QVERIFY(map.waitForFinished(30000));
        QCOMPARE(map.exitCode(), 0);
        QCOMPARE(QFileInfo(QDir(perUser()).filePath(u"COM2"_s)).symLinkTarget(), pty.slavePath());
        frmMain* form = program.start();
        QCOMPARE(form->session().settingsFilePath(), settings);
        QTest::mouseClick(form->cmdConnect, Qt::LeftButton);
        QTRY_COMPARE(pty.received(), QByteArray("\r"));
        program.close();
        QVERIFY(fileContent(settings).contains("[CONFIGURATION]"));
        // corvid-flash takes the rate from this file, by the window's rule: 230400 is too fast.
        QFile ini(settings);
        QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                ini.write("[CONFIGURATION]\nBaud Rate=230400\n"));
        ini.close();
        QProcess dry;
        dry.start(flash, {u"--json"_s, u"-i"_s, flash, u"/dev/null"_s});
        QVERIFY(dry.waitForFinished(30000));
        QVERIFY(dry.readAllStandardOutput().contains("\"baud\":115200,"));

        QCOMPARE(QDir(program.folder()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList{u"corvid-flash"_s});
    }

    void mapMakesOrRefusesTheLink_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("device");  // "<file>" is a plain file
        QTest::addColumn<QString>("before");  // COM3 before: a link's target, "<file>", or none
        QTest::addColumn<QString>("outcome"); // the link's target, or the start of the refusal
        QTest::newRow("new link, any case")
            << u"com3"_s << u"/dev/null"_s << QString() << u"/dev/null"_s;
        QTest::newRow("link replaced")
            << u"COM3"_s << u"/dev/null"_s << u"/dev/zero"_s << u"/dev/null"_s;
        QTest::newRow("COM1000") << u"COM1000"_s << u"/dev/null"_s << QString()
                                 << u"\"COM1000\" is not a port name: error 22 - "_s;
        QTest::newRow("missing device")
            << u"COM3"_s << u"/dev/corvid-none"_s << u"/dev/zero"_s
            << u"/dev/corvid-none could not be found: error 2 - No such file or directory; plug"_s;
        QTest::newRow("not a device") << u"COM3"_s << u"<file>"_s << QString()
                                      << u"<file> is not a serial device: error 25 - "_s;
        QTest::newRow("COM3 is a file") << u"COM3"_s << u"/dev/null"_s << u"<file>"_s
                                        << u"<folder>/COM3 is there and is not a link: error 17"_s;
    }

    void mapMakesOrRefusesTheLink() {
        QFETCH(QString, name);
        QFETCH(QString, device);
        QFETCH(QString, before);
        QFETCH(QString, outcome);
        QTemporaryDir temp;
        const QString folder = temp.filePath(u"settings"_s); // made by the first mapping
        const QString link = QDir(folder).filePath(u"COM3"_s);
        const QString file = temp.filePath(u"image.bin"_s);
        QFile(file).open(QIODevice::WriteOnly);
        device.replace(u"<file>"_s, file);
        outcome.replace(u"<file>"_s, file).replace(u"<folder>"_s, folder);
        if (!before.isEmpty()) {
            QVERIFY(QDir().mkpath(folder));
            QVERIFY(before == u"<file>"_s ? QFile::copy(file, link) : QFile::link(before, link));
        }
        const QFileInfo old(link);
        QString error;
        const QString made = PortNames::mapPort(name, device, folder, error);
        if (outcome.startsWith(u'/') && !outcome.contains(u' ')) {
            QCOMPARE(made + u'|' + error, link + u'|');
            QCOMPARE(QFileInfo(link).symLinkTarget(), outcome);
            QCOMPARE(QDir(folder).entryList(QDir::System | QDir::AllEntries | QDir::NoDotAndDotDot),
                     QStringList{u"COM3"_s}); // no half-made link left beside it
        } else {
            QVERIFY2(made.isEmpty() && error.startsWith(outcome), qPrintable(error));
            QCOMPARE(QFileInfo(link).symLinkTarget(), old.symLinkTarget());
        }
    }
};

QTEST_MAIN(tst_SettingsFolder)
#include "tst_settingsfolder.moc"
