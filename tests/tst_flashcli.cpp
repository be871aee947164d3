#include "support/BoardProcess.h"
#include "support/FlashRun.h"
#include "support/PtyPair.h"
#include "support/TestProgram.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace FlashRun;

namespace {

const QString kBoard = QStringLiteral(CORVID_TARGET_PATH);

QString tmux(const QStringList& arguments) {
    QProcess process;
    process.start(u"tmux"_s, arguments);
    process.waitForFinished(10000);
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

} // namespace

// corvid-flash as a production line drives it: what it refuses, what it prints, what it
// records, how it stops.
class tst_FlashCli : public QObject {
    Q_OBJECT
private:
    TestProgram m_dir;

private slots:
    // Each is refused with status 2 and one line in words before any port is opened.
    void refusedBeforeAnyPort_data() {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QString>("message");
        const auto row = [](const char* name, const char* arguments, const char* message) {
            QTest::newRow(name) << QString::fromLatin1(arguments) << QString::fromLatin1(message);
        };
        row("device as image", "-i /dev/zero PORT", "is a device, not a regular file");
        row("folder as image", "-i DIR PORT", "is a folder, not a regular file");
        row("pipe as image", "-i FIFO PORT", "is a pipe, not a regular file");
        row("missing image", "-i DIR/none.bin PORT", "could not be opened: No such file");
        row("same port twice", "-i IMAGE PORT PORT", "are the same device");
        row("a link and its device", "-i IMAGE LINK PORT", "are the same device");
        row("unknown option", "--frobnicate -i IMAGE PORT",
            "Unknown option 'frobnicate'. (see --help)");
        row("tag without a value", "--tag lot -i IMAGE PORT", "--tag needs KEY=VALUE");
        row("log in a missing folder", "-i IMAGE --log DIR/none/flash.log PORT",
            "could not be opened for appending: No such file");
    }

    void refusedBeforeAnyPort() {
        QFETCH(QString, arguments);
        QFETCH(QString, message);
        PtyPair pty;
        QVERIFY(pty.isValid());
        const QString link = m_dir.filePath(u"port-link"_s);
        QFile::remove(link);
        QVERIFY(QFile::link(pty.slavePath(), link));
        const QString fifo = m_dir.filePath(u"image.fifo"_s);
        if (!QFileInfo::exists(fifo))
            QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        arguments.replace(u"DIR"_s, m_dir.folder())
            .replace(u"FIFO"_s, fifo)
            .replace(u"IMAGE"_s, m_dir.makeFile(u"refused.bin"_s, testBytes(16)))
            .replace(u"LINK"_s, link)
            .replace(u"PORT"_s, pty.slavePath());
        const Outcome run = FlashRun::run(QProcess::splitCommand(arguments));
        QCOMPARE(run.status, 2);
        QVERIFY(run.out.isEmpty());
        QCOMPARE(run.err.count(u'\n'), 1);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QVERIFY2(!run.err.contains(QRegularExpression(u"error \\d"_s)), qPrintable(run.err));
        // An opened port would have had the wake-up CR by now.
        QCoreApplication::processEvents();
        QVERIFY(pty.received().isEmpty());
    }

    void textOutput_data() {
        QTest::addColumn<QString>("boardOptions");
        QTest::addColumn<QString>("options");
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("present");
        QTest::addColumn<QStringList>("absent");
        QTest::newRow("verified") << QString() << QString() << 0
                                  << QStringList{u"1 of 1 board passed, 0 failed"_s}
                                  << QStringList{u"boards"_s, u"programmed"_s};
        QTest::newRow("program only")
            << QString() << u"--no-verify"_s << 0
            << QStringList{u" programmed  "_s, u"1 of 1 board programmed, not verified, 0 failed"_s}
            << QStringList{u"pass"_s};
        QTest::newRow("one byte differs")
            << u"--flip-byte 4100"_s << QString() << 1
            << QStringList{u"Byte[4101] Is "_s, u"1 byte differs, at offset 0x1004\n"_s,
                           u"\n    file  @0xffc: "_s, u"\n    flash @0xffc: "_s}
            << QStringList{u"offsets"_s, u"error "_s};
        QTest::newRow("shifted by noise")
            << u"--noise 7"_s << QString() << 1
            << QStringList{u"\n    the flash reads as the image shifted 7 bytes later"_s}
            << QStringList();
        QTest::newRow("quiet") << QString() << u"-q"_s << 0 << QStringList{u"1 of 1 board passed"_s}
                               << QStringList{u": wake"_s, u": upload"_s};
        QTest::newRow("verbose") << QString() << u"--verbose"_s << 0
                                 << QStringList{u": upload 8193 bytes (wake took "_s,
                                                u": phases: open "_s, u": the board printed "_s,
                                                u"Brisa C167"_s}
                                 << QStringList();
    }

    void textOutput() {
        QFETCH(QString, boardOptions);
        QFETCH(QString, options);
        QFETCH(int, status);
        QFETCH(QStringList, present);
        QFETCH(QStringList, absent);
        BoardProcess board(kBoard, kQuickBoard + QProcess::splitCommand(boardOptions));
        QVERIFY(!board.device().isEmpty());
        const Outcome run = FlashRun::run(
            kQuickRun + QProcess::splitCommand(options) +
            QStringList{u"-b"_s, u"921600"_s, u"-i"_s,
                        m_dir.makeFile(u"text.bin"_s, testBytes(8192)), board.device()});
        QCOMPARE(run.status, status);
        for (const QString& text : present)
            QVERIFY2(run.out.contains(text), qPrintable(text + u" not in:\n"_s + run.out));
        for (const QString& text : absent)
            QVERIFY2(!run.out.contains(text), qPrintable(text + u" in:\n"_s + run.out));
    }

    // Every record carries the run's identity and tags, starts on a line of its own in a log
    // that ended without one, and the summary lists the ports in the order given.
    void records() {
        BoardProcess silent(kBoard, kQuickBoard + QStringList{u"--silent"_s});
        BoardProcess good(kBoard, kQuickBoard);
        QVERIFY(!silent.device().isEmpty() && !good.device().isEmpty());
        const QString logPath = m_dir.makeFile(u"records.log"_s, "x");
        const Outcome run = FlashRun::run(
            kQuickRun + QStringList{u"-b"_s, u"921600"_s, u"--tag"_s, u"lot=A7"_s, u"--tag"_s,
                                    u"order=4 2"_s, u"--log"_s, logPath, u"-i"_s,
                                    m_dir.makeFile(u"records.bin"_s, testBytes(4096)),
                                    silent.device(), good.device()});
        QCOMPARE(run.status, 1);
        const QList<QByteArray> lines = fileContent(logPath).split('\n');
        QCOMPARE(lines.size(), 5);
        QCOMPARE(lines.first(), "x");
        QCOMPARE(lines.last(), "");
        const QList<QJsonObject> records = jsonRecords(fileContent(logPath).mid(2));
        QCOMPARE(records.size(), 3);
        // The good board ends first; its record comes first.
        QCOMPARE(records[0][u"device"].toString(), good.device());
        QCOMPARE(records[0][u"result"].toString(), u"pass"_s);
        QCOMPARE(records[1][u"result"].toString(), u"fail"_s);
        const QJsonObject summary = records[2];
        QCOMPARE(summary[u"type"].toString(), u"summary"_s);
        QCOMPARE(summary[u"exit_status"].toInt(), 1);
        QCOMPARE(summary[u"counts"].toObject()[u"pass"].toInt(), 1);
        QCOMPARE(summary[u"counts"].toObject()[u"fail"].toInt(), 1);
        const QJsonArray inOrder = summary[u"boards"].toArray();
        QCOMPARE(inOrder.size(), 2);
        QCOMPARE(inOrder[0].toObject()[u"device"].toString(), silent.device());
        QCOMPARE(inOrder[1].toObject()[u"result"].toString(), u"pass"_s);
        const QString runId = summary[u"run_id"].toString();
        QVERIFY(!runId.isEmpty());
        for (const QJsonObject& record : records) {
            QCOMPARE(record[u"run_id"].toString(), runId);
            QVERIFY(!record[u"version"].toString().isEmpty());
            QCOMPARE(record[u"tags"].toObject(),
                     (QJsonObject{{u"lot"_s, u"A7"_s}, {u"order"_s, u"4 2"_s}}));
        }
        QCOMPARE(records[0][u"type"].toString(), u"board"_s);
        const qsizetype silentLine = run.out.indexOf(u"\n"_s + silent.device() + u' ');
        const qsizetype goodLine = run.out.indexOf(u"\n"_s + good.device() + u' ');
        QVERIFY2(silentLine > 0 && goodLine > silentLine, qPrintable(run.out));
        QVERIFY2(run.out.contains(u"1 of 2 boards passed, 1 failed"_s), qPrintable(run.out));
    }

    // A second Ctrl-C, or SIGTERM, stops a long upload at once; every board is recorded as
    // interrupted, and the status says which signal ended the run.
    void interruptions_data() {
        QTest::addColumn<QList<int>>("sent");
        QTest::addColumn<int>("status");
        QTest::newRow("SIGTERM") << QList<int>{SIGTERM} << 143;
        QTest::newRow("second Ctrl-C") << QList<int>{SIGINT, SIGINT} << 130;
    }

    void interruptions() {
        QFETCH(QList<int>, sent);
        QFETCH(int, status);
        std::vector<std::unique_ptr<BoardProcess>> boards;
        QStringList arguments = kQuickRun + QStringList{
                                                u"--json"_s,
                                                u"-b"_s,
                                                u"9600"_s,
                                                u"--log"_s,
                                                m_dir.filePath(u"interrupted.log"_s),
                                                u"-i"_s,
                                                m_dir.makeFile(u"big.bin"_s, testBytes(1 << 20)),
                                            };
        QFile::remove(m_dir.filePath(u"interrupted.log"_s));
        for (int i = 0; i < 2; ++i) {
            boards.push_back(
                std::make_unique<BoardProcess>(kBoard, kQuickBoard + QStringList{u"--pace"_s}));
            QVERIFY(!boards.back()->device().isEmpty());
            arguments << boards.back()->device();
        }
        QProcess flash;
        flash.start(QStringLiteral(CORVID_FLASH_PATH), arguments);
        for (const auto& board : boards)
            QTRY_VERIFY_WITH_TIMEOUT(board->log().contains(u": banner"_s), 10000);
        QString err;
        for (qsizetype i = 0; i < sent.size(); ++i) {
            if (i > 0)
                QTRY_VERIFY_WITH_TIMEOUT(
                    (err += QString::fromLocal8Bit(flash.readAllStandardError()))
                        .contains(u"finishing the boards in progress"_s),
                    5000);
            ::kill(static_cast<pid_t>(flash.processId()), sent[i]);
        }
        QElapsedTimer ended;
        ended.start();
        QVERIFY(flash.waitForFinished(5000));
        qInfo("ended %lld ms after the last signal", static_cast<long long>(ended.elapsed()));
        QCOMPARE(flash.exitStatus(), QProcess::NormalExit);
        QCOMPARE(flash.exitCode(), status);
        const QList<QJsonObject> printed = jsonRecords(flash.readAllStandardOutput());
        const QList<QJsonObject> logged =
            jsonRecords(fileContent(m_dir.filePath(u"interrupted.log"_s)));
        QCOMPARE(printed.size(), 3);
        QCOMPARE(logged.size(), 3);
        for (const QList<QJsonObject>& records : {printed, logged}) {
            for (int i = 0; i < 2; ++i) {
                QCOMPARE(records[i][u"type"].toString(), u"board"_s);
                QCOMPARE(records[i][u"result"].toString(), u"interrupted"_s);
                QVERIFY(records[i][u"failure"].toString().startsWith(u"Interrupted by "_s));
            }
            QCOMPARE(records[2][u"type"].toString(), u"summary"_s);
            QCOMPARE(records[2][u"exit_status"].toInt(), status);
            QCOMPARE(records[2][u"counts"].toObject()[u"interrupted"].toInt(), 2);
        }
    }

    // Eight boards in a 6-row, 60-column terminal: the live block fits, so the scrollback
    // keeps no copies of it; a long port name is cut before its status is; the Ctrl-C notice
    // stays; the live lines and the summary share their columns.
    void liveBlockFitsTheTerminal() {
        if (QStandardPaths::findExecutable(u"tmux"_s).isEmpty())
            QSKIP("tmux is not installed");
        const QString longLink =
            m_dir.filePath(u"usb-Brisa_C167_rack-3_slot-8_A7X93K-if00-port0"_s);
        std::vector<std::unique_ptr<BoardProcess>> boards;
        QStringList command{QStringLiteral(CORVID_FLASH_PATH), u"-b"_s, u"9600"_s, u"-i"_s,
                            m_dir.makeFile(u"live.bin"_s, testBytes(2048))};
        command += kQuickRun;
        for (int i = 0; i < 8; ++i) {
            boards.push_back(std::make_unique<BoardProcess>(
                kBoard, kQuickBoard + QStringList{u"--pace"_s} +
                            (i == 0 ? QStringList{u"--link"_s, longLink} : QStringList())));
            QVERIFY(!boards.back()->device().isEmpty());
            command << (i == 0 ? longLink : boards.back()->device());
        }
        const QString session = u"flashcli%1"_s.arg(QCoreApplication::applicationPid());
        tmux({u"new-session"_s, u"-d"_s, u"-s"_s, session, u"-x"_s, u"60"_s, u"-y"_s, u"6"_s,
              command.join(u' ') + u"; echo exit status $?"_s, u";"_s, u"set-option"_s,
              u"remain-on-exit"_s, u"on"_s});
        const auto closeSession = qScopeGuard([&] { tmux({u"kill-session"_s, u"-t"_s, session}); });
        const auto pane = [&](const QString& format) {
            return tmux({u"display-message"_s, u"-p"_s, u"-t"_s, session, format}).trimmed();
        };
        QTRY_VERIFY_WITH_TIMEOUT(tmux({u"capture-pane"_s, u"-p"_s, u"-t"_s, session})
                                     .contains(QRegularExpression(u"upload +[0-9]+%"_s)),
                                 20000);
        // The pane runs a shell, and corvid-flash is its child.
        const QString shell = pane(u"#{pane_pid}"_s);
        const QByteArray children =
            fileContent(u"/proc/%1/task/%1/children"_s.arg(shell)).trimmed();
        QVERIFY2(!children.isEmpty() && !children.contains(' '), children.constData());
        ::kill(children.toInt(), SIGINT);
        QTRY_COMPARE_WITH_TIMEOUT(pane(u"#{pane_dead}"_s), u"1"_s, 30000);

        const QString screen =
            tmux({u"capture-pane"_s, u"-p"_s, u"-S"_s, u"-"_s, u"-t"_s, session});
        QVERIFY2(screen.contains(u"\nexit status 0\n"_s), qPrintable(screen));
        QCOMPARE(screen.count(u"corvid-flash: interrupted: finishing the boards"_s), 1);
        QVERIFY2(screen.count(u"... and 4 more: "_s) == 1, qPrintable(screen));
        const QStringList lines = screen.split(u'\n');
        const auto cut = std::find_if(lines.cbegin(), lines.cend(), [](const QString& line) {
            return line.contains(u'~') && line.contains(u"passed in"_s);
        });
        QVERIFY2(cut != lines.cend(), qPrintable(screen));
        const auto header = std::find_if(lines.cbegin(), lines.cend(), [](const QString& line) {
            return line.startsWith(u"PORT "_s);
        });
        QVERIFY2(header != lines.cend(), qPrintable(screen));
        QCOMPARE(header->indexOf(u"RESULT"_s), cut->indexOf(u"passed in"_s));
    }

    // The window's rule for Corvid.ini's baud rate, unless --baud says otherwise.
    void settingsBaud_data() {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QString>("options");
        QTest::addColumn<int>("baud");
        QTest::newRow("not a multiple of 1200") << QByteArray("57601") << QString() << 9600;
        QTest::newRow("slow, not a multiple") << QByteArray("1000") << QString() << 9600;
        QTest::newRow("below the range") << QByteArray("0") << QString() << 1200;
        QTest::newRow("above the range") << QByteArray("230400") << QString() << 115200;
        QTest::newRow("in the range") << QByteArray("19200") << QString() << 19200;
        QTest::newRow("not a number") << QByteArray("fast") << QString() << 9600;
        QTest::newRow("--baud as given") << QByteArray("19200") << u"-b 57601"_s << 57601;
    }

    void settingsBaud() {
        QFETCH(QByteArray, stored);
        QFETCH(QString, options);
        QFETCH(int, baud);
        const QString program = m_dir.filePath(u"corvid-flash"_s);
        if (!QFileInfo::exists(program))
            QVERIFY(QFile::copy(QStringLiteral(CORVID_FLASH_PATH), program));
        m_dir.writeSettings("[CONFIGURATION]\nBaud Rate=" + stored + "\n");
        // /dev/null is no serial port: the board fails at once, and its record tells the rate.
        QProcess flash;
        flash.start(program,
                    QProcess::splitCommand(options) +
                        QStringList{u"--json"_s, u"-i"_s,
                                    m_dir.makeFile(u"baud.bin"_s, testBytes(16)), u"/dev/null"_s});
        QVERIFY(flash.waitForFinished(20000));
        const QList<QJsonObject> records = jsonRecords(flash.readAllStandardOutput());
        QCOMPARE(records.size(), 2);
        QCOMPARE(records[0][u"baud"].toInt(), baud);
    }

    // A log that cannot be written is said once, in words, and the status says so.
    void logThatCannotBeWritten() {
        BoardProcess board(kBoard, kQuickBoard);
        const Outcome run = FlashRun::run(
            kQuickRun + QStringList{u"-b"_s, u"921600"_s, u"--log"_s, u"/dev/full"_s, u"-i"_s,
                                    m_dir.makeFile(u"full.bin"_s, testBytes(1024)),
                                    board.device()});
        QCOMPARE(run.status, 3);
        QCOMPARE(run.err.count(u'\n'), 1);
        QVERIFY2(run.err.contains(u"Writing the log /dev/full failed: No space left on device"_s),
                 qPrintable(run.err));
        QVERIFY(run.out.contains(u"1 of 1 board passed"_s));
    }

    // Every port listed exists, and the access column tells whether this user may open it.
    void listPorts() {
        const Outcome run = FlashRun::run({u"--list"_s});
        QCOMPARE(run.status, 0);
        QStringList lines = run.out.split(u'\n', Qt::SkipEmptyParts);
        QVERIFY(!lines.isEmpty());
        if (lines.first().startsWith(u"No serial ports found"_s))
            return;
        QVERIFY2(lines.takeFirst().contains(QRegularExpression(
                     u"^DEVICE +BY-ID +DESCRIPTION +SERIAL +VID:PID +ACCESS$"_s)),
                 qPrintable(run.out));
        for (const QString& line : std::as_const(lines)) {
            const QString device = line.section(u' ', 0, 0);
            QVERIFY2(QFileInfo::exists(device), qPrintable(line));
            const bool mayOpen = ::access(QFile::encodeName(device).constData(), R_OK | W_OK) == 0;
            QCOMPARE(line.contains(QRegularExpression(u"  yes$"_s)), mayOpen);
        }
    }

    void systemdUnit() {
        const QString analyze = QStandardPaths::findExecutable(u"systemd-analyze"_s);
        if (analyze.isEmpty())
            QSKIP("systemd-analyze is not installed");
        QByteArray unit = fileContent(QFINDTESTDATA("../dist/systemd/corvid-flash@.service"));
        QVERIFY(unit.contains("ExecStart=/usr/bin/corvid-flash --watch "));
        // The check wants the program to exist: the one just built stands in for it.
        unit.replace("/usr/bin/corvid-flash", QByteArray(CORVID_FLASH_PATH));
        const QString path = m_dir.makeFile(u"corvid-flash@ttyUSB0.service"_s, unit);
        QProcess verify;
        verify.start(analyze, {u"verify"_s, path});
        QVERIFY(verify.waitForFinished(60000));
        const QString complaints = QString::fromLocal8Bit(verify.readAllStandardError());
        QCOMPARE(verify.exitCode(), 0);
        QVERIFY2(complaints.isEmpty(), qPrintable(complaints));
    }
};

QTEST_GUILESS_MAIN(tst_FlashCli)
#include "tst_flashcli.moc"
