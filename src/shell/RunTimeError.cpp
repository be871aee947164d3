#include "shell/RunTimeError.h"

#include <cstring>

RunTimeError RunTimeError::fromErrno(int errorNumber, const QString& context) {
    QString description = QString::fromLocal8Bit(std::strerror(errorNumber));
    if (!context.isEmpty())
        description = context + QStringLiteral(": ") + description;
    return RunTimeError(errorNumber, description);
}
