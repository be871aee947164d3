#pragma once

#include <QPointer>
#include <QString>

#include <array>

class SaxComm;
class frmVerify;

namespace Verification {

// The receive buffer's size: the reply of a file of at most this size less five bytes fits.
inline constexpr qint32 kRxBufferSize = 1048576;

} // namespace Verification

// What a verification reads and writes of the program's shared state and controls. The main
// window owns all of it and hands it to the verification dialog it loads.
struct VerifyState {
    SaxComm& comm;
    const QString& strProgramFile;
    const qint32& lngFileSize;
    bool& blnVerifying;
    // Positions 1 to kRxBufferSize; position p is element p - 1. The reply's flash bytes go
    // after its header.
    std::array<quint8, Verification::kRxBufferSize>& bytRxBuffer;
    // Bytes of the reply received so far, up to the buffer's size.
    qint32& lngRxCount;
    QString& strMessage;
    // The verification dialog while it is loaded.
    QPointer<frmVerify>& verifyDialog;
};
