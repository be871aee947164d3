// The Verify Data command: the checks before the verification dialog is shown.

#include "app/frmMain.h"
#include "foundation/Forms.h"
#include "foundation/MessageBox.h"
#include "foundation/RunTimeError.h"
#include "serial/SaxComm.h"
#include "transfer/TargetProtocol.h"
#include "upload/SelectProgramFile.h"
#include "verify/frmVerify.h"

#include <QDir>
#include <QFileInfo>

namespace {

// The reply holds five leading bytes before the flash contents, and all of it must fit the
// receive buffer.
constexpr qint32 kLargestVerifiableFile =
    Session::kRxBufferSize - TargetProtocol::kReplyHeaderLength;

} // namespace

void frmMain::cmdVerify_Click() {
    m_session.lngRxCount = 0;
    if (!SaxComm1->PortIsOpen())
        return;
    if (m_session.strProgramFile.isEmpty())
        return;

    const QString sentence = QStringLiteral("Error Locating Specified Comparison File");
    try {
        const std::optional<qint32> size = FileAccess::programFileLength(m_session.strProgramFile);
        if (!size) {
            MessageBox::ShowFailure(sentence, 0, QString(), QStringLiteral("File Error"));
            return;
        }
        m_session.lngFileSize = *size;
        if (m_session.lngFileSize == 0)
            return;
        if (m_session.lngFileSize > kLargestVerifiableFile) {
            // Refused before anything is sent: the reply could not be held.
            MessageBox::ShowFailure(
                QStringLiteral("Program File Too Large To Verify"), ErrorNumber::Overflow,
                QStringLiteral("%1 is %2 bytes long; the target's reply must fit the receive "
                               "buffer of %3 bytes, so at most %4 bytes can be verified")
                    .arg(QDir::toNativeSeparators(m_session.strProgramFile))
                    .arg(m_session.lngFileSize)
                    .arg(Session::kRxBufferSize)
                    .arg(kLargestVerifiableFile),
                QStringLiteral("File Error"));
            return;
        }
        frmVerify& dialog = frmVerify::Load(verifyState());
        dialog.exec();
        Forms::Unload(&dialog);
        SaxComm1->setFocus();
    } catch (const RunTimeError& failure) {
        MessageBox::ShowFailure(sentence, failure.number(), failure.description(),
                                QStringLiteral("File Error"));
    }
}
