#include "serial/PortNames.h"

#include <QDir>
#include <QFileInfo>

namespace PortNames {

QString deviceFor(int portNumber, const QString& programFolder) {
    const QString name = QStringLiteral("COM") + QString::number(portNumber);
#ifdef Q_OS_WIN
    Q_UNUSED(programFolder);
    return name;
#else
    const QFileInfo link(QDir(programFolder).filePath(name));
    if (link.isSymLink()) {
        const QString target = link.canonicalFilePath();
        // A dangling link still names the device the user meant; opening it reports the fault.
        return target.isEmpty() ? link.symLinkTarget() : target;
    }
    if (link.exists())
        return link.absoluteFilePath();
    return QStringLiteral("/dev/ttyS") + QString::number(portNumber - 1);
#endif
}

} // namespace PortNames
