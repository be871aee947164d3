#include "shell/MessageBox.h"

#include "shell/NumberText.h"
#include "shell/Variables.h"

#include <QApplication>
#include <QMessageBox>

namespace MessageBox {

namespace {

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
    box.exec();
    return vbOK;
}

} // namespace

int MsgBox(const QString& prompt, int style, const QString& title) {
    if (installedHandler())
        return installedHandler()(prompt, style, title);
    return showReal(prompt, style, title);
}

void ShowFailure(const QString& sentence, int number, const QString& description,
                 const QString& title) {
    Variables::strMessage = NumberText::failureMessage(sentence, number, description);
    MsgBox(Variables::strMessage, vbCritical, title);
}

void setHandler(Handler handler) {
    installedHandler() = std::move(handler);
}

} // namespace MessageBox
