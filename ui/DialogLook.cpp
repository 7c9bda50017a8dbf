#include "ui/DialogLook.h"

#include <QFont>
#include <QPalette>
#include <QWidget>

#include "ui/DrawnProgressBar.h"

void ApplyDialogLook(QWidget& dialog, int pointSize) {
    QPalette colours = dialog.palette();
    const QColor plugin = CDrawnProgressBar::FromColorRef(kPluginColour);
    colours.setColor(QPalette::Window, plugin);
    colours.setColor(QPalette::Base, plugin);
    dialog.setPalette(colours);
    dialog.setAutoFillBackground(true);
    // Installed by the set-up; fontconfig falls back to another CJK font without it.
    QFont font(QStringLiteral("WenQuanYi Micro Hei"), pointSize);
    font.setStyleHint(QFont::SansSerif);
    dialog.setFont(font);
}
