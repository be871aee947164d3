#pragma once

#include "transfer/FlashJob.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QTimer>

#include <cstdio>
#include <optional>

class PortStation;

// What every record of one run shares: what went in, how, and which run it was.
struct RunInfo {
    // Shared by all boards of one run, so that a line's records can be grouped afterwards.
    QString id;
    QString version;
    // The operator's KEY=VALUE tags (lot, order, station), copied into every record.
    QList<QPair<QString, QString>> tags;
    FlashImage image;
    FlashSettings settings;
};

// What the system knows of the adapter behind a serial device; empty fields where nothing.
struct PortIdentity {
    QString device;
    QString byId;
    QString description;
    QString manufacturer;
    QString serialNumber;
    std::optional<quint16> vendorId;
    std::optional<quint16> productId;
};

// The identity of the adapter that device (a path, links resolved) stands for.
PortIdentity portIdentity(const QString& device);
// Every serial port the system lists, and every device a /dev/serial/by-id link names.
QList<PortIdentity> presentPorts();

// "pass", "fail", "programmed" (uploaded, never read back) or "interrupted".
QString resultName(const FlashResult& result, const FlashSettings& settings);

// One board's record: what went into which board, with the verdict and its diagnosis.
QJsonObject resultRecord(const FlashResult& result, const RunInfo& run);
// The run's last record: each board's result in the order of results, the counts, the time
// and the exit status.
QJsonObject summaryRecord(const QList<FlashResult>& results, const RunInfo& run,
                          qint64 elapsedMilliseconds, int exitStatus);

// The log file: one whole JSON line appended per record; the file is never rewritten.
class FlashLog {
public:
    FlashLog() = default;
    ~FlashLog();
    FlashLog(const FlashLog&) = delete;
    FlashLog& operator=(const FlashLog&) = delete;

    // False with the reason in error when the file cannot be opened for appending.
    bool open(const QString& path, QString& error);
    bool isOpen() const { return m_fd >= 0; }
    // False with the reason in error when the line could not be written whole.
    bool append(const QJsonObject& record, QString& error);

private:
    QString m_path;
    int m_fd = -1;
    // A file that does not end with a line break gets one before the first record.
    bool m_needsLineBreak = false;
};

// What a person reads while the boards are programmed: on a terminal a live block, one line
// per port, fitted to the terminal and redrawn in place; otherwise one plain line per phase;
// with JSON one object per board; a summary at the end in the order the ports were given.
class FlashConsole : public QObject {
    Q_OBJECT
public:
    enum class Mode { Live, Plain, Json };
    enum class Detail { Quiet, Normal, Verbose };

    FlashConsole(Mode mode, Detail detail, const RunInfo& run, std::FILE* out,
                 QObject* parent = nullptr);

    void addStation(PortStation* station);
    // Every board's result, port by port in the order given, each port's in the order done.
    QList<FlashResult> results() const;
    // A message on stderr that stays: printed above the live block, which is then redrawn.
    void notice(const QString& text);
    void printSummary(qint64 elapsedMilliseconds, int exitStatus);

private:
    void onJobStarted(PortStation* station, FlashJob* job);
    void onJobFinished(qsizetype index, PortStation* station, FlashJob* job);
    void onStateChanged(PortStation* station);
    void plainLine(const QString& text);
    void printAbove(std::FILE* stream, const QString& text);
    void verboseLines(const FlashResult& result);
    int nameWidth(int columns) const;
    QString liveLine(const PortStation* station, int columns, int width) const;
    QString condensedLine(qsizetype from, int columns) const;
    void redraw();

    Mode m_mode;
    Detail m_detail;
    RunInfo m_run;
    std::FILE* m_out;
    QList<PortStation*> m_stations;
    QList<QList<FlashResult>> m_results;
    QTimer m_redrawTimer;
    int m_linesDrawn = 0;
};
