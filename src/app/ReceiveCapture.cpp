// The main window's handler of the serial control's event: received bytes go into the shared
// receive buffer, and while a verification runs its dialog shows how far the reply has come.

#include "app/frmMain.h"
#include "foundation/DoEvents.h"
#include "foundation/ProgressBar.h"
#include "serial/SaxComm.h"
#include "transfer/TargetProtocol.h"
#include "verify/frmVerify.h"

#include <QLabel>

#include <algorithm>
#include <charconv>

namespace {

// While a verification runs, the capture yields after every this many bytes of one event.
constexpr qint32 kVerifyYieldInterval = 250;

// "Receiving Flash Data [n Bytes]" in a single allocation, since it is made for every byte.
QString receivingText(qint32 count) {
    static constexpr char kPrefix[] = "Receiving Flash Data [";
    static constexpr char kSuffix[] = " Bytes]";
    char text[sizeof kPrefix + 12 + sizeof kSuffix];
    char* end = std::copy(kPrefix, kPrefix + sizeof kPrefix - 1, text);
    end = std::to_chars(end, end + 12, count).ptr;
    end = std::copy(kSuffix, kSuffix + sizeof kSuffix - 1, end);
    return QString::fromLatin1(text, end - text);
}

} // namespace

void frmMain::SaxComm1_SerialEvent() {
    switch (SaxComm1->EventCode()) {
    case 1:
        SaxComm1->setSetting98(0);
        break;
    case SaxComm::comEvReceive: {
        qint32 storedThisRun = 0;
        while (SaxComm1->ReceivedCount() > 0) {
            const QByteArray byte = SaxComm1->ReceivedData();
            // Nothing is ever written past the buffer: once it is full, further bytes are
            // dropped and not counted.
            if (byte.isEmpty() || m_session.lngRxCount >= Session::kRxBufferSize)
                continue;
            ++m_session.lngRxCount;
            m_session.bytRxBuffer[static_cast<size_t>(m_session.lngRxCount) - 1] =
                static_cast<quint8>(byte.at(0));
            ++storedThisRun;
            if (m_session.blnVerifying) {
                if (frmVerify* dialog = frmVerify::loaded()) {
                    dialog->pgVerify->setValue(static_cast<float>(m_session.lngRxCount));
                    dialog->lblVerifyReceivingData->setText(
                        receivingText(m_session.lngRxCount - TargetProtocol::kReplyHeaderLength));
                }
                if (storedThisRun % kVerifyYieldInterval == 0)
                    DoEvents();
            }
            if (m_session.lngRxCount >=
                qint64(m_session.lngFileSize) + TargetProtocol::kReplyHeaderLength)
                m_session.blnVerifying = false;
        }
        break;
    }
    case SaxComm::comEvDeviceLost:
        connectionLost();
        break;
    default:
        break;
    }
    DoEvents();
}
