#pragma once

#include <QString>

// Where the window and corvid-flash keep Corvid.ini and look for the COMn links.
namespace SettingsFolder {

// The program's own folder when the program runs as a portable copy (a build folder, a USB
// stick, a folder the user copied it to): one the user may write that is none of the system's
// program folders. Otherwise, for an installed program, the per-user folder
// ($XDG_CONFIG_HOME/corvid, by default ~/.config/corvid), shared by both programs.
QString forProgram(const QString& programFolder);

// Whether programFolder lies in one of the system's program folders (/bin, /sbin, /usr/bin,
// /usr/sbin, /usr/lib, /usr/libexec, their /usr/local twins, /opt, and below), where not even
// root may leave settings.
bool isSystemFolder(const QString& programFolder);

// The per-user folder the installed programs use.
QString perUserFolder();

} // namespace SettingsFolder
