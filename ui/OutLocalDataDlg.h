#pragma once

#include <QDialog>
#include <functional>
#include <memory>
#include <vector>

#include "platform/DateTime.h"

class CJobWorker;
class CProgressDlg;
namespace Ui {
class COutLocalDataDlg;
}

// The local data export dialog: the operator checks tower stations and picks a time
// range, then starts the export or the rainfall recalculation. The dialog hands the
// job to the running worker, opens the job's progress window and closes; the job runs
// on after it.
class COutLocalDataDlg : public QDialog {
    Q_OBJECT

public:
    // The template's size, in dialog units of its font.
    static constexpr QSize kDialogUnits{222, 174};
    static constexpr const char* kExportBusy = "正在进行本地数据输出，请稍候再试";
    static constexpr const char* kRainBusy = "正在进行时段雨量重算，请稍候再试";
    static constexpr const char* kTimesReversed = "开始时间不能大于结束时间";
    static constexpr const char* kExportCaption = "导出风电站本地数据进度";
    static constexpr const char* kRainCaption = "风电站时段雨量重新计算进度";

    // The workers (either may be null: its button starts nothing) outlive the dialog.
    COutLocalDataDlg(CJobWorker* exporter, CJobWorker* rain, QWidget* parent = nullptr);
    ~COutLocalDataDlg() override;

    // How a complaint is shown; a message box (ShowDialogMessage) unless replaced (tests).
    std::function<void(const QString&)> m_showMessage;
    // For tests: the progress window of the job this dialog started, or null.
    CProgressDlg* StartedWindow() const { return m_pStarted; }

private:
    void FillStations();
    void CheckAll(bool checked);
    void StartJob(CJobWorker* worker, const char* busyText, const char* caption);
    std::vector<int32_t> CheckedStations() const;

    std::unique_ptr<Ui::COutLocalDataDlg> m_ui;
    CJobWorker* m_pExporter;
    CJobWorker* m_pRain;
    CProgressDlg* m_pStarted = nullptr;
};
