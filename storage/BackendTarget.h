#pragma once

class CBackendDB;
class CWPSettingsStore;
class CAssignmentMap;

// What writing a tower's rows into the backend needs: the connection, the settings
// (schema prefix, wind-farm kind, abnormal-value rule) and the tower ids. References
// to stores that outlive every holder; cheap to copy.
struct CBackendTarget {
    CBackendDB& m_backend;
    const CWPSettingsStore& m_settings;
    const CAssignmentMap& m_assignments;
};
