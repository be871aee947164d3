#pragma once

#include <QDialog>

// The window style of the program's progress dialogs: a fixed-size tool window without
// minimise or maximise buttons, kept out of the task bar, centred on the main window. Creating
// one loads it into the program's window list.
class ToolDialog : public QDialog {
    Q_OBJECT
public:
    explicit ToolDialog(const QString& caption, QWidget* parent = nullptr);

    // The general-purpose text that the program hands from one routine to another.
    QString Tag;

protected:
    void showEvent(QShowEvent* event) override;
    // No button is the dialog's cancel button: Escape does nothing. The close box calls
    // reject(), which each dialog routes to its own Cancel.
    void keyPressEvent(QKeyEvent* event) override;
};
