#pragma once

#include <string>

#include "hostlib/VktRecords.h"
#include "storage/FailureLog.h"

struct CWPSettings;

// Reverse-isolation files: every five minutes one small text file per reporting
// tower with its latest values, for a one-way isolation device. The latest values
// live in the value slots of the host's RTU state record.

constexpr int kNoSlot = -1;

// The value slot of a data id, or kNoSlot. Wind ids have a slot only for levels 1
// to 7 (last two digits 00 to 06).
int GetValueSlot(int32_t nDataID);

// Puts every item of the record that has a slot into the RTU's state record: value
// and item time. Storage thread only.
void UpdateLatestValues(CRTUState& state, const std::vector<CDataItem>& items);

// Whether writing into the isolation folder is failing. The error log gets one line
// when it starts failing, a count of the failures at most once a minute while it
// goes on, and one line when it works again, not one per tower and pass. Another
// folder that fails starts a run of its own. Owned by the storage thread.
struct CIsolationFolderState {
    std::string m_strDir;  // the folder that failed
    CFailureLog m_log;
};

// Writes (or, with nothing fresh, deletes) the RTU's file of the five-minute period
// of `now`, following [TXT] PERMIT and DIR of `settings`. The file appears whole
// under its name or not at all. Storage thread only.
// Returns whether a file was written, nothing was due, or the write failed.
// Rewritten: the period's file was there already (a pass taken again), so no new file.
enum class IsolationOutcome { Nothing, Written, Rewritten, Failed };
IsolationOutcome WriteIsolationFile(const CRTUDef& rtu, const DateTime& now,
                                    const CWPSettings& settings, CIsolationFolderState& folder);

// The parts of the writer, for the storage thread and for tests.
namespace IsolationFile {

// `now` with the minute rounded down to a multiple of 5 and the second 0.
DateTime FileTime(const DateTime& now);
// The number after the first "OUTPUTID:" in the remark (any case), else the RTU number.
int OutputID(const CRTUDef& rtu);
// "<name>-<id>-YYYYMMDD-HHMM.txt", under `dir` when it is not empty.
std::string FileName(const std::string& dir, const std::string& rtuName, int outputID,
                     const DateTime& fileTime);
// Whether a slot stamped `slotTime` counts as current for the file time.
bool IsFresh(const CRTUValue& slot, const DateTime& fileTime);
// The file's content; empty when no value is fresh.
std::string Content(const CRTUState& state, int outputID, const DateTime& fileTime);

}  // namespace IsolationFile
