#include "ui/ProgressDlg.h"

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
    connect(m_ui->stopButton, &QPushButton::clicked, this, [this] {
        if (m_pWorker) m_pWorker->PostThreadMessage(kMsgJobStop, 0, 0);
    });
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
        // Later, not here: the message layer is still dispatching to this window.
        MessageLayer::UnregisterWindow(m_hWnd);
        deleteLater();
    }
}
