#include "support/TestProgram.h"

#include "app/Session.h"
#include "app/frmMain.h"

#include <QApplication>
#include <QFile>
#include <QTest>
#include <QWidget>

#include <algorithm>

TestProgram::TestProgram() {
    Session::setProgramFolder(m_dir.path());
}

TestProgram::~TestProgram() {
    close();
    delete m_form.data();
    // Windows unloaded by the program are deleted from the message loop.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    Session::setProgramFolder(QString());
}

QByteArray fileContent(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString TestProgram::makeFile(const QString& name, const QByteArray& content) const {
    QFile file(filePath(name));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
    return file.fileName();
}

void TestProgram::linkPort(int portNumber, const QString& device) const {
    const QString link = filePath(QStringLiteral("COM%1").arg(portNumber));
    QFile::remove(link);
    QFile::link(device, link);
}

frmMain* TestProgram::start() {
    delete m_form.data();
    m_form = new frmMain;
    m_form->Form_Load();
    m_form->show();
    return m_form.data();
}

void TestProgram::close() {
    if (!m_form)
        return;
    m_form->close();
    // With the port open the window closes once the line has taken what was queued.
    (void)QTest::qWaitFor([this] { return !m_form || !m_form->isVisible(); });
}

bool noWindowLeftOpen() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    const QWidgetList windows = QApplication::topLevelWidgets();
    return std::none_of(windows.cbegin(), windows.cend(),
                        [](const QWidget* window) { return window->isVisible(); });
}

QByteArray testBytes(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = 12345;
    for (char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

void clickAsTheUser(QWidget* widget) {
    QTest::mouseClick(widget->window()->windowHandle(), Qt::LeftButton, {},
                      widget->mapTo(widget->window(), widget->rect().center()));
}
