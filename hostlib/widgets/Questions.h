#pragma once

#include <QString>

#include "platform/Api.h"

class QMessageBox;
class QWidget;

// Message boxes in the host's language: Qt labels its standard buttons in English
// unless a translation is installed, and the host installs none.

// Labels the box's standard buttons 是, 否, 确定 and 取消, whichever it has.
VKTBASE_API void UseChineseButtonTexts(QMessageBox& box);

// Asks `text` modally over `parent` with the buttons 是 and 否, 否 the default and
// the answer to Esc; the box carries `objectName`, so that a caller's test can find it.
// True for 是.
VKTBASE_API bool AskYesNo(QWidget* parent, const QString& title, const QString& text,
                          const QString& objectName);
