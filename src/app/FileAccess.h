#pragma once

#include <QString>

class Session;
class frmMain;

// The settings file of the program: read once at start-up, written once at shutdown.
namespace FileAccess {

// Reads the window geometry into form, and port, baud rate and last file into session, from
// the settings file at path; true when all of it was read. A missing file is no failure; other
// failures are reported.
bool ReadIniFile(const QString& path, frmMain& form, Session& session);

// Writes form's geometry (unless the window is minimised) and session's port, baud rate and
// last file to the settings file at path; failures are reported.
void WriteIniFile(const QString& path, frmMain& form, const Session& session);

} // namespace FileAccess
