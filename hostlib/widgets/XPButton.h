#pragma once

#include <QPushButton>

#include "platform/Api.h"

// The host's push button: a rounded frame in the host's dark blue over a light
// gradient, an orange rim under the mouse and a darker face while pressed, whatever
// style the application runs with, so that every dialog of the host looks alike.
class VKTBASE_API CXPButton : public QPushButton {
    Q_OBJECT

public:
    explicit CXPButton(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    bool m_bHover = false;
};
