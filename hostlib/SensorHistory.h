#pragma once

#include <cstdint>
#include <optional>

#include "hostlib/VktRecords.h"

// The host's sensor history: every acquired item, kept in memory for the plug-ins'
// look-ups, and written to FRAMEHIS of VKTCOMM.MDB one row a frame, in batches of one
// transaction, no batch older than the flush interval. Rows older than the keeping
// time before the newest item are deleted, so the table holds what a plug-in can ask
// for and no more; a host's start reads them back into memory. (Unbatched, as older
// hosts did, every item is a row of SENSORHIS, one transaction a frame, kept for
// ever.) Internal to the base library; any thread.
namespace SensorHistory {

// Keeps the frame's items and queues them for the database.
void Record(const CDataFrame& frame);
// The value of the sensor at that second if memory still has it (the caller looks in
// the database otherwise).
std::optional<float> InMemory(int32_t sensor, int64_t second);
// Writes what is queued now (and deletes what is past the keeping time).
void Flush();
// Reads what the database keeps into memory: at a host's start.
void Load();
// Writes what is queued, stops the background flushing and forgets the memory.
void Close();

}  // namespace SensorHistory
