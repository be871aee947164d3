#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <optional>

class QIODevice;

// Hands an image, and the extra byte the board takes after it, to a device as fast as the device
// takes them: no more than a bounded queue waits in the device at any time, and more follows
// when the device reports bytes written. It reports how far it has come, when everything has been
// handed over and why it failed; it never blocks and never waits for the line itself.
class ImageSender : public QObject {
    Q_OBJECT
public:
    enum class Failure {
        // The image delivered fewer bytes than it was said to hold.
        SourceEnded,
        // The device took fewer bytes than it was given.
        WriteFailed,
        // The device was closed while bytes were still to be handed over.
        DeviceClosed
    };

    static constexpr qint64 kDefaultQueueLimit = 16 * 1024;

    explicit ImageSender(QObject* parent = nullptr);

    // Bytes the device may hold unsent before the sender waits for it; at least 1.
    void setQueueLimit(qint64 bytes);

    // Starts handing over size bytes read from image (open for reading), then the extra byte, to
    // device (open for writing). Both must outlive the transfer.
    void start(QIODevice* device, QIODevice* image, qint64 size);
    // Hands over no more bytes; what was handed over stays with the device.
    void stop();

    bool isRunning() const { return m_running; }
    // Bytes handed to the device so far, the extra byte included.
    qint64 handed() const { return m_handed; }
    qint64 total() const { return m_size + m_extra; }

signals:
    void progressed(qint64 handed);
    // Every byte, the extra one included, is with the device.
    void allHanded();
    // description is the device's or the image's own text of what went wrong.
    void failed(ImageSender::Failure failure, const QString& description);

private:
    void pump();
    void fail(Failure failure, const QString& description);
    void onDeviceClosing();

    QPointer<QIODevice> m_device;
    QPointer<QIODevice> m_image;
    qint64 m_size = 0;
    qint64 m_extra = 0;
    qint64 m_handed = 0;
    qint64 m_queueLimit = kDefaultQueueLimit;
    std::optional<char> m_lastImageByte;
    bool m_running = false;
    bool m_pumping = false;
};
