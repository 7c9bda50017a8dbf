#include "host/RtuCatalogue.h"

#include <cstdio>
#include <cstdlib>
#include <map>

#include "host/DirectoryLock.h"
#include "host/HostDirectory.h"
#include "hostlib/HostSide.h"
#include "hostlib/HostStatement.h"
#include "hostlib/VktBase.h"
#include "platform/OdbcQuery.h"
#include "platform/System.h"

namespace RtuCatalogue {

namespace {

// The host's own types. 100 and 101 are the towers the storage plug-in stores; of
// those, 100 has its station file from the plug-in's start and is the type of the
// batch jobs, 101 gets one with its first frame. Every other RTU is acquired and
// handed on, and the plug-in stores nothing of it.
const KnownType kHostTypes[] = {
    {100, "wind tower"},
    {101, "wind tower, second kind"},
    {102, "rain gauge, not a tower"},
};

// The types registered in VKTCOMM.MDB by the plug-ins, with their names.
std::map<int32_t, std::string> RegisteredTypes() {
    std::map<int32_t, std::string> types;
    HostStatement hstmt;
    if (!hstmt) return types;
    Odbc::QueryOn(hstmt.Get(), "SELECT ID,NAME FROM RTUTYPE ORDER BY ID",
                  [&](const OdbcRow& row) { types[std::atoi(row.Text(1).c_str())] = row.Text(2); });
    return types;
}

// Opens the host directory's catalogue; the caller closes it with VktHost::CloseHost.
bool Open(const std::string& dir, std::string& error) {
    return HostDirectory::Enter(dir, error) && HostDirectory::CheckReady(error);
}

// Changes the catalogue under the directory's lock, so that no host starts half way
// through. A host running there already reads its catalogue at its start only: the
// change is made, and it is said when that host sees it.
template <typename Change>
int Edit(const std::string& dir, std::string& error, const Change& change) {
    if (!Open(dir, error)) return 1;
    DirectoryLock lock;
    if (!lock.Take(System::CurrentDirectory(), error) && !lock.HeldByAnother()) {
        VktHost::CloseHost();
        return 1;
    }
    error.clear();
    const int rc = change();
    VktHost::CloseHost();
    if (rc == 0 && lock.HeldByAnother()) {
        std::printf("the host running here (%s) sees the change at its next start\n",
                    lock.Holder().c_str());
    }
    return rc;
}

std::string StatementFailure(const char* what) {
    const std::string cause = VktHost::LastDatabaseError();
    return std::string("cannot ") + what + " the RTU in " + HostDirectory::Absolute("VKTCOMM.MDB") +
           ": " + cause.substr(0, cause.find('\n'));
}

int AddOpen(const CRTUDef& def, bool replace, std::string& error) {
    if (TypeMeaning(def.m_nType).empty()) {
        error = "unknown RTU type " + std::to_string(def.m_nType) +
                "; the known types are: " + KnownTypesText();
        return 1;
    }
    CRTUDef present;
    if (Find(def.m_nRTUID, present, error)) {
        if (!replace) {
            error =
                "RTU " + Describe(present) + " is in the catalogue already; --replace replaces it";
            return 1;
        }
    } else if (!error.empty()) {
        return 1;
    }
    if (!VktHost::AddRTU(def)) {
        error = StatementFailure("store");
        return 1;
    }
    std::printf("RTU %s stored\n", Describe(def).c_str());
    return 0;
}

int RemoveOpen(int32_t rtuId, std::string& error) {
    CRTUDef present;
    if (!Find(rtuId, present, error)) {
        if (error.empty()) {
            error = "no RTU " + std::to_string(rtuId) + " in the catalogue " +
                    HostDirectory::Absolute("VKTCOMM.MDB");
        }
        return 1;
    }
    if (!VktHost::RemoveRTU(rtuId)) {
        error = StatementFailure("remove");
        return 1;
    }
    std::printf("RTU %s removed\n", Describe(present).c_str());
    return 0;
}

}  // namespace

bool Find(int32_t rtuId, CRTUDef& def, std::string& error) {
    CObList<CRTUDef> list;
    if (!OutDBObj(kObjRTUDef, "WHERE RTUID=" + std::to_string(rtuId), list)) {
        const std::string cause = VktHost::LastDatabaseError();
        error = "cannot read the RTU catalogue " + HostDirectory::Absolute("VKTCOMM.MDB") + ": " +
                cause.substr(0, cause.find('\n'));
        return false;
    }
    if (list.empty()) return false;
    def = *list.front();
    return true;
}

std::vector<KnownType> KnownTypes() {
    std::map<int32_t, std::string> meanings;
    for (const auto& [type, name] : RegisteredTypes()) meanings[type] = name;
    for (const KnownType& own : kHostTypes) meanings[own.type] = own.meaning;
    std::vector<KnownType> types;
    for (const auto& [type, meaning] : meanings) types.push_back({type, meaning});
    return types;
}

std::string TypeMeaning(int32_t type) {
    for (const KnownType& known : KnownTypes()) {
        if (known.type == type) return known.meaning;
    }
    return {};
}

std::string KnownTypesText() {
    std::string text;
    for (const KnownType& known : KnownTypes()) {
        if (!text.empty()) text += ", ";
        text += std::to_string(known.type) + " (" + known.meaning + ")";
    }
    return text;
}

std::string Describe(const CRTUDef& def) {
    const std::string meaning = TypeMeaning(def.m_nType);
    return std::to_string(def.m_nRTUID) + " \"" + def.m_strName + "\" (type " +
           std::to_string(def.m_nType) + (meaning.empty() ? "" : ", " + meaning) + ")";
}

int List(const std::string& dir, std::string& error) {
    if (!Open(dir, error)) return 1;
    CObList<CRTUDef> list;
    if (!OutDBObj(kObjRTUDef, "ORDER BY RTUID ASC", list)) {
        const std::string cause = VktHost::LastDatabaseError();
        error = "cannot read the RTU catalogue " + HostDirectory::Absolute("VKTCOMM.MDB") + ": " +
                cause.substr(0, cause.find('\n'));
        VktHost::CloseHost();
        return 1;
    }
    if (list.empty()) {
        std::printf("no RTU in %s\n", HostDirectory::Absolute("VKTCOMM.MDB").c_str());
    } else {
        std::printf("%6s  %-16s %5s  %-26s %s\n", "ID", "NAME", "TYPE", "MEANING", "REMARK");
        for (const auto& def : list) {
            const std::string meaning = TypeMeaning(def->m_nType);
            std::printf("%6d  %-16s %5d  %-26s %s\n", def->m_nRTUID, def->m_strName.c_str(),
                        def->m_nType, meaning.empty() ? "(unknown type)" : meaning.c_str(),
                        def->m_strRemark.c_str());
        }
    }
    VktHost::CloseHost();
    return 0;
}

int Add(const std::string& dir, const CRTUDef& def, bool replace, std::string& error) {
    if (def.m_nRTUID <= 0) {
        error = "--id must be a number above 0: " + std::to_string(def.m_nRTUID);
        return 1;
    }
    return Edit(dir, error, [&] { return AddOpen(def, replace, error); });
}

int Remove(const std::string& dir, int32_t rtuId, std::string& error) {
    return Edit(dir, error, [&] { return RemoveOpen(rtuId, error); });
}

}  // namespace RtuCatalogue
