#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// What a Brisa C167 target board expects on its serial line, written once for the window and
// for corvid-flash: the wake-up, the upload's extra byte, the readback request and its reply.
namespace TargetProtocol {

// One carriage return wakes the board and makes it print its banner.
inline const QByteArray kWakeUp = QByteArrayLiteral("\r");

// The board takes the image and then one byte more: the image's last byte sent again (a zero
// byte for an empty image), as the upload has always done.
inline constexpr qint64 kExtraByteCount = 1;
inline constexpr char kExtraByteOfEmptyImage = 0;
inline char extraByte(std::optional<char> lastImageByte) {
    return lastImageByte.value_or(kExtraByteOfEmptyImage);
}

// The readback request, sent as the command and then its carriage return.
inline const QByteArray kReadbackCommand = QByteArrayLiteral("UFD");
inline const QByteArray kReadbackEnd = QByteArrayLiteral("\r");
QByteArray readbackRequest();

// The reply repeats the request before the flash contents; these bytes are not compared.
inline constexpr int kReplyHeaderLength = 5;

// The verdict on the first differing byte; position counts from 1.
QString mismatchText(qint64 position, quint8 received, quint8 expected);

// The first differing byte and what surrounds it; offsets count from 0.
struct Mismatch {
    qint64 firstOffset = 0;
    quint8 received = 0;
    quint8 expected = 0;
    qint64 count = 0;
    QList<qint64> firstOffsets;
    qint64 contextStart = 0;
    QByteArray fileContext;
    QByteArray flashContext;

    // "Byte[n] Is x Should Be y", the window's own words without the line breaks.
    QString shortText() const;
};

// Compares the flash contents with the file as both stream in, in constant memory: counts the
// differing bytes and keeps the first few offsets and the bytes around the first one.
class StreamComparator {
public:
    static constexpr int kOffsetsKept = 8;
    static constexpr int kContextLength = 16;

    // expected and received hold count bytes each, the next ones of the file and of the flash.
    void compare(const char* expected, const char* received, qint64 count);

    qint64 compared() const { return m_position; }
    bool equal() const { return !m_mismatch; }
    const std::optional<Mismatch>& mismatch() const { return m_mismatch; }

private:
    void compareByte(quint8 expected, quint8 received);

    qint64 m_position = 0;
    // The last bytes before the first difference, so that its context can start before it.
    QByteArray m_fileHistory;
    QByteArray m_flashHistory;
    std::optional<Mismatch> m_mismatch;
};

} // namespace TargetProtocol
