#include "support/MessageRecorder.h"

#include "foundation/MessageBox.h"

MessageRecorder::MessageRecorder() {
    MessageBox::setHandler([this](const QString& text, int style, const QString& title) {
        m_messages.append({text, style, title});
        return MessageBox::vbOK;
    });
}

MessageRecorder::~MessageRecorder() {
    MessageBox::setHandler({});
}
