#include "foundation/CommonDialog.h"

#include "foundation/RunTimeError.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QLineEdit>

namespace {

bool isPattern(const QString& name) {
    return name.contains(u'*') || name.contains(u'?');
}

// Treats a typed pattern as a filter for the view instead of as the chosen file; any other
// name, and a file that really has such a name, is accepted as the file dialog accepts it.
class OpenFileDialog : public QFileDialog {
public:
    using QFileDialog::QFileDialog;

    void accept() override {
        const QStringList files = selectedFiles();
        const QFileInfo typed(files.isEmpty() ? QString() : files.constFirst());
        if (files.isEmpty() || !isPattern(typed.fileName()) || typed.exists()) {
            QFileDialog::accept();
            return;
        }
        if (typed.absoluteDir() != directory() && typed.absoluteDir().exists())
            setDirectory(typed.absoluteDir());
        // The filter list stays as it is; only the view follows the typed pattern until the
        // user picks another filter.
        if (auto* model = findChild<QFileSystemModel*>())
            model->setNameFilters(typed.fileName().split(u';', Qt::SkipEmptyParts));
        if (auto* name = findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            name->setText(typed.fileName());
    }
};

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

std::unique_ptr<QFileDialog> CommonDialog::openDialog() const {
    auto dialog = std::make_unique<OpenFileDialog>(m_owner, DialogTitle, startFolder());
    // The wildcard handling lives in this dialog's accept, which a native dialog would bypass.
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    // A typed name comes back whether or not such a file exists; the caller checks.
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilters(nameFilters());
    dialog->setOption(QFileDialog::DontConfirmOverwrite);
    if (!FileName.isEmpty())
        dialog->selectFile(FileName);
    return dialog;
}

void CommonDialog::ShowOpen() {
    std::optional<QString> answer;
    if (installedScript()) {
        answer = installedScript()(*this);
    } else {
        const std::unique_ptr<QFileDialog> dialog = openDialog();
        if (dialog->exec() == QDialog::Accepted && !dialog->selectedFiles().isEmpty())
            answer = dialog->selectedFiles().constFirst();
    }
    if (!answer) {
        if (CancelError)
            throw RunTimeError(cdlCancel, QStringLiteral("Cancel was selected."));
        return;
    }
    FileName = QDir::toNativeSeparators(*answer);
}
