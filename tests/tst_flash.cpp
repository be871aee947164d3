#include "support/BoardProcess.h"
#include "support/FlashRun.h"
#include "support/TestProgram.h"
#include "target/TargetProtocol.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <csignal>
#include <memory>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

using namespace FlashRun;

namespace {

// What a board that was programmed and read back has received: the wake-up, the image and its
// last byte once more, and the readback request.
QByteArray programmedAndRead(const QByteArray& image) {
    return "\r" + image + image.right(1) + "UFD\r";
}

} // namespace

class tst_Flash : public QObject {
    Q_OBJECT
private:
    TestProgram m_dir;

    // One board run with options against corvid-flash with options; its one record.
    QJsonObject flashOne(BoardProcess& board, const QString& options, const QByteArray& image) {
        const Outcome run = FlashRun::run(
            kQuickRun + QProcess::splitCommand(u"--json -b 921600 "_s + options) +
            QStringList{u"-i"_s, m_dir.makeFile(u"one.bin"_s, image), board.device()});
        const QList<QJsonObject> records = boardRecords(run.out.toLocal8Bit());
        return records.size() == 1 ? records[0] : QJsonObject();
    }

private slots:
    void eightBoardsTwoFaults() {
        const QByteArray image = testBytes(4096);
        const QString logPath = m_dir.filePath(u"eight.log"_s);
        QStringList arguments = QProcess::splitCommand(
            u"-i %1 -b 921600 --log %2"_s.arg(m_dir.makeFile(u"eight.bin"_s, image), logPath));
        std::vector<std::unique_ptr<BoardProcess>> boards;
        for (int i = 0; i < 8; ++i) {
            const QString fault = i == 2   ? u"--flip-byte 1000"_s
                                  : i == 5 ? u"--hangup-after 2000"_s
                                           : QString();
            boards.push_back(std::make_unique<BoardProcess>(
                QStringLiteral(CORVID_TARGET_PATH),
                kQuickBoard + QProcess::splitCommand(u"--pace "_s + fault), true));
            QVERIFY(!boards.back()->device().isEmpty());
            arguments << boards.back()->device();
        }
        const Outcome run = FlashRun::run(arguments + kQuickRun);
        QCOMPARE(run.status, 1);
        QVERIFY2(run.out.contains(u"6 of 8 boards passed, 2 failed"_s), qPrintable(run.out));

        QList<QJsonObject> records = jsonRecords(fileContent(logPath));
        QCOMPARE(records.takeLast()[u"type"].toString(), u"summary"_s);
        QCOMPARE(records.size(), 8);
        for (const QJsonObject& record : records) {
            const int board = static_cast<int>(arguments.indexOf(record[u"device"].toString())) - 6;
            // The board that hung up took the wake-up and the image's first 1999 bytes.
            QCOMPARE(boards[board]->received(),
                     board == 5 ? "\r" + image.left(1999) : programmedAndRead(image));
            QCOMPARE(record[u"size"].toInteger(), 4096);
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
                QCOMPARE(mismatch[u"count"].toInt(), 1);
                QCOMPARE(mismatch[u"context_offset"].toInt(), 992);
                QCOMPARE(mismatch[u"file"].toString(),
                         QString::fromLatin1(image.mid(992, 16).toHex(' ')));
            } else if (board == 5) {
                QVERIFY(record[u"failure"].toString().contains(u"lost during the upload"));
                QVERIFY(mismatch.isEmpty());
            } else {
                QCOMPARE(record[u"bytes_sent"].toInteger(), 4096 + 1 + 4);
            }
        }
    }

    void imageLargerThanTheWindowsBuffer() {
        const QByteArray image = testBytes(1024 * 1024 + 4097);
        BoardProcess board(QStringLiteral(CORVID_TARGET_PATH), kQuickBoard);
        // A rate no standard line has: the board does not pace it, and the wire time stays short.
        const auto flash = [&](const QString& options, const QByteArray& file) {
            return FlashRun::run(
                kQuickRun + QProcess::splitCommand(options + u" --json --baud 20000000"_s) +
                QStringList{u"-i"_s, m_dir.makeFile(u"big.bin"_s, file), board.device()});
        };
        Outcome run = flash(QString(), image);
        QCOMPARE(run.status, 0);
        QList<QJsonObject> records = jsonRecords(run.out.toLocal8Bit());
        QCOMPARE(records.size(), 2);
        QCOMPARE(records[0][u"result"].toString(), u"pass"_s);
        QCOMPARE(records[0][u"size"].toInteger(), image.size());
        // The flash holds the image and its last byte once more.
        run = flash(u"--verify-only"_s, image + image.right(1));
        QCOMPARE(run.status, 0);
        records = jsonRecords(run.out.toLocal8Bit());
        QCOMPARE(records.size(), 2);
        QCOMPARE(records[0][u"bytes_sent"].toInteger(), 4);
    }

    // Each failure of a board or its port says what failed, how far it came and what to do; a
    // board that does not answer the wake-up receives no image byte.
    void failures_data() {
        QTest::addColumn<QString>("board");
        QTest::addColumn<QString>("options");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("diagnosis");
        QTest::addColumn<QByteArray>("received");
        const QByteArray all = programmedAndRead(testBytes(4096));
        QTest::newRow("silent board: no image byte")
            << u"--silent"_s << QString()
            << u"No answer from .* to the wake-up CR: nothing came within 1.00 s"_s << QString()
            << QByteArray("\r");
        QTest::newRow("no reply") << u"--silent"_s << u"--no-wake-check"_s
                                  << u"No reply from .*: the line was silent for 2.00 s after UFD"_s
                                  << u"no_reply 0"_s << all;
        QTest::newRow("short reply")
            << u"--short-readback 300"_s << QString()
            << u"Short reply from .*: 300 of 4096 flash bytes came \\(305 bytes in all\\), the "
               "last [0-9.]+ s into the readback, then the line was silent for 2.00 s"_s
            << u"short_reply 300"_s << all;
        // The pseudo-terminal takes the whole image at once: what went out is what the line
        // carried, 499 image bytes and a little more while the hang-up is noticed.
        QTest::newRow("line lost in the upload")
            << u"--pace --hangup-after 500"_s << u"-b 9600"_s
            << u"The line to .* was lost during the upload, after (49[89]|[5-9][0-9]{2}|1[0-9]{3}) "
               "of the 4097 bytes had gone out: the device was removed or hung up"_s
            << QString() << QByteArray("\r" + testBytes(499));
        QTest::newRow("noise before the reply")
            << u"--noise 7"_s << QString()
            << u"Flash differs from the image: [0-9]+ bytes differing, the first at offset 0x0 "
               "\\(the window's \"Byte\\[1\\] Is [0-9]+ Should Be [0-9]+\"\\); the flash reads as "
               "the image shifted 7 bytes later"_s
            << u"shift 7"_s << all;
        QTest::newRow("regular file as port")
            << u"FILE"_s << QString()
            << u"could not be opened: it is not a serial device \\(Inappropriate ioctl for "
               "device\\) - give a serial device such as /dev/ttyUSB0, or COMn"_s
            << QString() << QByteArray();
        QTest::newRow("port without permission")
            << u"NOBODY"_s << QString()
            << u"could not be opened: Permission denied - .* belongs to the group dialout, which "
               "you are not in: run sudo usermod -aG dialout \\$USER"_s
            << QString() << QByteArray();
    }

    void failures() {
        QFETCH(QString, board);
        QFETCH(QString, options);
        QFETCH(QString, message);
        QFETCH(QString, diagnosis);
        QFETCH(QByteArray, received);
        const bool asNobody = board == u"NOBODY"_s;
        if (asNobody && ::geteuid() != 0)
            QSKIP("needs root to run corvid-flash as another user");
        BoardProcess process(QStringLiteral(CORVID_TARGET_PATH),
                             kQuickBoard + QProcess::splitCommand(asNobody ? QString() : board),
                             true);
        // The image sits where the unprivileged user can read it.
        QTemporaryDir imageDir;
        QVERIFY(::chmod(QFile::encodeName(imageDir.path()).constData(), 0755) == 0);
        const QString image = imageDir.filePath(u"image.bin"_s);
        QVERIFY(QFile::copy(m_dir.makeFile(u"fail.bin"_s, testBytes(4096)), image));
        QVERIFY(QFile::setPermissions(image, QFile::ReadOwner | QFile::ReadOther));
        QString port = process.device();
        if (board == u"FILE"_s)
            port = m_dir.makeFile(u"not-a-port"_s, QByteArray());
        QProcess flash;
        QStringList arguments = kQuickRun +
                                QProcess::splitCommand(u"--json -b 921600 "_s + options) +
                                QStringList{u"-i"_s, image, port};
        if (asNobody) {
            // The device belongs to the group dialout, which lets its members in; the user is not
            // one of them.
            const group* dialout = ::getgrnam("dialout");
            QVERIFY(dialout);
            QVERIFY(::chown(QFile::encodeName(port).constData(), 0, dialout->gr_gid) == 0);
            QVERIFY(::chmod(QFile::encodeName(port).constData(), 0660) == 0);
            flash.start(u"setpriv"_s,
                        QStringList{u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s,
                                    QStringLiteral(CORVID_FLASH_PATH)} +
                            arguments);
        } else {
            flash.start(QStringLiteral(CORVID_FLASH_PATH), arguments);
        }
        QVERIFY(flash.waitForFinished(60000));
        const QList<QJsonObject> records = boardRecords(flash.readAllStandardOutput());
        QCOMPARE(records.size(), 1);
        const QString failure = records[0][u"failure"].toString();
        QVERIFY2(QRegularExpression(message).match(failure).hasMatch(), qPrintable(failure));
        QVERIFY2(!failure.contains(u"error "_s), qPrintable(failure));
        const QJsonObject found = records[0][u"diagnosis"].toObject();
        QCOMPARE(found.isEmpty()
                     ? QString()
                     : u"%1 %2"_s.arg(found[u"kind"].toString()).arg(found[u"bytes"].toInteger()),
                 diagnosis);
        QCOMPARE(process.received(), received);
    }

    // A failure of the line is tried again from the start as often as asked; a flash that
    // differs only when asked.
    void retries_data() {
        QTest::addColumn<QString>("board");
        QTest::addColumn<QString>("options");
        QTest::addColumn<int>("attempts");
        QTest::addColumn<QString>("firstFailure");
        QTest::addColumn<bool>("passed");
        QTest::newRow("missed wake-up, no retries")
            << u"--miss-wakeups 1"_s << QString() << 1 << u"No answer from"_s << false;
        QTest::newRow("missed wake-up, one retry")
            << u"--miss-wakeups 1"_s << u"--retries 1"_s << 2 << u"No answer from"_s << true;
        QTest::newRow("mismatch not retried")
            << u"--flip-byte 9"_s << u"--retries 1"_s << 1 << u"Flash differs"_s << false;
        QTest::newRow("mismatch retried when asked")
            << u"--flip-byte 9"_s << u"--retries 1 --retry-mismatch"_s << 2 << u"Flash differs"_s
            << false;
    }

    void retries() {
        QFETCH(QString, board);
        QFETCH(QString, options);
        QFETCH(int, attempts);
        QFETCH(QString, firstFailure);
        QFETCH(bool, passed);
        const QByteArray image = testBytes(1000);
        BoardProcess process(QStringLiteral(CORVID_TARGET_PATH),
                             kQuickBoard + QProcess::splitCommand(board), true);
        const QJsonObject record = flashOne(process, options, image);
        QCOMPARE(record[u"result"].toString(), passed ? u"pass"_s : u"fail"_s);
        QCOMPARE(record[u"attempt_count"].toInt(), attempts);
        const QJsonArray tried = record[u"attempts"].toArray();
        QCOMPARE(tried.size(), attempts);
        QVERIFY(tried[0].toObject()[u"failure"].toString().startsWith(firstFailure));
        // The wake-up that went unanswered was followed by nothing but the next attempt.
        if (board.startsWith(u"--miss"_s))
            QCOMPARE(process.received(),
                     attempts == 1 ? QByteArray("\r") : "\r" + programmedAndRead(image));
    }

    // The shapes of a whole mismatch whose cause can be named, and ones that have none.
    void diagnosis_data() {
        QTest::addColumn<QByteArray>("flash");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("fact");
        QTest::addColumn<int>("value");
        const QByteArray file = testBytes(4096);
        const auto row = [](const char* name, const QByteArray& flash, const QString& kind,
                            int fact,
                            int value) { QTest::newRow(name) << flash << kind << fact << value; };
        const auto shifted = [&](qsizetype by) {
            return by > 0 ? (QByteArray(by, '\x5a') + file).left(file.size())
                          : file.mid(-by) + QByteArray(-by, '\x0d');
        };
        const auto bitwise = [&](auto change) {
            QByteArray flash = file;
            for (char& byte : flash)
                byte = static_cast<char>(change(static_cast<quint8>(byte)));
            return flash;
        };
        row("7 bytes of noise first", shifted(7), u"shift"_s, 7, 0);
        row("16 bytes of noise first", shifted(16), u"shift"_s, 16, 0);
        row("header byte lost", shifted(-1), u"shift"_s, -1, 0);
        row("16 bytes lost", shifted(-16), u"shift"_s, -16, 0);
        row("erased from 0x0c00", file.left(3072) + QByteArray(1024, '\xff'), u"erased"_s, 3072,
            0xFF);
        row("zeroed from 0x64", file.left(100) + QByteArray(3996, '\0'), u"erased"_s, 100, 0);
        row("bit 3 stuck at 1", bitwise([](quint8 b) { return b | 0x08; }), u"stuck_bit"_s, 3, 1);
        row("bit 6 stuck at 0", bitwise([](quint8 b) { return b & ~0x40; }), u"stuck_bit"_s, 6, 0);
        QByteArray flipped = file;
        flipped[2000] = static_cast<char>(~flipped[2000]);
        flipped[3000] = static_cast<char>(flipped[3000] ^ 0x10);
        row("two unrelated bytes", flipped, QString(), 0, 0);
        row("random tail", file.left(2048) + testBytes(2048), QString(), 0, 0);
    }

    void diagnosis() {
        QFETCH(QByteArray, flash);
        QFETCH(QString, kind);
        QFETCH(int, fact);
        QFETCH(int, value);
        const QByteArray file = testBytes(4096);
        TargetProtocol::StreamComparator comparator;
        // Chunks of an odd size, as a reply arrives.
        for (qint64 at = 0; at < file.size(); at += 333)
            comparator.compare(file.constData() + at, flash.constData() + at,
                               std::min<qint64>(333, file.size() - at));
        const std::optional<TargetProtocol::Diagnosis> found = comparator.diagnosis();
        QCOMPARE(found ? TargetProtocol::Diagnosis::kindName(found->kind) : QString(), kind);
        if (!found)
            return;
        using Kind = TargetProtocol::Diagnosis::Kind;
        QCOMPARE(found->kind == Kind::Shift    ? found->bytes
                 : found->kind == Kind::Erased ? found->offset
                                               : found->bit,
                 fact);
        QCOMPARE(found->kind == Kind::Shift ? 0 : found->value, value);
    }

    void usageErrors_data() {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QString>("message");
        const auto row = [](const char* name, const char* arguments, const char* message) {
            QTest::newRow(name) << QString::fromLatin1(arguments) << QString::fromLatin1(message);
        };
        row("missing image", "-i DIR/none.bin /dev/null",
            "could not be opened: No such file or directory");
        row("empty image", "-i EMPTY /dev/null", "is empty: there is nothing to program");
        row("log in a missing folder", "-i IMAGE --log DIR/none/flash.log /dev/null",
            "could not be opened for appending: No such file or directory");
        row("no image", "/dev/null", "no image given");
        row("no port", "-i IMAGE", "no PORT given");
        row("unknown option", "--fast -i IMAGE /dev/null", "Unknown option 'fast'");
        row("baud not a number", "-b 9k6 -i IMAGE /dev/null", "--baud needs a whole number");
        row("nothing to do", "--no-verify --verify-only -i IMAGE /dev/null", "leave nothing to do");
    }

    void usageErrors() {
        QFETCH(QString, arguments);
        QFETCH(QString, message);
        arguments.replace(u"DIR"_s, m_dir.folder())
            .replace(u"EMPTY"_s, m_dir.makeFile(u"empty.bin"_s, QByteArray()))
            .replace(u"IMAGE"_s, m_dir.makeFile(u"usage.bin"_s, testBytes(16)));
        const Outcome run = FlashRun::run(QProcess::splitCommand(arguments));
        QCOMPARE(run.status, 2);
        QVERIFY(run.out.isEmpty());
        QCOMPARE(run.err.count(u'\n'), 1);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
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

    // The streaming comparison keeps the first eight offsets and 16 bytes of context, also
    // across chunk ends and at either end of the image.
    void comparator() {
        const struct {
            int chunk;
            QList<qint64> flipped;
            qint64 contextStart;
        } cases[] = {
            {100, {0, 1, 2}, 0}, {5, {20, 21, 30, 40, 50, 60, 70, 80, 90, 95}, 12}, {1, {99}, 91}};
        const QByteArray file = testBytes(100);
        for (const auto& [chunk, flipped, contextStart] : cases) {
            QByteArray flash = file;
            for (const qint64 offset : flipped)
                flash[offset] = static_cast<char>(flash[offset] ^ 0x5A);
            TargetProtocol::StreamComparator comparator;
            for (qint64 at = 0; at < file.size(); at += chunk)
                comparator.compare(file.constData() + at, flash.constData() + at,
                                   std::min<qint64>(chunk, file.size() - at));
            QCOMPARE(comparator.compared(), 100);
            const TargetProtocol::Mismatch& mismatch = *comparator.mismatch();
            QCOMPARE(mismatch.count, flipped.size());
            QCOMPARE(mismatch.firstOffsets, flipped.first(std::min<qsizetype>(flipped.size(), 8)));
            QCOMPARE(mismatch.contextStart, contextStart);
            const qsizetype length = std::min<qint64>(16, 100 - contextStart);
            QCOMPARE(mismatch.fileContext, file.mid(contextStart, length));
            QCOMPARE(mismatch.flashContext, flash.mid(contextStart, length));
        }
    }
};

QTEST_GUILESS_MAIN(tst_Flash)
#include "tst_flash.moc"
