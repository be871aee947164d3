#include "upload/SelectProgramFile.h"

#include "foundation/CommonDialog.h"
#include "foundation/MessageBox.h"
#include "foundation/RunTimeError.h"
#include "foundation/StatusBar.h"
#include "upload/UploadState.h"

#include <QDir>
#include <QFileInfo>

#include <limits>

namespace FileAccess {

std::optional<qint32> programFileLength(const QString& path) {
    const QFileInfo info(path);
    if (path.isEmpty() || !info.isFile() || info.isHidden())
        return std::nullopt;
    const qint64 size = info.size();
    if (size > std::numeric_limits<qint32>::max())
        throw RunTimeError(ErrorNumber::Overflow,
                           QStringLiteral("Overflow: %1 is %2 bytes long, more than the %3 bytes "
                                          "a program file may have")
                               .arg(QDir::toNativeSeparators(path))
                               .arg(size)
                               .arg(std::numeric_limits<qint32>::max()));
    return static_cast<qint32>(size);
}

QString sizePanelText(qint32 size) {
    return QString::number(size) + QStringLiteral("Bytes ");
}

void SelectProgramFile(UploadState& state) {
    CommonDialog& dialog = state.dialog;
    try {
        dialog.CancelError = true;
        dialog.InitDir = state.strProgramFile;
        dialog.FileName = QStringLiteral("*.bin");
        dialog.Filter = kProgramFileFilter;
        dialog.DialogTitle = QStringLiteral("Open Program File");
        dialog.ShowOpen();
        state.strProgramFile = dialog.FileName;
    } catch (const RunTimeError&) {
        return;
    }

    const QString sentence = QStringLiteral("Error Locating Or Reading Specified Download File");
    try {
        if (const std::optional<qint32> size = programFileLength(state.strProgramFile)) {
            state.lngFileSize = *size;
            state.statusBar.Panels(1)->setText(state.strProgramFile);
            state.statusBar.Panels(2)->setText(sizePanelText(state.lngFileSize));
            return;
        }
        MessageBox::ShowFailure(sentence, 0, QString(), QStringLiteral("File Error"));
    } catch (const RunTimeError& failure) {
        MessageBox::ShowFailure(sentence, failure.number(), failure.description(),
                                QStringLiteral("File Error"));
    }
}

} // namespace FileAccess
