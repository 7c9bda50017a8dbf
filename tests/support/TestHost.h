#pragma once

#include <string>

#include "host/HostDirectory.h"

// A host working directory in a fresh temporary folder, made current for the life of
// the object: VKTCOMM.MDB with the demo catalogue (towers 1, 2, 3 of type 100,
// tower 12 of type 101, RTU 40 of type 102), odbc/ and the SQLite backend.
class TestHost {
public:
    explicit TestHost(bool demo = true, const HostDirectory::BackendOptions& backend = {});
    ~TestHost();
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    const std::string& Dir() const { return m_dir; }
    std::string Path(const std::string& relative) const { return m_dir + "/" + relative; }

private:
    std::string m_previousDir;
    std::string m_dir;
};

// The PostgreSQL server the test command started (VKT_PG_PORT), as backend options.
// Without one the calling test is skipped, except in CI, where it fails.
bool PostgresAvailable(HostDirectory::BackendOptions& backend);

// The whole content of a file, or empty.
std::string ReadWholeFile(const std::string& path);
