#pragma once

#include <chrono>
#include <string>
#include <thread>

#include "host/HostDirectory.h"

// Whether the tests run as a Windows program (under Wine): a few cases look at what
// only one system does.
inline constexpr bool kOnWindows = VKT_ON_WINDOWS;

// A host working directory in a fresh temporary folder, made current for the life of
// the object: VKTCOMM.MDB with the demo catalogue (towers 1, 2, 3 of type 100,
// tower 12 of type 101, RTU 40 of type 102), odbc/ and the SQLite backend.
class TestHost {
public:
    // With `name` the host directory is a folder of that name inside the temporary one.
    explicit TestHost(bool demo = true, const HostDirectory::BackendOptions& backend = {},
                      const std::string& name = "");
    ~TestHost();
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    const std::string& Dir() const { return m_dir; }
    std::string Path(const std::string& relative) const { return m_dir + "/" + relative; }

private:
    std::string m_previousDir;
    std::string m_root;  // the temporary folder, removed at the end
    std::string m_dir;
};

// The PostgreSQL server the test command started (VKT_PG_PORT), as backend options.
// Without one the calling test is skipped, except in CI, where it fails. Its data
// source is not DAVAD but backend.dataSource.
bool PostgresAvailable(HostDirectory::BackendOptions& backend);

// The whole content of a file, or empty.
std::string ReadWholeFile(const std::string& path);

// Waits until the condition holds; false when it did not within the bound. No test
// relies on the bound's length.
template <typename Condition>
bool WaitFor(Condition condition, int timeoutMs = 20000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The first column of the first row of a query, as text, read through its own ODBC
// connection: to an SQLite file through the driver, or to a data source with the
// default login. "<no file>", "<no connection>", "<error>" or "<none>" otherwise.
std::string QueryFile(const std::string& file, const std::string& sql);
std::string QueryDataSource(const std::string& source, const std::string& sql);
