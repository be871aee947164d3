#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QFileDialog;
class QWidget;

// The common open dialog as the program drives it: set its properties, show it, read back the
// chosen file name. With CancelError set, cancelling is reported as a thrown failure.
class CommonDialog {
public:
    // The failure number of a cancelled dialog.
    static constexpr int cdlCancel = 32755;

    bool CancelError = false;
    QString InitDir;
    QString FileName;
    // Pairs of description and pattern separated by vertical bars, "(*.bin)|*.bin|(*.*)|*.*".
    QString Filter;
    QString DialogTitle;

    explicit CommonDialog(QWidget* owner = nullptr) : m_owner(owner) {}

    // Shows the open dialog; sets FileName to the full path chosen or typed.
    void ShowOpen();

    // The open dialog that ShowOpen runs, set up from the properties. A typed name with a
    // wildcard filters its view and keeps it open, as the platforms' own open dialogs do.
    std::unique_ptr<QFileDialog> openDialog() const;

    // The folder the dialog opens in for InitDir, which may name a folder or a file.
    QString startFolder() const;
    // Filter as the dialog's list of name filters.
    QStringList nameFilters() const;

    // Replaces the dialog, for tests: the script sees the properties and answers with a path,
    // or with nothing for cancel. An empty script restores the real dialog.
    using Script = std::function<std::optional<QString>(const CommonDialog&)>;
    static void setScript(Script script);

private:
    QWidget* m_owner;
};
