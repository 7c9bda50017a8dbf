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
#include "storage/WPStores.h"
#include "tests/support/TestHost.h"

// The backend products a case runs against.
enum class Product { SQLite, PostgreSQL };

inline std::string ProductName(const ::testing::TestParamInfo<Product>& info) {
    return info.param == Product::SQLite ? "SQLite" : "PostgreSQL";
}

// A demo host on the case's backend (empty tower tables, also under the schema ext on
// PostgreSQL), the plug-in's stores logging in to it, and the message window's lines.
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
        stores = std::make_unique<CWPStores>(host->Dir());
        BuildCatalogue();
        Use([](CWPSettings&) {});
        DropRefusals();
        for (const char* table : {"FD_RUN_RTTOWER", "FD_RUN_TOWERHIS"}) {
            Backend().TEST_ExecBackendSQL(std::string("DELETE FROM ") + table);
            if (GetParam() == Product::PostgreSQL) {
                Backend().TEST_ExecBackendSQL(std::string("DELETE FROM ext.") + table);
            }
        }
        VktHost::SetMessageWindow([this](const std::string& text) {
            std::lock_guard<std::mutex> guard(lock);
            messages.push_back(text);
        });
    }
    void TearDown() override {
        VktHost::SetMessageWindow(nullptr);
        if (stores) DropRefusals();
        stores.reset();
    }

    // Makes the backend refuse every row of `table` whose V1AVGSP is 13: as a broken
    // constraint (the connection stays) or, `asError`, with an error that drops the
    // connection. Replaces the table's earlier refusal; gone at the end of the case.
    void RefuseThirteen(const std::string& table, bool asError) {
        const std::string trigger = "REFUSE13_" + table;
        if (GetParam() == Product::SQLite) {
            Backend().TEST_ExecBackendSQL("DROP TRIGGER IF EXISTS " + trigger);
            // abs() of the smallest integer fails as an overflow: no constraint.
            ASSERT_TRUE(Backend().TEST_ExecBackendSQL(
                "CREATE TRIGGER " + trigger + " BEFORE INSERT ON " + table +
                " WHEN NEW.V1AVGSP = 13 BEGIN SELECT " +
                (asError ? "abs(-9223372036854775807 - 1)" : "RAISE(ABORT, 'refused')") + "; END"));
            return;
        }
        ASSERT_TRUE(Backend().TEST_ExecBackendSQL(
            "CREATE OR REPLACE FUNCTION refuse13() RETURNS trigger LANGUAGE plpgsql AS $$ "
            "BEGIN IF NEW.v1avgsp = 13 THEN RAISE EXCEPTION 'refused' USING ERRCODE = "
            "TG_ARGV[0]; END IF; RETURN NEW; END $$"));
        Backend().TEST_ExecBackendSQL("DROP TRIGGER IF EXISTS " + trigger + " ON " + table);
        ASSERT_TRUE(Backend().TEST_ExecBackendSQL(
            "CREATE TRIGGER " + trigger + " BEFORE INSERT ON " + table +
            " FOR EACH ROW EXECUTE FUNCTION refuse13('" + (asError ? "P0001" : "23514") + "')"));
    }
    // The server is shared by the cases: no refusal outlives its case.
    void DropRefusals() {
        if (GetParam() == Product::PostgreSQL) {
            Backend().TEST_ExecBackendSQL("DROP FUNCTION IF EXISTS refuse13() CASCADE");
        }
    }

    CBackendDB& Backend() { return stores->m_backend; }
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
        stores->m_settings.Replace(settings);
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
    std::unique_ptr<CWPStores> stores;
    std::mutex lock;
    std::vector<std::string> messages;  // guarded by lock
};
