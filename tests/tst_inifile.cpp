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

    void writeChangesOnlyItsValue_data() {
        QTest::addColumn<QByteArray>("original");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray crlf = "\xEF\xBB\xBF; Corvid\r\n[Screen Info]\r\n  Main TOP = 900 \r\n"
                                "Unknown=x\r\n\r\n[Other]\r\n";
        QTest::newRow("existing key keeps its spelling")
            << crlf << u"SCREEN INFO"_s << u"main top"_s
            << QByteArray("\xEF\xBB\xBF; Corvid\r\n[Screen Info]\r\nMain TOP=\xC3\xA9\r\n"
                          "Unknown=x\r\n\r\n[Other]\r\n");
        QTest::newRow("missing key after last line of section")
            << crlf << u"screen info"_s << u"Main Left"_s
            << QByteArray("\xEF\xBB\xBF; Corvid\r\n[Screen Info]\r\n  Main TOP = 900 \r\n"
                          "Unknown=x\r\nMain Left=\xC3\xA9\r\n\r\n[Other]\r\n");
        QTest::newRow("missing section, CRLF")
            << crlf << u"New"_s << u"k"_s << crlf + "[New]\r\nk=\xC3\xA9\r\n";
        QTest::newRow("missing key, LF, no last line ending")
            << QByteArray("[A]\nx=1") << u"A"_s << u"k"_s << QByteArray("[A]\nx=1\nk=\xC3\xA9\n");
        QTest::newRow("key starting with U+FEFF")
            << QByteArray("[A]\n\xEF\xBB\xBFk=1\n") << u"A"_s << u"\uFEFFk"_s
            << QByteArray("[A]\n\xEF\xBB\xBFk=\xC3\xA9\n");
        QTest::newRow("missing file")
            << QByteArray() << u"A"_s << u"k"_s << QByteArray("[A]\nk=\xC3\xA9\n");
    }

    void writeChangesOnlyItsValue() {
        QFETCH(QByteArray, original);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QByteArray, expected);
        QFile::remove(m_path);
        if (!original.isNull())
            writeFile(m_path, original);
        const QFileDevice::Permissions permissions = QFile::permissions(m_path);
        IniFile ini = iniFile(m_path, section, key);
        ini.setValue(u"\u00E9"_s);
        QCOMPARE(readFile(m_path), expected);
        QCOMPARE(ini.value(), u"\u00E9"_s);
        if (!original.isNull())
            QCOMPARE(QFile::permissions(m_path), permissions);
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

    void refusesLineBreaksAndEmptyNames_data() {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::newRow("LF in value") << u"S"_s << u"k"_s << u"a\nb=c"_s;
        QTest::newRow("CR in value") << u"S"_s << u"k"_s << u"a\rb"_s;
        QTest::newRow("NUL in value") << u"S"_s << u"k"_s << u"a\0b"_s;
        QTest::newRow("LF in section") << u"S\n[T]"_s << u"k"_s << u"v"_s;
        QTest::newRow("blank section") << u" \t"_s << u"k"_s << u"v"_s;
        QTest::newRow("empty key") << u"S"_s << QString() << u"v"_s;
        QTest::newRow("= in key") << u"S"_s << u"a=b"_s << u"v"_s;
    }

    void refusesLineBreaksAndEmptyNames() {
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, value);
        writeFile(m_path, "[S]\nk=1\n");
        QCOMPARE(errorNumberOf([&] { iniFile(m_path, section, key).setValue(value); }),
                 ErrorNumber::InvalidPropertyValue);
        QCOMPARE(readFile(m_path), QByteArray("[S]\nk=1\n"));
    }

    void writeWhereAllowed_data() {
        QTest::addColumn<int>("folderMode");
        QTest::addColumn<int>("fileMode");
        QTest::addColumn<int>("error");
        QTest::addColumn<bool>("replaced"); // a new file took the old one's place
        QTest::newRow("writable folder: replaced") << 0777 << 0666 << 0 << true;
        QTest::newRow("read-only folder: in place") << 0555 << 0666 << 0 << false;
        QTest::newRow("read-only file") << 0777 << 0444 << EACCES << false;
        QTest::newRow("both read-only") << 0555 << 0444 << EACCES << false;
    }

    void writeWhereAllowed() {
        QFETCH(int, folderMode);
        QFETCH(int, fileMode);
        QFETCH(int, error);
        QFETCH(bool, replaced);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"Corvid.ini"_s);
        const QByteArray original = "[A]\r\nx=1\r\n";
        writeFile(path, original);
        QVERIFY(::chmod(QFile::encodeName(path).constData(), mode_t(fileMode)) == 0);
        QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), mode_t(folderMode)) == 0);
        const ino_t before = inode(path);
        // Root may write anywhere; the write is made as an ordinary user would make it.
        const int previous = ::geteuid() == 0 ? ::setfsuid(65534) : -1;
        const int thrown = errorNumberOf([&] { iniFile(path, u"A"_s, u"x"_s).setValue(u"2"_s); });
        if (previous >= 0)
            ::setfsuid(uid_t(previous));
        ::chmod(QFile::encodeName(dir.path()).constData(), 0700);
        QCOMPARE(thrown, error);
        QCOMPARE(readFile(path), error ? original : QByteArray("[A]\r\nx=2\r\n"));
        QCOMPARE(inode(path) != before, replaced);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{u"Corvid.ini"_s});
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
