#pragma once

class QWidget;

// The look every dialog of the plug-in shares: its controls' backgrounds in the
// plug-in colour (COLORREF 0x00FFEFEF: red 239, green 239, blue 255) and a CJK font
// of the template's point size.
constexpr unsigned int kPluginColour = 0x00FFEFEF;
void ApplyDialogLook(QWidget& dialog, int pointSize);
