#include "host/gui/HostWindow.h"

#include <QDateTime>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QSplitter>
#include <QStatusBar>
#include <QTableWidget>
#include <QVBoxLayout>

#include "host/gui/TowerChart.h"
#include "hostlib/HostSide.h"
#include "hostlib/VktBase.h"

namespace {

constexpr int kShownItems = 3;
constexpr int kMessagesKept = 2000;

enum Column { kRtu, kName, kType, kStateTime, kLatest, kColumns };

QString TimeText(const DateTime& time) {
    return time.IsValid() ? QString::fromStdString(time.Format()) : QStringLiteral("-");
}

QString StoreText(const char* name, const CStoreHealth& store) {
    return QString::fromUtf8("%1: 队列 %2, 已写 %3, 失败 %4, 最近成功 %5%6%7")
        .arg(QString::fromUtf8(name))
        .arg(store.nQueued)
        .arg(store.nWritten)
        .arg(store.nFailed)
        .arg(TimeText(store.tLastSuccess))
        .arg(store.tOutageSince.IsValid()
                 ? QString::fromUtf8(", 中断自 ") + TimeText(store.tOutageSince)
                 : QString())
        .arg(store.tStalledSince.IsValid()
                 ? QString::fromUtf8(", 停滞自 ") + TimeText(store.tStalledSince)
                 : QString());
}

}  // namespace

CHostWindow::CHostWindow(CHostActions actions, QWidget* parent)
    : QMainWindow(parent), m_actions(std::move(actions)) {
    setWindowTitle(QString::fromUtf8("风电测风塔数据采集"));
    QMenu* plugin = menuBar()->addMenu(QString::fromUtf8("插件(&P)"));
    plugin->addAction(QString::fromUtf8("工作参数(&W)…"), this, [this] {
        if (m_actions.editProperty) m_actions.editProperty();
    });
    plugin->addAction(QString::fromUtf8("本地数据导出(&E)…"), this, [this] {
        if (m_actions.outLocalData) m_actions.outLocalData();
    });
    plugin->addAction(QString::fromUtf8("关闭单站数据库(&C)"), this, [this] {
        if (m_actions.closeAccess) m_actions.closeAccess();
    });
    QMenu* file = menuBar()->addMenu(QString::fromUtf8("文件(&F)"));
    file->addAction(QString::fromUtf8("退出(&X)"), this, &QWidget::close);

    m_pRtus = new QTableWidget(0, kColumns);
    m_pRtus->setHorizontalHeaderLabels({QString::fromUtf8("RTU"), QString::fromUtf8("名称"),
                                        QString::fromUtf8("类型"), QString::fromUtf8("状态时间"),
                                        QString::fromUtf8("最新值")});
    m_pRtus->verticalHeader()->hide();
    m_pRtus->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pRtus->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pRtus->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pRtus->horizontalHeader()->setStretchLastSection(true);
    m_pChart = new CTowerChart;
    m_pChart->setMinimumHeight(260);
    m_pMessages = new QListWidget;
    m_pHealth = new QLabel;
    m_pHealth->setTextFormat(Qt::PlainText);
    m_pHealth->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    auto* healthBox = new QGroupBox(QString::fromUtf8("插件状态"));
    auto* healthLayout = new QVBoxLayout(healthBox);
    healthLayout->addWidget(m_pHealth);
    auto* messagesBox = new QGroupBox(QString::fromUtf8("信息窗口"));
    auto* messagesLayout = new QVBoxLayout(messagesBox);
    messagesLayout->addWidget(m_pMessages);
    auto* top = new QSplitter(Qt::Horizontal);
    top->addWidget(m_pRtus);
    top->addWidget(m_pChart);
    top->setSizes({520, 580});
    auto* bottom = new QSplitter(Qt::Horizontal);
    bottom->addWidget(messagesBox);
    bottom->addWidget(healthBox);
    bottom->setSizes({520, 580});
    auto* all = new QSplitter(Qt::Vertical);
    all->addWidget(top);
    all->addWidget(bottom);
    all->setSizes({500, 200});
    setCentralWidget(all);
    statusBar()->showMessage(QString::fromUtf8("选择一个测风塔以显示其曲线"));
    FillRtus();
    connect(m_pRtus, &QTableWidget::itemSelectionChanged, this, [this] {
        const auto rows = m_pRtus->selectionModel()->selectedRows();
        if (rows.isEmpty()) return;
        m_pChart->ShowTower(m_pRtus->item(rows.first().row(), kRtu)->text().toInt());
    });
    connect(&m_refresh, &QTimer::timeout, this, &CHostWindow::Refresh);
    m_refresh.start(kRefreshMs);
    resize(1100, 720);
}

void CHostWindow::FillRtus() {
    CObList<CRTUDef> rtus;
    OutDBObj(kObjRTUDef, "ORDER BY ID ASC", rtus);
    for (const auto& def : rtus) {
        const int row = m_pRtus->rowCount();
        m_pRtus->insertRow(row);
        m_pRtus->setItem(row, kRtu, new QTableWidgetItem(QString::number(def->m_nRTUID)));
        m_pRtus->setItem(row, kName, new QTableWidgetItem(QString::fromStdString(def->m_strName)));
        m_pRtus->setItem(row, kType, new QTableWidgetItem(QString::number(def->m_nType)));
        m_pRtus->setItem(row, kStateTime, new QTableWidgetItem(QStringLiteral("-")));
        m_pRtus->setItem(row, kLatest, new QTableWidgetItem);
        m_rowOfRtu[def->m_nRTUID] = row;
    }
    DestroyObA(rtus);
    m_pRtus->resizeColumnsToContents();
}

void CHostWindow::PostMessage(const std::string& text) {
    std::lock_guard<std::mutex> guard(m_arrivedLock);
    m_arrivedLines.push_back(text);
}

void CHostWindow::NoteFrame(const CDataFrame& frame) {
    std::lock_guard<std::mutex> guard(m_arrivedLock);
    m_arrivedFrames.push_back(frame);
}

void CHostWindow::Refresh() {
    std::vector<std::string> lines;
    std::vector<CDataFrame> frames;
    {
        std::lock_guard<std::mutex> guard(m_arrivedLock);
        lines.swap(m_arrivedLines);
        frames.swap(m_arrivedFrames);
    }
    const QString now = QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss"));
    for (std::string line : lines) {
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        m_pMessages->addItem(now + "  " + QString::fromStdString(line));
    }
    while (m_pMessages->count() > kMessagesKept) delete m_pMessages->takeItem(0);
    if (!lines.empty()) m_pMessages->scrollToBottom();
    // Only the newest frame of each RTU is shown.
    std::map<int32_t, const CDataFrame*> newest;
    for (const CDataFrame& frame : frames) newest[frame.m_nRTUID] = &frame;
    for (const auto& [rtu, frame] : newest) ShowFrame(*frame);
    ShowHealth();
}

void CHostWindow::ShowFrame(const CDataFrame& frame) {
    const auto it = m_rowOfRtu.find(frame.m_nRTUID);
    if (it == m_rowOfRtu.end()) return;
    const CRTUState* state = CRTUState::GetRTUState(frame.m_nRTUID);
    m_pRtus->item(it->second, kStateTime)
        ->setText(TimeText(state ? state->GetStateTime() : DateTime::Invalid()));
    QStringList values;
    for (const CDataItem& item : frame.m_arItems) {
        if (values.size() == kShownItems) break;
        values << QStringLiteral("%1=%2").arg(item.m_nDataID).arg(item.m_fValue, 0, 'g', 4);
    }
    m_pRtus->item(it->second, kLatest)
        ->setText(QString::fromStdString(frame.m_tTime.Format()) + "  " + values.join(' '));
    m_pRtus->resizeColumnsToContents();
}

void CHostWindow::ShowHealth() {
    CPluginHealthSource* source = VktHost::PluginHealth();
    if (!source) {
        m_pHealth->setText(QString::fromUtf8("插件未启动"));
        return;
    }
    const CPluginHealth health = source->Health();
    m_pHealth->setText(StoreText("后台库", health.backend) + "\n" +
                       StoreText("单站库", health.station) + "\n" +
                       StoreText("隔离文件", health.isolation) +
                       QString::fromUtf8("\n丢弃 %1, 待补范围 %2, 已补行 %3")
                           .arg(health.nFramesDropped)
                           .arg(health.nRefillPending)
                           .arg(health.nRowsRefilled));
    if (health.backend.nWritten != m_nBackendRowsShown) {
        m_nBackendRowsShown = health.backend.nWritten;
        if (m_pChart->Tower() != 0) m_pChart->Reload();
    }
}
