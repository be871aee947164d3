#pragma once

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <functional>

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
