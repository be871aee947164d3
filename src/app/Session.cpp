#include "app/Session.h"

#include "app/FileAccess.h"
#include "app/frmMain.h"
#include "foundation/NumberText.h"
#include "foundation/SettingsFolder.h"
#include "foundation/StatusBar.h"
#include "upload/SelectProgramFile.h"

#include <QCoreApplication>
#include <QDir>

namespace {

QString& programFolderOverride() {
    static QString folder;
    return folder;
}

} // namespace

// Allocated once for the life of the session, zero-filled, never on the stack.
Session::Session() : m_rxBuffer(std::make_unique<RxBuffer>()), bytRxBuffer(*m_rxBuffer) {}

Session::~Session() = default;

QString Session::programFolder() {
    if (!programFolderOverride().isEmpty())
        return programFolderOverride();
    return QCoreApplication::applicationDirPath();
}

void Session::setProgramFolder(const QString& folder) {
    programFolderOverride() = folder;
}

QString Session::settingsFolder() {
    return SettingsFolder::forProgram(programFolder());
}

QString Session::settingsFilePath() const {
    return strAppPath + QStringLiteral("Corvid.ini");
}

QString Session::lineSettingsText() const {
    return strBaudRate + QStringLiteral(",n,8,1");
}

QString Session::portPanelText() const {
    return QStringLiteral(" COM") + QString::number(intCommPort) + QStringLiteral("  (") +
           strBaudRate + QStringLiteral(" - 8N1 ) ");
}

QString checkedBaudRate(const QString& stored) {
    const qint32 rate = NumberText::usableBaudRate(stored);
    return NumberText::plainInt32(stored) == rate ? stored : QString::number(rate);
}

void Session::InitVariables(frmMain& form) {
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

    FileAccess::ReadIniFile(settingsFilePath(), form, *this);

    if (intCommPort < 1 || intCommPort > 4)
        intCommPort = 2;

    strBaudRate = checkedBaudRate(strBaudRate);

    if (!strProgramFile.isEmpty())
        lngFileSize = FileAccess::programFileLength(strProgramFile).value_or(0);

    StatusBar& bar = *form.StatusBar1;
    bar.Panels(1)->setText(strProgramFile.isEmpty() ? QStringLiteral("No File Selected")
                                                    : strProgramFile);
    bar.Panels(2)->setText(FileAccess::sizePanelText(lngFileSize));
    bar.Panels(3)->setText(portPanelText());
}
