#pragma once

#include <QString>

struct UploadState;

namespace FileAccess {

// Opens the port when it is closed, measures and tries the file at path, then shows the
// upload dialog and waits until it is hidden. Failures are reported.
void SendProgramFile(const QString& path, UploadState& state);

} // namespace FileAccess
