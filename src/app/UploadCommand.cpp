// The upload command: makes sure a file is chosen and exists, then sends it.

#include "app/frmMain.h"
#include "foundation/CommonDialog.h"
#include "foundation/MessageBox.h"
#include "foundation/RunTimeError.h"
#include "foundation/StatusBar.h"
#include "serial/SaxComm.h"
#include "upload/SelectProgramFile.h"
#include "upload/SendProgramFile.h"
#include "upload/UploadState.h"

#include <QFileInfo>

void frmMain::cmdUpload_Click() {
    if (m_session.strProgramFile.isEmpty()) {
        try {
            dlgCommonDialog->CancelError = true;
            dlgCommonDialog->FileName = QStringLiteral("*.bin");
            dlgCommonDialog->Filter = FileAccess::kProgramFileFilter;
            dlgCommonDialog->DialogTitle = QStringLiteral("Open Program File");
            dlgCommonDialog->ShowOpen();
            m_session.strProgramFile = dlgCommonDialog->FileName;
        } catch (const RunTimeError&) {
            SaxComm1->setFocus();
            return;
        }
    }

    const QString sentence = QStringLiteral("Error Locating Or Reading Specified Download File");
    try {
        const QFileInfo info(m_session.strProgramFile);
        if (info.isFile() && !info.isHidden()) {
            StatusBar1->Panels(1)->setText(m_session.strProgramFile);
            UploadState state = uploadState();
            FileAccess::SendProgramFile(m_session.strProgramFile, state);
            SaxComm1->setFocus();
            return;
        }
        MessageBox::ShowFailure(sentence, 0, QString(), QStringLiteral("File Error"));
    } catch (const RunTimeError& failure) {
        MessageBox::ShowFailure(sentence, failure.number(), failure.description(),
                                QStringLiteral("File Error"));
    }
}
