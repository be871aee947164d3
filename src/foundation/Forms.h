#pragma once

#include <QPointer>
#include <QWidget>

// The program's loaded windows, in the order in which they were loaded; the main window is at
// position 0. Shutdown unloads the others from the most recently loaded down.
namespace Forms {

void Load(QWidget* form);
// Takes the window off the list, hides it and deletes it once control is back in the message
// loop, so a handler of the window that is still running is not pulled from under it.
void Unload(QWidget* form);
// Takes the window off the list and leaves the rest to its owner.
void Remove(QWidget* form);
bool IsLoaded(const QWidget* form);
int Count();
QWidget* At(int position);

} // namespace Forms
