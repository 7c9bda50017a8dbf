#include "ui/DrawnProgressBar.h"

#include <QPainter>
#include <QPalette>
#include <QPixmap>

CDrawnProgressBar::CDrawnProgressBar(QWidget* parent) : QWidget(parent) {
    const QPalette colors = palette();
    m_barColor = colors.color(QPalette::Highlight);
    m_restColor = colors.color(QPalette::Base);
    m_textOverRest = colors.color(QPalette::Highlight);
    m_textOverBar = colors.color(QPalette::Base);
    setAttribute(Qt::WA_OpaquePaintEvent);  // painting covers everything: nothing erased
}

QColor CDrawnProgressBar::FromColorRef(unsigned int colorref) {
    return QColor(colorref & 0xFF, (colorref >> 8) & 0xFF, (colorref >> 16) & 0xFF);
}

void CDrawnProgressBar::Refresh() {
    if (m_model.TakeRepaint()) repaint();
}

void CDrawnProgressBar::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    m_model.Resize(width());
}

void CDrawnProgressBar::paintEvent(QPaintEvent*) {
    if (!m_model.IsPaintable()) return;
    QPixmap buffer(size());
    {
        QPainter painter(&buffer);
        const QRect client = rect();
        const int doneWidth = m_model.DoneWidth(client.width());
        const QRect done(client.left(), client.top(), doneWidth, client.height());
        const QRect rest(client.left() + doneWidth, client.top(), client.width() - doneWidth,
                         client.height());
        painter.fillRect(done, m_barColor);
        painter.fillRect(rest, m_restColor);
        const QString text = QString::fromStdString(m_model.DisplayText());
        if (!text.isEmpty()) {
            painter.setClipRect(done);
            painter.setPen(m_textOverBar);
            painter.drawText(client, Qt::AlignCenter, text);
            painter.setClipRect(rest);
            painter.setPen(m_textOverRest);
            painter.drawText(client, Qt::AlignCenter, text);
        }
    }
    QPainter(this).drawPixmap(0, 0, buffer);
}
