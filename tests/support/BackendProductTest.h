#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hostlib/HostSide.h"
#include "model/Catalogue.h"
#include "platform/ErrorLog.h"
#include "storage/WPContext.h"
#include "tests/support/TestHost.h"

// The backend products a case runs against.
enum class Product { SQLite, PostgreSQL };

inline std::string ProductName(const ::testing::TestParamInfo<Product>& info) {
    return info.param == Product::SQLite ? "SQLite" : "PostgreSQL";
}

// A demo host on the case's backend (empty tower tables, also under the schema ext on
// PostgreSQL), a plug-in context logging in to it, and the message window's lines.
// PostgreSQL cases are skipped without a server (failed in CI).
class BackendProductTest : public ::testing::TestWithParam<Product> {
protected:
    void SetUp() override {
        HostDirectory::BackendOptions backend;
        if (GetParam() == Product::PostgreSQL && !PostgresAvailable(backend)) {
            GTEST_SKIP() << "no PostgreSQL server (VKT_PG_PORT)";
        }
        host = std::make_unique<TestHost>(true, backend);
        source = backend.dataSource;
        context = std::make_unique<CWPContext>(host->Dir());
        BuildCatalogue();
        Use([](CWPSettings&) {});
        for (const char* table : {"FD_RUN_RTTOWER", "FD_RUN_TOWERHIS"}) {
            Backend().ExecBackendSQL(std::string("DELETE FROM ") + table);
            if (GetParam() == Product::PostgreSQL) {
                Backend().ExecBackendSQL(std::string("DELETE FROM ext.") + table);
            }
        }
        VktHost::SetMessageWindow([this](const std::string& text) {
            std::lock_guard<std::mutex> guard(lock);
            messages.push_back(text);
        });
    }
    void TearDown() override {
        VktHost::SetMessageWindow(nullptr);
        context.reset();
    }

    CBackendDB& Backend() { return context->m_backend; }
    SQLHDBC Connection() {
        RecursiveMutexLock guard(Backend().BackendLock());
        return Backend().BackendConnection();
    }
    // Settings logging in to the case's backend, changed as the case needs.
    void Use(const std::function<void(CWPSettings&)>& change) {
        CWPSettings settings;
        settings.m_strSource = source;
        settings.m_strUser = "fd";
        settings.m_strPassword = "wendol";
        change(settings);
        context->m_settings.Replace(settings);
    }
    // The first value of a query through a connection of its own.
    std::string Value(const std::string& sql) { return QueryDataSource(source, sql); }
    double Number(const std::string& sql) {
        const std::string text = Value(sql);
        return text.empty() || text[0] == '<' ? NAN : std::stod(text);
    }
    std::string ErrorLogText() { return ReadWholeFile(host->Path(ErrorLog::FileName())); }

    std::unique_ptr<TestHost> host;
    std::string source;  // the backend's data source
    std::unique_ptr<CWPContext> context;
    std::mutex lock;
    std::vector<std::string> messages;  // guarded by lock
};
