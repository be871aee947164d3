#pragma once

#include "target/FlashJob.h"

#include <QFile>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QTimer>

#include <cstdio>

class PortStation;

// One board's record: what went into which board, with the verdict and its diagnosis.
QJsonObject resultRecord(const FlashResult& result, const FlashImage& image,
                         const FlashSettings& settings);

// The log file: one whole JSON line appended per board; the file is never rewritten.
class FlashLog {
public:
    // False with the reason in error when the file cannot be opened for appending.
    bool open(const QString& path, QString& error);
    bool isOpen() const { return m_file.isOpen(); }
    // False with the reason in error when the line could not be written whole.
    bool append(const QJsonObject& record, QString& error);

private:
    QFile m_file;
};

// What a person reads while the boards are programmed: on a terminal one live line per port
// redrawn in place, otherwise one plain line per phase; with JSON one object per board; a
// summary table at the end.
class FlashConsole : public QObject {
    Q_OBJECT
public:
    enum class Mode { Live, Plain, Json };

    FlashConsole(Mode mode, const FlashImage& image, const FlashSettings& settings, std::FILE* out,
                 QObject* parent = nullptr);

    void addStation(PortStation* station);
    // Every board's result in the order they finished.
    const QList<FlashResult>& results() const { return m_results; }
    void printSummary();

private:
    void onJobStarted(PortStation* station, FlashJob* job);
    void onJobFinished(PortStation* station, FlashJob* job);
    void onStateChanged(PortStation* station);
    void plainLine(const QString& text);
    QString liveLine(const PortStation* station) const;
    void redraw();

    Mode m_mode;
    FlashImage m_image;
    FlashSettings m_settings;
    std::FILE* m_out;
    QList<PortStation*> m_stations;
    QList<FlashResult> m_results;
    QTimer m_redrawTimer;
    int m_linesDrawn = 0;
};
