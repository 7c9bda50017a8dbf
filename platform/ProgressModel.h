#pragma once

#include <cstdint>
#include <string>

#include "platform/Api.h"

// Messages between a batch job's worker thread and its progress window.
constexpr unsigned int kMsgJobProgress = 3024;  // worker → window, wParam = units done
constexpr unsigned int kMsgJobStop = 3025;      // window → worker's thread queue
constexpr unsigned int kMsgJobOver = 3026;      // worker → window, once per job

// The state and arithmetic of the progress window's drawn bar, free of any drawing:
// the window only paints what this holds.
class VKTBASE_API CProgressModel {
public:
    void SetRange(int lower, int upper);
    // Returns the previous position. Without a window (no client width yet) returns -1
    // and changes nothing. A repaint is due when the done width in pixels changed.
    int SetPos(int pos);
    int StepIt() { return SetPos(m_nPos + m_nStep); }
    // Returns the previous step.
    int SetStep(int step);
    // The control got a window of this client width, or was resized: the next
    // position is drawn even if its width in pixels is the same.
    void Resize(int clientWidth);
    // Stores the text; false (no repaint) when it is the same text.
    bool SetText(const std::string& text);
    void ShowText(bool show);

    // Message 3024: the text "已完成 %#.1f%%" of units / (upper − lower) × 100, then one step.
    void OnJobProgress(intptr_t units);

    // What is drawn: the stored text, else "%d%%" of the done fraction; empty when no
    // text is shown.
    std::string DisplayText() const;
    // The done part, 0 to 1; 0 for an empty or inverted range.
    double Fraction() const;
    // The done part's width for a client width, truncated.
    int DoneWidth(int clientWidth) const;
    // Whether anything is painted at all.
    bool IsPaintable() const { return m_nLower < m_nUpper; }
    // Whether a repaint is due; clears it.
    bool TakeRepaint();

    // For tests: the upper end of the range.
    int Upper() const { return m_nUpper; }
    const std::string& Text() const { return m_strText; }

private:
    int m_nPos = 0;
    int m_nStep = 1;
    int m_nUpper = 100;
    int m_nLower = 0;
    std::string m_strText;
    bool m_bShowText = true;
    int m_nBarWidth = -1;     // last drawn done width; -1 forces the next redraw
    int m_nClientWidth = -1;  // -1: no window yet
    bool m_bRepaint = false;
};
