#pragma once

#include <string>

#include "hostlib/VktBase.h"
#include "platform/MessageLayer.h"

// Shows the text in the host's message window the way the plug-in reports anything
// there: kind 2, level 1, for no RTU in particular, to the main window of the calling
// thread.
inline void ReportToMessageWindow(const std::string& text) {
    CVKTAcqThread::ReportMsg(2, 0, "", 0, 1, text, MessageLayer::GetThreadMainWindow());
}
