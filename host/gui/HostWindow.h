#pragma once

#include <QMainWindow>
#include <QTimer>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "hostlib/VktRecords.h"

class QLabel;
class QListWidget;
class QTableWidget;
class CTowerChart;

// What the window's menu asks of the plug-in; each is called on the user-interface
// thread, as the plug-in's dialogs need.
struct CHostActions {
    std::function<void()> editProperty;  // EditProperty
    std::function<void()> outLocalData;  // OutLocalData
    std::function<void()> closeAccess;   // CloseAccess
};

// The host's main window: the message window (the plug-in's ReportMsg lines, newest
// last, with their time), the RTUs with type, state time and latest values, the
// selected tower's chart, and the plug-in's health figures in the status bar.
// Acquisition runs on a host thread: it hands lines and frames over with PostMessage
// and NoteFrame, and the window takes them in on its own thread at each refresh.
class CHostWindow : public QMainWindow {
    Q_OBJECT

public:
    static constexpr int kRefreshMs = 500;

    explicit CHostWindow(CHostActions actions, QWidget* parent = nullptr);

    // Any thread.
    void PostMessage(const std::string& text);
    void NoteFrame(const CDataFrame& frame);

    // User-interface thread: shows what arrived, the health figures and, when the
    // backend wrote rows since, the chart again. Also on a timer.
    void Refresh();

    QListWidget& Messages() { return *m_pMessages; }
    QTableWidget& Rtus() { return *m_pRtus; }
    CTowerChart& Chart() { return *m_pChart; }
    QLabel& Health() { return *m_pHealth; }

private:
    void FillRtus();
    void ShowFrame(const CDataFrame& frame);
    void ShowHealth();

    CHostActions m_actions;
    QListWidget* m_pMessages = nullptr;
    QTableWidget* m_pRtus = nullptr;
    CTowerChart* m_pChart = nullptr;
    QLabel* m_pHealth = nullptr;
    QTimer m_refresh;
    std::map<int32_t, int> m_rowOfRtu;
    long m_nBackendRowsShown = -1;

    std::mutex m_arrivedLock;
    std::vector<std::string> m_arrivedLines;
    std::vector<CDataFrame> m_arrivedFrames;
};
