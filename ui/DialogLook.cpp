#include "ui/DialogLook.h"

#include <QApplication>
#include <QFont>
#include <QFontMetrics>
#include <QMainWindow>
#include <QMessageBox>
#include <QPalette>
#include <QWidget>

#include "hostlib/widgets/Questions.h"
#include "ui/DrawnProgressBar.h"

namespace {

// A dialog font's average character width, measured over the Latin alphabet as the
// dialog templates' units are defined, rounded to whole pixels.
int AverageCharWidth(const QFontMetrics& metrics) {
    const QString alphabet = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    return (metrics.horizontalAdvance(alphabet) / 26 + 1) / 2;
}

}  // namespace

QSize DialogUnitsToPixels(const QFont& font, QSize dialogUnits) {
    const QFontMetrics metrics(font);
    return {dialogUnits.width() * AverageCharWidth(metrics) / 4,
            dialogUnits.height() * metrics.height() / 8};
}

void ApplyDialogLook(QWidget& dialog, int pointSize, QSize dialogUnits) {
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
    dialog.resize(DialogUnitsToPixels(font, dialogUnits).expandedTo(dialog.minimumSizeHint()));
}

void ShowDialogMessage(QWidget* owner, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QString(), text, QMessageBox::Ok, owner);
    UseChineseButtonTexts(box);
    box.exec();
}

QWidget* CallingThreadMainWindow() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<QMainWindow*>(widget)) return widget;
    }
    return nullptr;
}
