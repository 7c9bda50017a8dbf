// Transactions on the backend connection: however one ends, nothing it did not commit
// stays and the connection is back to autocommit.
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
        ASSERT_TRUE(Backend().TEST_ExecBackendSQL("CREATE TABLE TXPARENT(ID INTEGER PRIMARY KEY)"));
        ASSERT_TRUE(Backend().TEST_ExecBackendSQL(
            "CREATE TABLE TXCHILD(ID INTEGER REFERENCES TXPARENT(ID) DEFERRABLE INITIALLY "
            "DEFERRED)"));
    }
    void TearDown() override {
        if (stores) DropTables();
        BackendProductTest::TearDown();
    }
    void DropTables() {
        Backend().TEST_ExecBackendSQL("DROP TABLE IF EXISTS TXCHILD");
        Backend().TEST_ExecBackendSQL("DROP TABLE IF EXISTS TXPARENT");
    }
    // Empty tables; SQLite checks foreign keys when the connection asks, outside a
    // transaction.
    void Clear() {
        Backend().TEST_ExecBackendSQL("DELETE FROM TXCHILD");
        Backend().TEST_ExecBackendSQL("DELETE FROM TXPARENT");
        if (GetParam() == Product::SQLite)
            Backend().TEST_ExecBackendSQL("PRAGMA foreign_keys = ON");
    }
    bool Insert(const char* table, int id) {
        return Backend().TEST_ExecBackendSQL(std::string("INSERT INTO ") + table + "(ID) VALUES(" +
                                             std::to_string(id) + ")");
    }
};

// The next statement after the transaction is seen from another connection at once.
TEST_P(BackendTransactionTest, EveryEndLeavesNothingUncommittedAndAutocommitOn) {
    const struct {
        const char* end;
        std::function<void()> run;  // inside the transaction, before its commit
        const char* kept;
    } cases[] = {
        {"a commit", [&] { Insert("TXPARENT", 1); }, "1"},
        {"a rejected statement dropping the connection",
         [&] {
             Insert("TXPARENT", 1);
             EXPECT_FALSE(Backend().TEST_ExecBackendSQL("INSERT INTO NO_SUCH_TABLE VALUES(1)"));
             Insert("TXPARENT", 2);  // on a new connection
         },
         "0"},
        {"an inner transaction without a commit",
         [&] {
             Insert("TXPARENT", 1);
             CBackendTransaction inner(Backend());
         },
         "0"},
        {"a refused commit",
         [&] {
             Insert("TXPARENT", 1);
             Insert("TXCHILD", 7);
         },
         "0"},
    };
    for (const auto& c : cases) {
        Clear();
        {
            CBackendTransaction transaction(Backend());
            c.run();
            EXPECT_EQ(transaction.Commit(), c.kept[0] == '1') << c.end;
        }
        EXPECT_EQ(Value("SELECT COUNT(*) FROM TXPARENT"), c.kept) << c.end;
        EXPECT_TRUE(Insert("TXPARENT", 9)) << c.end;
        EXPECT_EQ(Value("SELECT COUNT(*) FROM TXPARENT WHERE ID=9"), "1") << c.end;
    }
}

// A refused commit names no statement: its statements are tried again one by one, and
// only the one that cannot be committed is lost.
TEST_P(BackendTransactionTest, ARefusedCommitLosesOnlyItsCulprit) {
    Clear();
    const std::vector<std::string> unit = {"INSERT INTO TXCHILD(ID) VALUES(3)",
                                           "INSERT INTO TXPARENT(ID) VALUES(4)",
                                           "INSERT INTO TXCHILD(ID) VALUES(4)"};
    EXPECT_EQ(RunBackendUnit(Backend(), unit.size(),
                             [&](size_t i) { return Backend().InsertBackendRow(unit[i]); }),
              (std::vector<BackendOutcome>{BackendOutcome::Failed, BackendOutcome::Done,
                                           BackendOutcome::Done}));
    EXPECT_EQ(Value("SELECT COUNT(*) FROM TXPARENT"), "1");
    EXPECT_EQ(Value("SELECT ID FROM TXCHILD"), "4");
}

INSTANTIATE_TEST_SUITE_P(Products, BackendTransactionTest,
                         ::testing::Values(Product::SQLite, Product::PostgreSQL), ProductName);

}  // namespace
