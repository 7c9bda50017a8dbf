#include "plugin/Dialogs.h"

#include <QAbstractButton>
#include <QApplication>
#include <vector>

#include "hostlib/VktBase.h"
#include "plugin/Config.h"
#include "plugin/WPContext.h"
#include "storage/AssignmentStore.h"
#include "storage/MessageWindow.h"
#include "storage/OutLocalDataThread.h"
#include "storage/WPRainProcThread.h"
#include "ui/AssignDlg.h"
#include "ui/DrawnProgressBar.h"
#include "ui/OutLocalDataDlg.h"
#include "ui/ProgressDlg.h"
#include "ui/WorkParamDlg.h"

namespace {

bool HostHasUserInterface() {
    if (qobject_cast<QApplication*>(QCoreApplication::instance())) return true;
    ReportToMessageWindow(
        "The plug-in's dialogs need the host's Qt user interface; this host has none.");
    return false;
}

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

// The dialog's fields from the settings, and its controls from the fields.
void FillFields(CWorkParamDlg& dialog, const CWPSettings& settings) {
    dialog.m_strSource = Text(settings.m_strSource);
    dialog.m_strPrefix = Text(settings.m_strPreName);
    dialog.m_strUser = Text(settings.m_strUser);
    dialog.m_strPassword = Text(settings.m_strPassword);
    dialog.m_bSaveBackend = settings.m_bSaveBkgDB;
    dialog.m_bErrorData = settings.m_bSaveErrorData;
    dialog.m_nType = settings.m_nType;
    dialog.m_bSaveLocal = settings.m_bSaveLocal;
    dialog.m_nYears = settings.m_nDataLen;
    dialog.m_bTxtFile = settings.m_bPermit;
    dialog.m_strTxtDir = Text(settings.m_strDir);
    dialog.LoadFields();
}

// Shows the dialog with rows even where the host has no assignments stored yet: the
// host's first RTUs are added as an operator would add them, and never saved.
void AddPreviewRows(CWorkParamDlg& dialog) {
    constexpr int kPreviewRows = 6;
    if (!dialog.m_mapEdit.empty()) return;
    CObList<CRTUDef> rtus;
    OutDBObj(kObjRTUDef, "ORDER BY ID ASC", rtus);
    std::vector<int32_t> numbers;
    for (const auto& def : rtus) {
        if (static_cast<int>(numbers.size()) < kPreviewRows) numbers.push_back(def->m_nRTUID);
    }
    DestroyObA(rtus);
    QAbstractButton* add = nullptr;
    for (QAbstractButton* button : dialog.findChildren<QAbstractButton*>()) {
        if (button->property("controlId").toInt() == 3) add = button;
    }
    if (!add) return;
    size_t next = 0;
    dialog.m_runAssignDlg = [&](bool, int32_t& rtu, int32_t& wpid) {
        rtu = numbers[next];
        wpid = static_cast<int32_t>(101 + next);
        ++next;
        return true;
    };
    while (next < numbers.size()) add->click();
}

}  // namespace

CStoredAssignments StoredAssignments() {
    CStoredAssignments stored;
    stored.load = [] {
        std::vector<std::pair<int32_t, int32_t>> rows;
        CObList<CVKTTOWPID> records;
        LoadAssignments(records);
        for (const auto& record : records) rows.emplace_back(record->m_nRTUID, record->m_nWPID);
        DestroyObA(records);
        return rows;
    };
    stored.save = [](const std::vector<std::pair<int32_t, int32_t>>& rows) {
        SaveAssignments(rows);
    };
    return stored;
}

void RunWorkParamDlg(CWPContext& context) {
    if (!HostHasUserInterface()) return;
    const auto current = context.m_stores.m_settings.Get();
    CWorkParamDlg dialog(StoredAssignments());
    FillFields(dialog, *current);
    if (dialog.exec() != QDialog::Accepted) return;
    CWPSettings changed = *current;
    changed.m_strSource = dialog.m_strSource.toStdString();
    changed.m_strPreName = dialog.m_strPrefix.toStdString();
    changed.m_strUser = dialog.m_strUser.toStdString();
    changed.m_strPassword = dialog.m_strPassword.toStdString();
    changed.m_bSaveBkgDB = dialog.m_bSaveBackend;
    changed.m_bSaveErrorData = dialog.m_bErrorData;
    changed.m_nType = dialog.m_nType;
    changed.m_bSaveLocal = dialog.m_bSaveLocal;
    changed.m_nDataLen = dialog.m_nYears;
    changed.m_bPermit = dialog.m_bTxtFile;
    changed.m_strDir = dialog.m_strTxtDir.toStdString();
    context.m_stores.m_settings.Replace(changed);
    SaveConfig(context.m_stores.m_settings, context.m_stores.m_strWorkingDir);
    context.m_configWatch.Remember();
    context.m_stores.m_backend.DisconnectBackend();
}

bool RenderDialogs(CWPContext& context, const std::string& dir) {
    if (!HostHasUserInterface()) return false;
    const QString folder = QString::fromStdString(dir) + "/";
    auto save = [&](QWidget& dialog, const char* name) {
        dialog.show();
        QApplication::processEvents();
        return dialog.grab().save(folder + name);
    };
    bool saved = true;
    {
        CWorkParamDlg parameters(StoredAssignments());
        FillFields(parameters, *context.m_stores.m_settings.Get());
        AddPreviewRows(parameters);
        saved = save(parameters, "4000.png") && saved;
        CAssignDlg assignment(false, 0, 0, parameters.m_mapEdit);
        saved = save(assignment, "4001.png") && saved;
    }
    {
        COutLocalDataDlg exportDialog(context.m_pExportThread.get(), context.m_pRainThread.get());
        saved = save(exportDialog, "4002.png") && saved;
    }
    {
        CProgressDlg progress(nullptr);
        progress.setWindowTitle(QString::fromUtf8(COutLocalDataDlg::kExportCaption));
        progress.ConfigureForJob(8);
        progress.Bar().Model().Resize(progress.Bar().width());
        // Three units done, reported one message at a time as a job does.
        for (int units = 1; units <= 3; ++units) progress.Bar().Model().OnJobProgress(units);
        saved = save(progress, "4003.png") && saved;
    }
    return saved;
}

void RunOutLocalDataDlg(CWPContext& context) {
    if (!HostHasUserInterface()) return;
    COutLocalDataDlg dialog(context.m_pExportThread.get(), context.m_pRainThread.get());
    dialog.exec();
}
