#pragma once

#include "storage/WPDBThread.h"

// Tower rows of the backend database: a 10-minute row in FD_RUN_RTTOWER for every
// record and an hourly row in FD_RUN_TOWERHIS for records at full hours, each
// inserted or updated by tower id and time. Storage (and export) threads; each
// statement takes the backend lock itself.

void SaveRTTower(const CTowerRecord& record);
void UpdateRTTower(const CTowerRecord& record);
void SaveTowerHis(const CTowerRecord& record);
void UpdateTowerHis(const CTowerRecord& record);

// The tower id of an RTU: its assigned output station number, else the RTU number.
int TowerIDOf(int32_t nRTUID);
