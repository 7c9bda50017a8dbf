#include "plugin/Dialogs.h"

#include <QApplication>

#include "hostlib/VktBase.h"
#include "plugin/Config.h"
#include "storage/OutLocalDataThread.h"
#include "storage/WPContext.h"
#include "storage/WPRainProcThread.h"
#include "ui/AssignDlg.h"
#include "ui/DrawnProgressBar.h"
#include "ui/OutLocalDataDlg.h"
#include "ui/ProgressDlg.h"
#include "ui/WorkParamDlg.h"

namespace {

bool HostHasUserInterface() {
    if (qobject_cast<QApplication*>(QCoreApplication::instance())) return true;
    CVKTAcqThread::ReportMsg(2, 0, "", 0, 1,
                             "The plug-in's dialogs need the host's Qt user interface; this "
                             "host has none.",
                             MessageLayer::GetThreadMainWindow());
    return false;
}

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

void RunWorkParamDlg(CWPContext& context) {
    if (!HostHasUserInterface()) return;
    const auto current = context.m_settings.Get();
    CWorkParamDlg dialog;
    dialog.m_strSource = Text(current->m_strSource);
    dialog.m_strPrefix = Text(current->m_strPreName);
    dialog.m_strUser = Text(current->m_strUser);
    dialog.m_strPassword = Text(current->m_strPassword);
    dialog.m_bSaveBackend = current->m_bSaveBkgDB;
    dialog.m_bErrorData = current->m_bSaveErrorData;
    dialog.m_nType = current->m_nType;
    dialog.m_bSaveLocal = current->m_bSaveLocal;
    dialog.m_nYears = current->m_nDataLen;
    dialog.m_bTxtFile = current->m_bPermit;
    dialog.m_strTxtDir = Text(current->m_strDir);
    dialog.LoadFields();
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
    context.m_settings.Replace(changed);
    SaveConfig(context.m_settings);
    context.m_backend.DisconnectBackend();
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
        CWorkParamDlg parameters;
        const auto current = context.m_settings.Get();
        parameters.m_strSource = Text(current->m_strSource);
        parameters.m_strUser = Text(current->m_strUser);
        parameters.m_strPassword = Text(current->m_strPassword);
        parameters.m_nYears = current->m_nDataLen;
        parameters.m_nType = current->m_nType;
        parameters.m_bSaveBackend = current->m_bSaveBkgDB;
        parameters.m_bSaveLocal = current->m_bSaveLocal;
        parameters.m_bTxtFile = current->m_bPermit;
        parameters.m_strTxtDir = Text(current->m_strDir);
        parameters.LoadFields();
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
        progress.Bar().Model().OnJobProgress(3);
        saved = save(progress, "4003.png") && saved;
    }
    return saved;
}

void RunOutLocalDataDlg(CWPContext& context) {
    if (!HostHasUserInterface()) return;
    COutLocalDataDlg dialog(context.m_pExportThread.get(), context.m_pRainThread.get());
    dialog.exec();
}
