#include "host/gui/HostWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QScreen>
#include <QScrollArea>
#include <QSettings>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>
#include <filesystem>
#include <fstream>

#include "host/FrameFile.h"
#include "host/gui/ElidedLabel.h"
#include "host/gui/RtuListModel.h"
#include "host/gui/TowerChart.h"
#include "hostlib/HostSide.h"
#include "hostlib/TowerTypes.h"
#include "hostlib/VktBase.h"
#include "hostlib/widgets/Questions.h"
#include "platform/Clock.h"

namespace {

constexpr int kMessagesKept = 2000;
const QColor kAlarmColour(0xC0, 0x00, 0x00);
constexpr const char* kAlarmStyle = "color: #c00000; font-weight: bold;";
constexpr const char* kSettingsFile = "WPDB.ini";
// The window's size and place between runs, in the host directory beside the
// plug-in's settings but apart from them: WPDB.ini is the plug-in's alone.
constexpr const char* kWindowFile = "vkthost-window.ini";
constexpr const char* kGeometryKey = "window/geometry";

QString TimeText(const DateTime& time) {
    return time.IsValid() ? QString::fromStdString(time.Format()) : QStringLiteral("-");
}

void ShowAlarm(QLabel& label, const QString& text, bool alarm) {
    label.setText(text);
    label.setStyleSheet(alarm ? kAlarmStyle : "");
    label.setProperty("alarm", alarm);
}

// The settings file as "SECTION/KEY" → value, and when it was last written.
struct SettingsFile {
    std::map<std::string, std::string> values;
    std::filesystem::file_time_type written;
    bool exists = false;

    static SettingsFile Read() {
        SettingsFile file;
        std::error_code ec;
        file.written = std::filesystem::last_write_time(kSettingsFile, ec);
        file.exists = !ec;
        std::ifstream in(kSettingsFile);
        std::string section, line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.size() > 1 && line.front() == '[' && line.back() == ']') {
                section = line.substr(1, line.size() - 2);
            } else if (const size_t equals = line.find('='); equals != std::string::npos) {
                file.values[section + "/" + line.substr(0, equals)] = line.substr(equals + 1);
            }
        }
        return file;
    }
};

// What saving the working parameters changed, for the message window.
QString SettingsChange(const SettingsFile& before, const SettingsFile& after) {
    if (after.exists == before.exists && after.written == before.written &&
        after.values == before.values) {
        return QString::fromUtf8("工作参数未保存 (对话框已取消)");
    }
    QStringList changed;
    std::map<std::string, std::string> keys = before.values;
    keys.insert(after.values.begin(), after.values.end());
    for (const auto& [key, unused] : keys) {
        const auto was = before.values.find(key);
        const auto is = after.values.find(key);
        const std::string value = is == after.values.end() ? std::string() : is->second;
        if (was != before.values.end() && was->second == value) continue;
        const bool secret = key.size() >= 9 && key.compare(key.size() - 9, 9, "/PASSWORD") == 0;
        changed << QString::fromStdString(key + "=" + (secret ? "***" : value));
    }
    return changed.isEmpty()
               ? QString::fromUtf8("工作参数已保存到 %1, 没有改动").arg(kSettingsFile)
               : QString::fromUtf8("工作参数已保存到 %1: ").arg(kSettingsFile) + changed.join(", ");
}

// The plug-in's dialogs open on top of the window; on a stop they are cancelled.
void CancelDialogs() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QDialog*>(widget);
        if (dialog && dialog->isVisible() && dialog->isModal()) dialog->reject();
    }
}

std::vector<int> RunningJobs() {
    std::vector<int> kinds;
    if (CPluginJobs* jobs = VktHost::PluginJobs()) {
        for (int kind = 0; kind < CJobWatch::kKinds; ++kind) {
            if (jobs->Summary(kind).bBusy) kinds.push_back(kind);
        }
    }
    return kinds;
}

}  // namespace

CHostWindow::CHostWindow(CHostActions actions, QWidget* parent)
    : QMainWindow(parent), m_actions(std::move(actions)), m_tOpened(ProcessClock::Now()) {
    setWindowTitle(QString::fromUtf8("风电测风塔数据采集"));
    AddMenus();
    MakeRtuList();
    m_pChart = new CTowerChart;
    // Small enough for the whole window on a 640×480 screen.
    m_pChart->setMinimumSize(240, 150);
    auto* bottom = new QSplitter(Qt::Horizontal);
    bottom->addWidget(m_pChart);
    bottom->addWidget(MakeRightSide());
    bottom->setSizes({680, 600});
    auto* all = new QSplitter(Qt::Vertical);
    all->addWidget(m_pRtuView);
    all->addWidget(bottom);
    all->setSizes({190, 560});
    setCentralWidget(all);
    m_pChartStatus = new CElidedLabel;
    m_pStoreStatus = new CElidedLabel;
    statusBar()->addWidget(m_pChartStatus, 1);
    statusBar()->addPermanentWidget(m_pStoreStatus);
    FillRtus();
    connect(m_pRtuView->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        const auto rows = m_pRtuView->selectionModel()->selectedRows();
        if (rows.isEmpty()) return;
        m_pChart->ShowTower(m_pRtus->RtuAt(rows.first().row()));
    });
    connect(m_pChart, &CTowerChart::reloaded, this, &CHostWindow::ShowChartStatus);
    connect(&m_refresh, &QTimer::timeout, this, &CHostWindow::Refresh);
    m_refresh.start(kRefreshMs);
    ShowChartStatus();
    PlaceOnScreen();
}

void CHostWindow::AddMenus() {
    QMenu* plugin = menuBar()->addMenu(QString::fromUtf8("插件(&P)"));
    plugin->addAction(QString::fromUtf8("工作参数(&W)…"), this, [this] { EditProperty(); });
    plugin->addAction(QString::fromUtf8("本地数据导出(&E)…"), this, [this] { OutLocalData(); });
    plugin->addAction(QString::fromUtf8("关闭单站数据库(&C)"), this, [this] {
        if (!m_actions.closeAccess) return;
        m_actions.closeAccess();
        AddMessage(QString::fromUtf8("单站数据库已关闭 (CloseAccess)"));
    });
    QMenu* file = menuBar()->addMenu(QString::fromUtf8("文件(&F)"));
    file->addAction(QString::fromUtf8("退出(&X)"), this, &QWidget::close);
}

QTableView* CHostWindow::MakeRtuList() {
    m_pRtus = new CRtuListModel;
    m_pRtus->setParent(this);
    m_pRtuView = new QTableView;
    m_pRtuView->setModel(m_pRtus);
    m_pRtuView->verticalHeader()->hide();
    m_pRtuView->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pRtuView->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pRtuView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pRtuView->setWordWrap(false);
    m_pRtuView->setTextElideMode(Qt::ElideRight);
    m_pRtuView->horizontalHeader()->setStretchLastSection(true);
    return m_pRtuView;
}

// The health panel above the message window.
QWidget* CHostWindow::MakeRightSide() {
    m_pMessages = new QListWidget;
    m_pMessages->setWordWrap(true);
    m_pMessages->setResizeMode(QListView::Adjust);
    m_pMessages->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* healthBox = new QGroupBox(QString::fromUtf8("插件状态"));
    auto* healthLayout = new QVBoxLayout(healthBox);
    healthLayout->setContentsMargins(0, 0, 0, 0);
    healthLayout->addWidget(MakeHealthPanel());
    auto* messagesBox = new QGroupBox(QString::fromUtf8("信息窗口"));
    auto* messagesLayout = new QVBoxLayout(messagesBox);
    messagesLayout->addWidget(m_pMessages);
    auto* right = new QSplitter(Qt::Vertical);
    right->addWidget(healthBox);
    right->addWidget(messagesBox);
    right->setSizes({150, 350});
    // A lower window takes from the messages first: the health lines stay whole.
    right->setStretchFactor(0, 0);
    right->setStretchFactor(1, 1);
    return right;
}

// The health lines wrap to the panel's width and scroll when it is too low for them,
// so that a small screen cuts none of them.
QScrollArea* CHostWindow::MakeHealthPanel() {
    auto* healthLines = new QWidget;
    auto* healthLinesLayout = new QVBoxLayout(healthLines);
    for (int line = 0; line < 4; ++line) {
        auto* label = new QLabel;
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
        healthLinesLayout->addWidget(label);
        m_healthLines.push_back(label);
    }
    m_pSourcesLine = new QLabel;
    m_pSourcesLine->setTextFormat(Qt::PlainText);
    m_pSourcesLine->setWordWrap(true);
    m_pSourcesLine->hide();
    healthLinesLayout->addWidget(m_pSourcesLine);
    healthLinesLayout->addStretch();
    m_pHealthScroll = new QScrollArea;
    m_pHealthScroll->setWidget(healthLines);
    m_pHealthScroll->setWidgetResizable(true);
    m_pHealthScroll->setFrameShape(QFrame::NoFrame);
    m_pHealthScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    return m_pHealthScroll;
}

QRect CHostWindow::FitToScreen(const QRect& wanted, const QRect& available) {
    QRect fitted(wanted.topLeft(), wanted.size().boundedTo(available.size()));
    if (fitted.right() > available.right()) fitted.moveRight(available.right());
    if (fitted.bottom() > available.bottom()) fitted.moveBottom(available.bottom());
    if (fitted.left() < available.left()) fitted.moveLeft(available.left());
    if (fitted.top() < available.top()) fitted.moveTop(available.top());
    return fitted;
}

void CHostWindow::PlaceOnScreen() {
    const QByteArray saved =
        QSettings(kWindowFile, QSettings::IniFormat).value(kGeometryKey).toByteArray();
    if (saved.isEmpty() || !restoreGeometry(saved)) {
        QRect wanted(QPoint(), kPreferredSize);
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            wanted.moveCenter(screen->availableGeometry().center());
        }
        setGeometry(wanted);
    }
    KeepOnScreen();
}

void CHostWindow::KeepOnScreen() {
    if (isMaximized() || isFullScreen()) return;
    const QScreen* screen = QGuiApplication::screenAt(geometry().center());
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    // The window manager's frame, once the window has one; before, a title bar's height
    // is kept free for it.
    QMargins frame(geometry().left() - frameGeometry().left(),
                   geometry().top() - frameGeometry().top(),
                   frameGeometry().right() - geometry().right(),
                   frameGeometry().bottom() - geometry().bottom());
    if (frame.isNull()) frame.setTop(style()->pixelMetric(QStyle::PM_TitleBarHeight));
    const QRect fitted = FitToScreen(geometry().marginsAdded(frame), screen->availableGeometry());
    setGeometry(fitted.marginsRemoved(frame));
}

void CHostWindow::SaveGeometry() {
    QSettings saved(kWindowFile, QSettings::IniFormat);
    saved.setValue(kGeometryKey, saveGeometry());
    saved.sync();
    if (saved.status() != QSettings::NoError) {
        AddMessage(QString::fromUtf8("窗口位置未能保存到 %1").arg(kWindowFile), true);
    }
}

void CHostWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // The frame is known once the window manager has framed the window.
    if (!m_bPlacedWithFrame) {
        m_bPlacedWithFrame = true;
        QTimer::singleShot(0, this, [this] { KeepOnScreen(); });
    }
}

void CHostWindow::FillRtus() {
    m_pRtus->Load();
    m_pRtuView->resizeColumnsToContents();
    // Room for a state time before any has come.
    const int stateTime = CRtuListModel::kStateTime;
    m_pRtuView->setColumnWidth(stateTime, std::max(m_pRtuView->columnWidth(stateTime),
                                                   m_pRtuView->fontMetrics().horizontalAdvance(
                                                       QStringLiteral("0000-00-00 00:00:00  "))));
}

void CHostWindow::SelectRtu(int rtu) {
    for (int row = 0; row < m_pRtus->RtuCount(); ++row) {
        if (rtu == m_pRtus->RtuAt(row) || (rtu == 0 && IsTowerType(m_pRtus->TypeAt(row)))) {
            m_pRtuView->selectRow(row);
            return;
        }
    }
}

void CHostWindow::PostMessage(const std::string& text) {
    const DateTime now = ProcessClock::Now();
    MutexLock guard(m_arrivedLock);
    m_arrivedLines.push_back({now, text});
}

void CHostWindow::NoteFrame(const CDataFrame& frame) {
    MutexLock guard(m_arrivedLock);
    m_arrivedFrames[frame.m_nRTUID] = frame;
}

void CHostWindow::AddMessage(const QString& text, bool alarm) {
    AddStampedMessage(ProcessClock::Now(), text, alarm);
}

void CHostWindow::AddStampedMessage(const DateTime& time, const QString& text, bool alarm) {
    // One line in the list (wrapped to its width); the text as it came in the tooltip.
    const QString line = text.simplified();
    auto* item = new QListWidgetItem(QString::fromStdString(time.Format("%H:%M:%S")) + "  " + line);
    item->setToolTip(TimeText(time) + "\n" + text.trimmed());
    if (alarm) item->setForeground(kAlarmColour);
    m_pMessages->addItem(item);
    while (m_pMessages->count() > kMessagesKept) delete m_pMessages->takeItem(0);
    m_pMessages->scrollToItem(item);
}

void CHostWindow::Refresh() {
    std::vector<Arrived> lines;
    std::map<int32_t, CDataFrame> frames;
    {
        MutexLock guard(m_arrivedLock);
        lines.swap(m_arrivedLines);
        frames.swap(m_arrivedFrames);
    }
    for (const Arrived& line : lines) {
        AddStampedMessage(line.time, QString::fromStdString(line.text), false);
    }
    for (const CErrorLogTail::Entry& entry : m_errorLog.NewEntries()) {
        const auto stamp = FrameFile::ParseTime(entry.stamp);
        AddStampedMessage(stamp ? *stamp : ProcessClock::Now(),
                          QString::fromUtf8("错误日志: ") + QString::fromStdString(entry.text),
                          !CErrorLogTail::TellsRecovery(entry.text));
    }
    for (const auto& [rtu, frame] : frames) ShowFrame(frame);
    if (const auto figures = m_today.TakeNewest()) {
        for (const Availability::DayFigure& figure : *figures) m_pRtus->ShowToday(figure);
    }
    ShowQuietRtus();
    ShowHealth();
    ShowJobs();
}

void CHostWindow::ShowFrame(const CDataFrame& frame) {
    const CRTUState* state = CRTUState::GetRTUState(frame.m_nRTUID);
    const CLatestValues::Text text = m_latest.Describe(frame);
    m_pRtus->ShowLatest(frame.m_nRTUID,
                        TimeText(state ? state->GetStateTime() : DateTime::Invalid()), text.summary,
                        text.details);
}

void CHostWindow::ShowQuietRtus() {
    const DateTime now = ProcessClock::Now();
    for (int row = 0; row < m_pRtus->RtuCount(); ++row) {
        const int rtu = m_pRtus->RtuAt(row);
        const CRTUState* state = CRTUState::GetRTUState(rtu);
        const DateTime last =
            state && state->GetStateTime().IsValid() ? state->GetStateTime() : m_tOpened;
        const double quietSeconds = (now - last).GetTotalSeconds();
        const bool quiet = quietSeconds >= kQuietPeriods * kPeriodSeconds;
        m_pRtus->ShowQuiet(
            rtu, quiet,
            quiet ? QString::fromUtf8("已 %1 分钟没有数据").arg(static_cast<int>(quietSeconds / 60))
                  : QString());
    }
}

void CHostWindow::ShowHealth() {
    CPluginHealthSource* source = VktHost::PluginHealth();
    if (!source) {
        for (QLabel* label : m_healthLines) ShowAlarm(*label, QString(), false);
        ShowAlarm(*m_healthLines.front(), QString::fromUtf8("插件未启动"), false);
        ShowAlarm(*m_pStoreStatus, QString::fromUtf8("插件未启动"), false);
        return;
    }
    const CPluginHealth health = source->Health();
    const std::vector<HealthView::Line> lines = HealthView::Lines(health);
    for (size_t i = 0; i < m_healthLines.size() && i < lines.size(); ++i) {
        ShowAlarm(*m_healthLines[i], lines[i].text, lines[i].alarm);
    }
    const HealthView::Line status = HealthView::Status(health);
    ShowAlarm(*m_pStoreStatus, status.text, status.alarm);
    ShowSources();
    for (const HealthView::Line& change : m_healthWatch.Changes(health)) {
        AddMessage(change.text, change.alarm);
    }
    // New rows in either store: the chart reads them. A backend that answers again
    // is read at once, though the chart's own attempt failed a moment ago.
    const long written = health.backend.nWritten + health.station.nWritten;
    const bool backendAway = health.backend.tOutageSince.IsValid();
    const bool backendBack = m_bBackendAway && !backendAway;
    m_bBackendAway = backendAway;
    if (backendBack) m_pChart->RetryBackend();
    if (written != m_nRowsCharted || backendBack) {
        m_nRowsCharted = written;
        if (m_pChart->Tower() != 0) m_pChart->Reload();
    }
}

void CHostWindow::WatchSources(std::function<std::vector<CSourceHealth>()> sources) {
    m_sources = std::move(sources);
}

void CHostWindow::ShowSources() {
    const std::vector<CSourceHealth> sources =
        m_sources ? m_sources() : std::vector<CSourceHealth>();
    m_pSourcesLine->setVisible(!sources.empty());
    if (sources.empty()) return;
    QStringList lines;
    bool silent = false;
    for (const CSourceHealth& source : sources) {
        silent = silent || !source.answering;
        lines << QString::fromUtf8("%1: %2, 最近帧 %3, 读失败 %4%5")
                     .arg(QString::fromStdString(source.name),
                          QString::fromUtf8(source.answering ? "应答" : "无应答"),
                          TimeText(source.lastFrame), QString::number(source.failedReads),
                          source.lastError.empty() ? QString()
                                                   : QString::fromUtf8(", 最近错误: ") +
                                                         QString::fromStdString(source.lastError));
    }
    ShowAlarm(*m_pSourcesLine, QString::fromUtf8("数据源\n") + lines.join('\n'), silent);
}

void CHostWindow::ShowChartStatus() {
    m_pChartStatus->setText(m_pChart->Tower() == 0
                                ? QString::fromUtf8("选择一个测风塔以显示其曲线")
                                : QString::fromUtf8("曲线: ") + m_pChart->Description());
}

void CHostWindow::ShowJobs() {
    for (const QString& line : m_jobWatch.Changes(VktHost::PluginJobs())) AddMessage(line);
    if (m_closing != Closing::WaitingForJobs) return;
    if (RunningJobs().empty()) {
        FinishClosing();
    } else if (std::chrono::steady_clock::now() >= m_jobStopDeadline) {
        AddMessage(
            QString::fromUtf8("作业在 %1 s 内没有停止; 插件停止时结束它").arg(kJobStopSeconds),
            true);
        FinishClosing();
    }
}

void CHostWindow::EditProperty() {
    if (!m_actions.editProperty) return;
    const SettingsFile before = SettingsFile::Read();
    m_actions.editProperty();
    AddMessage(SettingsChange(before, SettingsFile::Read()));
}

void CHostWindow::OutLocalData() {
    if (!m_actions.outLocalData) return;
    ShowJobs();
    m_actions.outLocalData();
    // A job the dialog started is told now, not at the next refresh.
    ShowJobs();
    if (m_jobWatch.Running().empty()) {
        AddMessage(QString::fromUtf8("本地数据导出对话框已关闭, 没有开始作业"));
    }
}

bool CHostWindow::AskToStopJobs(const std::vector<int>& running) {
    QStringList names;
    for (int kind : running) names << CJobWatch::KindName(kind);
    const bool yes =
        AskYesNo(this, windowTitle(),
                 QString::fromUtf8("%1正在运行。\n停止作业并关闭窗口? 作业在当前单位之后结束。")
                     .arg(names.join(QString::fromUtf8("、"))),
                 QStringLiteral("stopJobsQuestion"));
    // A stop signal that came meanwhile cancelled the question: it stops anyway.
    return yes || m_bWithoutAsking;
}

void CHostWindow::closeEvent(QCloseEvent* event) {
    if (m_closing == Closing::Done) {
        event->accept();
        return;
    }
    event->ignore();
    if (m_closing == Closing::WaitingForJobs) return;
    const std::vector<int> running = RunningJobs();
    if (running.empty()) {
        FinishClosing();
        return;
    }
    if (!m_bWithoutAsking && !AskToStopJobs(running)) {
        AddMessage(QString::fromUtf8("窗口未关闭: 作业继续"));
        return;
    }
    // A stop signal while the question was open has closed the window meanwhile.
    if (m_closing != Closing::No) return;
    CPluginJobs* jobs = VktHost::PluginJobs();
    for (int kind : running) {
        if (jobs) jobs->RequestStop(kind);
        AddMessage(CJobWatch::KindName(kind) + QString::fromUtf8(": 已请求停止, 当前单位之后结束"));
    }
    m_closing = Closing::WaitingForJobs;
    m_jobStopDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(kJobStopSeconds);
}

void CHostWindow::CloseWithoutAsking(bool now) {
    m_bWithoutAsking = true;
    CancelDialogs();
    if (now) {
        FinishClosing();
    } else if (m_closing == Closing::No) {
        // After the cancelled dialogs' loops have ended.
        QTimer::singleShot(0, this, [this] { close(); });
    }
}

void CHostWindow::FinishClosing() {
    if (m_closing == Closing::Done) return;
    m_closing = Closing::Done;
    SaveGeometry();
    // A job that ended meanwhile is told with its summary.
    for (const QString& line : m_jobWatch.Changes(VktHost::PluginJobs())) AddMessage(line);
    m_refresh.stop();
    close();
    emit closed();
}
