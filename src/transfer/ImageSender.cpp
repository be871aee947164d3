#include "transfer/ImageSender.h"

#include "transfer/TargetProtocol.h"

#include <QIODevice>

#include <algorithm>

namespace {

// What is read from the image and written to the device at once.
constexpr qint64 kChunk = 4 * 1024;

} // namespace

ImageSender::ImageSender(QObject* parent) : QObject(parent) {}

void ImageSender::setQueueLimit(qint64 bytes) {
    m_queueLimit = std::max<qint64>(1, bytes);
}

void ImageSender::start(QIODevice* device, QIODevice* image, qint64 size) {
    stop();
    m_device = device;
    m_image = image;
    m_size = size;
    m_extra = TargetProtocol::kExtraByteCount;
    m_handed = 0;
    m_lastImageByte.reset();
    m_running = true;
    connect(device, &QIODevice::bytesWritten, this, &ImageSender::pump);
    connect(device, &QIODevice::aboutToClose, this, &ImageSender::onDeviceClosing);
    pump();
}

void ImageSender::stop() {
    m_running = false;
    if (m_device)
        disconnect(m_device, nullptr, this, nullptr);
}

void ImageSender::onDeviceClosing() {
    if (m_running)
        fail(Failure::DeviceClosed, m_device->errorString());
}

void ImageSender::pump() {
    // A write can report bytes written, or close the device, before it returns.
    if (m_pumping)
        return;
    m_pumping = true;
    const qint64 before = m_handed;
    while (m_running && m_handed < total() && m_device->bytesToWrite() < m_queueLimit) {
        const qint64 room = m_queueLimit - m_device->bytesToWrite();
        QByteArray chunk;
        if (m_handed < m_size) {
            chunk = m_image->read(std::min({kChunk, room, m_size - m_handed}));
            if (chunk.isEmpty()) {
                m_pumping = false;
                fail(Failure::SourceEnded, m_image->errorString());
                return;
            }
            m_lastImageByte = chunk.back();
        } else {
            chunk = QByteArray(1, TargetProtocol::extraByte(m_lastImageByte));
        }
        if (m_device->write(chunk) != chunk.size()) {
            m_pumping = false;
            if (m_running)
                fail(Failure::WriteFailed, m_device->errorString());
            return;
        }
        m_handed += chunk.size();
    }
    m_pumping = false;
    if (!m_running)
        return;
    if (m_handed != before)
        emit progressed(m_handed);
    if (m_handed == total()) {
        stop();
        emit allHanded();
    }
}

void ImageSender::fail(Failure failure, const QString& description) {
    stop();
    emit failed(failure, description);
}
