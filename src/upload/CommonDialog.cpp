#include "upload/CommonDialog.h"

#include "shell/RunTimeError.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

namespace {

CommonDialog::Script& installedScript() {
    static CommonDialog::Script script;
    return script;
}

} // namespace

void CommonDialog::setScript(Script script) {
    installedScript() = std::move(script);
}

QString CommonDialog::startFolder() const {
    if (InitDir.isEmpty())
        return QString();
    const QFileInfo info(InitDir);
    if (info.isDir())
        return info.absoluteFilePath();
    // The program passes the previous file itself; the dialog opens in its folder.
    return info.absolutePath();
}

QStringList CommonDialog::nameFilters() const {
    const QStringList parts = Filter.split(u'|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString& description = parts.at(i);
        const QString& pattern = parts.at(i + 1);
        // A description that already ends with its pattern in brackets is used as it is.
        if (description.endsWith(u'(' + pattern + u')'))
            filters << description;
        else
            filters << description + QStringLiteral(" (") + pattern + u')';
    }
    return filters;
}

void CommonDialog::ShowOpen() {
    std::optional<QString> answer;
    if (installedScript()) {
        answer = installedScript()(*this);
    } else {
        QFileDialog dialog(m_owner, DialogTitle, startFolder());
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        // A typed name comes back whether or not such a file exists; the caller checks.
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setNameFilters(nameFilters());
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
        if (!FileName.isEmpty())
            dialog.selectFile(FileName);
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
            answer = dialog.selectedFiles().constFirst();
    }
    if (!answer) {
        if (CancelError)
            throw RunTimeError(cdlCancel, QStringLiteral("Cancel was selected."));
        return;
    }
    FileName = QDir::toNativeSeparators(*answer);
}
