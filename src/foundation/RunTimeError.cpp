#include "foundation/RunTimeError.h"

#include <QFileDevice>

#include <cerrno>
#include <cstring>

RunTimeError RunTimeError::fromErrno(int errorNumber, const QString& context) {
    QString description = QString::fromLocal8Bit(std::strerror(errorNumber));
    if (!context.isEmpty())
        description = context + QStringLiteral(": ") + description;
    return RunTimeError(errorNumber, description);
}

RunTimeError RunTimeError::fromFile(const QFileDevice& file, const QString& context) {
    const int systemError = errno;
    return RunTimeError(systemError != 0 ? systemError : static_cast<int>(file.error()),
                        context + QStringLiteral(": ") + file.errorString());
}
