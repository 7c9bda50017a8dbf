#pragma once

#include <QSize>

class QFont;
class QString;
class QWidget;

// The look every dialog of the plug-in shares: its controls' backgrounds in the
// plug-in colour (COLORREF 0x00FFEFEF: red 239, green 239, blue 255), a CJK font of
// the template's point size, and the template's size in dialog units turned into
// pixels of that font (never smaller than its controls need).
constexpr unsigned int kPluginColour = 0x00FFEFEF;
void ApplyDialogLook(QWidget& dialog, int pointSize, QSize dialogUnits);

// Dialog units in pixels: a horizontal unit is a quarter of the font's average
// character width, a vertical one an eighth of its height.
QSize DialogUnitsToPixels(const QFont& font, QSize dialogUnits);

// A dialog's complaint, modal over `owner`: the text and an OK button, with neither an
// icon nor a title of its own.
void ShowDialogMessage(QWidget* owner, const QString& text);

// The main window of the calling thread, which the plug-in's modeless windows belong
// to: widgets live on the application's user-interface thread, whose main window is
// its top-level QMainWindow (the host's window). Null in a host without one.
QWidget* CallingThreadMainWindow();
