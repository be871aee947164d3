#include "target/TargetProtocol.h"

#include <algorithm>
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

} // namespace

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
    if (!collecting && std::memcmp(expected, received, static_cast<size_t>(count)) == 0) {
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
    } else if (!m_mismatch) {
        keepTail(m_fileHistory, reinterpret_cast<const char*>(&expected), 1);
        keepTail(m_flashHistory, reinterpret_cast<const char*>(&received), 1);
    }
    ++m_position;
}

} // namespace TargetProtocol
