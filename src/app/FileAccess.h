#pragma once

#include <QString>

// The settings file of the program: read once at start-up, written once at shutdown.
namespace FileAccess {

// Reads the window geometry, port, baud rate and last file from the settings file at path;
// true when all of it was read. A missing file is no failure; other failures are reported.
bool ReadIniFile(const QString& path);

// Writes the window geometry (unless the window is minimised), port, baud rate and last file
// to the settings file at path; failures are reported.
void WriteIniFile(const QString& path);

} // namespace FileAccess
