#include "foundation/IniFile.h"
#include "foundation/RunTimeError.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>

#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The number of the RunTimeError that the call throws, 0 when it throws none.
template <typename Call>
int errorNumberOf(Call call) {
    try {
        call();
    } catch (const RunTimeError& error) {
        return error.number();
    }
    return 0;
}

ino_t inode(const QString& path) {
    struct stat status {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_ino : 0;
}

IniFile iniFile(const QString& path, const QString& section, const QString& key) {
    IniFile ini;
    ini.setFileName(path);
    ini.setSection(section);
    ini.setKey(key);
    return ini;
}

} // namespace

// Tests reading and writing settings files as the Windows profile functions do.
class tst_IniFile : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    const QString m_path = m_dir.filePath(u"Corvid.ini"_s);

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
        QTest::newRow("first duplicate section")
            << u"Screen Info"_s << u"Only Later"_s << QString();
        QTest::newRow("commented key") << u"Screen Info"_s << u"Hidden"_s << QString();
        QTest::newRow("Latin-1 value") << u"Configuration"_s << u"Owner"_s << u"J\u00FCrgen"_s;
        QTest::newRow("UTF-8 value") << u"Configuration"_s << u"City"_s << u"Z\u00FCrich"_s;
        QTest::newRow("U+FEFF leading a value")
            << u"Configuration"_s << u"Zero Width"_s << u"\uFEFFx"_s;
        QTest::newRow("U+FEFF leading a key")
            << u"Configuration"_s << u"\uFEFFNo Break"_s << u"1"_s;
        QTest::newRow("U+FEFF is no blank") << u"Configuration"_s << u"No Break"_s << QString();
        QTest::newRow("last line, lone CR") << u"Configuration"_s << u"Last"_s << u"a=b"_s;
    }

    void readsWindowsFile() {
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        writeFile(m_path, "\xEF\xBB\xBF[SCREEN INFO]\r\n  main top   =\t900 \t\r\n"
                          "Main Width=\"11400\"\r\nMain Height='8235'\r\nCaption=\"odd'\r\n"
                          " ;Hidden=1\r\n\r\n[Screen Info]\r\nOnly Later=1\r\n[ configuration ]\r\n"
                          "Baud Rate=9600\r\nBAUD RATE=19200\r\nOwner=J\xFCrgen\r\n"
                          "City=Z\xC3\xBCrich\r\nZero Width=\xEF\xBB\xBFx\r\n"
                          "\xEF\xBB\xBFNo Break=1\r\nLast=a=b\r");
        QCOMPARE(iniFile(m_path, section, key).value(), expected);
    }

    // A write changes the addressed value and nothing else; a refused one changes nothing. Where
    // the folder allows it, the file is replaced by a new one; where only the file is writable,
    // it is written in place. The write is made as an ordinary user, since root may write anywhere.
    void write_data() {
        QTest::addColumn<QByteArray>("original"); // null: no file
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<int>("error");
        QTest::addColumn<int>("folderMode");
        QTest::addColumn<int>("fileMode");
        const auto written = [](const char* name, const QByteArray& original,
                                const QString& section, const QString& key,
                                const QByteArray& expected) {
            QTest::newRow(name) << original << section << key << u"\u00E9"_s << expected << 0
                                << 0777 << 0666;
        };
        const QByteArray crlf = "\xEF\xBB\xBF; Corvid\r\n[Screen Info]\r\n  Main TOP = 900 \r\n"
                                "Unknown=x\r\n\r\n[Other]\r\n";
        written("existing key keeps its spelling", crlf, u"SCREEN INFO"_s, u"main top"_s,
                "\xEF\xBB\xBF; Corvid\r\n[Screen Info]\r\nMain TOP=\xC3\xA9\r\n"
                "Unknown=x\r\n\r\n[Other]\r\n");
        written("missing key after last line of section", crlf, u"screen info"_s, u"Main Left"_s,
                "\xEF\xBB\xBF; Corvid\r\n[Screen Info]\r\n  Main TOP = 900 \r\n"
                "Unknown=x\r\nMain Left=\xC3\xA9\r\n\r\n[Other]\r\n");
        written("missing section, CRLF", crlf, u"New"_s, u"k"_s, crlf + "[New]\r\nk=\xC3\xA9\r\n");
        written("missing key, LF, no last line ending", "[A]\nx=1", u"A"_s, u"k"_s,
                "[A]\nx=1\nk=\xC3\xA9\n");
        written("key starting with U+FEFF", "[A]\n\xEF\xBB\xBFk=1\n", u"A"_s, u"\uFEFFk"_s,
                "[A]\n\xEF\xBB\xBFk=\xC3\xA9\n");
        written("missing file", QByteArray(), u"A"_s, u"k"_s, "[A]\nk=\xC3\xA9\n");
        const auto refused = [](const char* name, const QString& section, const QString& key,
                                const QString& value) {
            QTest::newRow(name) << "[S]\nk=1\n"_ba << section << key << value << "[S]\nk=1\n"_ba
                                << int(ErrorNumber::InvalidPropertyValue) << 0777 << 0666;
        };
        refused("LF in value", u"S"_s, u"k"_s, u"a\nb=c"_s);
        refused("CR in value", u"S"_s, u"k"_s, u"a\rb"_s);
        refused("NUL in value", u"S"_s, u"k"_s, u"a\0b"_s);
        refused("LF in section", u"S\n[T]"_s, u"k"_s, u"v"_s);
        refused("blank section", u" \t"_s, u"k"_s, u"v"_s);
        refused("empty key", u"S"_s, QString(), u"v"_s);
        refused("= in key", u"S"_s, u"a=b"_s, u"v"_s);
        const auto modes = [](const char* name, int folderMode, int fileMode, int error) {
            QTest::newRow(name) << "[A]\r\nx=1\r\n"_ba << u"A"_s << u"x"_s << u"2"_s
                                << (error ? "[A]\r\nx=1\r\n"_ba : "[A]\r\nx=2\r\n"_ba) << error
                                << folderMode << fileMode;
        };
        modes("read-only folder: in place", 0555, 0666, 0);
        modes("read-only file", 0777, 0444, EACCES);
        modes("both read-only", 0555, 0444, EACCES);
    }

    void write() {
        QFETCH(QByteArray, original);
        QFETCH(QString, value);
        QFETCH(int, error);
        QFETCH(int, folderMode);
        QFETCH(int, fileMode);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"Corvid.ini"_s);
        if (!original.isNull()) {
            writeFile(path, original);
            QVERIFY(::chmod(QFile::encodeName(path).constData(), mode_t(fileMode)) == 0);
        }
        QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), mode_t(folderMode)) == 0);
        const ino_t before = inode(path);
        const QFileDevice::Permissions permissions = QFile::permissions(path);
        QFETCH(QString, section);
        QFETCH(QString, key);
        IniFile ini = iniFile(path, section, key);
        const int previous = ::geteuid() == 0 ? ::setfsuid(65534) : -1;
        const int thrown = errorNumberOf([&] { ini.setValue(value); });
        if (previous >= 0)
            ::setfsuid(uid_t(previous));
        ::chmod(QFile::encodeName(dir.path()).constData(), 0700);
        QCOMPARE(thrown, error);
        QTEST(readFile(path), "expected");
        // A new file takes the old one's place only where the folder is writable.
        QCOMPARE(inode(path) != before, !error && folderMode == 0777);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{u"Corvid.ini"_s});
        if (!original.isNull())
            QCOMPARE(QFile::permissions(path), permissions);
        if (!error)
            QCOMPARE(ini.value(), value);
    }

    void numbersRoundTrip_data() {
        QTest::addColumn<float>("number");
        QTest::addColumn<bool>("asInt16");
        QTest::addColumn<QString>("text");
        QTest::newRow("whole") << 11400.0f << false << u"11400"_s;
        QTest::newRow("large whole") << 3e9f << false << u"3000000000"_s;
        QTest::newRow("half") << -1234.5f << false << u"-1234.5"_s;
        QTest::newRow("one third") << 1.0f / 3.0f << false << u"0.33333334"_s;
        QTest::newRow("nine digits") << 0.123817444f << false << u"0.123817444"_s;
        QTest::newRow("int16 minimum") << -32768.0f << true << u"-32768"_s;
    }

    void numbersRoundTrip() {
        QFETCH(float, number);
        QFETCH(bool, asInt16);
        QFETCH(QString, text);
        IniFile ini = iniFile(m_path, u"N"_s, u"n"_s);
        if (asInt16)
            ini.setValue(qint16(number));
        else
            ini.setValue(number);
        QCOMPARE(ini.value(), text);
        QCOMPARE(ini.value().toFloat(), number);
    }

    void survivesBadFiles() {
        // A long section name, so that the random bytes below cannot hold its header.
        IniFile ini = iniFile(m_path, u"Corvid settings section"_s, u"k"_s);
        const QByteArray huge(IniFile::MaximumFileSize + 1, '[');
        writeFile(m_path, huge);
        QCOMPARE(errorNumberOf([&] { ini.value(); }), EFBIG);
        QCOMPARE(errorNumberOf([&] { ini.setValue(u"v"_s); }), EFBIG);
        QCOMPARE(readFile(m_path), huge);

        QByteArray garbage(IniFile::MaximumFileSize / 2, '=');
        QRandomGenerator random(7);
        for (qsizetype i = 0; i < garbage.size() / 2; ++i)
            garbage[i] = char(random.bounded(256));
        writeFile(m_path, garbage);
        ini.setValue(u"v"_s);
        QCOMPARE(ini.value(), u"v"_s);
        QVERIFY(readFile(m_path).startsWith(garbage));
        QCOMPARE(errorNumberOf([&] { ini.setValue(QString(garbage.size() + 2, u'x')); }), EFBIG);

        ini.setFileName(m_dir.path());
        QCOMPARE(ini.value(), QString());
        QCOMPARE(errorNumberOf([&] { ini.setValue(u"v"_s); }), EISDIR);
        ini.setFileName(m_dir.filePath(u"missing/Corvid.ini"_s));
        QCOMPARE(errorNumberOf([&] { ini.setValue(u"v"_s); }), ENOENT);
    }
};

QTEST_GUILESS_MAIN(tst_IniFile)
#include "tst_inifile.moc"
