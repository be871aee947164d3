#include "app/frmMain.h"
#include "support/BoardProcess.h"
#include "support/TestProgram.h"
#include "target/TargetProtocol.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {

// Quick exchanges: the boards answer 50 ms after a burst, corvid-flash waits 120 ms of quiet.
const QStringList kQuickBoard{QStringLiteral("--burst-gap"), QStringLiteral("50")};
const QStringList kQuickRun{QStringLiteral("--settle"), QStringLiteral("120"),
                            QStringLiteral("--timeout"), QStringLiteral("2")};

struct Outcome {
    int status = -1;
    QString out;
    QString err;
};

Outcome runFlash(const QStringList& arguments) {
    QProcess flash;
    flash.start(QStringLiteral(CORVID_FLASH_PATH), arguments);
    flash.waitForFinished(120000);
    return {flash.exitStatus() == QProcess::NormalExit ? flash.exitCode() : -1,
            QString::fromLocal8Bit(flash.readAllStandardOutput()),
            QString::fromLocal8Bit(flash.readAllStandardError())};
}

QList<QJsonObject> jsonLines(const QByteArray& text) {
    QList<QJsonObject> objects;
    for (const QByteArray& line : text.split('\n')) {
        if (!line.isEmpty())
            objects.append(QJsonDocument::fromJson(line).object());
    }
    return objects;
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// corvid-flash run as a process against simulated boards, each a process of its own.
class tst_Flash : public QObject {
    Q_OBJECT
private slots:
    void eightBoardsTwoFaults();
    void imageLargerThanTheWindowsBuffer();
    void usageErrors_data();
    void usageErrors();
    void watchTwoBoardsOnOnePort();
    void comparator_data();
    void comparator();

private:
    QString makeFile(const QString& name, const QByteArray& content) {
        QFile file(m_dir.filePath(name));
        if (file.open(QIODevice::WriteOnly))
            file.write(content);
        return file.fileName();
    }

    QTemporaryDir m_dir;
};

void tst_Flash::eightBoardsTwoFaults() {
    const QByteArray image = testBytes(4096);
    const QString imagePath = makeFile(QStringLiteral("eight.bin"), image);
    const QString logPath = m_dir.filePath(QStringLiteral("eight.log"));
    std::vector<std::unique_ptr<BoardProcess>> boards;
    QStringList arguments{QStringLiteral("-i"),    imagePath,
                          QStringLiteral("-b"),    QStringLiteral("921600"),
                          QStringLiteral("--log"), logPath};
    for (int i = 0; i < 8; ++i) {
        QStringList options = kQuickBoard + QStringList{QStringLiteral("--pace")};
        if (i == 2)
            options << QStringLiteral("--flip-byte") << QStringLiteral("1000");
        if (i == 5)
            options << QStringLiteral("--hangup-after") << QStringLiteral("2000");
        boards.push_back(
            std::make_unique<BoardProcess>(QStringLiteral(CORVID_TARGET_PATH), options));
        QVERIFY(!boards.back()->device().isEmpty());
        arguments << boards.back()->device();
    }
    const Outcome run = runFlash(arguments + kQuickRun);
    QCOMPARE(run.status, 1);
    QVERIFY2(run.out.contains(QStringLiteral("6 of 8 boards passed, 2 failed")),
             qPrintable(run.out));

    const QList<QJsonObject> records = jsonLines(readFile(logPath));
    QCOMPARE(records.size(), 8);
    for (const QJsonObject& record : records) {
        const int board = static_cast<int>(arguments.indexOf(record[u"device"].toString())) - 6;
        QCOMPARE(record[u"size"].toInteger(), 4096);
        QCOMPARE(record[u"sha256"].toString(),
                 QString::fromLatin1(
                     QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex()));
        QCOMPARE(record[u"result"].toString(),
                 board == 2 || board == 5 ? QStringLiteral("fail") : QStringLiteral("pass"));
        const QJsonObject mismatch = record[u"mismatch"].toObject();
        if (board == 2) {
            QCOMPARE(mismatch[u"text"].toString(), QStringLiteral("Byte[1001] Is %1 Should Be %2")
                                                       .arg(quint8(~image.at(1000)))
                                                       .arg(quint8(image.at(1000))));
            QCOMPARE(mismatch[u"count"].toInt(), 1);
            QCOMPARE(mismatch[u"context_offset"].toInt(), 992);
            QCOMPARE(mismatch[u"file"].toString(),
                     QString::fromLatin1(image.mid(992, 16).toHex(' ')));
        } else if (board == 5) {
            QVERIFY2(record[u"failure"].toString().contains(QStringLiteral("lost during upload")),
                     qPrintable(record[u"failure"].toString()));
            QVERIFY(mismatch.isEmpty());
        } else {
            QCOMPARE(record[u"bytes_sent"].toInteger(), 4096 + 1 + 4);
        }
    }
}

void tst_Flash::imageLargerThanTheWindowsBuffer() {
    const QByteArray image = testBytes(1024 * 1024 + 4097);
    BoardProcess board(QStringLiteral(CORVID_TARGET_PATH), kQuickBoard);
    // A rate no standard line has: the board does not pace it, and the wire time stays short.
    const QStringList common = QStringList{QStringLiteral("--json"), QStringLiteral("--baud"),
                                           QStringLiteral("20000000"), board.device()} +
                               kQuickRun;
    Outcome run = runFlash(
        common + QStringList{QStringLiteral("-i"), makeFile(QStringLiteral("big.bin"), image)});
    QCOMPARE(run.status, 0);
    QList<QJsonObject> records = jsonLines(run.out.toLocal8Bit());
    QCOMPARE(records.size(), 1);
    QCOMPARE(records[0][u"result"].toString(), QStringLiteral("pass"));
    QCOMPARE(records[0][u"size"].toInteger(), image.size());

    // The flash holds the image and its last byte once more.
    run = runFlash(common +
                   QStringList{QStringLiteral("--verify-only"), QStringLiteral("-i"),
                               makeFile(QStringLiteral("sent.bin"), image + image.right(1))});
    QCOMPARE(run.status, 0);
    records = jsonLines(run.out.toLocal8Bit());
    QCOMPARE(records.size(), 1);
    QCOMPARE(records[0][u"bytes_sent"].toInteger(), 4);
}

void tst_Flash::usageErrors_data() {
    const QString image = makeFile(QStringLiteral("usage.bin"), testBytes(16));
    const QString empty = makeFile(QStringLiteral("empty.bin"), QByteArray());
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("missing image")
        << QStringList{QStringLiteral("-i"), m_dir.filePath(QStringLiteral("none.bin")),
                       QStringLiteral("/dev/null")}
        << QStringLiteral("could not be opened: error 2 - ");
    QTest::newRow("empty image") << QStringList{QStringLiteral("-i"), empty,
                                                QStringLiteral("/dev/null")}
                                 << QStringLiteral("is empty: error 62");
    QTest::newRow("log in a missing folder")
        << QStringList{QStringLiteral("-i"), image, QStringLiteral("--log"),
                       m_dir.filePath(QStringLiteral("none/flash.log")),
                       QStringLiteral("/dev/null")}
        << QStringLiteral("The log could not be opened: error 2 - ");
    QTest::newRow("no image") << QStringList{QStringLiteral("/dev/null")}
                              << QStringLiteral("no image given");
    QTest::newRow("no port") << QStringList{QStringLiteral("-i"), image}
                             << QStringLiteral("no PORT given");
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--fast"), QStringLiteral("-i"),
                                                   image, QStringLiteral("/dev/null")}
                                    << QStringLiteral("Unknown option 'fast'");
    QTest::newRow("baud not a number")
        << QStringList{QStringLiteral("-b"), QStringLiteral("9k6"), QStringLiteral("-i"), image,
                       QStringLiteral("/dev/null")}
        << QStringLiteral("--baud needs a whole number");
    QTest::newRow("nothing to do")
        << QStringList{QStringLiteral("--no-verify"), QStringLiteral("--verify-only"),
                       QStringLiteral("-i"), image, QStringLiteral("/dev/null")}
        << QStringLiteral("leave nothing to do");
}

void tst_Flash::usageErrors() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const Outcome run = runFlash(arguments);
    QCOMPARE(run.status, 2);
    QVERIFY(run.out.isEmpty());
    QCOMPARE(run.err.count(u'\n'), 1);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
}

void tst_Flash::watchTwoBoardsOnOnePort() {
    const QString imagePath = makeFile(QStringLiteral("watch.bin"), testBytes(2048));
    const QString link = m_dir.filePath(QStringLiteral("station"));
    const QString logPath = m_dir.filePath(QStringLiteral("watch.log"));
    BoardProcess board(QStringLiteral(CORVID_TARGET_PATH),
                       kQuickBoard + QStringList{QStringLiteral("--link"), link});
    QProcess flash;
    flash.start(QStringLiteral(CORVID_FLASH_PATH),
                QStringList{QStringLiteral("--watch"), QStringLiteral("-b"),
                            QStringLiteral("921600"), QStringLiteral("-i"), imagePath,
                            QStringLiteral("--log"), logPath, link} +
                    kQuickRun);
    QString out;
    const auto waitingLines = [&] {
        out += QString::fromLocal8Bit(flash.readAllStandardOutput());
        return out.count(QStringLiteral(": waiting for a board"));
    };
    QTRY_COMPARE_WITH_TIMEOUT(jsonLines(readFile(logPath)).size(), 1, 20000);
    board.signal(SIGUSR1);
    QTRY_COMPARE_WITH_TIMEOUT(waitingLines(), 2, 10000);
    board.signal(SIGUSR2);
    QTRY_COMPARE_WITH_TIMEOUT(jsonLines(readFile(logPath)).size(), 2, 20000);
    ::kill(static_cast<pid_t>(flash.processId()), SIGINT);
    QVERIFY(flash.waitForFinished(10000));
    waitingLines();
    QCOMPARE(flash.exitCode(), 0);
    QVERIFY2(out.contains(QStringLiteral("2 of 2 boards passed")), qPrintable(out));
    // The board plugged in second starts with an empty flash: it passed because it was programmed.
    QCOMPARE(board.log().count(QStringLiteral("programmed")), 2);
}

void tst_Flash::comparator_data() {
    QTest::addColumn<int>("chunk");
    QTest::addColumn<QList<qint64>>("flipped");
    QTest::addColumn<qint64>("contextStart");
    QTest::newRow("equal") << 7 << QList<qint64>{} << qint64(0);
    QTest::newRow("first byte") << 100 << QList<qint64>{0, 1, 2} << qint64(0);
    QTest::newRow("across chunks, more than kept")
        << 5 << QList<qint64>{20, 21, 30, 40, 50, 60, 70, 80, 90, 95} << qint64(12);
    QTest::newRow("near the end") << 1 << QList<qint64>{99} << qint64(91);
}

void tst_Flash::comparator() {
    QFETCH(int, chunk);
    QFETCH(QList<qint64>, flipped);
    QFETCH(qint64, contextStart);
    const QByteArray file = testBytes(100);
    QByteArray flash = file;
    for (const qint64 offset : flipped)
        flash[offset] = static_cast<char>(flash[offset] ^ 0x5A);
    TargetProtocol::StreamComparator comparator;
    for (qint64 at = 0; at < file.size(); at += chunk)
        comparator.compare(file.constData() + at, flash.constData() + at,
                           std::min<qint64>(chunk, file.size() - at));
    QCOMPARE(comparator.compared(), 100);
    QCOMPARE(comparator.equal(), flipped.isEmpty());
    if (flipped.isEmpty())
        return;
    const TargetProtocol::Mismatch& mismatch = *comparator.mismatch();
    QCOMPARE(mismatch.count, flipped.size());
    QCOMPARE(mismatch.firstOffsets, flipped.first(std::min<qsizetype>(flipped.size(), 8)));
    QCOMPARE(mismatch.contextStart, contextStart);
    const qsizetype length = std::min<qint64>(16, 100 - contextStart);
    QCOMPARE(mismatch.fileContext, file.mid(contextStart, length));
    QCOMPARE(mismatch.flashContext, flash.mid(contextStart, length));
    QCOMPARE(TargetProtocol::mismatchText(mismatch.firstOffset + 1, mismatch.received,
                                          mismatch.expected),
             QStringLiteral("Retreived Data Not Equal To Binary File Specified\rByte[%1] Is %2 "
                            "Should Be %3.\r\r")
                 .arg(flipped.first() + 1)
                 .arg(quint8(flash[flipped.first()]))
                 .arg(quint8(file[flipped.first()])));
}

QTEST_GUILESS_MAIN(tst_Flash)
#include "tst_flash.moc"
