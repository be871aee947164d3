#pragma once

#include "transfer/FlashJob.h"

#include <QObject>
#include <QPointer>
#include <QSerialPort>
#include <QTimer>

// One port of a run. Once: programs the board that is there, trying again after a failure of
// the line as often as the settings allow. Watching: waits for a board (its
// device node appears and it answers a CR), programs it, waits until it is gone (the node is
// removed, or several probes go unanswered), and waits for the next, counting the results.
class PortStation : public QObject {
    Q_OBJECT
public:
    enum class State { WaitingForBoard, Programming, WaitingForRemoval, Stopped };
    // What a port that waits for a board has found so far.
    enum class Waiting { Probing, DeviceMissing, NoAnswer };

    PortStation(const QString& port, const QString& programFolder, const FlashImage& image,
                const FlashSettings& settings, bool watch, QObject* parent = nullptr);

    void start();
    // Ends after the board in progress; a port that waits ends at once.
    void stop();
    // Ends the board in progress too, marked interrupted when asked.
    void abort(const QString& reason, bool interrupted = false);

    QString port() const { return m_port; }
    QString device() const;
    State state() const { return m_state; }
    Waiting waiting() const { return m_waiting; }
    FlashJob* job() const { return m_job; }
    int passed() const { return m_passed; }
    int failed() const { return m_failed; }
    bool watching() const { return m_watch; }
    // The result of the board programmed last on this port.
    const std::optional<FlashResult>& lastResult() const { return m_lastResult; }

signals:
    void stateChanged();
    void jobStarted(FlashJob* job);
    void jobFinished(FlashJob* job);
    void stopped();

private:
    void setState(State state);
    void startJob(const FlashResult* previous = nullptr);
    void onJobFinished();
    void probe();
    void onProbeAnswered();
    void onProbeUnanswered();
    void endProbe();
    void setWaiting(Waiting waiting);
    bool shouldRetry(const FlashResult& result) const;

    QString m_port;
    QString m_programFolder;
    FlashImage m_image;
    FlashSettings m_settings;
    bool m_watch = false;
    bool m_stopRequested = false;
    State m_state = State::WaitingForBoard;
    Waiting m_waiting = Waiting::Probing;
    QPointer<FlashJob> m_job;
    int m_passed = 0;
    int m_failed = 0;
    std::optional<FlashResult> m_lastResult;
    QSerialPort m_probe;
    QTimer m_probeTimer;
    QTimer m_answerTimer;
    int m_unanswered = 0;
};

// The device a port name stands for: COMn as the window resolves it (the COMn link in the
// program folder, else /dev/ttyS<n-1>), any other name as a path with its links resolved.
QString resolvePortName(const QString& port, const QString& programFolder);
