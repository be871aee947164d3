// The main window's handler of the serial control's event: received bytes go into the shared
// receive buffer; a lost device is reported.

#include "serial/SaxComm.h"
#include "shell/DoEvents.h"
#include "shell/Variables.h"
#include "shell/frmMain.h"

void frmMain::SaxComm1_SerialEvent() {
    switch (SaxComm1->EventCode()) {
    case 1:
        SaxComm1->setSetting98(0);
        break;
    case SaxComm::comEvReceive:
        while (SaxComm1->ReceivedCount() > 0) {
            const QByteArray byte = SaxComm1->ReceivedData();
            // Nothing is ever written past the buffer: once it is full, further bytes are dropped.
            if (byte.isEmpty() || Variables::lngRxCount >= Variables::kRxBufferSize)
                continue;
            ++Variables::lngRxCount;
            Variables::bytRxBuffer[Variables::lngRxCount - 1] = static_cast<quint8>(byte.at(0));
            if (Variables::lngRxCount >= qint64(Variables::lngFileSize) + 5)
                Variables::blnVerifying = Variables::kFalse;
        }
        break;
    case SaxComm::comEvDeviceLost:
        connectionLost();
        break;
    default:
        break;
    }
    DoEvents();
}
