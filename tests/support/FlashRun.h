#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QStringList>

// corvid-flash run as its own process, as a production line runs it.
namespace FlashRun {

// Quick exchanges: the boards answer 50 ms after a burst, corvid-flash waits 120 ms of quiet.
inline const QStringList kQuickBoard = QProcess::splitCommand(QStringLiteral("--burst-gap 50"));
inline const QStringList kQuickRun =
    QProcess::splitCommand(QStringLiteral("--settle 120 --timeout 2"));

struct Outcome {
    int status = -1;
    QString out, err;
};

// As another user when uid is given: by setpriv, in no group.
inline Outcome run(const QStringList& arguments, int uid = -1) {
    QProcess flash;
    if (uid < 0)
        flash.start(QStringLiteral(CORVID_FLASH_PATH), arguments);
    else
        flash.start(QStringLiteral("setpriv"), QStringList{QStringLiteral("--reuid=%1").arg(uid),
                                                           QStringLiteral("--regid=%1").arg(uid),
                                                           QStringLiteral("--clear-groups"),
                                                           QStringLiteral(CORVID_FLASH_PATH)} +
                                                   arguments);
    flash.waitForFinished(120000);
    return {flash.exitStatus() == QProcess::NormalExit ? flash.exitCode() : -1,
            QString::fromLocal8Bit(flash.readAllStandardOutput()),
            QString::fromLocal8Bit(flash.readAllStandardError())};
}

// One object per line of a log or of --json output.
inline QList<QJsonObject> jsonRecords(const QByteArray& text) {
    QList<QJsonObject> objects;
    for (const QByteArray& line : text.split('\n')) {
        if (!line.isEmpty())
            objects.append(QJsonDocument::fromJson(line).object());
    }
    return objects;
}

} // namespace FlashRun
