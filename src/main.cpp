#include "shell/frmMain.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Corvid"));

    auto* mainWindow = new frmMain;
    mainWindow->setAttribute(Qt::WA_DeleteOnClose);
    mainWindow->Form_Load();
    mainWindow->show();
    return QApplication::exec();
}
