#include "foundation/ToolDialog.h"

#include "foundation/Forms.h"
#include "foundation/Twips.h"

#include <QApplication>
#include <QKeyEvent>
#include <QScreen>

ToolDialog::ToolDialog(const QString& caption, QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
    setWindowTitle(caption);
    setAccessibleName(caption);
    setFixedSize(Twips::toPixelsX(5250), Twips::toPixelsY(1335));
    setModal(true);
    Forms::Load(this);
}

void ToolDialog::showEvent(QShowEvent* event) {
    // Centred on the main window, which is the first loaded window.
    if (const QWidget* main = Forms::At(0); main && main != this && main->isVisible())
        move(main->frameGeometry().center() - QPoint(width() / 2, height() / 2));
    QDialog::showEvent(event);
}

void ToolDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}
