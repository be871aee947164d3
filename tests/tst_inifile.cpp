#include "foundation/IniFile.h"
#include "foundation/RunTimeError.h"
#include "support/TestProgram.h"

#include <QTemporaryDir>
#include <QTest>

#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
}

ino_t inode(const QString& path) {
    struct stat status {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_ino : 0;
}

// The number of the RunTimeError thrown by a write as an ordinary user (root may write anywhere).
int write(const QString& path, const QString& section, const QString& key, const auto& value) {
    IniFile ini;
    ini.setFileName(path);
    ini.setSection(section);
    ini.setKey(key);
    const auto previous = uid_t(::setfsuid(::geteuid() == 0 ? 65534 : ::geteuid()));
    int thrown = 0;
    try {
        ini.setValue(value);
    } catch (const RunTimeError& error) {
        thrown = error.number();
    }
    ::setfsuid(previous);
    return thrown;
}

} // namespace

class tst_IniFile : public QObject {
    Q_OBJECT
private slots:
    void readsWindowsFile_data() {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");
        QTest::newRow("other case, blanks, tabs") << u"screen info"_s << u"MAIN TOP"_s << u"900"_s;
        QTest::newRow("double quotes") << u"Screen Info"_s << u"Main Width"_s << u"11400"_s;
        QTest::newRow("single quotes") << u"Screen Info"_s << u"Main Height"_s << u"8235"_s;
        QTest::newRow("unmatched quotes kept") << u"Screen Info"_s << u"Caption"_s << u"\"odd'"_s;
        QTest::newRow("first duplicate key") << u"Configuration"_s << u"Baud Rate"_s << u"9600"_s;
        QTest::newRow("first duplicate section") << u"Screen Info"_s << u"Later"_s << QString();
        QTest::newRow("commented key") << u"Screen Info"_s << u"Hidden"_s << QString();
        QTest::newRow("Latin-1 value") << u"Configuration"_s << u"Owner"_s << u"J\u00FCrgen"_s;
        QTest::newRow("U+FEFF leading a value") << u"Configuration"_s << u"Zero"_s << u"\uFEFFx"_s;
        QTest::newRow("U+FEFF leading a key") << u"Configuration"_s << u"\uFEFFKey"_s << u"1"_s;
        QTest::newRow("U+FEFF is no blank") << u"Configuration"_s << u"Key"_s << QString();
        QTest::newRow("last line, lone CR") << u"Configuration"_s << u"Last"_s << u"a=b"_s;
    }

    void readsWindowsFile() {
        QFETCH(QString, section);
        QFETCH(QString, key);
        QTemporaryDir dir;
        IniFile ini;
        ini.setFileName(dir.filePath(u"Corvid.ini"_s));
        writeFile(ini.fileName(),
                  "\xEF\xBB\xBF[SCREEN INFO]\r\n  main top   =\t900 \t\r\n"
                  "Main Width=\"11400\"\r\nMain Height='8235'\r\nCaption=\"odd'\r\n"
                  " ;Hidden=1\r\n\r\n[Screen Info]\r\nLater=1\r\n[ configuration ]\r\n"
                  "Baud Rate=9600\r\nBAUD RATE=19200\r\nOwner=J\xFCrgen\r\n"
                  "Zero=\xEF\xBB\xBFx\r\n\xEF\xBB\xBFKey=1\r\nLast=a=b\r");
        ini.setSection(section);
        ini.setKey(key);
        QTEST(ini.value(), "expected");
    }

    // A write changes the addressed value and nothing else, in the file's line endings; a refused
    // one changes nothing. The file is replaced where the folder allows it, else written in place.
    void writesOneValue() {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"Corvid.ini"_s);
        writeFile(path, "\xEF\xBB\xBF; Corvid\r\n[Screen Info]\r\n  Main TOP = 900 \r\n"
                        "Unknown=x\r\n\r\n[Other]\r\n\xEF\xBB\xBFk=1");
        QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7777)));
        QCOMPARE(write(path, u"SCREEN INFO"_s, u"main top"_s, u"\u00E9"_s), 0);
        QCOMPARE(write(path, u"screen info"_s, u"Main Left"_s, 1.0f / 3), 0);
        QCOMPARE(write(path, u"Other"_s, u"\uFEFFk"_s, qint16(-32768)), 0);
        // A new file takes the old one's place (their inodes differ while both exist).
        const ino_t original = inode(path);
        QCOMPARE(write(path, u"New"_s, u"k"_s, 0.123817444f), 0);
        const ino_t replaced = inode(path);
        QVERIFY(replaced != original);
        for (const QString& refused :
             {u"S|k|\n"_s, u"S|k|\0"_s, u"\r|k|v"_s, u" |k|v"_s, u"S||v"_s, u"S|=|v"_s}) {
            const QStringList entry = refused.split(u'|');
            QCOMPARE(write(path, entry[0], entry[1], entry[2]), 380);
        }
        QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x5555)));
        QCOMPARE(write(path, u"New"_s, u"n"_s, 3e9f), 0);
        QCOMPARE(inode(path), replaced);
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions(0x4444)));
        QCOMPARE(write(path, u"New"_s, u"n"_s, u"v"_s), EACCES);
        QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7000)));
        QCOMPARE(fileContent(path),
                 "\xEF\xBB\xBF; Corvid\r\n[Screen Info]\r\nMain TOP=\xC3\xA9\r\n"
                 "Unknown=x\r\nMain Left=0.33333334\r\n\r\n[Other]\r\n"
                 "\xEF\xBB\xBFk=-32768\r\n[New]\r\nk=0.123817444\r\nn=3000000000\r\n");
    }
};

QTEST_GUILESS_MAIN(tst_IniFile)
#include "tst_inifile.moc"
