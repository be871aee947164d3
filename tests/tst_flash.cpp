#include "support/BoardProcess.h"
#include "support/FlashRun.h"
#include "support/PtyPair.h"
#include "support/TestProgram.h"
#include "transfer/TargetProtocol.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

#include <csignal>
#include <memory>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace FlashRun;

// What a board that was programmed and read back has received: the wake-up, the image and its
// last byte once more, and the readback request.
static QByteArray programmedAndRead(const QByteArray& image) {
    return "\r" + image + image.right(1) + "UFD\r";
}

class tst_Flash : public QObject {
    Q_OBJECT
private:
    TestProgram m_dir;

private slots:
    // Also: each phase and what the board printed (--verbose); the records carry the tags and
    // start on a line of their own in a log that ended without one; the summary lists the
    // ports in the order given, with hexadecimal offsets.
    void eightBoardsTwoFaults() {
        const QByteArray image = testBytes(4096);
        const QString logPath = m_dir.makeFile(u"eight.log"_s, "x");
        QStringList arguments{u"-i"_s,        m_dir.makeFile(u"eight.bin"_s, image),
                              u"-b"_s,        u"921600"_s,
                              u"--verbose"_s, u"--log"_s,
                              logPath,        u"--tag"_s,
                              u"lot=A7"_s,    u"--tag"_s,
                              u"order=4 2"_s};
        const qsizetype firstPort = arguments.size();
        std::vector<std::unique_ptr<BoardProcess>> boards;
        for (int i = 0; i < 8; ++i) {
            const QString fault = i == 2   ? u"--flip-byte 1000"_s
                                  : i == 5 ? u"--hangup-after 2000"_s
                                           : QString();
            boards.push_back(std::make_unique<BoardProcess>(
                QStringLiteral(CORVID_TARGET_PATH),
                kQuickBoard + QProcess::splitCommand(u"--pace "_s + fault), true));
            arguments << boards.back()->device();
        }
        const Outcome run = FlashRun::run(arguments + kQuickRun);
        QCOMPARE(run.status, 1);
        for (const QString& text :
             {u"6 of 8 boards passed, 2 failed"_s, u": upload 4097 bytes (wake took "_s,
              u": phases: open "_s, u": the board printed "_s, u"Brisa C167"_s,
              u"1 byte differs, at offset 0x3e8\n    file  @0x3e0: "_s})
            QVERIFY2(run.out.contains(text), qPrintable(run.out));
        const QString summary = run.out.mid(run.out.indexOf(u"\nPORT "_s));
        for (int i = 1; i < 8; ++i)
            QVERIFY2(summary.indexOf(boards[i - 1]->device() + u' ') <
                         summary.indexOf(boards[i]->device() + u' '),
                     qPrintable(summary));

        QVERIFY(fileContent(logPath).startsWith("x\n{"));
        QList<QJsonObject> records = jsonRecords(fileContent(logPath).mid(2));
        QCOMPARE(records.size(), 9);
        QCOMPARE(records.takeLast()[u"type"].toString(), u"summary"_s);
        for (const QJsonObject& record : std::as_const(records)) {
            const auto board =
                static_cast<size_t>(arguments.indexOf(record[u"device"].toString()) - firstPort);
            QCOMPARE(record[u"tags"].toObject(),
                     (QJsonObject{{u"lot"_s, u"A7"_s}, {u"order"_s, u"4 2"_s}}));
            // The board that hung up took the wake-up and the image's first 1999 bytes.
            QCOMPARE(boards[board]->received(),
                     board == 5 ? "\r" + image.left(1999) : programmedAndRead(image));
            QCOMPARE(record[u"sha256"].toString(),
                     QString::fromLatin1(
                         QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex()));
            QCOMPARE(record[u"result"].toString(),
                     QLatin1StringView(board == 2 || board == 5 ? "fail" : "pass"));
            const QJsonObject mismatch = record[u"mismatch"].toObject();
            if (board == 2) {
                QCOMPARE(mismatch[u"text"].toString(),
                         u"Byte[1001] Is %1 Should Be %2"_s.arg(quint8(~image.at(1000)))
                             .arg(quint8(image.at(1000))));
                QCOMPARE(mismatch[u"context_offset"].toInt(), 992);
                QCOMPARE(mismatch[u"file"].toString(),
                         QString::fromLatin1(image.mid(992, 16).toHex(' ')));
            } else if (board != 5) {
                QCOMPARE(record[u"bytes_sent"].toInteger(), 4096 + 1 + 4);
            }
        }
    }

    void imageLargerThanTheWindowsBuffer() {
        const QByteArray image = testBytes(1024 * 1024 + 4097);
        BoardProcess board(QStringLiteral(CORVID_TARGET_PATH), kQuickBoard);
        // A rate no standard line has: the board does not pace it, and the wire time stays short.
        const auto flash = [&](const QString& options, const QByteArray& file) {
            const Outcome run = FlashRun::run(
                kQuickRun + QProcess::splitCommand(options + u" --json --baud 20000000"_s) +
                QStringList{u"-i"_s, m_dir.makeFile(u"big.bin"_s, file), board.device()});
            return run.status == 0 ? jsonRecords(run.out.toLocal8Bit()).value(0) : QJsonObject();
        };
        QCOMPARE(flash(QString(), image)[u"size"].toInteger(), image.size());
        // The flash now holds the image and its last byte once more.
        QCOMPARE(flash(u"--verify-only"_s, image + image.right(1))[u"bytes_sent"].toInteger(), 4);
    }

    // One board, one way it can go: what the output and the record say (patterns, "!" for one
    // that must not match) and what the board received.
    void oneBoard_data() {
        QTest::addColumn<QString>("board");
        QTest::addColumn<QString>("options");
        QTest::addColumn<QStringList>("said");
        QTest::addColumn<QByteArray>("received");
        const QByteArray all = programmedAndRead(testBytes(4096));
        QTest::newRow("silent board: no image byte")
            << u"--silent"_s << QString()
            << QStringList{u"No answer from .* to the wake-up CR: nothing came within 1.00 s"_s}
            << QByteArray("\r");
        QTest::newRow("no reply")
            << u"--silent"_s << u"--no-wake-check"_s
            << QStringList{u"No reply from .*: the line was silent for 2.00 s after UFD"_s,
                           u"\"kind\":\"no_reply\""_s}
            << all;
        QTest::newRow("short reply")
            << u"--short-readback 300"_s << QString()
            << QStringList{u"Short reply from .*: 300 of 4096 flash bytes came \\(305 bytes in "
                           "all\\), the last [0-9.]+ s into the readback, then the line was "
                           "silent for 2.00 s"_s,
                           u"\"bytes\":300,\"kind\":\"short_reply\""_s}
            << all;
        // The pseudo-terminal takes the whole image at once: what went out is what the line
        // carried, 499 image bytes and a little more while the hang-up is noticed.
        QTest::newRow("line lost in the upload")
            << u"--pace --hangup-after 500"_s << u"-b 9600"_s
            << QStringList{u"The line to .* was lost during the upload, after "
                           "(49[89]|[5-9][0-9]{2}|1[0-9]{3}) of the 4097 bytes had gone out: the "
                           "device was removed or hung up"_s}
            << QByteArray("\r" + testBytes(499));
        QTest::newRow("noise before the reply")
            << u"--noise 7"_s << QString()
            << QStringList{u"Flash differs from the image: [0-9]+ bytes differing, the first at "
                           "offset 0x0 \\(the window's \"Byte\\[1\\] Is [0-9]+ Should Be "
                           "[0-9]+\"\\); the flash reads as the image shifted 7 bytes later"_s,
                           u"\n    the flash reads as the image shifted 7 bytes later"_s,
                           u"\"bytes\":7,\"kind\":\"shift\""_s}
            << all;
        QTest::newRow("regular file as port")
            << u"FILE"_s << QString()
            << QStringList{u"could not be opened: it is not a serial device \\(Inappropriate "
                           "ioctl for device\\)"_s}
            << QByteArray();
        QTest::newRow("port without permission")
            << u"NOBODY"_s << QString()
            << QStringList{u"could not be opened: Permission denied - .* belongs to the group "
                           "dialout, which you are not in: run sudo usermod -aG dialout \\$USER"_s}
            << QByteArray();
        QTest::newRow("missed wake-up, retried")
            << u"--miss-wakeups 1"_s << u"--retries 1"_s
            << QStringList{u"\"attempt_count\":2,\"attempts\":\\[\\{\"failure\":\"No answer"_s,
                           u"1 of 1 board passed, 0 failed"_s}
            << "\r" + all;
        QTest::newRow("mismatch not retried")
            << u"--flip-byte 9"_s << u"--retries 1"_s
            << QStringList{u"\"attempt_count\":1,"_s, u"\"baud\":921600,"_s} << all;
        QTest::newRow("mismatch retried when asked")
            << u"--flip-byte 9"_s << u"--retries 1 --retry-mismatch"_s
            << QStringList{u"\"attempt_count\":2,"_s, u"0 of 1 board passed, 1 failed"_s}
            << all + all;
        QTest::newRow("log that cannot be written: said once")
            << QString() << u"--log /dev/full"_s
            << QStringList{u"Writing the log /dev/full failed: No space left on device"_s,
                           u"!(?s)No space left.*No space left"_s, u"1 of 1 board passed"_s,
                           u"\nstatus 3$"_s}
            << all;
        QTest::newRow("quiet, program only")
            << QString() << u"-q --no-verify"_s
            << QStringList{u" programmed  "_s, u"1 of 1 board programmed, not verified, 0 failed"_s,
                           u"\"result\":\"programmed\""_s, u"!: wake"_s}
            << "\r" + testBytes(4096) + testBytes(4096).right(1);
    }

    void oneBoard() {
        QFETCH(QString, board);
        QFETCH(QString, options);
        QFETCH(QStringList, said);
        QFETCH(QByteArray, received);
        const bool asNobody = board == u"NOBODY"_s;
        if (asNobody && ::geteuid() != 0)
            QSKIP("needs root to run corvid-flash as another user");
        BoardProcess process(QStringLiteral(CORVID_TARGET_PATH),
                             kQuickBoard + QProcess::splitCommand(
                                               board == u"FILE"_s || asNobody ? QString() : board),
                             true);
        // The image and the log sit where the unprivileged user can reach them.
        QTemporaryDir dir;
        QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0777) == 0);
        const QString image = dir.filePath(u"image.bin"_s);
        QVERIFY(QFile::copy(m_dir.makeFile(u"fail.bin"_s, testBytes(4096)), image));
        QVERIFY(QFile::setPermissions(image, QFile::ReadOwner | QFile::ReadOther));
        const QString port =
            board == u"FILE"_s ? m_dir.makeFile(u"not-a-port"_s, QByteArray()) : process.device();
        const QStringList arguments =
            kQuickRun + QStringList{u"-b"_s, u"921600"_s, u"--log"_s, dir.filePath(u"log"_s)} +
            QProcess::splitCommand(options) + QStringList{u"-i"_s, image, port};
        if (asNobody) {
            // The device lets the group dialout in; the user is not one of them.
            const group* dialout = ::getgrnam("dialout");
            QVERIFY(dialout);
            QVERIFY(::chown(QFile::encodeName(port).constData(), 0, dialout->gr_gid) == 0);
            QVERIFY(::chmod(QFile::encodeName(port).constData(), 0660) == 0);
        }
        const Outcome run = FlashRun::run(arguments, asNobody ? 65534 : -1);
        const QString seen = run.out + run.err +
                             QString::fromUtf8(fileContent(dir.filePath(u"log"_s))) +
                             u"\nstatus %1"_s.arg(run.status);
        for (QString pattern : said + QStringList{u"!error \\d"_s}) {
            const bool wanted = !pattern.startsWith(u'!');
            QVERIFY2(QRegularExpression(pattern.remove(0, wanted ? 0 : 1)).match(seen).hasMatch() ==
                         wanted,
                     qPrintable(pattern + u" in:\n"_s + seen));
        }
        QCOMPARE(process.received(), received);
    }

    // The shapes of a whole mismatch whose cause can be named, and ones that have none; the
    // first offsets and the context around the first, across the ends of the chunks.
    void diagnosis_data() {
        QTest::addColumn<QByteArray>("flash");
        QTest::addColumn<QString>("expected"); // the kind and its facts
        const QByteArray file = testBytes(4096);
        QByteArray high = file, low = file;
        for (char& byte : high)
            byte = static_cast<char>(byte | 0x08);
        for (char& byte : low)
            byte = static_cast<char>(byte & ~0x40);
        QByteArray flipped = file;
        for (const int at : {2000, 2001, 2330, 2331, 2332, 2333, 2400, 2500, 2600, 4095})
            flipped[at] = static_cast<char>(flipped[at] ^ (at == 2000 ? 0x10 : 0x5a));
        QTest::newRow("7 bytes of noise first")
            << (QByteArray(7, '\x5a') + file).left(file.size()) << u"shift 7"_s;
        QTest::newRow("header byte lost") << file.mid(1) + '\r' << u"shift -1"_s;
        QTest::newRow("erased from 0x0c00")
            << file.left(3072) + QByteArray(1024, '\xff') << u"erased 3072 255"_s;
        QTest::newRow("zeroed from 0x64")
            << file.left(100) + QByteArray(3996, '\0') << u"erased 100 0"_s;
        QTest::newRow("bit 3 stuck at 1") << high << u"stuck_bit 3 1"_s;
        QTest::newRow("bit 6 stuck at 0") << low << u"stuck_bit 6 0"_s;
        QTest::newRow("unrelated bytes") << flipped << QString();
        QTest::newRow("random tail") << file.left(2048) + testBytes(2048) << QString();
    }

    void diagnosis() {
        QFETCH(QByteArray, flash);
        QFETCH(QString, expected);
        const QByteArray file = testBytes(4096);
        TargetProtocol::StreamComparator comparator;
        // Chunks of an odd size, as a reply arrives.
        for (qint64 at = 0; at < file.size(); at += 333)
            comparator.compare(file.constData() + at, flash.constData() + at,
                               std::min<qint64>(333, file.size() - at));
        QList<qint64> differing;
        for (qint64 at = 0; at < file.size(); ++at) {
            if (file[at] != flash[at])
                differing.append(at);
        }
        const TargetProtocol::Mismatch& mismatch = *comparator.mismatch();
        QCOMPARE(mismatch.count, differing.size());
        QCOMPARE(mismatch.firstOffsets, differing.first(std::min<qsizetype>(differing.size(), 8)));
        const qint64 start = std::max<qint64>(0, differing[0] - 8);
        QCOMPARE(mismatch.contextStart, start);
        QCOMPARE(mismatch.fileContext, file.mid(start, 16));
        QCOMPARE(mismatch.flashContext, flash.mid(start, 16));
        using Kind = TargetProtocol::Diagnosis::Kind;
        const std::optional<TargetProtocol::Diagnosis> found = comparator.diagnosis();
        QCOMPARE(!found ? QString()
                 : found->kind == Kind::Shift
                     ? u"shift %1"_s.arg(found->bytes)
                     : u"%1 %2 %3"_s.arg(TargetProtocol::Diagnosis::kindName(found->kind))
                           .arg(found->kind == Kind::Erased ? found->offset : found->bit)
                           .arg(found->value),
                 expected);
    }

    // Each is refused with status 2 and one line in words before any port is opened.
    void usageErrors_data() {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QString>("message");
        const auto row = [](const char* name, const char* arguments, const char* message) {
            QTest::newRow(name) << QString::fromLatin1(arguments) << QString::fromLatin1(message);
        };
        row("missing image", "-i DIR/none.bin PORT",
            "could not be opened: No such file or directory");
        row("empty image", "-i EMPTY PORT", "is empty: there is nothing to program");
        row("device as image", "-i /dev/zero PORT", "is a device, not a regular file");
        row("same port twice", "-i IMAGE PORT PORT", "are the same device");
        row("a link and its device", "-i IMAGE LINK PORT", "are the same device");
        row("log in a missing folder", "-i IMAGE --log DIR/none/flash.log PORT",
            "could not be opened for appending: No such file or directory");
        row("no image", "PORT", "no image given");
        row("no port", "-i IMAGE", "no PORT given");
        row("unknown option", "--fast -i IMAGE PORT", "Unknown option 'fast'. (see --help)");
        row("tag without a value", "--tag lot -i IMAGE PORT", "--tag needs KEY=VALUE");
        row("baud not a number", "-b 9k6 -i IMAGE PORT", "--baud needs a whole number");
        row("nothing to do", "--no-verify --verify-only -i IMAGE PORT", "leave nothing to do");
    }

    void usageErrors() {
        QFETCH(QString, arguments);
        QFETCH(QString, message);
        PtyPair pty;
        const QString link = m_dir.filePath(u"port-link"_s);
        QFile::remove(link);
        QVERIFY(QFile::link(pty.slavePath(), link));
        arguments.replace(u"DIR"_s, m_dir.folder())
            .replace(u"EMPTY"_s, m_dir.makeFile(u"empty.bin"_s, QByteArray()))
            .replace(u"IMAGE"_s, m_dir.makeFile(u"usage.bin"_s, testBytes(16)))
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

    void watchTwoBoardsOnOnePort() {
        const QString link = m_dir.filePath(u"station"_s);
        const QString logPath = m_dir.filePath(u"watch.log"_s);
        // The first board misses the first probe: the port says it is there but does not answer.
        BoardProcess board(QStringLiteral(CORVID_TARGET_PATH),
                           kQuickBoard +
                               QStringList{u"--link"_s, link, u"--miss-wakeups"_s, u"1"_s});
        QProcess flash;
        flash.start(QStringLiteral(CORVID_FLASH_PATH),
                    QProcess::splitCommand(u"--watch -b 921600 -i %1 --log %2 %3"_s.arg(
                        m_dir.makeFile(u"watch.bin"_s, testBytes(2048)), logPath, link)) +
                        kQuickRun);
        QString out;
        const auto said = [&](const QString& text) {
            out += QString::fromLocal8Bit(flash.readAllStandardOutput());
            return out.contains(text);
        };
        QTRY_VERIFY_WITH_TIMEOUT(
            said(u"one is connected to %1 but does not answer"_s.arg(board.device())), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(jsonRecords(fileContent(logPath)).size(), 1, 20000);
        board.signal(SIGUSR1);
        QTRY_VERIFY_WITH_TIMEOUT(said(u"waiting for %1 to appear"_s.arg(link)), 10000);
        board.signal(SIGUSR2);
        QTRY_COMPARE_WITH_TIMEOUT(jsonRecords(fileContent(logPath)).size(), 2, 20000);
        ::kill(static_cast<pid_t>(flash.processId()), SIGINT);
        QVERIFY(flash.waitForFinished(10000));
        said(QString());
        QCOMPARE(flash.exitCode(), 0);
        QVERIFY2(out.contains(u"2 of 2 boards passed"_s), qPrintable(out));
        // The second board starts with an empty flash: it passed because it was programmed.
        QCOMPARE(board.log().count(u"programmed"_s), 2);
    }
};

QTEST_GUILESS_MAIN(tst_Flash)
#include "tst_flash.moc"
