#include "hostlib/widgets/Questions.h"

#include <QAbstractButton>
#include <QMessageBox>

void UseChineseButtonTexts(QMessageBox& box) {
    const struct {
        QMessageBox::StandardButton button;
        const char* text;
    } kTexts[] = {
        {QMessageBox::Yes, "是(&Y)"},
        {QMessageBox::No, "否(&N)"},
        {QMessageBox::Ok, "确定"},
        {QMessageBox::Cancel, "取消"},
    };
    for (const auto& label : kTexts) {
        if (QAbstractButton* button = box.button(label.button)) {
            button->setText(QString::fromUtf8(label.text));
        }
    }
}

bool AskYesNo(QWidget* parent, const QString& title, const QString& text,
              const QString& objectName) {
    QMessageBox question(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No,
                         parent);
    question.setObjectName(objectName);
    question.setDefaultButton(QMessageBox::No);
    question.setEscapeButton(QMessageBox::No);
    UseChineseButtonTexts(question);
    return question.exec() == QMessageBox::Yes;
}
