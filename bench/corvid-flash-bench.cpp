// Measures corvid-flash with many simulated boards at once: the whole run's time against the
// slowest board's own exchange and against the wire time, corvid-flash's CPU per board and its
// peak memory. bench/README.md tells how to build and run it.

#include "support/BoardProcess.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kBitsPerByte = 10;
constexpr qint64 kImageSize = 64 * 1024;
// The board answers 10 ms after a burst; corvid-flash waits for 50 ms of quiet.
const QStringList kBoardOptions{QStringLiteral("--pace"), QStringLiteral("--burst-gap"),
                                QStringLiteral("10")};
const QStringList kFlashOptions{QStringLiteral("--json"), QStringLiteral("--settle"),
                                QStringLiteral("50")};

struct Figures {
    double total = 0;        // s, corvid-flash started → exited
    double slowestBoard = 0; // s, the longest elapsed_ms of one board
    double wire = 0;         // s, one board's bytes at the line rate
    double cpuPerBoard = 0;  // % of a core
    double peakMB = 0;
    int passed = 0;
};

QByteArray patterned(qint64 size) {
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = 2463534242u;
    for (char& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state);
    }
    return bytes;
}

double seconds(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

// Runs corvid-flash and waits for it alone, so that its own CPU time and peak memory are read.
bool runFlash(const QStringList& arguments, const QString& outputPath, Figures& figures) {
    std::vector<QByteArray> storage{QByteArrayLiteral(CORVID_FLASH_PATH)};
    for (const QString& argument : arguments)
        storage.push_back(argument.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(outputPath.toLocal8Bit().constData(), O_WRONLY | O_CREAT, 0600);
        ::dup2(out, STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid)
        return false;
    figures.total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    figures.peakMB = static_cast<double>(usage.ru_maxrss) * 1024.0 / 1e6;
    figures.cpuPerBoard = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    return WIFEXITED(status);
}

bool measure(int boards, int baud, Figures& figures) {
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("image.bin"));
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly) || file.write(patterned(kImageSize)) != kImageSize)
        return false;
    file.close();
    std::vector<std::unique_ptr<BoardProcess>> processes;
    QStringList arguments = kFlashOptions + QStringList{QStringLiteral("-b"), QString::number(baud),
                                                        QStringLiteral("-i"), image};
    for (int i = 0; i < boards; ++i) {
        processes.push_back(
            std::make_unique<BoardProcess>(QStringLiteral(CORVID_TARGET_PATH), kBoardOptions));
        if (processes.back()->device().isEmpty())
            return false;
        arguments << processes.back()->device();
    }
    const QString output = dir.filePath(QStringLiteral("out.jsonl"));
    if (!runFlash(arguments, output, figures))
        return false;
    QFile results(output);
    if (!results.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray& line : results.readAll().split('\n')) {
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        if (record.isEmpty())
            continue;
        figures.passed += record[u"result"].toString() == QStringLiteral("pass") ? 1 : 0;
        figures.slowestBoard =
            std::max(figures.slowestBoard, record[u"elapsed_ms"].toDouble() / 1000.0);
    }
    // The CR, the image and its extra byte, the request; the reply's header and flash.
    const qint64 wireBytes = 1 + kImageSize + 1 + 4 + 5 + kImageSize;
    figures.wire = static_cast<double>(wireBytes * kBitsPerByte) / baud;
    figures.cpuPerBoard = figures.cpuPerBoard / figures.total / boards * 100.0;
    return true;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Measures corvid-flash with 8 boards at 115200 baud and 32 boards at "
                       "921600 baud, 64 KiB each, paced by the simulated boards."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("runs"), QStringLiteral("Runs of each case (default 3)."),
                      QStringLiteral("n"), QStringLiteral("3")});
    parser.process(app);
    const int runs = std::max(1, parser.value(QStringLiteral("runs")).toInt());

    bool allMet = true;
    std::printf("%-28s %9s %9s %9s %8s %8s %10s %9s %6s\n", "case", "total s", "slowest s",
                "wire s", "÷slowest", "÷wire", "CPU/board", "peak MB", "passed");
    for (const auto& [boards, baud] : {std::pair{8, 115200}, std::pair{32, 921600}}) {
        std::vector<double> total, slowest, ratio, wireRatio, cpu, peak;
        double wire = 0;
        int passed = 0;
        for (int run = 0; run < runs; ++run) {
            Figures figures;
            if (!measure(boards, baud, figures)) {
                std::fprintf(stderr, "a run of %d boards at %d baud failed\n", boards, baud);
                return 2;
            }
            total.push_back(figures.total);
            slowest.push_back(figures.slowestBoard);
            ratio.push_back(figures.total / figures.slowestBoard);
            wireRatio.push_back(figures.total / figures.wire);
            cpu.push_back(figures.cpuPerBoard);
            peak.push_back(figures.peakMB);
            wire = figures.wire;
            passed = std::min(passed == 0 ? boards : passed, figures.passed);
        }
        const QString name = QStringLiteral("%1 boards, 64 KiB, %2 baud").arg(boards).arg(baud);
        std::printf("%-28s %9.3f %9.3f %9.3f %7.3fx %7.3fx %9.2f%% %9.1f %3d/%d\n",
                    qPrintable(name), median(total), median(slowest), wire, median(ratio),
                    median(wireRatio), median(cpu), *std::max_element(peak.begin(), peak.end()),
                    passed, boards);
        allMet = allMet && median(ratio) <= 1.05 && median(cpu) <= 2.0 && passed == boards &&
                 *std::max_element(peak.begin(), peak.end()) < 30.0;
    }
    std::printf("targets: total ≤ 1.05 × the slowest board's own time, CPU ≤ 2 %% of a core per "
                "board, peak memory < 30 MB: %s\n",
                allMet ? "met" : "MISSED");
    return allMet ? 0 : 1;
}
