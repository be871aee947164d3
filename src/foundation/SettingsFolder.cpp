#include "foundation/SettingsFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#endif

namespace SettingsFolder {

namespace {

// Whether the folder is meant to be written by this user: its permission bits for the owner,
// the group or the others, whichever apply, and a file system mounted for writing. Root's power
// to write anyway does not count, so that a folder made read-only keeps root's settings out too.
bool userMayWrite(const QString& folder) {
#ifdef Q_OS_WIN
    return QFileInfo(folder).isWritable();
#else
    const QByteArray path = QFile::encodeName(folder);
    struct stat info {};
    if (::stat(path.constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        return false;
    struct statvfs volume {};
    if (::statvfs(path.constData(), &volume) == 0 && (volume.f_flag & ST_RDONLY))
        return false;
    if (info.st_uid == ::geteuid())
        return info.st_mode & S_IWUSR;
    if (info.st_gid == ::getegid())
        return info.st_mode & S_IWGRP;
    // Write access through a supplementary group or the others' bits: what the system says.
    return (info.st_mode & (S_IWGRP | S_IWOTH)) && ::access(path.constData(), W_OK) == 0;
#endif
}

} // namespace

bool isSystemFolder(const QString& programFolder) {
#ifdef Q_OS_WIN
    Q_UNUSED(programFolder);
    return false;
#else
    // Resolved first: on Debian /bin is a link to /usr/bin, and a link may lead anywhere.
    QString folder = QFileInfo(programFolder).canonicalFilePath();
    if (folder.isEmpty())
        folder = QDir::cleanPath(QDir(programFolder).absolutePath());
    // The folders programs are installed to; a build under /usr/src or /usr/local/src is not.
    static const char* const systemFolders[] = {"/bin",
                                                "/sbin",
                                                "/lib",
                                                "/usr/bin",
                                                "/usr/sbin",
                                                "/usr/lib",
                                                "/usr/libexec",
                                                "/usr/games",
                                                "/usr/local/bin",
                                                "/usr/local/sbin",
                                                "/usr/local/lib",
                                                "/usr/local/libexec",
                                                "/usr/local/games",
                                                "/opt"};
    for (const char* system : systemFolders) {
        const QString prefix = QString::fromLatin1(system);
        if (folder == prefix || folder.startsWith(prefix + QLatin1Char('/')))
            return true;
    }
    return false;
#endif
}

QString perUserFolder() {
    // Both programs share one folder whatever their application names, so it is named here.
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
        .filePath(QStringLiteral("corvid"));
}

QString forProgram(const QString& programFolder) {
    if (!isSystemFolder(programFolder) && userMayWrite(programFolder))
        return programFolder;
    return perUserFolder();
}

} // namespace SettingsFolder
