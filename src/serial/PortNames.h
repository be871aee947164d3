#pragma once

#include <QString>

// Where the port named COMn is found on this system.
namespace PortNames {

// "COMn" on Windows. Elsewhere a link named COMn in the program folder (pointing at the real
// device, resolved so that the device's lock matches the one other serial tools take), or else
// /dev/ttyS<n-1>.
QString deviceFor(int portNumber, const QString& programFolder);

// What a user whose open of device was refused for lack of permission can do about it, in one
// sentence: join the group that owns the device (on Debian "dialout"), log in again after
// joining, or close the other program that holds the device's lock. Empty where nothing helps.
QString permissionAdvice(const QString& device);

// Makes the link named COMn in folder point at device, so that COMn names that device from then
// on: name is COM1 to COM999 in any case (the names corvid-flash takes; the window offers COM1 to
// COM4), device an existing character device, kept as given so that a /dev/serial/by-id/ name
// survives the adapter being plugged into another socket. Returns the link's path, or an empty
// string and the reason, with what to do, in error.
QString mapPort(const QString& name, const QString& device, const QString& folder, QString& error);

} // namespace PortNames
