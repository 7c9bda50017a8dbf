#pragma once

#include <QMainWindow>
#include <QTimer>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/Availability.h"
#include "host/ErrorLogTail.h"
#include "host/SourceHealth.h"
#include "host/gui/HealthView.h"
#include "host/gui/JobWatch.h"
#include "host/gui/LatestValues.h"
#include "hostlib/VktRecords.h"
#include "platform/DateTime.h"
#include "platform/Mutex.h"

class QLabel;
class QListWidget;
class QScrollArea;
class QTableView;
class CRtuListModel;
class CTowerChart;

// What the window's menu asks of the plug-in; each is called on the user-interface
// thread, as the plug-in's dialogs need.
struct CHostActions {
    std::function<void()> editProperty;  // EditProperty
    std::function<void()> outLocalData;  // OutLocalData
    std::function<void()> closeAccess;   // CloseAccess
};

// The host's main window: the message window (the plug-in's lines, the error log's new
// entries and the host's own events, each with the process clock's time, newest last
// and in view), the RTUs with type, state time and latest values by level and
// quantity (greyed once quiet for two periods) and today's share of each tower's
// ten-minute records in its stores (read once a minute, off this thread), the selected tower's
// chart, and the plug-in's health figures (a store in an outage or stalled in red, also in the
// status bar). Acquisition runs on a host thread: it hands lines and frames over with PostMessage
// and NoteFrame, and the window takes them in on its own thread at each refresh.
//
// Closing it while a batch job of the plug-in runs asks whether to stop the job (a
// QMessageBox named "stopJobsQuestion"); on yes the job is asked to stop and the window
// closes once it has ended. closed() tells the host that the window is gone.
//
// It opens where it was last closed (vkthost-window.ini in the host directory), at
// first 1280×800 in the middle of the screen, and never larger than the screen's
// available area, frame included, so that the status bar is always on screen.
class CHostWindow : public QMainWindow {
    Q_OBJECT

public:
    static constexpr int kRefreshMs = 500;
    // An RTU's frames come once a period; a row quiet for two periods is greyed.
    static constexpr int kPeriodSeconds = 600;
    static constexpr int kQuietPeriods = 2;
    // At most this long, once the window is to close, for running jobs to end.
    static constexpr int kJobStopSeconds = 15;
    static constexpr QSize kPreferredSize{1280, 800};

    explicit CHostWindow(CHostActions actions, QWidget* parent = nullptr);

    // Any thread.
    void PostMessage(const std::string& text);
    // Where the health panel reads how the sources that read devices or a broker fare;
    // called on the window's thread at each refresh, so it must be safe from there.
    void WatchSources(std::function<std::vector<CSourceHealth>()> sources);
    void NoteFrame(const CDataFrame& frame);

    // User-interface thread from here on.

    // A line of the host's own in the message window; `alarm` shows it in red.
    void AddMessage(const QString& text, bool alarm = false);
    // Shows what arrived, the health figures, the jobs' changes, the quiet RTUs and,
    // when the stores wrote rows since, the chart again. Also on a timer.
    void Refresh();
    // Closes without asking: the plug-in's open dialogs are cancelled, running jobs
    // are asked to stop and the window closes once they ended (at most
    // kJobStopSeconds), or at once with `now`.
    void CloseWithoutAsking(bool now = false);
    // `wanted` (a frame's place and size) moved and shrunk to lie within `available`.
    static QRect FitToScreen(const QRect& wanted, const QRect& available);

    QListWidget& Messages() { return *m_pMessages; }
    CRtuListModel& Rtus() { return *m_pRtus; }
    // Selects the row of RTU `rtu`, or with 0 the first wind tower's.
    void SelectRtu(int rtu);
    CTowerChart& Chart() { return *m_pChart; }
    // For tests: the health panel's lines.
    const std::vector<QLabel*>& HealthLines() const { return m_healthLines; }
    // For tests: the status bar's part that tells the stores' state.
    QLabel& StoreStatus() { return *m_pStoreStatus; }
    // For tests: what the health lines scroll in.
    QScrollArea& HealthPanel() { return *m_pHealthScroll; }

signals:
    // The window has closed for good.
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    struct Arrived {
        DateTime time;
        std::string text;
    };

    void AddMenus();
    QTableView* MakeRtuList();
    QWidget* MakeRightSide();
    QScrollArea* MakeHealthPanel();
    void FillRtus();
    void ShowFrame(const CDataFrame& frame);
    void ShowQuietRtus();
    void ShowHealth();
    void ShowSources();
    void ShowJobs();
    void ShowChartStatus();
    void AddStampedMessage(const DateTime& time, const QString& text, bool alarm);
    void EditProperty();
    void OutLocalData();
    bool AskToStopJobs(const std::vector<int>& running);
    void FinishClosing();
    void PlaceOnScreen();
    void KeepOnScreen();
    void SaveGeometry();

    CHostActions m_actions;
    QListWidget* m_pMessages = nullptr;
    CRtuListModel* m_pRtus = nullptr;
    QTableView* m_pRtuView = nullptr;
    CTowerChart* m_pChart = nullptr;
    std::vector<QLabel*> m_healthLines;
    QLabel* m_pSourcesLine = nullptr;
    std::function<std::vector<CSourceHealth>()> m_sources;
    QScrollArea* m_pHealthScroll = nullptr;
    QLabel* m_pChartStatus = nullptr;
    QLabel* m_pStoreStatus = nullptr;
    QTimer m_refresh;
    DateTime m_tOpened;
    long m_nRowsCharted = -1;     // backend and station rows written when last charted
    bool m_bBackendAway = false;  // the plug-in's backend in an outage at the last look
    bool m_bPlacedWithFrame = false;

    CLatestValues m_latest;
    CErrorLogTail m_errorLog;
    HealthView::CWatch m_healthWatch;
    CJobWatch m_jobWatch;

    enum class Closing { No, WaitingForJobs, Done };
    Closing m_closing = Closing::No;
    bool m_bWithoutAsking = false;
    std::chrono::steady_clock::time_point m_jobStopDeadline;

    // Today's share of each tower's ten-minute records, read on a thread of its own.
    Availability::CTodayLoader m_today;

    Mutex m_arrivedLock;
    std::vector<Arrived> m_arrivedLines GUARDED_BY(m_arrivedLock);
    std::map<int32_t, CDataFrame> m_arrivedFrames GUARDED_BY(m_arrivedLock);  // newest a RTU
};
