#pragma once

#include <string>

class CWPContext;
struct CStoredAssignments;

// The two dialog exports' work on the user-interface thread. Both need the host's Qt
// application on that thread; without one they say so in the message window.

// The working-parameters dialog filled from the settings; on 确认 the settings are
// replaced as a whole, WPDB.ini rewritten and the backend connection closed, so that
// the next statement connects with the new parameters.
void RunWorkParamDlg(CWPContext& context);
// The local data export dialog, handing its job to the context's workers.
void RunOutLocalDataDlg(CWPContext& context);
// The four dialogs at a known state, as DIR/4000.png … 4003.png.
bool RenderDialogs(CWPContext& context, const std::string& dir);
// The station assignment store (VKTTOWPID) as the working-parameters dialog reads and
// replaces it. Builds with the dialogs only.
CStoredAssignments StoredAssignments();
