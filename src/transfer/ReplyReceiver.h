#pragma once

#include <QByteArray>
#include <QObject>

// Takes the board's reply to the readback request as it comes, in whatever pieces the line
// delivers: skips the header that repeats the request and hands on the flash bytes in chunks, up
// to the length of the image they are compared with. Bytes beyond it are counted, not handed on.
class ReplyReceiver : public QObject {
    Q_OBJECT
public:
    explicit ReplyReceiver(QObject* parent = nullptr);

    // A new reply whose flash part is flashLength bytes long.
    void start(qint64 flashLength);
    // The next bytes from the line.
    void take(const char* data, qint64 size);
    void take(const QByteArray& data) { take(data.constData(), data.size()); }

    // Every byte of the reply so far, the header and any excess included.
    qint64 received() const { return m_received; }
    qint64 flashReceived() const { return m_flashReceived; }
    qint64 flashLength() const { return m_flashLength; }
    bool isComplete() const { return m_flashReceived == m_flashLength; }

signals:
    // The next flash bytes, valid only during the call; offset counts from the first flash byte.
    void flashData(qint64 offset, const char* data, qint64 size);
    // The last flash byte has come.
    void complete();

private:
    qint64 m_flashLength = 0;
    qint64 m_received = 0;
    qint64 m_flashReceived = 0;
    qint64 m_headerLeft = 0;
};
