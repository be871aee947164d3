#pragma once

#include "foundation/MessageBox.h"

#include <QApplication>
#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>

class QWidget;
class frmMain;

QByteArray fileContent(const QString& path);

// A program folder in a temporary directory, and the main window started in it as the program
// starts it; each window it starts begins with a session of its own, as a fresh process does.
class TestProgram {
public:
    TestProgram();
    ~TestProgram();
    TestProgram(const TestProgram&) = delete;
    TestProgram& operator=(const TestProgram&) = delete;

    QString folder() const { return m_dir.path(); }
    QString filePath(const QString& name) const { return m_dir.filePath(name); }
    QString settingsPath() const { return filePath(QStringLiteral("Corvid.ini")); }

    void writeSettings(const QByteArray& content) const {
        makeFile(QStringLiteral("Corvid.ini"), content);
    }
    QByteArray readSettings() const { return fileContent(settingsPath()); }
    QString makeFile(const QString& name, const QByteArray& content) const;
    void linkPort(int portNumber, const QString& device) const;

    frmMain* start();
    void close();

private:
    QTemporaryDir m_dir;
    QPointer<frmMain> m_form;
};

// size bytes of every value in a fixed, irregular order, for program files and replies.
QByteArray testBytes(qsizetype size);

bool noWindowLeftOpen();

// A click as the window system delivers it: to the window first, then to the widget under it.
void clickAsTheUser(QWidget* widget);

// Stands in for the message box while it lives: keeps each message's exact text, style and
// title, and answers OK at once.
class MessageRecorder {
public:
    struct Message {
        QString text;
        int style;
        QString title;
    };

    MessageRecorder() {
        MessageBox::setHandler([this](const QString& text, int style, const QString& title) {
            m_messages.append({text, style, title});
            return MessageBox::vbOK;
        });
    }
    ~MessageRecorder() { MessageBox::setHandler({}); }
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    const QList<Message>& messages() const { return m_messages; }
    int count() const { return static_cast<int>(m_messages.size()); }
    const Message& last() const { return m_messages.back(); }
    void clear() { m_messages.clear(); }

private:
    QList<Message> m_messages;
};

// Acts on a modal dialog once it is shown: the test's own code is blocked in the dialog's
// wait, so the action runs from the message loop.
template <typename Dialog>
void whenShown(const QString& objectName, std::function<void(Dialog&)> action) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, objectName, action] {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<Dialog*>(window);
            if (dialog && dialog->objectName() == objectName && dialog->isVisible()) {
                poll->stop();
                poll->deleteLater();
                action(*dialog);
                return;
            }
        }
    });
    poll->start(5);
}
