#pragma once

#include <functional>
#include <string>

#include "hostlib/VktRecords.h"

class CPluginJobs;
class CPluginHealthSource;
struct CPluginHealth;

// The host program's side of the base library: what the host does, not its plug-ins.
// Call these on the host's own threads; the working directory must be the host's.
namespace VktHost {

// Creates the tables of VKTCOMM.MDB in the current directory when missing.
VKTBASE_API bool CreateHostDatabase();

// Reads the RTU catalogue of VKTCOMM.MDB into memory and makes the RTUs' state
// records. Call once at host start, before any plug-in is loaded.
VKTBASE_API bool LoadHostCatalogue();

// Adds or replaces an RTU definition in VKTCOMM.MDB and in memory.
VKTBASE_API bool AddRTU(const CRTUDef& def);

// Removes the RTU definition from VKTCOMM.MDB and from memory; its state record stays,
// as plug-ins may hold it. True when the statement ran, whether or not the RTU was there.
VKTBASE_API bool RemoveRTU(int32_t nRTUID);

// Acquisition bookkeeping for one frame: the RTU's state time becomes the current
// time of the process clock and every item enters the sensor history. Returns
// false when the frame's RTU is unknown (nothing recorded then).
VKTBASE_API bool RecordAcquiredFrame(const CDataFrame& frame);

// Where the host's message window shows its lines; by default the standard output.
using MessageWindow = std::function<void(const std::string&)>;
VKTBASE_API void SetMessageWindow(MessageWindow window);

// What went wrong in the latest failed opening of, or statement on, VKTCOMM.MDB: the
// driver's diagnostics, as also written to the error log. Read it right after one of
// the calls above returned false.
VKTBASE_API std::string LastDatabaseError();

// The batch jobs the loaded plug-in offers, or null.
VKTBASE_API CPluginJobs* PluginJobs();
// The health figures the loaded plug-in offers, or null. User-interface thread.
VKTBASE_API CPluginHealthSource* PluginHealth();
// The figures the plug-in recorded when it last stopped; false before any stop.
VKTBASE_API bool FinalPluginHealth(CPluginHealth& health);

// Closes the host database connection and forgets the catalogue held in memory,
// after writing the sensor history still queued.
VKTBASE_API void CloseHost();

// The sensor history kept in VKTCOMM.MDB: how many days before the newest acquired
// item are kept (default 2, what a plug-in asks for at most), whether items are
// written in batches (default) or, as older hosts did, one transaction a frame and
// kept for ever, and the longest a batch waits (default 1000 ms).
struct HistoryOptions {
    double keepDays = 2.0;
    bool batched = true;
    int flushIntervalMs = 1000;
};
VKTBASE_API void SetHistoryOptions(const HistoryOptions& options);
// Writes the queued history now.
VKTBASE_API void FlushHistory();

}  // namespace VktHost
