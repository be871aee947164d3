#include "support/BoardProcess.h"
#include "support/FlashRun.h"
#include "support/TestProgram.h"
#include "target/TargetProtocol.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <csignal>
#include <memory>

using namespace Qt::StringLiterals;

using namespace FlashRun;

class tst_Flash : public QObject {
    Q_OBJECT
private:
    TestProgram m_dir;

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
                kQuickBoard + QProcess::splitCommand(u"--pace "_s + fault)));
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
                QVERIFY(record[u"failure"].toString().contains(u"lost during upload"));
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
        BoardProcess board(QStringLiteral(CORVID_TARGET_PATH),
                           kQuickBoard + QStringList{u"--link"_s, link});
        QProcess flash;
        flash.start(QStringLiteral(CORVID_FLASH_PATH),
                    QProcess::splitCommand(u"--watch -b 921600 -i %1 --log %2 %3"_s.arg(
                        m_dir.makeFile(u"watch.bin"_s, testBytes(2048)), logPath, link)) +
                        kQuickRun);
        QString out;
        const auto waitingLines = [&] {
            out += QString::fromLocal8Bit(flash.readAllStandardOutput());
            return out.count(u": waiting for a board"_s);
        };
        QTRY_COMPARE_WITH_TIMEOUT(jsonRecords(fileContent(logPath)).size(), 1, 20000);
        board.signal(SIGUSR1);
        QTRY_COMPARE_WITH_TIMEOUT(waitingLines(), 2, 10000);
        board.signal(SIGUSR2);
        QTRY_COMPARE_WITH_TIMEOUT(jsonRecords(fileContent(logPath)).size(), 2, 20000);
        ::kill(static_cast<pid_t>(flash.processId()), SIGINT);
        QVERIFY(flash.waitForFinished(10000));
        waitingLines();
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
