#pragma once

#include <string>

#include "storage/SpoolFiles.h"
#include "storage/SpoolFormat.h"

// The spool's mark: how far its records are stored, in the file MARK of its folder as
// "segment offset". A start reads on from it.
namespace SpoolMark {

constexpr const char* kFileName = "MARK";

// False when there is no mark that reads (none yet, or a damaged one).
bool Read(CSpoolFiles& files, const std::string& folder, SpoolPosition& mark);
// Replaces the mark whole (a new file, synced, renamed over the old one, and the
// folder synced); false when it did not reach the disk.
bool Write(CSpoolFiles& files, const std::string& folder, const SpoolPosition& mark);

}  // namespace SpoolMark
