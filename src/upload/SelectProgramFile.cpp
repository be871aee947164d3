#include "upload/SelectProgramFile.h"

#include "shell/MessageBox.h"
#include "shell/RunTimeError.h"
#include "shell/StatusBar.h"
#include "shell/Variables.h"
#include "shell/frmMain.h"
#include "upload/CommonDialog.h"

namespace FileAccess {

void SelectProgramFile() {
    frmMain& form = frmMain::current();
    CommonDialog& dialog = *form.dlgCommonDialog;
    try {
        dialog.CancelError = true;
        dialog.InitDir = Variables::strProgramFile;
        dialog.FileName = QStringLiteral("*.bin");
        dialog.Filter = kProgramFileFilter;
        dialog.DialogTitle = QStringLiteral("Open Program File");
        dialog.ShowOpen();
        Variables::strProgramFile = dialog.FileName;
    } catch (const RunTimeError&) {
        return;
    }

    const QString sentence = QStringLiteral("Error Locating Or Reading Specified Download File");
    try {
        if (const std::optional<qint32> size =
                Variables::programFileLength(Variables::strProgramFile)) {
            Variables::lngFileSize = *size;
            form.StatusBar1->Panels(1)->setText(Variables::strProgramFile);
            form.StatusBar1->Panels(2)->setText(Variables::sizePanelText(Variables::lngFileSize));
            return;
        }
        MessageBox::ShowFailure(sentence, 0, QString(), QStringLiteral("File Error"));
    } catch (const RunTimeError& failure) {
        MessageBox::ShowFailure(sentence, failure.number(), failure.description(),
                                QStringLiteral("File Error"));
    }
}

} // namespace FileAccess
