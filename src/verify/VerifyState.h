#pragma once

#include <QString>

#include <array>

class SaxComm;

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
    // Positions 1 to kRxBufferSize; position p is element p - 1.
    const std::array<quint8, Verification::kRxBufferSize>& bytRxBuffer;
    QString& strMessage;
};
