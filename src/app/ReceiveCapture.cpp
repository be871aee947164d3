// The main window's handler of the serial control's event: while a verification waits for the
// reply, what the capture receives goes to its dialog; a lost line is shown and told.

#include "app/frmMain.h"
#include "serial/SaxComm.h"
#include "verify/frmVerify.h"

void frmMain::SaxComm1_SerialEvent() {
    switch (SaxComm1->EventCode()) {
    case 1:
        SaxComm1->setSetting98(0);
        break;
    case SaxComm::comEvReceive: {
        const QByteArray bytes = SaxComm1->ReceivedData();
        if (m_verifyDialog)
            m_verifyDialog->takeReply(bytes);
        break;
    }
    case SaxComm::comEvDeviceLost:
        connectionLost();
        break;
    default:
        break;
    }
}
