#include "ui/OutLocalDataDlg.h"

#include <cstdio>

#include "hostlib/VktBase.h"
#include "platform/Clock.h"
#include "platform/JobWorker.h"
#include "ui/DialogLook.h"
#include "ui/ProgressDlg.h"
#include "ui_OutLocalDataDlg.h"

namespace {

constexpr int kMinuteStep = 10;
constexpr int kRangeDays = 365;

QDateTime ToQt(const DateTime& time) {
    return QDateTime(QDate(time.GetYear(), time.GetMonth(), time.GetDay()),
                     QTime(time.GetHour(), time.GetMinute(), time.GetSecond()));
}

DateTime FromQt(const QDateTime& time) {
    return DateTime(time.date().year(), time.date().month(), time.date().day(), time.time().hour(),
                    time.time().minute(), time.time().second());
}

}  // namespace

COutLocalDataDlg::COutLocalDataDlg(CJobWorker* exporter, CJobWorker* rain, QWidget* parent)
    : QDialog(parent),
      m_ui(std::make_unique<Ui::COutLocalDataDlg>()),
      m_pExporter(exporter),
      m_pRain(rain) {
    m_ui->setupUi(this);
    ApplyDialogLook(*this, 9, kDialogUnits);
    m_showMessage = [this](const QString& text) { ShowDialogMessage(this, text); };
    // The end of the range is now, down to the last ten minutes; the start a year before.
    const DateTime now = ProcessClock::Now();
    const DateTime end(now.GetYear(), now.GetMonth(), now.GetDay(), now.GetHour(),
                       now.GetMinute() / kMinuteStep * kMinuteStep, 0);
    m_ui->endTime->setDateTime(ToQt(end));
    m_ui->startTime->setDateTime(ToQt(end - DateTimeSpan(kRangeDays, 0, 0, 0)));
    FillStations();
    connect(m_ui->checkAllButton, &QPushButton::clicked, this, [this] { CheckAll(true); });
    connect(m_ui->uncheckAllButton, &QPushButton::clicked, this, [this] { CheckAll(false); });
    connect(m_ui->exportButton, &QPushButton::clicked, this,
            [this] { StartJob(m_pExporter, kExportBusy, kExportCaption); });
    connect(m_ui->rainButton, &QPushButton::clicked, this,
            [this] { StartJob(m_pRain, kRainBusy, kRainCaption); });
    connect(m_ui->closeButton, &QPushButton::clicked, this, &QDialog::reject);
}

COutLocalDataDlg::~COutLocalDataDlg() = default;

void COutLocalDataDlg::FillStations() {
    CObList<CRTUDef> towers;
    OutDBObj(kObjRTUDef, "WHERE TYPE=100", towers);
    for (const auto& tower : towers) {
        char text[256];
        std::snprintf(text, sizeof text, "%s(%d)", tower->m_strName.c_str(), tower->m_nRTUID);
        auto* item = new QListWidgetItem(QString::fromUtf8(text), m_ui->stationList);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
    }
    DestroyObA(towers);
}

void COutLocalDataDlg::CheckAll(bool checked) {
    for (int i = 0; i < m_ui->stationList->count(); ++i) {
        m_ui->stationList->item(i)->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
    }
}

std::vector<int32_t> COutLocalDataDlg::CheckedStations() const {
    std::vector<int32_t> stations;
    for (int i = 0; i < m_ui->stationList->count(); ++i) {
        const QListWidgetItem* item = m_ui->stationList->item(i);
        if (item->checkState() != Qt::Checked) continue;
        const int id = GetIDFromNameID(item->text().toStdString());
        if (id > 0) stations.push_back(id);  // a text without a number is skipped
    }
    return stations;
}

void COutLocalDataDlg::StartJob(CJobWorker* worker, const char* busyText, const char* caption) {
    const DateTime start = FromQt(m_ui->startTime->dateTime());
    const DateTime end = FromQt(m_ui->endTime->dateTime());
    if (worker && worker->IsBusy()) {
        m_showMessage(QString::fromUtf8(busyText));
        return;
    }
    if (!(start < end)) {
        m_showMessage(QString::fromUtf8(kTimesReversed));
        return;
    }
    const std::vector<int32_t> stations = CheckedStations();
    if (worker && !stations.empty()) {
        // Modeless, over the main window: it outlives this dialog, which closes now.
        auto* progress = new CProgressDlg(worker, CallingThreadMainWindow());
        progress->setWindowTitle(QString::fromUtf8(caption));
        progress->show();
        progress->ConfigureForJob(CJobWorker::UnitCount(stations.size(), start, end));
        if (worker->StartJob(stations, start, end, progress->Handle())) {
            m_pStarted = progress;
        } else {
            progress->close();
        }
    }
    accept();
}
