#pragma once

#include <QLabel>

// A one-line label that never widens its window: it shrinks to a few characters when
// its layout has no more room, ends its text with "…" where it does not fit and then
// shows the whole text as its tooltip. text() stays the whole text.
class CElidedLabel : public QLabel {
    Q_OBJECT

public:
    explicit CElidedLabel(QWidget* parent = nullptr);

    // What is drawn at the present width.
    QString ShownText() const;

    QSize minimumSizeHint() const override;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};
