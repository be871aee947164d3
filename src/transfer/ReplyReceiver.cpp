#include "transfer/ReplyReceiver.h"

#include "transfer/TargetProtocol.h"

#include <algorithm>

ReplyReceiver::ReplyReceiver(QObject* parent) : QObject(parent) {}

void ReplyReceiver::start(qint64 flashLength) {
    m_flashLength = std::max<qint64>(0, flashLength);
    m_received = 0;
    m_flashReceived = 0;
    m_headerLeft = TargetProtocol::kReplyHeaderLength;
}

void ReplyReceiver::take(const char* data, qint64 size) {
    if (size <= 0)
        return;
    m_received += size;
    const qint64 header = std::min(m_headerLeft, size);
    m_headerLeft -= header;
    const qint64 count = std::min(size - header, m_flashLength - m_flashReceived);
    if (count <= 0)
        return;
    const qint64 offset = m_flashReceived;
    m_flashReceived += count;
    emit flashData(offset, data + header, count);
    if (m_flashReceived == m_flashLength)
        emit complete();
}
