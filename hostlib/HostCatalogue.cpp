// The host's RTU catalogue, type catalogue, system information and sensor history.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <shared_mutex>
#include <unordered_map>

#include "hostlib/HostDatabase.h"
#include "hostlib/HostSide.h"
#include "hostlib/HostStatement.h"
#include "hostlib/SensorHistory.h"
#include "hostlib/VktBase.h"
#include "platform/Clock.h"
#include "platform/OdbcQuery.h"

CObject::~CObject() = default;

namespace {

struct Catalogue {
    SharedMutex lock;
    std::map<int32_t, CRTUDef> rtus GUARDED_BY(lock);
    std::map<int32_t, std::unique_ptr<CRTUState>> states GUARDED_BY(lock);  // never shrinks
};

Catalogue& TheCatalogue() {
    static Catalogue catalogue;
    return catalogue;
}

// Runs a query on VKTCOMM.MDB and hands each fetched row to `row`.
template <typename RowFn>
bool QueryHost(const std::string& sql, RowFn row) {
    // Held again around the reserved statement, so that a failure can be noted under it.
    RecursiveMutexLock guard(HostDatabase::g_statementLock);
    HostStatement hstmt;
    if (!hstmt) return false;
    const bool ok = Odbc::Succeeded(Odbc::QueryOn(hstmt.Get(), sql, row));
    if (!ok) {
        HostDatabase::NoteFailure("Host database query failed: " + sql,
                                  Odbc::Diagnostics(SQL_HANDLE_STMT, hstmt.Get()));
    }
    return ok;
}

int ToInt(const std::string& text) {
    return std::atoi(text.c_str());
}

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c;
        if (c == '\'') quoted += '\'';
    }
    return quoted + "'";
}

CRTUDef ReadRTUDef(const OdbcRow& row) {
    CRTUDef def;
    def.m_nID = ToInt(row.Text(1));
    def.m_nRTUID = ToInt(row.Text(2));
    def.m_strName = row.Text(3);
    def.m_nType = ToInt(row.Text(4));
    def.m_strRemark = row.Text(5);
    return def;
}

void RememberRTU(const CRTUDef& def) {
    Catalogue& c = TheCatalogue();
    ScopedLock<SharedMutex> guard(c.lock);
    c.rtus[def.m_nRTUID] = def;
    auto& state = c.states[def.m_nRTUID];
    if (!state) state = std::make_unique<CRTUState>();
}

const char* const kHostTables[] = {
    "CREATE TABLE IF NOT EXISTS RTUTYPE (ID INT NOT NULL PRIMARY KEY, NAME VARCHAR(64))",
    "CREATE TABLE IF NOT EXISTS DATATYPE (ID INT NOT NULL PRIMARY KEY, NAME VARCHAR(64), "
    "UNIT VARCHAR(16), CATID INT, CATNAME VARCHAR(32))",
    "CREATE TABLE IF NOT EXISTS RTU (ID INT NOT NULL PRIMARY KEY, RTUID INT NOT NULL, "
    "NAME VARCHAR(64), TYPE INT NOT NULL, REMARK VARCHAR(255))",
    "CREATE TABLE IF NOT EXISTS SYSINFO (ID INT NOT NULL PRIMARY KEY, OPTIONS INT NOT NULL)",
    "INSERT OR IGNORE INTO SYSINFO (ID, OPTIONS) VALUES (1, 8)",
    "CREATE TABLE IF NOT EXISTS SENSORHIS (SENSORID INT NOT NULL, TIME VARCHAR(19) NOT NULL, "
    "VALUE FLOAT, PRIMARY KEY (SENSORID, TIME))",
};

}  // namespace

// --- RTU state --------------------------------------------------------------------

CRTUState* CRTUState::GetRTUState(int32_t nRTUID) {
    Catalogue& c = TheCatalogue();
    SharedLock guard(c.lock);
    auto it = c.states.find(nRTUID);
    return it == c.states.end() ? nullptr : it->second.get();
}

DateTime CRTUState::GetStateTime() const {
    MutexLock guard(m_lock);
    return m_tState;
}

void CRTUState::SetStateTime(const DateTime& time) {
    MutexLock guard(m_lock);
    m_tState = time;
}

// --- RTU definitions -------------------------------------------------------------------

std::unique_ptr<CRTUDef> CRTUDefRT::GetRTUDefRT(int32_t nRTUID) {
    Catalogue& c = TheCatalogue();
    SharedLock guard(c.lock);
    auto it = c.rtus.find(nRTUID);
    if (it == c.rtus.end()) return nullptr;
    return std::make_unique<CRTUDef>(it->second);
}

void CRTUDefRT::OutRTRTU(CObList<CRTUDef>& list) {
    Catalogue& c = TheCatalogue();
    SharedLock guard(c.lock);
    for (const auto& [id, def] : c.rtus) list.push_back(std::make_unique<CRTUDef>(def));
}

int OutDBObj(int nKind, std::string strClause, CObList<CRTUDef>& list) {
    if (nKind != kObjRTUDef) return 0;
    // The blank keeps clauses written without a leading one ("WHERE TYPE=100") apart
    // from the table name.
    const std::string sql = "SELECT ID,RTUID,NAME,TYPE,REMARK FROM RTU " + strClause;
    return QueryHost(sql,
                     [&](const OdbcRow& row) {
                         list.push_back(std::make_unique<CRTUDef>(ReadRTUDef(row)));
                     })
               ? 1
               : 0;
}

// --- types ----------------------------------------------------------------------------

std::unique_ptr<CRTUType> GetRTUType(int32_t nType) {
    std::unique_ptr<CRTUType> type;
    QueryHost("SELECT ID,NAME FROM RTUTYPE WHERE ID=" + std::to_string(nType),
              [&](const OdbcRow& row) {
                  type = std::make_unique<CRTUType>(ToInt(row.Text(1)), row.Text(2));
              });
    return type;
}

std::unique_ptr<CDataType> GetDataType(int32_t nID) {
    std::unique_ptr<CDataType> type;
    QueryHost("SELECT ID,NAME,UNIT,CATID,CATNAME FROM DATATYPE WHERE ID=" + std::to_string(nID),
              [&](const OdbcRow& row) {
                  type = std::make_unique<CDataType>();
                  type->m_nID = ToInt(row.Text(1));
                  type->m_strName = row.Text(2);
                  type->m_strUnit = row.Text(3);
                  type->m_nCategory = ToInt(row.Text(4));
                  type->m_strCategory = row.Text(5);
              });
    return type;
}

int SaveDBObj(int nMode, int nKind, const CObject& object) {
    if (nMode != 2) return 0;
    if (nKind == kObjRTUType) {
        const auto* type = dynamic_cast<const CRTUType*>(&object);
        if (!type) return 0;
        return ExecSQLStr("INSERT OR REPLACE INTO RTUTYPE (ID,NAME) VALUES (" +
                          std::to_string(type->m_nType) + "," + Quote(type->m_strName) + ")");
    }
    if (nKind == kObjDataType) {
        const auto* type = dynamic_cast<const CDataType*>(&object);
        if (!type) return 0;
        return ExecSQLStr("INSERT OR REPLACE INTO DATATYPE (ID,NAME,UNIT,CATID,CATNAME) VALUES (" +
                          std::to_string(type->m_nID) + "," + Quote(type->m_strName) + "," +
                          Quote(type->m_strUnit) + "," + std::to_string(type->m_nCategory) + "," +
                          Quote(type->m_strCategory) + ")");
    }
    return 0;
}

// --- system information and sensor history ---------------------------------------------

std::unique_ptr<CSysInfo> CSysInfoRT::GetSysInfoRT() {
    std::unique_ptr<CSysInfo> info;
    QueryHost("SELECT OPTIONS FROM SYSINFO WHERE ID=1", [&](const OdbcRow& row) {
        info = std::make_unique<CSysInfo>();
        info->m_nOptions = ToInt(row.Text(1));
    });
    return info;
}

std::unique_ptr<CSensorData> GetSensorDataByTime(int32_t nSensorID, DateTime time, int) {
    if (!time.IsValid()) return nullptr;
    std::optional<float> value = SensorHistory::InMemory(nSensorID, time.ToSeconds());
    if (!value) {
        QueryHost("SELECT VALUE FROM SENSORHIS WHERE SENSORID=" + std::to_string(nSensorID) +
                      " AND TIME='" + time.Format() + "'",
                  [&](const OdbcRow& row) {
                      const std::string text = row.Text(1);
                      if (!text.empty()) value = std::strtof(text.c_str(), nullptr);
                  });
    }
    if (!value) return nullptr;
    auto sample = std::make_unique<CSensorData>();
    sample->m_nSensorID = nSensorID;
    sample->m_tTime = time;
    sample->m_fValue = *value;
    return sample;
}

// --- host side ----------------------------------------------------------------------------

namespace VktHost {

bool CreateHostDatabase() {
    {
        RecursiveMutexLock guard(HostDatabase::g_statementLock);
        if (!HostDatabase::Connection(true)) return false;
    }
    for (const char* sql : kHostTables) {
        if (!ExecSQLStr(sql)) return false;
    }
    return true;
}

bool LoadHostCatalogue() {
    CObList<CRTUDef> list;
    if (!OutDBObj(kObjRTUDef, "ORDER BY ID ASC", list)) return false;
    for (const auto& def : list) RememberRTU(*def);
    SensorHistory::Load();
    return true;
}

bool AddRTU(const CRTUDef& def) {
    const bool stored =
        ExecSQLStr("INSERT OR REPLACE INTO RTU (ID,RTUID,NAME,TYPE,REMARK) VALUES (" +
                   std::to_string(def.m_nRTUID) + "," + std::to_string(def.m_nRTUID) + "," +
                   Quote(def.m_strName) + "," + std::to_string(def.m_nType) + "," +
                   Quote(def.m_strRemark) + ")");
    if (stored) {
        CRTUDef copy = def;
        copy.m_nID = def.m_nRTUID;
        RememberRTU(copy);
    }
    return stored;
}

bool RemoveRTU(int32_t nRTUID) {
    if (!ExecSQLStr("DELETE FROM RTU WHERE RTUID=" + std::to_string(nRTUID))) return false;
    Catalogue& c = TheCatalogue();
    ScopedLock<SharedMutex> guard(c.lock);
    c.rtus.erase(nRTUID);
    return true;
}

bool RecordAcquiredFrame(const CDataFrame& frame) {
    CRTUState* state = CRTUState::GetRTUState(frame.m_nRTUID);
    if (!state) return false;
    state->SetStateTime(ProcessClock::Now());
    SensorHistory::Record(frame);
    return true;
}

void CloseHost() {
    SensorHistory::Close();
    CloseDB();
    {
        Catalogue& c = TheCatalogue();
        ScopedLock<SharedMutex> guard(c.lock);
        c.rtus.clear();  // state records stay: plug-ins may still hold them
    }
}

}  // namespace VktHost
