#pragma once

#include <QString>

#include <functional>

// The one way the program shows a message box, so that tests can record what would be shown.
namespace MessageBox {

// Style values: the icon, added to the buttons (only OK is used).
inline constexpr int vbOKOnly = 0;
inline constexpr int vbCritical = 16;
inline constexpr int vbExclamation = 48;
inline constexpr int vbInformation = 64;

// Return value of the OK button.
inline constexpr int vbOK = 1;

using Handler = std::function<int(const QString& prompt, int style, const QString& title)>;

// Shows prompt (carriage returns become line breaks) with the icon of style and title, and
// waits for the user; returns the button pressed.
int MsgBox(const QString& prompt, int style, const QString& title);

// Builds the failure message (sentence, two carriage returns, "Error # ", number, " - ",
// description) and shows it with the stop icon.
void ShowFailure(const QString& sentence, int number, const QString& description,
                 const QString& title);

// Closes the message box that waits for the user, if one does: the program is closing.
void dismissOpen();

// Replaces the message box, for tests; an empty handler restores the real one.
void setHandler(Handler handler);

} // namespace MessageBox
