#include "foundation/Forms.h"

#include <QList>

namespace Forms {

namespace {

QList<QPointer<QWidget>>& loaded() {
    static QList<QPointer<QWidget>> forms;
    // Windows deleted by other means leave a null entry behind; they are not loaded.
    forms.removeIf([](const QPointer<QWidget>& form) { return form.isNull(); });
    return forms;
}

} // namespace

void Load(QWidget* form) {
    if (!IsLoaded(form))
        loaded().append(form);
}

void Unload(QWidget* form) {
    if (!form)
        return;
    loaded().removeAll(form);
    form->hide();
    form->deleteLater();
}

void Remove(QWidget* form) {
    loaded().removeAll(form);
}

bool IsLoaded(const QWidget* form) {
    for (const auto& entry : loaded()) {
        if (entry.data() == form)
            return true;
    }
    return false;
}

int Count() {
    return static_cast<int>(loaded().size());
}

QWidget* At(int position) {
    const auto& forms = loaded();
    return position >= 0 && position < forms.size() ? forms.at(position).data() : nullptr;
}

} // namespace Forms
