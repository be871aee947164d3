#pragma once

#include "transfer/ImageSender.h"
#include "transfer/ReplyReceiver.h"
#include "transfer/TargetProtocol.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSerialPort>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <optional>

// The image every board gets, measured once before the first board starts.
struct FlashImage {
    QString path;
    qint64 size = 0;
    QByteArray sha256;
};

// How each board is programmed; the same for all boards of a run.
struct FlashSettings {
    qint32 baud = 9600;
    bool upload = true;
    bool verify = true;
    std::chrono::milliseconds settle{500};
    std::chrono::milliseconds timeout{5000};
    // A board that fails for a reason of the line is tried again from the start this many times.
    int retries = 0;
    // A flash that differs from the image is tried again too.
    bool retryMismatch = false;
    // A board that prints nothing in answer to the wake-up fails before any image byte is sent.
    bool wakeCheck = true;
};

// Why a board failed, for deciding whether another attempt can help.
enum class FlashFailure {
    None,
    // No answer, a short or no reply, a line lost or never quiet: the next attempt may pass.
    Line,
    Mismatch,
    Interrupted,
    // The port or the image could not be used: trying again changes nothing.
    Setup
};

// What one board's exchange came to, for the summary, the JSON output and the log.
struct FlashResult {
    QString port;
    QString device;
    QDateTime started;
    bool passed = false;
    // What failed, with its number and description; empty when the board passed.
    QString failure;
    QList<QPair<QString, qint64>> phaseMilliseconds;
    qint64 elapsedMilliseconds = 0;
    qint64 bytesSent = 0;
    // Every byte of the readback reply, its header included.
    qint64 bytesReceived = 0;
    std::optional<TargetProtocol::Mismatch> mismatch;
    FlashFailure failureKind = FlashFailure::None;
    // The likely cause of a mismatch or a short reply, when one is clear.
    std::optional<TargetProtocol::Diagnosis> diagnosis;
    // How many times the board was tried, and why each attempt before the last failed.
    int attemptCount = 1;
    QStringList earlierFailures;
    // Ended by the operator (a second Ctrl-C, a stop request), not by the board.
    bool interrupted = false;
    // What the board printed outside the readback reply (its banner, its upload report).
    QByteArray boardOutput;
};

// One board's exchange on its own serial port, driven by the port's and the timers' events:
// open, wake, upload with the extra byte, settle, request the flash and compare it as it
// streams in. It reports through its signals and its result and never blocks.
class FlashJob : public QObject {
    Q_OBJECT
public:
    enum class Phase { Opening, Waking, Uploading, Settling, Verifying, Passed, Failed };

    FlashJob(const QString& port, const QString& device, const FlashImage& image,
             const FlashSettings& settings, QObject* parent = nullptr);

    // This job is another attempt at the board whose last attempt ended in previous.
    void continueFrom(const FlashResult& previous);
    void start();
    // Ends the exchange at once as failed, closing the port; marked interrupted when asked.
    void abort(const QString& reason, bool interrupted = false);

    Phase phase() const { return m_phase; }
    bool isFinished() const { return m_phase == Phase::Passed || m_phase == Phase::Failed; }
    static QString phaseName(Phase phase);
    // How far the current phase has come, in bytes of its total; a total of 0 has no measure.
    qint64 progressDone() const;
    qint64 progressTotal() const;
    qint64 phaseElapsed() const { return m_phaseClock.isValid() ? m_phaseClock.elapsed() : 0; }
    const FlashResult& result() const { return m_result; }

signals:
    void phaseChanged();
    void finished();

private:
    void enterPhase(Phase phase);
    void onReadyRead();
    void onError(QSerialPort::SerialPortError error);
    void onQuiet();
    bool openImage(const QString& purpose);
    void startUpload();
    void onSenderFailed(ImageSender::Failure failure, const QString& description);
    void onAllHanded();
    void scheduleDrainCheck();
    void pollDrain();
    qint64 queuedInKernel() const;
    qint64 wireBytesSince(const QElapsedTimer& clock) const;
    void startReadback();
    void takeReply(const QByteArray& data);
    void compareFlash(const char* data, qint64 count);
    void onSilence();
    void pass();
    void fail(const QString& what, FlashFailure kind);
    void failOpen();
    qint64 uploadCarried() const;
    QString lostText() const;
    void finish(Phase phase);
    QString where() const;

    FlashImage m_image;
    FlashSettings m_settings;
    FlashResult m_result;
    Phase m_phase = Phase::Opening;
    QSerialPort m_port;
    QFile m_file;
    QTimer m_quiet;
    QTimer m_silence;
    QTimer m_drainPoll;
    QElapsedTimer m_clock;
    QElapsedTimer m_phaseClock;
    qint64 m_elapsedBefore = 0;
    qint64 m_wakeAnswer = 0;
    qint64 m_lastReplyAt = 0;
    TargetProtocol::StreamComparator m_comparator;
    ImageSender m_sender;
    ReplyReceiver m_receiver;
};
