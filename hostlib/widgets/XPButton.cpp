#include "hostlib/widgets/XPButton.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace {

const QColor kFrame(0x00, 0x3C, 0x74);
const QColor kFaceTop(0xFF, 0xFF, 0xFF);
const QColor kFaceBottom(0xD6, 0xD0, 0xC5);
const QColor kPressedTop(0xD1, 0xCC, 0xC1);
const QColor kPressedBottom(0xE6, 0xE3, 0xDA);
const QColor kHoverRim(0xF8, 0xB3, 0x30);
const QColor kFocusRim(0x7D, 0xA2, 0xCE);
const QColor kDisabledText(0xA1, 0xA1, 0x92);
constexpr qreal kRadius = 3.0;

}  // namespace

CXPButton::CXPButton(QWidget* parent) : QPushButton(parent) {
    setAttribute(Qt::WA_Hover);
}

void CXPButton::enterEvent(QEnterEvent* event) {
    m_bHover = true;
    update();
    QPushButton::enterEvent(event);
}

void CXPButton::leaveEvent(QEvent* event) {
    m_bHover = false;
    update();
    QPushButton::leaveEvent(event);
}

void CXPButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const bool pressed = isDown() || isChecked();

    QLinearGradient face(frame.topLeft(), frame.bottomLeft());
    face.setColorAt(0, pressed ? kPressedTop : kFaceTop);
    face.setColorAt(1, pressed ? kPressedBottom : kFaceBottom);
    QPainterPath outline;
    outline.addRoundedRect(frame, kRadius, kRadius);
    painter.fillPath(outline, face);

    if (isEnabled() && (m_bHover || hasFocus() || isDefault())) {
        painter.setPen(QPen(m_bHover ? kHoverRim : kFocusRim, 2));
        painter.drawRoundedRect(frame.adjusted(1.5, 1.5, -1.5, -1.5), kRadius, kRadius);
    }
    painter.setPen(QPen(isEnabled() ? kFrame : kDisabledText, 1));
    painter.drawPath(outline);

    painter.setPen(isEnabled() ? palette().color(QPalette::ButtonText) : kDisabledText);
    painter.setFont(font());
    const QRect label = pressed ? rect().translated(1, 1) : rect();
    painter.drawText(label, Qt::AlignCenter | Qt::TextShowMnemonic, text());
}
