// The main window's handler of the serial control's event: received bytes go into the shared
// receive buffer, and while a verification runs its dialog shows how far the reply has come.

#include "serial/SaxComm.h"
#include "shell/DoEvents.h"
#include "shell/ProgressBar.h"
#include "shell/Variables.h"
#include "shell/frmMain.h"
#include "verify/frmVerify.h"

#include <QLabel>

namespace {

// While a verification runs, the capture yields after every this many bytes of one event.
constexpr qint32 kVerifyYieldInterval = 250;

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
            if (byte.isEmpty() || Variables::lngRxCount >= Variables::kRxBufferSize)
                continue;
            ++Variables::lngRxCount;
            Variables::bytRxBuffer[static_cast<size_t>(Variables::lngRxCount) - 1] =
                static_cast<quint8>(byte.at(0));
            ++storedThisRun;
            if (Variables::blnVerifying != Variables::kFalse) {
                if (frmVerify* dialog = frmVerify::loaded()) {
                    dialog->pgVerify->setValue(static_cast<float>(Variables::lngRxCount));
                    dialog->lblVerifyReceivingData->setText(
                        QStringLiteral("Receiving Flash Data [") +
                        QString::number(Variables::lngRxCount - 5) + QStringLiteral(" Bytes]"));
                }
                if (storedThisRun % kVerifyYieldInterval == 0)
                    DoEvents();
            }
            if (Variables::lngRxCount >= qint64(Variables::lngFileSize) + 5)
                Variables::blnVerifying = Variables::kFalse;
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
