#include "app/Variables.h"

#include "app/FileAccess.h"
#include "app/frmMain.h"
#include "foundation/NumberText.h"
#include "foundation/RunTimeError.h"
#include "foundation/SettingsFolder.h"
#include "foundation/StatusBar.h"
#include "upload/SelectProgramFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <memory>

namespace Variables {

namespace {

std::array<quint8, kRxBufferSize>& allocateRxBuffer() {
    // Allocated once for the life of the process, zero-filled, never on the stack.
    static const auto buffer = std::make_unique<std::array<quint8, kRxBufferSize>>();
    return *buffer;
}

QString& programFolderOverride() {
    static QString folder;
    return folder;
}

} // namespace

QString strAppPath;
QString strMessage;
QString strProgramFile;
std::optional<qint32> varDownloadLength;
qint32 lngFileSize = 0;
bool blnVerifying = false;
qint16 intCommPort = 0;
QString strBaudRate;
std::array<quint8, kRxBufferSize>& bytRxBuffer = allocateRxBuffer();
qint32 lngRxCount = 0;

QString programFolder() {
    if (!programFolderOverride().isEmpty())
        return programFolderOverride();
    return QCoreApplication::applicationDirPath();
}

void setProgramFolder(const QString& folder) {
    programFolderOverride() = folder;
}

QString settingsFolder() {
    return SettingsFolder::forProgram(programFolder());
}

QString settingsFilePath() {
    return strAppPath + QStringLiteral("Corvid.ini");
}

QString lineSettingsText() {
    return strBaudRate + QStringLiteral(",n,8,1");
}

QString portPanelText() {
    return QStringLiteral(" COM") + QString::number(intCommPort) + QStringLiteral("  (") +
           strBaudRate + QStringLiteral(" - 8N1 ) ");
}

QString checkedBaudRate(const QString& stored) {
    const qint32 rate = NumberText::usableBaudRate(stored);
    return NumberText::plainInt32(stored) == rate ? stored : QString::number(rate);
}

void InitVariables() {
    blnVerifying = false;
    strProgramFile.clear();
    lngFileSize = 0;
    lngRxCount = 0;

    const QString folder = settingsFolder();
    // An installed program's per-user folder is made on first use, so that the file written at
    // exit, from the defaults when there was none, has a place to go.
    if (folder != programFolder())
        QDir().mkpath(folder);
    strAppPath = QDir::toNativeSeparators(folder);
    if (!strAppPath.endsWith(QDir::separator()))
        strAppPath += QDir::separator();

    FileAccess::ReadIniFile(settingsFilePath());

    if (intCommPort < 1 || intCommPort > 4)
        intCommPort = 2;

    strBaudRate = checkedBaudRate(strBaudRate);

    if (!strProgramFile.isEmpty())
        lngFileSize = FileAccess::programFileLength(strProgramFile).value_or(0);

    StatusBar& bar = *frmMain::current().StatusBar1;
    bar.Panels(1)->setText(strProgramFile.isEmpty() ? QStringLiteral("No File Selected")
                                                    : strProgramFile);
    bar.Panels(2)->setText(FileAccess::sizePanelText(lngFileSize));
    bar.Panels(3)->setText(portPanelText());
}

} // namespace Variables
