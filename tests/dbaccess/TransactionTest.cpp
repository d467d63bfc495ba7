// Transactions: parameter blocks, and what another attachment sees when.
#include "DbTestUtil.h"

using namespace DbTest;

namespace {

class Transactions : public ServerTest {
protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        if (IsSkipped())
            return;
        FPath = CreateDatabaseFile({QStringLiteral("CREATE TABLE T (id INTEGER)")});
        FDb.SetDatabaseName(FPath);
        FDb.SetParams(Login());
        FDb.Open();
    }
    int CountElsewhere() { return QueryElsewhere(FPath, QStringLiteral("SELECT COUNT(*) FROM T")).toInt(); }
    void Insert(Db::TTransaction &tr, int id)
    {
        Db::TStatement st(&FDb, &tr);
        st.SetSQLText(QStringLiteral("INSERT INTO T (id) VALUES (:id)"));
        st.SetParamInt(0, id);
        st.Execute();
    }
    int Count(Db::TTransaction &tr)
    {
        Db::TQuery q(&FDb, &tr);
        q.SetSQLText(QStringLiteral("SELECT COUNT(*) FROM T"));
        q.Open();
        return q.AsInteger(0);
    }

    QString FPath;
    Db::TDatabase FDb;
};

TEST_F(Transactions, CommitRetainingAndRollbackAsSeenFromAnotherAttachment)
{
    Db::TTransaction tr(&FDb);
    tr.SetParams({QStringLiteral("write"), QStringLiteral("nowait"), QStringLiteral("read_committed"),
                  QStringLiteral("rec_version")});
    tr.Start();
    EXPECT_TRUE(tr.Active());
    Insert(tr, 1);
    EXPECT_EQ(CountElsewhere(), 0);
    tr.CommitRetaining();
    EXPECT_TRUE(tr.Active());
    EXPECT_EQ(CountElsewhere(), 1);
    Insert(tr, 2);
    tr.Rollback();
    EXPECT_FALSE(tr.Active());
    EXPECT_EQ(CountElsewhere(), 1);
    tr.Start();
    Insert(tr, 3);
    tr.Commit();
    EXPECT_FALSE(tr.Active());
    EXPECT_EQ(CountElsewhere(), 2);
}

// The isolation level in the block decides what a running transaction sees of a
// later commit elsewhere: the block really reaches the server.
TEST_F(Transactions, ParameterBlockReachesTheServer)
{
    struct Case {
        QStringList Params;
        int SeenAfterForeignCommit;
    };
    int rows = 0;
    for (const Case &c : {Case{{QStringLiteral("read"), QStringLiteral("concurrency")}, 0},
                          Case{{QStringLiteral("read"), QStringLiteral("read_committed"), QStringLiteral("rec_version")}, 1},
                          Case{{}, 0}}) {
        SCOPED_TRACE(c.Params.join(u',').toStdString());
        Db::TTransaction tr(&FDb);
        tr.SetParams(c.Params);
        tr.Start();
        EXPECT_EQ(Count(tr), rows);
        ExecuteElsewhere(FPath, QStringLiteral("INSERT INTO T (id) VALUES (9)"));
        EXPECT_EQ(Count(tr), rows + c.SeenAfterForeignCommit);
        ++rows;
        tr.Commit();
    }
    Db::TTransaction readOnly(&FDb);
    readOnly.SetParams({QStringLiteral("read")});
    readOnly.Start();
    const Db::EDatabaseError e = ExpectDbError([&] { Insert(readOnly, 5); });
    EXPECT_NE(e.FirebirdCode(), 0);
}

TEST_F(Transactions, NoRecVersionNowaitMeetsAnotherWritersLockAtOnce)
{
    Db::TTransaction writer(&FDb);
    writer.Start();
    Insert(writer, 1);
    Db::TTransaction reader(&FDb);
    reader.SetParams({QStringLiteral("read_committed"), QStringLiteral("no_rec_version"), QStringLiteral("nowait")});
    reader.Start();
    const Db::EDatabaseError e = ExpectDbError([&] { Count(reader); });
    EXPECT_EQ(e.FirebirdCode(), 335544336) << e.Message().toStdString(); // deadlock
    reader.Rollback();
    writer.Commit();
}

TEST_F(Transactions, MisuseRaisesBeforeTheServerIsContacted)
{
    Db::TTransaction tr(&FDb);
    tr.SetParams({QStringLiteral("write"), QStringLiteral("wait")});
    Db::EDatabaseError e = ExpectDbError([&] { tr.Start(); });
    EXPECT_TRUE(e.Message().contains(QStringLiteral("\"wait\""))) << e.Message().toStdString();
    EXPECT_FALSE(tr.Active());

    // A bad name is found even on a detached database: the block is checked first.
    Db::TDatabase detached;
    Db::TTransaction other(&detached);
    other.SetParams({QStringLiteral("snapshot")});
    e = ExpectDbError([&] { other.Start(); });
    EXPECT_TRUE(e.Message().contains(QStringLiteral("snapshot")));
    other.SetParams({});
    e = ExpectDbError([&] { other.Start(); });
    EXPECT_TRUE(e.Message().contains(QStringLiteral("not connected")));

    tr.SetParams({});
    tr.Start();
    e = ExpectDbError([&] { tr.Start(); });
    EXPECT_TRUE(e.Message().contains(QStringLiteral("already active")));
    tr.Commit();
    for (auto op : {&Db::TTransaction::Commit, &Db::TTransaction::Rollback, &Db::TTransaction::CommitRetaining})
        ExpectDbError([&] { (tr.*op)(); });

    Db::TTransaction orphan;
    e = ExpectDbError([&] { orphan.Start(); });
    EXPECT_TRUE(e.Message().contains(QStringLiteral("no database")));
}

TEST_F(Transactions, TagIsTheCallersAndSurvivesCommits)
{
    Db::TTransaction tr(&FDb);
    EXPECT_EQ(tr.Tag(), 0);
    tr.SetTag(3);
    tr.Start();
    tr.Commit();
    EXPECT_EQ(tr.Tag(), 3);
}

TEST_F(Transactions, DefaultTransactionServesStatementsThatNameNone)
{
    Db::TTransaction tr;
    FDb.SetDefaultTransaction(&tr);
    EXPECT_EQ(tr.DefaultDatabase(), &FDb);
    tr.Start();
    Db::TStatement st(&FDb);
    st.SetSQLText(QStringLiteral("INSERT INTO T (id) VALUES (1)"));
    st.Execute();
    tr.Commit();
    EXPECT_EQ(CountElsewhere(), 1);
}

TEST_F(Transactions, DestroyingObjectsInAnyOrderIsSafe)
{
    auto db = std::make_unique<Db::TDatabase>();
    db->SetDatabaseName(FPath);
    db->SetParams(Login());
    db->Open();
    auto tr = std::make_unique<Db::TTransaction>(db.get());
    auto q = std::make_unique<Db::TQuery>(db.get(), tr.get());
    tr->Start();
    q->SetSQLText(QStringLiteral("SELECT id FROM T"));
    q->Open();
    db.reset(); // detaches; the transaction and query forget it
    EXPECT_FALSE(tr->Active());
    EXPECT_EQ(tr->DefaultDatabase(), nullptr);
    EXPECT_EQ(q->Database(), nullptr);
    const Db::EDatabaseError e = ExpectDbError([&] { q->Open(); });
    EXPECT_TRUE(e.Message().contains(QStringLiteral("no database")));
    tr.reset();
    EXPECT_EQ(q->Transaction(), nullptr);
}

} // namespace
