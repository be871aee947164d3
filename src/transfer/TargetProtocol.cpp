#include "transfer/TargetProtocol.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace TargetProtocol {

namespace {

constexpr qsizetype kContextBefore = StreamComparator::kContextLength / 2;

void keepTail(QByteArray& history, const char* bytes, qint64 count) {
    const qint64 taken = std::min<qint64>(count, kContextBefore);
    history.append(bytes + count - taken, taken);
    if (history.size() > kContextBefore)
        history.remove(0, history.size() - kContextBefore);
}

// A shift is named when at least this share of the bytes checked for it agree with it, after
// this many were checked; below half it is given up, so that the comparison can go fast again.
constexpr double kShiftAgreement = 0.9;
constexpr qint64 kShiftMinimumChecked = 16;
constexpr qint64 kShiftGiveUpAfter = 256;

QString hexOffset(qint64 offset) {
    return QStringLiteral("0x") + QString::number(offset, 16);
}

} // namespace

QString Diagnosis::kindName(Kind kind) {
    switch (kind) {
    case Kind::Shift:
        return QStringLiteral("shift");
    case Kind::Erased:
        return QStringLiteral("erased");
    case Kind::StuckBit:
        return QStringLiteral("stuck_bit");
    case Kind::ShortReply:
        return QStringLiteral("short_reply");
    case Kind::NoReply:
        return QStringLiteral("no_reply");
    }
    return QString();
}

QString Diagnosis::text() const {
    switch (kind) {
    case Kind::Shift:
        return bytes > 0 ? QStringLiteral("the flash reads as the image shifted %1 later: %1 "
                                          "came before the reply (noise on the line)")
                               .arg(byteCount(bytes))
                         : QStringLiteral("the flash reads as the image shifted %1 earlier: %1 "
                                          "of the reply was lost (a header byte missing)")
                               .arg(byteCount(-bytes));
    case Kind::Erased:
        return QStringLiteral("the flash is erased (all 0x%1) from offset %2 to the end")
            .arg(QString::number(value, 16).rightJustified(2, u'0'), hexOffset(offset));
    case Kind::StuckBit:
        return QStringLiteral("every differing byte differs in bit %1 (0x%2) only, which the "
                              "flash always reads as %3: a data line stuck at %3")
            .arg(bit)
            .arg(QString::number(1 << bit, 16).rightJustified(2, u'0'))
            .arg(value);
    case Kind::ShortReply:
        return QStringLiteral("the reply stopped after %1 of flash, then the line was silent for "
                              "%2")
            .arg(byteCount(bytes), secondsText(silenceMilliseconds));
    case Kind::NoReply:
        return QStringLiteral("the board sent nothing in reply; the line was silent for %1")
            .arg(secondsText(silenceMilliseconds));
    }
    return QString();
}

QByteArray readbackRequest() {
    return kReadbackCommand + kReadbackEnd;
}

QString mismatchText(qint64 position, quint8 received, quint8 expected) {
    return QStringLiteral("Retreived Data Not Equal To Binary File Specified\rByte[") +
           QString::number(position) + QStringLiteral("] Is ") + QString::number(received) +
           QStringLiteral(" Should Be ") + QString::number(expected) + QStringLiteral(".\r\r");
}

QString Mismatch::shortText() const {
    return QStringLiteral("Byte[%1] Is %2 Should Be %3")
        .arg(firstOffset + 1)
        .arg(received)
        .arg(expected);
}

void StreamComparator::compare(const char* expected, const char* received, qint64 count) {
    const bool collecting =
        m_mismatch && m_mismatch->fileContext.size() < StreamComparator::kContextLength;
    const bool watching = m_mismatch && (m_shiftAlive || m_ffAlive || m_zeroAlive);
    if (!collecting && !watching &&
        std::memcmp(expected, received, static_cast<size_t>(count)) == 0) {
        if (!m_mismatch) {
            keepTail(m_fileHistory, expected, count);
            keepTail(m_flashHistory, received, count);
        }
        m_position += count;
        return;
    }
    for (qint64 i = 0; i < count; ++i)
        compareByte(static_cast<quint8>(expected[i]), static_cast<quint8>(received[i]));
}

void StreamComparator::compareByte(quint8 expected, quint8 received) {
    if (m_mismatch && m_mismatch->fileContext.size() < kContextLength) {
        m_mismatch->fileContext.append(static_cast<char>(expected));
        m_mismatch->flashContext.append(static_cast<char>(received));
    }
    if (expected != received) {
        if (!m_mismatch) {
            Mismatch first;
            first.firstOffset = m_position;
            first.received = received;
            first.expected = expected;
            first.contextStart = m_position - m_fileHistory.size();
            first.fileContext = m_fileHistory + static_cast<char>(expected);
            first.flashContext = m_flashHistory + static_cast<char>(received);
            m_mismatch = first;
            m_fileHistory.clear();
            m_flashHistory.clear();
        }
        ++m_mismatch->count;
        if (m_mismatch->firstOffsets.size() < kOffsetsKept)
            m_mismatch->firstOffsets.append(m_position);
        const auto diff = static_cast<quint8>(expected ^ received);
        m_diffAny |= diff;
        m_diffAll &= diff;
        m_flashAny |= static_cast<quint8>(received & diff);
        m_flashAll &= static_cast<quint8>(received | ~diff);
    } else if (!m_mismatch) {
        keepTail(m_fileHistory, reinterpret_cast<const char*>(&expected), 1);
        keepTail(m_flashHistory, reinterpret_cast<const char*>(&received), 1);
    }
    if (m_mismatch)
        watchShapes(expected, received);
    ++m_position;
}

void StreamComparator::watchShapes(quint8 expected, quint8 received) {
    m_ffAlive = m_ffAlive && received == 0xFF;
    m_zeroAlive = m_zeroAlive && received == 0x00;
    if (!m_shiftAlive)
        return;
    const qint64 since = m_position - m_mismatch->firstOffset;
    const qint64 reach = std::min<qint64>(since, kMaxShift);
    for (qint64 shift = 1; shift <= reach; ++shift) {
        const qint64 slot = (m_position - shift) % kMaxShift;
        // The flash lagging the file: what came now was due shift bytes ago.
        m_shiftAgreed[kMaxShift + shift] += received == m_fileRing[slot] ? 1 : 0;
        ++m_shiftChecked[kMaxShift + shift];
        // The flash running ahead: what is due now came shift bytes ago.
        m_shiftAgreed[kMaxShift - shift] += expected == m_flashRing[slot] ? 1 : 0;
        ++m_shiftChecked[kMaxShift - shift];
    }
    m_fileRing[m_position % kMaxShift] = expected;
    m_flashRing[m_position % kMaxShift] = received;
    if (since > 0 && since % kShiftGiveUpAfter == 0) {
        const std::optional<qint64> shift = bestShift(0.5);
        m_shiftAlive = shift.has_value();
    }
}

// The shift that most bytes agree with, when at least the given share of them do.
std::optional<qint64> StreamComparator::bestShift(double share) const {
    std::optional<qint64> best;
    double bestShare = share;
    for (int index = 0; index <= 2 * kMaxShift; ++index) {
        const qint64 checked = m_shiftChecked[index];
        if (index == kMaxShift || checked < kShiftMinimumChecked)
            continue;
        const double agreed = static_cast<double>(m_shiftAgreed[index]) / checked;
        if (agreed >= bestShare) {
            bestShare = agreed;
            best = index - kMaxShift;
        }
    }
    return best;
}

std::optional<Diagnosis> StreamComparator::diagnosis() const {
    if (!m_mismatch)
        return std::nullopt;
    Diagnosis found;
    if (const std::optional<qint64> shift =
            m_shiftAlive ? bestShift(kShiftAgreement) : std::nullopt) {
        found.kind = Diagnosis::Kind::Shift;
        found.bytes = *shift;
        return found;
    }
    if (m_mismatch->count >= 2 && (m_ffAlive || m_zeroAlive)) {
        found.kind = Diagnosis::Kind::Erased;
        found.offset = m_mismatch->firstOffset;
        found.value = m_ffAlive ? 0xFF : 0x00;
        return found;
    }
    // One bit, and the flash always on the same side of it.
    if (m_mismatch->count >= 2 && std::popcount(m_diffAny) == 1 &&
        ((m_flashAll & m_diffAny) != 0 || (m_flashAny & m_diffAny) == 0)) {
        found.kind = Diagnosis::Kind::StuckBit;
        found.bit = std::countr_zero(m_diffAny);
        found.value = (m_flashAll & m_diffAny) != 0 ? 1 : 0;
        return found;
    }
    return std::nullopt;
}

QString byteCount(qint64 count) {
    return count == 1 ? QStringLiteral("1 byte") : QStringLiteral("%1 bytes").arg(count);
}

QString secondsText(qint64 milliseconds) {
    return QString::number(static_cast<double>(milliseconds) / 1000.0, 'f', 2) +
           QStringLiteral(" s");
}

} // namespace TargetProtocol
