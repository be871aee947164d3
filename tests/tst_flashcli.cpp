#include "support/BoardProcess.h"
#include "support/FlashRun.h"
#include "support/TestProgram.h"

#include <QJsonObject>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>
#include <memory>

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

// corvid-flash as a production line drives it: how it stops, what it shows in a terminal,
// which rate it takes, what it says of its log, its ports and its service unit.
class tst_FlashCli : public QObject {
    Q_OBJECT
private:
    TestProgram m_dir;

private slots:
    // SIGTERM stops a long upload at once: every board is recorded as interrupted, and the
    // status says which signal ended the run.
    void sigtermStopsAtOnce() {
        BoardProcess board(kBoard, kQuickBoard + QStringList{u"--pace"_s});
        QProcess flash;
        flash.start(QStringLiteral(CORVID_FLASH_PATH),
                    kQuickRun + QStringList{u"--json"_s, u"-b"_s, u"9600"_s, u"-i"_s,
                                            m_dir.makeFile(u"big.bin"_s, testBytes(1 << 20)),
                                            board.device()});
        QTRY_VERIFY_WITH_TIMEOUT(board.log().contains(u": banner"_s), 10000);
        ::kill(static_cast<pid_t>(flash.processId()), SIGTERM);
        QVERIFY(flash.waitForFinished(5000));
        QCOMPARE(flash.exitCode(), 143);
        const QList<QJsonObject> records = jsonRecords(flash.readAllStandardOutput());
        QCOMPARE(records.size(), 2);
        QVERIFY(records[0][u"failure"].toString().startsWith(u"Interrupted by SIGTERM"_s));
        QCOMPARE(records[1][u"counts"].toObject()[u"interrupted"].toInt(), 1);
    }

    // Eight boards in a 6-row, 60-column terminal: the live block fits, so the scrollback
    // keeps no copies of it; a long port name is cut before its status is; the Ctrl-C notice
    // stays; a second Ctrl-C stops the boards; the live lines and the summary share columns.
    void liveBlockFitsTheTerminal() {
        if (QStandardPaths::findExecutable(u"tmux"_s).isEmpty())
            QSKIP("tmux is not installed");
        const QString longLink =
            m_dir.filePath(u"usb-Brisa_C167_rack-3_slot-8_A7X93K-if00-port0"_s);
        std::vector<std::unique_ptr<BoardProcess>> boards;
        QStringList command{QStringLiteral(CORVID_FLASH_PATH), u"-b"_s, u"9600"_s, u"-i"_s,
                            m_dir.makeFile(u"live.bin"_s, testBytes(1 << 16))};
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
        QTRY_VERIFY_WITH_TIMEOUT(
            tmux({u"capture-pane"_s, u"-p"_s, u"-S"_s, u"-"_s, u"-t"_s, session})
                .contains(u"finishing the boards"_s),
            10000);
        ::kill(children.toInt(), SIGINT);
        QTRY_COMPARE_WITH_TIMEOUT(pane(u"#{pane_dead}"_s), u"1"_s, 30000);

        const QString screen =
            tmux({u"capture-pane"_s, u"-p"_s, u"-S"_s, u"-"_s, u"-t"_s, session});
        QVERIFY2(screen.contains(u"\nexit status 130\n"_s), qPrintable(screen));
        QCOMPARE(screen.count(u"corvid-flash: interrupted: finishing the boards"_s), 1);
        QVERIFY2(screen.count(u"... and 4 more: "_s) == 1, qPrintable(screen));
        // The live line's status starts where the summary's RESULT column does.
        const auto column = [&](const QString& pattern) {
            const QRegularExpressionMatch found = QRegularExpression(pattern).match(screen);
            return found.hasMatch() ? found.capturedLength(1) : -1;
        };
        QCOMPARE(column(u"\n([^\n]*~[^\n]* )INTERRUPTED: "_s), column(u"\n(PORT +)RESULT"_s));
        QVERIFY(column(u"\n(PORT +)RESULT"_s) > 0);
    }

    // Every port listed exists, and the access column tells whether this user may open it.
    void listPorts() {
        const Outcome run = FlashRun::run({u"--list"_s});
        QCOMPARE(run.status, 0);
        const QStringList lines = run.out.split(u'\n', Qt::SkipEmptyParts);
        for (const QString& line : lines.mid(1)) {
            const QString device = line.section(u' ', 0, 0);
            QVERIFY2(QFileInfo::exists(device), qPrintable(line));
            QCOMPARE(line.endsWith(u"  yes"_s),
                     ::access(QFile::encodeName(device).constData(), R_OK | W_OK) == 0);
        }
    }

    // The unit as installed, with the program just built standing in for the installed one.
    void systemdUnit() {
        const QString analyze = QStandardPaths::findExecutable(u"systemd-analyze"_s);
        if (analyze.isEmpty())
            QSKIP("systemd-analyze is not installed");
        QByteArray unit = fileContent(QFINDTESTDATA("../dist/systemd/corvid-flash@.service"));
        unit.replace("/usr/bin/corvid-flash", QByteArray(CORVID_FLASH_PATH));
        QProcess verify;
        verify.setProcessChannelMode(QProcess::MergedChannels);
        verify.start(analyze,
                     {u"verify"_s, m_dir.makeFile(u"corvid-flash@ttyUSB0.service"_s, unit)});
        QVERIFY(verify.waitForFinished(60000));
        QCOMPARE(verify.readAll() + QByteArray::number(verify.exitCode()), "0");
    }
};

QTEST_GUILESS_MAIN(tst_FlashCli)
#include "tst_flashcli.moc"
