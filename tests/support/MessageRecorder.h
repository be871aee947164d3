#pragma once

#include "foundation/MessageBox.h"

#include <QList>
#include <QString>

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
