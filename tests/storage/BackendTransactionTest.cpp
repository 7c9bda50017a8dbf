// Transactions on the backend connection: how each one ends, and units of statements
// that keep what the backend takes.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "storage/BackendDB.h"
#include "tests/support/BackendProductTest.h"

namespace {

class BackendTransactionTest : public BackendProductTest {
protected:
    void SetUp() override {
        BackendProductTest::SetUp();
        if (IsSkipped()) return;
        DropTables();
        // A child row needs its parent by the commit, not before.
        ASSERT_TRUE(Backend().ExecBackendSQL("CREATE TABLE TXPARENT(ID INTEGER PRIMARY KEY)"));
        ASSERT_TRUE(Backend().ExecBackendSQL(
            "CREATE TABLE TXCHILD(ID INTEGER REFERENCES TXPARENT(ID) DEFERRABLE INITIALLY "
            "DEFERRED)"));
    }
    void TearDown() override {
        if (context) DropTables();
        BackendProductTest::TearDown();
    }
    void DropTables() {
        Backend().ExecBackendSQL("DROP TABLE IF EXISTS TXCHILD");
        Backend().ExecBackendSQL("DROP TABLE IF EXISTS TXPARENT");
    }
    // SQLite checks foreign keys only when a connection asks, outside a transaction.
    void CheckForeignKeys() {
        if (GetParam() == Product::SQLite) Backend().ExecBackendSQL("PRAGMA foreign_keys = ON");
    }
    static std::string Parent(int id) {
        return "INSERT INTO TXPARENT(ID) VALUES(" + std::to_string(id) + ")";
    }
    static std::string Child(int id) {
        return "INSERT INTO TXCHILD(ID) VALUES(" + std::to_string(id) + ")";
    }
};

// However a transaction ends, what it did not commit is gone and the connection is back
// to autocommit: the next statement is seen from another connection at once.
TEST_P(BackendTransactionTest, EveryEndLeavesNothingUncommittedAndAutocommitOn) {
    CBackendDB& backend = Backend();
    const struct {
        const char* end;
        std::function<bool(CBackendTransaction&)> run;  // Commit's result, or false
        const char* kept;
    } cases[] = {
        {"a commit",
         [&](CBackendTransaction& t) { return backend.ExecBackendSQL(Parent(1)) && t.Commit(); },
         "1"},
        {"no commit", [&](CBackendTransaction&) { return !backend.ExecBackendSQL(Parent(1)); },
         "0"},
        {"a rejected statement dropping the connection",
         [&](CBackendTransaction& t) {
             backend.ExecBackendSQL(Parent(1));
             EXPECT_FALSE(backend.ExecBackendSQL("INSERT INTO NO_SUCH_TABLE VALUES(1)"));
             backend.ExecBackendSQL(Parent(2));  // on a new connection
             return t.Commit();
         },
         "0"},
        {"an inner transaction without a commit",
         [&](CBackendTransaction& t) {
             backend.ExecBackendSQL(Parent(1));
             {
                 CBackendTransaction inner(backend);
                 backend.ExecBackendSQL(Parent(2));
             }
             return t.Commit();
         },
         "0"},
        {"a refused commit",
         [&](CBackendTransaction& t) {
             backend.ExecBackendSQL(Parent(1));
             backend.ExecBackendSQL(Child(7));
             return t.Commit();
         },
         "0"},
    };
    for (const auto& c : cases) {
        backend.ExecBackendSQL("DELETE FROM TXCHILD");
        backend.ExecBackendSQL("DELETE FROM TXPARENT");
        CheckForeignKeys();
        {
            CBackendTransaction transaction(backend);
            EXPECT_EQ(c.run(transaction), c.kept[0] == '1') << c.end;
        }
        EXPECT_EQ(Value("SELECT COUNT(*) FROM TXPARENT"), c.kept) << c.end;
        EXPECT_TRUE(backend.ExecBackendSQL(Parent(9))) << c.end;
        EXPECT_EQ(Value("SELECT COUNT(*) FROM TXPARENT WHERE ID=9"), "1") << c.end;
    }
}

// A refused statement of a unit, or a refused commit, takes no other statement with it.
TEST_P(BackendTransactionTest, AUnitKeepsEveryStatementTheBackendTakes) {
    using O = BackendOutcome;
    const struct {
        const char* unit;
        std::vector<std::string> statements;
        std::vector<BackendOutcome> outcomes;
        const char *parents, *children;
    } units[] = {
        {"a duplicate",
         {Parent(1), Parent(1), Parent(2)},
         {O::Done, O::AlreadyPresent, O::Done},
         "2",
         "0"},
        {"an error",
         {Parent(1), "INSERT INTO NO_SUCH_TABLE VALUES(1)", Parent(2), Parent(3)},
         {O::Done, O::Failed, O::Done, O::Done},
         "3",
         "0"},
        {"a refused commit",
         {Child(3), Parent(4), Child(4)},
         {O::Failed, O::Done, O::Done},
         "1",
         "1"},
    };
    for (const auto& u : units) {
        Backend().ExecBackendSQL("DELETE FROM TXCHILD");
        Backend().ExecBackendSQL("DELETE FROM TXPARENT");
        CheckForeignKeys();
        EXPECT_EQ(
            RunBackendUnit(Backend(), u.statements.size(),
                           [&](size_t i) { return Backend().InsertBackendRow(u.statements[i]); }),
            u.outcomes)
            << u.unit;
        EXPECT_EQ(Value("SELECT COUNT(*) FROM TXPARENT"), u.parents) << u.unit;
        EXPECT_EQ(Value("SELECT COUNT(*) FROM TXCHILD"), u.children) << u.unit;
    }
}

INSTANTIATE_TEST_SUITE_P(Products, BackendTransactionTest,
                         ::testing::Values(Product::SQLite, Product::PostgreSQL), ProductName);

}  // namespace
