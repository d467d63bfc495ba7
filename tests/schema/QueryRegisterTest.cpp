// The register of handed-out queries without a server: names, the transactions made
// for them, what is given back when (also through a lease), and the boxes of a manager
// destroyed with queries still out.
#include "schema/IBManagers.h"

#include "support/ScriptedUiServices.h"

#include "dbaccess/Database.h"
#include "dbaccess/Transaction.h"
#include "oslayer/Exceptions.h"

#include <gtest/gtest.h>
#include <memory>

namespace {

class QueryRegisterTest : public ::testing::Test {
protected:
    QueryRegisterTest()
    {
        Manager = std::make_unique<TDatabaseManager>();
        Manager->SetName(QStringLiteral("DatabaseManager"));
        Manager->SetDatabase(&Database);
        Table.SetDatabaseManager(Manager.get());
        Table.SetTableName(QStringLiteral("PRT_Params"));
        Table.SetFieldDefs(
            { QStringLiteral("pname VARCHAR(60) NOT NULL *"), QStringLiteral("d_text VARCHAR(90)") });
    }

    ScriptedUiServices Ui;
    Db::TDatabase Database;
    Db::TTransaction Transaction;
    std::unique_ptr<TDatabaseManager> Manager;
    TTableManager Table;
};

TEST_F(QueryRegisterTest, QueriesOfATableAreNumberedAndGetTransactionsOfTheirOwn)
{
    TManagedQuery *first = Table.CreateQuery(false);
    TManagedQuery *second = Table.CreateQuery(true);
    EXPECT_EQ(first->Name(), QStringLiteral("PRT_Params_0000"));
    EXPECT_EQ(second->Name(), QStringLiteral("PRT_Params_0001"));
    EXPECT_EQ(Manager->DatasetCount(), 2);
    EXPECT_EQ(Manager->TransactionCount(), 2);
    EXPECT_NE(first->Transaction(), second->Transaction());
    EXPECT_EQ(first->Transaction()->Params(),
        (QStringList { QStringLiteral("concurrency"), QStringLiteral("nowait") }));

    // A writable query carries its table's statements; a read-only one none.
    QStringList insert;
    Table.BuildSQL4Insert(insert);
    EXPECT_EQ(first->InsertSQL, insert);
    EXPECT_FALSE(first->ModifySQL.isEmpty());
    EXPECT_FALSE(first->DeleteSQL.isEmpty());
    EXPECT_TRUE(second->InsertSQL.isEmpty());

    // Given back with the transaction made for it.
    Table.FreeDataset(first);
    EXPECT_EQ(Manager->DatasetCount(), 1);
    EXPECT_EQ(Manager->TransactionCount(), 1);

    // Freed by its holder directly: it leaves the register all the same, transaction too.
    delete second;
    EXPECT_EQ(Manager->DatasetCount(), 0);
    EXPECT_EQ(Manager->TransactionCount(), 0);

    // The counter only grows.
    TManagedQuery *third = Table.CreateQuery(true);
    EXPECT_EQ(third->Name(), QStringLiteral("PRT_Params_0002"));
    Table.FreeDataset(third);
}

TEST_F(QueryRegisterTest, AQueryInTheCallersTransactionGetsNoneOfItsOwn)
{
    Manager->SetTransaction(&Transaction);
    TManagedQuery *query = Table.CreateQuery(true, &Transaction);
    EXPECT_EQ(query->Transaction(), &Transaction);
    EXPECT_EQ(Manager->TransactionCount(), 0);
    Table.FreeDataset(query);
    EXPECT_EQ(Manager->DatasetCount(), 0);
}

TEST_F(QueryRegisterTest, AManagerDestroyedWithQueriesOutSaysSo)
{
    TManagedQuery *own = Table.CreateQuery(true);
    Manager->SetTransaction(&Transaction);
    Db::TQuery *global = Manager->CreateQueryGlobal();
    global->SetName(QStringLiteral("GlobalQuery"));
    (void)own;
    Manager.reset();

    ASSERT_EQ(Ui.Boxes().size(), 3);
    EXPECT_EQ(Ui.Boxes().at(0).Kind, MessageKind::Error);
    EXPECT_EQ(Ui.Boxes().at(0).Text, QStringLiteral("DataSet NOT RELEASED !\r\n"));
    EXPECT_EQ(Ui.Boxes().at(0).Caption, QStringLiteral("PRT_Params_0000"));
    EXPECT_EQ(Ui.Boxes().at(1).Text, QStringLiteral("DataSet NOT RELEASED !\r\n"));
    EXPECT_EQ(Ui.Boxes().at(1).Caption, QStringLiteral("GlobalQuery"));
    EXPECT_EQ(Ui.Boxes().at(2).Text, QStringLiteral("Transaction NOT RELEASED\r\n"));
    EXPECT_EQ(Ui.Boxes().at(2).Caption, QStringLiteral("PRT_Params_Transaction"));
    EXPECT_EQ(Ui.Beeps().size(), 3);
}

TEST_F(QueryRegisterTest, KeyQueriesAreGivenBackWhicheverGoesFirst)
{
    Manager->SetTransaction(&Transaction);
    {
        TTableManager table;
        table.SetDatabaseManager(Manager.get());
        table.SetTableName(QStringLiteral("PRT_Images"));
        table.SetFieldDefs({ QStringLiteral("image_name VARCHAR(30) NOT NULL *") });
        TManagedQuery *key = table.QueryFindPrimaryKey();
        EXPECT_EQ(table.QueryFindPrimaryKey(), key) << "built once";
        EXPECT_EQ(key->SQL(), table.FindPrimaryKeyText());
        EXPECT_TRUE(key->ForwardOnly());
        EXPECT_EQ(Manager->DatasetCount(), 1);
    }
    EXPECT_EQ(Manager->DatasetCount(), 0);

    // The manager first: the table manager must not touch the queries it no longer has.
    Table.QueryFindPrimaryKey();
    Manager.reset();
    EXPECT_EQ(Ui.Boxes().size(), 1);
}

TEST_F(QueryRegisterTest, ALeaseGivesItsQueryBackHoweverItsScopeEnds)
{
    Manager->SetTransaction(&Transaction);
    {
        TQueryLease<Db::TQuery> lease = Manager->LeaseQueryGlobal();
        EXPECT_TRUE(Manager->IsRegistered(lease.Get()));
    }
    EXPECT_EQ(Manager->DatasetCount(), 0);

    // Left by an error, with the transaction made for it.
    try {
        TQueryLease<TManagedQuery> lease = Table.LeaseQuery(true);
        EXPECT_EQ(Manager->TransactionCount(), 1);
        throw Os::Exception(QStringLiteral("work failed"));
    } catch (const Os::Exception &) {
    }
    EXPECT_EQ(Manager->DatasetCount(), 0);
    EXPECT_EQ(Manager->TransactionCount(), 0);

    // Moved on, and handed over to a holder that gives it back itself.
    TQueryLease<TManagedQuery> moved;
    TManagedQuery *held = nullptr;
    {
        TQueryLease<TManagedQuery> lease = Table.LeaseQuery(true);
        moved = std::move(lease);
        EXPECT_FALSE(lease); // NOLINT(bugprone-use-after-move): a lease moved from holds nothing
        TQueryLease<TManagedQuery> handedOver = Table.LeaseQuery(false);
        held = handedOver.Release();
    }
    EXPECT_EQ(Manager->DatasetCount(), 2);
    moved.Reset();
    EXPECT_EQ(Manager->DatasetCount(), 1);
    EXPECT_TRUE(Manager->IsRegistered(held));
    Table.FreeDataset(held);
    EXPECT_EQ(Manager->DatasetCount(), 0);

    // Assigned over a lease that still holds a query: that first query goes back at once,
    // the second stays leased.
    {
        TQueryLease<Db::TQuery> first = Manager->LeaseQueryGlobal();
        Db::TQuery *firstQuery = first.Get();
        TQueryLease<Db::TQuery> second = Manager->LeaseQueryGlobal();
        Db::TQuery *secondQuery = second.Get();
        ASSERT_NE(firstQuery, secondQuery);
        first = std::move(second);
        EXPECT_EQ(first.Get(), secondQuery);
        EXPECT_FALSE(Manager->IsRegistered(firstQuery));
        EXPECT_TRUE(Manager->IsRegistered(secondQuery));
        EXPECT_EQ(Manager->DatasetCount(), 1);
    }
    EXPECT_EQ(Manager->DatasetCount(), 0);

    // A manager that goes first takes the query along, and says so; the lease then has
    // nothing left to give back.
    TQueryLease<Db::TQuery> outlived = Manager->LeaseQueryGlobal();
    Manager.reset();
    EXPECT_EQ(Ui.Boxes().size(), 1);
    outlived.Reset();
    EXPECT_FALSE(outlived);
}

TEST_F(QueryRegisterTest, LevelsClosedThatWereNeverOpenedAreRefused)
{
    Manager->SetTransaction(&Transaction);
    try {
        Manager->LeaveTransaction();
        FAIL() << "no error";
    } catch (const Os::EAssertionFailed &e) {
        EXPECT_EQ(e.Message(), QStringLiteral("TRANSACTION MANAGEMENT ERROR"));
    }
    EXPECT_EQ(Transaction.Tag(), 0);
    Manager->AbortTransaction();
    EXPECT_EQ(Transaction.Tag(), 0);
    EXPECT_EQ(Manager->ActiveTransactionCount(), 0);
    // A level the connection module opened on the same transaction is closed here.
    Transaction.SetTag(2);
    Manager->LeaveTransaction();
    EXPECT_EQ(Transaction.Tag(), 1);
}

} // namespace
