#include "serial/PortNames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifndef Q_OS_WIN
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>
#endif

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

#ifndef Q_OS_WIN
namespace {

bool processHasGroup(gid_t group) {
    if (::getegid() == group)
        return true;
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<size_t>(count) : 0);
    if (count > 0 && ::getgroups(count, groups.data()) == count) {
        for (const gid_t member : groups) {
            if (member == group)
                return true;
        }
    }
    return false;
}

// Whether the account has been made a member since this session began.
bool accountHasGroup(gid_t group) {
    const passwd* user = ::getpwuid(::geteuid());
    if (!user)
        return false;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (::getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
        if (::getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0)
            return false;
    }
    for (int i = 0; i < count; ++i) {
        if (groups[static_cast<size_t>(i)] == group)
            return true;
    }
    return false;
}

} // namespace
#endif

QString permissionAdvice(const QString& device) {
#ifdef Q_OS_WIN
    Q_UNUSED(device);
    return QString();
#else
    const QByteArray path = QFile::encodeName(device);
    struct stat info {};
    if (::stat(path.constData(), &info) != 0)
        return QString();
    // The device itself may be opened: what refused is the lock another program holds on it.
    if (::access(path.constData(), R_OK | W_OK) == 0)
        return QStringLiteral("another program is using %1: close it (fuser %1 names it), then "
                              "try again")
            .arg(device);
    const group* owner = ::getgrgid(info.st_gid);
    const QString groupName =
        owner ? QString::fromLocal8Bit(owner->gr_name) : QString::number(info.st_gid);
    if ((info.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP) || info.st_gid == 0)
        return QStringLiteral("%1 may only be opened by its owner: ask the administrator to "
                              "give the group %2 read and write access to it")
            .arg(device, groupName);
    if (processHasGroup(info.st_gid))
        return QString();
    if (accountHasGroup(info.st_gid))
        return QStringLiteral("%1 belongs to the group %2, which you have joined but this "
                              "session has not: log out and in again")
            .arg(device, groupName);
    return QStringLiteral("%1 belongs to the group %2, which you are not in: run "
                          "sudo usermod -aG %2 $USER, then log out and in again")
        .arg(device, groupName);
#endif
}

} // namespace PortNames
