#pragma once

#include <QDialog>
#include <QTimer>
#include <memory>

#include "platform/MessageLayer.h"

class CWorkerThread;
class CDrawnProgressBar;
namespace Ui {
class CProgressDlg;
}

// The progress window of a batch job: modeless, it shows the bar the worker's 3024
// messages advance, posts the stop request 3025 to the worker's thread when "停止"
// is pressed, and deletes itself when the worker's 3026 arrives. Messages reach it
// through its window handle, pumped on the user-interface thread.
//
// The operator closing it (its title bar's X, Esc) while it has a worker asks whether
// to stop the job (a QMessageBox named "stopJobQuestion", 是 or 否): 是 stops the job as
// the stop button does and the window goes when the job has ended; 否 keeps both. The
// host closing it with close() does not ask: the plug-in's stop ends the job.
class CProgressDlg : public QDialog {
    Q_OBJECT

public:
    // The template's size, in dialog units of its font.
    static constexpr QSize kDialogUnits{187, 38};
    // `worker` (may be null: no stop request is sent) outlives the window.
    CProgressDlg(CWorkerThread* worker, QWidget* parent = nullptr);
    ~CProgressDlg() override;

    // The handle the worker posts 3024 and 3026 to.
    WindowHandle Handle() const { return m_hWnd; }
    CDrawnProgressBar& Bar();
    // The bar as a job starts: text shown, position 0, step 1, range 0 to `units`,
    // black bar, blue text over the rest, green text over the bar.
    void ConfigureForJob(int units);

    static constexpr int kPumpIntervalMs = 20;

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    void OnMessage(const Message& message);
    void RequestStop();
    void AskToStop();

    std::unique_ptr<Ui::CProgressDlg> m_ui;
    CWorkerThread* m_pWorker;
    WindowHandle m_hWnd = 0;
    bool m_bStopRequested = false;
    bool m_bAsking = false;   // the stop question is open
    bool m_bJobOver = false;  // 3026 came
    QTimer m_pump;
};
