// The dialog exports of a build without a user-interface toolkit (the Windows build):
// they say so in the host's message window, as a host without a user interface hears.
#include "hostlib/VktBase.h"
#include "plugin/Dialogs.h"

namespace {

void SayDialogsAreUnavailable() {
    CVKTAcqThread::ReportMsg(2, 0, "", 0, 1,
                             "The plug-in's dialogs need the host's Qt user interface; this "
                             "host has none.",
                             MessageLayer::GetThreadMainWindow());
}

}  // namespace

void RunWorkParamDlg(CWPContext&) {
    SayDialogsAreUnavailable();
}

void RunOutLocalDataDlg(CWPContext&) {
    SayDialogsAreUnavailable();
}

bool RenderDialogs(CWPContext&, const std::string&) {
    SayDialogsAreUnavailable();
    return false;
}
