// The Connect button and what the main window does when the line goes away.

#include "app/frmMain.h"
#include "foundation/MessageBox.h"
#include "foundation/RunTimeError.h"
#include "serial/SaxComm.h"
#include "transfer/TargetProtocol.h"

#include <QPushButton>

#include <utility>

namespace {

const QString kSerialPortError = QStringLiteral("Serial Port Error");

} // namespace

void frmMain::cmdConnect_Click() {
    try {
        if (!SaxComm1->PortIsOpen()) {
            try {
                SaxComm1->setPortIsOpen(true);
            } catch (const RunTimeError& failure) {
                // Nothing changed: the caption stays as it was and Upload stays disabled.
                MessageBox::ShowFailure(QStringLiteral("Error Opening Serial Port"),
                                        failure.number(), failure.description(), kSerialPortError);
                SaxComm1->setFocus();
                return;
            }
            cmdConnect->setText(QStringLiteral("Disconnect"));
            cmdUpload->setEnabled(true);
            SaxComm1->SendText(TargetProtocol::kWakeUp);
        } else {
            // The command ends in disconnected(), once the line has taken what is queued.
            m_closingFor = ClosingFor::Disconnect;
            m_closing.emplace();
            SaxComm1->setPortIsOpen(false);
            return;
        }
    } catch (const RunTimeError& failure) {
        if (!SaxComm1->PortIsOpen()) {
            cmdConnect->setText(QStringLiteral("Connect"));
            cmdUpload->setEnabled(false);
        }
        // A line lost while sending is announced by the serial control's own event.
        if (SaxComm1->lostErrorNumber() == 0)
            MessageBox::ShowFailure(QStringLiteral("Error Using Serial Port"), failure.number(),
                                    failure.description(), kSerialPortError);
    }
    SaxComm1->setFocus();
}

void frmMain::disconnected(int errorNumber, const QString& description) {
    // The port is closed whatever was left unsent; the buttons follow it before the report.
    cmdConnect->setText(QStringLiteral("Connect"));
    cmdUpload->setEnabled(false);
    SaxComm1->setDisplayText(QByteArrayLiteral("\x1b[2J"));
    // A line lost while closing is announced by the serial control's own event.
    if (errorNumber != 0 && SaxComm1->lostErrorNumber() == 0)
        MessageBox::ShowFailure(QStringLiteral("Error Using Serial Port"), errorNumber, description,
                                kSerialPortError);
    SaxComm1->setFocus();
}

void frmMain::showPortClosed() {
    if (cmdConnect->text() == QStringLiteral("Disconnect"))
        cmdConnect->setText(QStringLiteral("Connect"));
    cmdUpload->setEnabled(false);
}

void frmMain::lineFailureReported() {
    showPortClosed();
    m_lossReported = SaxComm1->lostEventPending();
}

void frmMain::connectionLost() {
    showPortClosed();
    if (std::exchange(m_lossReported, false))
        return;
    MessageBox::ShowFailure(QStringLiteral("Serial Connection Lost - Check The Cable And Connect "
                                           "Again"),
                            SaxComm1->lostErrorNumber(), SaxComm1->lostErrorDescription(),
                            kSerialPortError);
}
