#include "ui/ProgressDlg.h"

#include <QCloseEvent>
#include <QMessageBox>

#include "hostlib/widgets/Questions.h"
#include "platform/ProgressModel.h"
#include "platform/WorkerThread.h"
#include "ui/DialogLook.h"
#include "ui/DrawnProgressBar.h"
#include "ui_ProgressDlg.h"

CProgressDlg::CProgressDlg(CWorkerThread* worker, QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::CProgressDlg>()), m_pWorker(worker) {
    m_ui->setupUi(this);
    ApplyDialogLook(*this, 7, kDialogUnits);
    setAttribute(Qt::WA_DeleteOnClose);
    m_hWnd = MessageLayer::RegisterWindow([this](const Message& message) { OnMessage(message); });
    connect(m_ui->stopButton, &QPushButton::clicked, this, &CProgressDlg::RequestStop);
    // The worker's messages are queued for this thread; the timer dispatches them.
    connect(&m_pump, &QTimer::timeout, [] { MessageLayer::PumpMessages(); });
    m_pump.start(kPumpIntervalMs);
}

CProgressDlg::~CProgressDlg() {
    MessageLayer::UnregisterWindow(m_hWnd);
}

CDrawnProgressBar& CProgressDlg::Bar() {
    return *m_ui->bar;
}

void CProgressDlg::ConfigureForJob(int units) {
    CProgressModel& model = Bar().Model();
    model.ShowText(true);
    model.SetPos(0);
    model.SetStep(1);
    model.SetRange(0, units);
    Bar().SetBarColor(0x000000);
    Bar().SetTextColorOverBackground(0xFF0000);
    Bar().SetTextColorOverBar(0x00FF00);
}

void CProgressDlg::OnMessage(const Message& message) {
    if (message.message == kMsgJobProgress) {
        Bar().Model().OnJobProgress(message.wParam);
        Bar().Refresh();
    } else if (message.message == kMsgJobOver) {
        MessageLayer::UnregisterWindow(m_hWnd);
        m_bJobOver = true;
        if (m_bAsking) {
            // The question has nothing left to ask; the window goes once it has closed,
            // not under it.
            if (auto* question = findChild<QMessageBox*>(QStringLiteral("stopJobQuestion"))) {
                question->done(QMessageBox::No);
            }
            return;
        }
        // Later, not here: the message layer is still dispatching to this window.
        deleteLater();
    }
}

void CProgressDlg::RequestStop() {
    if (!m_pWorker) return;
    m_pWorker->PostThreadMessage(kMsgJobStop, 0, 0);
    m_bStopRequested = true;
}

void CProgressDlg::AskToStop() {
    // Once a stop is on its way the window goes with the job, after its current unit.
    if (m_bAsking || m_bStopRequested) return;
    m_bAsking = true;
    const bool stop =
        AskYesNo(this, windowTitle(),
                 QString::fromUtf8("作业正在运行。\n停止作业? 作业在当前单位之后结束。"),
                 QStringLiteral("stopJobQuestion"));
    m_bAsking = false;
    if (m_bJobOver) {
        deleteLater();
    } else if (stop) {
        RequestStop();
    }
}

void CProgressDlg::closeEvent(QCloseEvent* event) {
    // Not QDialog's: it would reject(), which asks. What the host closes goes without
    // a word, and so does a window without a job.
    if (!event->spontaneous() || !m_pWorker || m_bJobOver) {
        event->accept();
        return;
    }
    event->ignore();
    AskToStop();
}

void CProgressDlg::reject() {
    if (!m_pWorker || m_bJobOver) {
        QDialog::reject();
        return;
    }
    AskToStop();
}
