// The dialog exports of a build without a user-interface toolkit (the Windows build):
// they say so in the host's message window, as a host without a user interface hears.
#include "hostlib/VktBase.h"
#include "plugin/Dialogs.h"
#include "storage/MessageWindow.h"

namespace {

void SayDialogsAreUnavailable() {
    ReportToMessageWindow(
        "The plug-in's dialogs need the host's Qt user interface; this host has none.");
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
