#include "shell/frmMain.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Corvid"));
    QApplication::setApplicationDisplayName(QStringLiteral("Brisa Infineon Flash Programmer"));

    auto* mainWindow = new frmMain;
    mainWindow->setAttribute(Qt::WA_DeleteOnClose);
    mainWindow->Form_Load();
    mainWindow->show();
    return QApplication::exec();
}
