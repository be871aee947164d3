#include "app/FileAccess.h"

#include "app/Session.h"
#include "app/frmMain.h"
#include "foundation/MessageBox.h"
#include "foundation/NumberText.h"
#include "foundation/RunTimeError.h"

#include <QFileInfo>

namespace FileAccess {

namespace {

void reportFailure(const QString& sentence, const RunTimeError& failure) {
    MessageBox::ShowFailure(sentence, failure.number(), failure.description(),
                            QStringLiteral("File Error"));
}

float readSingle(const IniFile& ini) {
    return NumberText::toSingle(NumberText::numericValue(ini.value()));
}

} // namespace

bool ReadIniFile(const QString& path, frmMain& form, Session& session) {
    const QFileInfo info(path);
    if (!info.isFile() || info.isHidden())
        return false;

    IniFile& ini = form.iniFile;
    try {
        ini.setFileName(path);
        ini.setSection(QStringLiteral("SCREEN INFO"));
        // Each edge is applied as soon as it is read; the window lays itself out each time.
        ini.setKey(QStringLiteral("Main Left"));
        form.setLeft(readSingle(ini));
        ini.setKey(QStringLiteral("Main Top"));
        form.setTop(readSingle(ini));
        ini.setKey(QStringLiteral("Main Width"));
        form.setWidth(readSingle(ini));
        ini.setKey(QStringLiteral("Main Height"));
        form.setHeight(readSingle(ini));

        ini.setSection(QStringLiteral("CONFIGURATION"));
        ini.setKey(QStringLiteral("Serial Port"));
        session.intCommPort = NumberText::toInt16(NumberText::numericValue(ini.value()));
        ini.setKey(QStringLiteral("Baud Rate"));
        session.strBaudRate = ini.value();
        ini.setKey(QStringLiteral("Last File"));
        session.strProgramFile = ini.value();
        return true;
    } catch (const RunTimeError& failure) {
        reportFailure(QStringLiteral("Error Reading Corvid.ini file"), failure);
        return false;
    }
}

void WriteIniFile(const QString& path, frmMain& form, const Session& session) {
    IniFile& ini = form.iniFile;
    try {
        ini.setFileName(path);
        ini.setSection(QStringLiteral("SCREEN INFO"));
        if (form.WindowState() != frmMain::vbMinimized) {
            ini.setKey(QStringLiteral("Main Left"));
            ini.setValue(static_cast<float>(form.Left()));
            ini.setKey(QStringLiteral("Main Top"));
            ini.setValue(static_cast<float>(form.Top()));
            ini.setKey(QStringLiteral("Main Width"));
            ini.setValue(static_cast<float>(form.Width()));
            ini.setKey(QStringLiteral("Main Height"));
            ini.setValue(static_cast<float>(form.Height()));
        }
        ini.setSection(QStringLiteral("CONFIGURATION"));
        ini.setKey(QStringLiteral("Serial Port"));
        ini.setValue(session.intCommPort);
        ini.setKey(QStringLiteral("Baud Rate"));
        ini.setValue(session.strBaudRate);
        ini.setKey(QStringLiteral("Last File"));
        ini.setValue(session.strProgramFile);
    } catch (const RunTimeError& failure) {
        reportFailure(QStringLiteral("Error Writinging Corvid.ini file"), failure);
    }
}

} // namespace FileAccess
