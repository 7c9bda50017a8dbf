#include "platform/ProgressModel.h"

#include <cstdio>

void CProgressModel::SetRange(int lower, int upper) {
    m_nLower = lower;
    m_nUpper = upper;
}

int CProgressModel::SetPos(int pos) {
    if (m_nClientWidth < 0) return -1;
    const int previous = m_nPos;
    m_nPos = pos;
    const int width = DoneWidth(m_nClientWidth);
    if (width != m_nBarWidth) {
        m_nBarWidth = width;
        m_bRepaint = true;
    }
    return previous;
}

int CProgressModel::SetStep(int step) {
    const int previous = m_nStep;
    m_nStep = step;
    return previous;
}

void CProgressModel::Resize(int clientWidth) {
    m_nClientWidth = clientWidth;
    m_nBarWidth = -1;
}

bool CProgressModel::SetText(const std::string& text) {
    if (text == m_strText) return false;
    m_strText = text;
    m_bRepaint = true;
    return true;
}

void CProgressModel::ShowText(bool show) {
    if (show != m_bShowText) m_bRepaint = true;
    m_bShowText = show;
}

void CProgressModel::OnJobProgress(intptr_t units) {
    const int span = m_nUpper - m_nLower;
    const double percent = span != 0 ? static_cast<double>(units) / span * 100.0 : 0.0;
    char text[64];
    std::snprintf(text, sizeof text, "已完成 %#.1f%%", percent);
    SetText(text);
    StepIt();
}

double CProgressModel::Fraction() const {
    if (!IsPaintable()) return 0.0;
    return static_cast<double>(m_nPos - m_nLower) / (m_nUpper - m_nLower);
}

int CProgressModel::DoneWidth(int clientWidth) const {
    return static_cast<int>(clientWidth * Fraction());
}

std::string CProgressModel::DisplayText() const {
    if (!m_bShowText) return {};
    if (!m_strText.empty()) return m_strText;
    return std::to_string(static_cast<int>(Fraction() * 100)) + "%";
}

bool CProgressModel::TakeRepaint() {
    const bool due = m_bRepaint;
    m_bRepaint = false;
    return due;
}
