#pragma once

#include <QString>

// Where the port named COMn is found on this system.
namespace PortNames {

// "COMn" on Windows. Elsewhere a link named COMn in the program folder (pointing at the real
// device, resolved so that the device's lock matches the one other serial tools take), or else
// /dev/ttyS<n-1>.
QString deviceFor(int portNumber, const QString& programFolder);

} // namespace PortNames
