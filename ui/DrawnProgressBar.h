#pragma once

#include <QColor>
#include <QWidget>

#include "platform/ProgressModel.h"

// The progress window's bar: it draws the progress model (done part, rest, and the
// text in one colour over each), painting into an off-screen buffer first. Colours
// are given as the platform's COLORREF values (0x00BBGGRR).
class CDrawnProgressBar : public QWidget {
    Q_OBJECT

public:
    explicit CDrawnProgressBar(QWidget* parent = nullptr);

    CProgressModel& Model() { return m_model; }
    // Repaints when the model says a repaint is due.
    void Refresh();

    void SetBarColor(unsigned int colorref) { m_barColor = FromColorRef(colorref); }
    void SetTextColorOverBackground(unsigned int colorref) {
        m_textOverRest = FromColorRef(colorref);
    }
    void SetTextColorOverBar(unsigned int colorref) { m_textOverBar = FromColorRef(colorref); }

    static QColor FromColorRef(unsigned int colorref);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    CProgressModel m_model;
    QColor m_barColor;
    QColor m_restColor;
    QColor m_textOverRest;
    QColor m_textOverBar;
};
