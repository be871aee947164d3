#include "app/frmMain.h"
#include "foundation/TerminationSignals.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Corvid"));

    auto* mainWindow = new frmMain;
    mainWindow->setAttribute(Qt::WA_DeleteOnClose);

    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::terminationRequested, mainWindow,
                     &QWidget::close);

    mainWindow->Form_Load();
    mainWindow->show();
    return QApplication::exec();
}
