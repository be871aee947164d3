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

// "1 byte", "n bytes" and "1.23 s", as the messages about an exchange say them.
QString byteCount(qint64 count);
QString secondsText(qint64 milliseconds);

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

// What a mismatch or a short reply looks like as a whole, the likely cause in one sentence with
// the facts it rests on. Offsets count from 0.
struct Diagnosis {
    enum class Kind { Shift, Erased, StuckBit, ShortReply, NoReply };
    Kind kind = Kind::Shift;
    // Shift: bytes the flash lags the file by (negative: it runs ahead). Short reply: flash bytes
    // that came.
    qint64 bytes = 0;
    // Erased: where the erased run starts.
    qint64 offset = 0;
    // Erased: the value it reads (0xFF or 0x00); stuck bit: the value the bit is stuck at.
    int value = 0;
    // Stuck bit: which bit, 0 for the lowest.
    int bit = 0;
    // Short or no reply: how long the line was silent before the exchange was given up.
    qint64 silenceMilliseconds = 0;

    static QString kindName(Kind kind);
    QString text() const;
};

// Compares the flash contents with the file as both stream in, in constant memory: counts the
// differing bytes and keeps the first few offsets and the bytes around the first one, and
// watches for the shapes whose cause can be named (a shift, an erased tail, a stuck bit).
class StreamComparator {
public:
    static constexpr int kOffsetsKept = 8;
    static constexpr int kContextLength = 16;
    // The largest shift between the file and the flash that is recognised, either way.
    static constexpr int kMaxShift = 32;

    // expected and received hold count bytes each, the next ones of the file and of the flash.
    void compare(const char* expected, const char* received, qint64 count);

    qint64 compared() const { return m_position; }
    bool equal() const { return !m_mismatch; }
    const std::optional<Mismatch>& mismatch() const { return m_mismatch; }
    // The shape of the differences seen so far, when one is clear.
    std::optional<Diagnosis> diagnosis() const;

private:
    void compareByte(quint8 expected, quint8 received);
    void watchShapes(quint8 expected, quint8 received);
    std::optional<qint64> bestShift(double share) const;

    qint64 m_position = 0;
    // The last bytes before the first difference, so that its context can start before it.
    QByteArray m_fileHistory;
    QByteArray m_flashHistory;
    std::optional<Mismatch> m_mismatch;
    // From the first difference on: the last kMaxShift bytes of each stream, and for each shift
    // how many bytes agreed with it and how many could be checked.
    quint8 m_fileRing[kMaxShift] = {};
    quint8 m_flashRing[kMaxShift] = {};
    qint64 m_shiftAgreed[2 * kMaxShift + 1] = {};
    qint64 m_shiftChecked[2 * kMaxShift + 1] = {};
    bool m_shiftAlive = true;
    // Whether every flash byte from the first difference on was 0xFF, or 0x00.
    bool m_ffAlive = true;
    bool m_zeroAlive = true;
    // The bits in which differing bytes differed: any of them, all of them, and the flash's
    // value of those bits in any and in all differing bytes.
    quint8 m_diffAny = 0;
    quint8 m_diffAll = 0xFF;
    quint8 m_flashAny = 0;
    quint8 m_flashAll = 0xFF;
};

} // namespace TargetProtocol
