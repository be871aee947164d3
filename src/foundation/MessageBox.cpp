#include "foundation/MessageBox.h"

#include "foundation/CommandGuard.h"
#include "foundation/NumberText.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>

namespace MessageBox {

namespace {

QPointer<QMessageBox> g_open;

Handler& installedHandler() {
    static Handler handler;
    return handler;
}

QMessageBox::Icon iconFor(int style) {
    switch (style & 0x70) {
    case vbCritical:
        return QMessageBox::Critical;
    case vbExclamation:
        return QMessageBox::Warning;
    case vbInformation:
        return QMessageBox::Information;
    case 32:
        return QMessageBox::Question;
    default:
        return QMessageBox::NoIcon;
    }
}

int showReal(const QString& prompt, int style, const QString& title) {
    QString text = prompt;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(u'\r', u'\n');
    while (text.endsWith(u'\n'))
        text.chop(1);
    QMessageBox box(iconFor(style), title, text, QMessageBox::Ok, QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);
    box.setAccessibleName(title);
    box.setAccessibleDescription(text);
    g_open = &box;
    box.exec();
    return vbOK;
}

} // namespace

int MsgBox(const QString& prompt, int style, const QString& title) {
    // The user answers the box before anything else may start.
    const CommandGuard::Hold waiting;
    if (installedHandler())
        return installedHandler()(prompt, style, title);
    return showReal(prompt, style, title);
}

void ShowFailure(const QString& sentence, int number, const QString& description,
                 const QString& title) {
    MsgBox(NumberText::failureMessage(sentence, number, description), vbCritical, title);
}

void dismissOpen() {
    if (g_open)
        g_open->reject();
}

void setHandler(Handler handler) {
    installedHandler() = std::move(handler);
}

} // namespace MessageBox
