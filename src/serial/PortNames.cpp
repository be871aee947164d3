#include "serial/PortNames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>

#ifndef Q_OS_WIN
#include <cstdio>
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

namespace {

QString systemText(int number) {
    return QStringLiteral("error %1 - %2")
        .arg(number)
        .arg(QString::fromLocal8Bit(std::strerror(number)));
}

} // namespace

QString mapPort(const QString& name, const QString& device, const QString& folder, QString& error) {
    static const QRegularExpression comName(QStringLiteral("^COM([1-9][0-9]{0,2})$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = comName.match(name);
    if (!match.hasMatch()) {
        error = QStringLiteral("\"%1\" is not a port name: %2; give COM1 to COM999 (the window "
                               "offers COM1 to COM4)")
                    .arg(name, systemText(EINVAL));
        return QString();
    }
#ifdef Q_OS_WIN
    Q_UNUSED(device);
    Q_UNUSED(folder);
    error = QStringLiteral("%1 is the device's own name on Windows: %2; nothing to map")
                .arg(name, systemText(ENOSYS));
    return QString();
#else
    const QString link = QDir(folder).filePath(QStringLiteral("COM") + match.captured(1));
    const QString target = QFileInfo(device).absoluteFilePath();
    struct stat info {};
    if (::stat(QFile::encodeName(target).constData(), &info) != 0) {
        error = QStringLiteral("%1 could not be found: %2; plug the adapter in and name it as "
                               "ls -l /dev/serial/by-id/ lists it")
                    .arg(target, systemText(errno));
        return QString();
    }
    if (!S_ISCHR(info.st_mode)) {
        error = QStringLiteral("%1 is not a serial device: %2; name the adapter's device, as "
                               "ls -l /dev/serial/by-id/ lists it")
                    .arg(target, systemText(ENOTTY));
        return QString();
    }
    const QFileInfo existing(link);
    if (existing.exists() && !existing.isSymLink()) {
        error = QStringLiteral("%1 is there and is not a link: %2; move it away and map again")
                    .arg(link, systemText(EEXIST));
        return QString();
    }
    if (!QDir().mkpath(folder)) {
        error = QStringLiteral("The folder %1 could not be made: %2; check its parent's "
                               "permissions")
                    .arg(folder, systemText(EACCES));
        return QString();
    }
    // Made beside the old link and renamed over it, so COMn never stands missing or half made.
    const QByteArray fresh = QFile::encodeName(link + QStringLiteral(".new"));
    ::unlink(fresh.constData());
    if (::symlink(QFile::encodeName(target).constData(), fresh.constData()) != 0 ||
        ::rename(fresh.constData(), QFile::encodeName(link).constData()) != 0) {
        const int number = errno;
        ::unlink(fresh.constData());
        error = QStringLiteral("The link %1 could not be made: %2; check that you may write "
                               "%3")
                    .arg(link, systemText(number), folder);
        return QString();
    }
    return link;
#endif
}

} // namespace PortNames
