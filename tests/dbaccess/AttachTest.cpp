// Attaching, detaching, creating and dropping databases on the test server.
#include "DbTestUtil.h"

#include <QFileInfo>

using namespace DbTest;

namespace {

class Attach : public ServerTest {
protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        if (IsSkipped())
            return;
        FPath = CreateDatabaseFile({QStringLiteral("CREATE TABLE T (id INTEGER, name VARCHAR(60))")});
        FAlias = QStringLiteral("D:\\Data\\") + QFileInfo(FPath).baseName() + QStringLiteral(".fdb");
        FirebirdTestServer::AddAlias(FAlias, FPath);
    }
    QString Tcp() const { return FirebirdTestServer::TcpConnectionString(FAlias); }

    QString FPath;
    QString FAlias;
};

QString Protocol(Db::TDatabase &db)
{
    Db::TTransaction tr(&db);
    tr.Start();
    Db::TQuery q(&db, &tr);
    q.SetSQLText(QStringLiteral(
        "SELECT COALESCE(mon$remote_protocol, 'embedded') FROM mon$attachments WHERE mon$attachment_id = CURRENT_CONNECTION"));
    q.Open();
    return q.AsString(0).trimmed();
}

TEST_F(Attach, LocalPathUsesTheEmbeddedEngineAndAliasTheServer)
{
    struct Case {
        QString Name;
        QString Expected;
    };
    const QString defaultPort = QStringLiteral("127.0.0.1:") + FAlias;
    for (const Case &c : {Case{FPath, QStringLiteral("embedded")}, Case{Tcp(), QStringLiteral("TCPv4")},
                          // No port: the client takes the server's port from its own firebird.conf.
                          Case{defaultPort, QStringLiteral("TCPv4")}}) {
        SCOPED_TRACE(c.Name.toStdString());
        Db::TDatabase db;
        int connects = 0;
        db.SetAfterConnect([&] { ++connects; });
        db.SetDatabaseName(c.Name);
        db.SetParams(Login());
        EXPECT_FALSE(db.Connected());
        db.Open();
        EXPECT_TRUE(db.Connected());
        EXPECT_EQ(connects, 1);
        EXPECT_EQ(Protocol(db), c.Expected);
        db.Close();
        EXPECT_FALSE(db.Connected());
    }
}

TEST_F(Attach, FailedAttachCarriesTheServersCodeAndLeavesNothingAttached)
{
    struct Case {
        const char *What;
        QString Name;
        QStringList Params;
        std::vector<int32_t> Codes;
    };
    const QString dead = QStringLiteral("127.0.0.1/%1:%2").arg(DeadPort()).arg(FAlias);
    const Case cases[] = {
        {"wrong password", Tcp(), Login(QStringLiteral("ISO8859_1"), kUser, QStringLiteral("wrong")), {335544472}},
        {"unknown user", Tcp(), Login(QStringLiteral("ISO8859_1"), QStringLiteral("NOBODY"), kPassword), {335544472}},
        {"no server listening", dead, Login(), {335544721, 335544375}},
        {"missing file", FirebirdTestServer::FreshDatabasePath(QStringLiteral("missing")), Login(), {335544344}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.What);
        Db::TDatabase db;
        bool connected = false;
        db.SetAfterConnect([&] { connected = true; });
        db.SetDatabaseName(c.Name);
        db.SetParams(c.Params);
        const Db::EDatabaseError e = ExpectDbError([&] { db.Open(); });
        EXPECT_NE(std::find(c.Codes.begin(), c.Codes.end(), e.FirebirdCode()), c.Codes.end())
            << e.FirebirdCode() << " " << e.Message().toStdString();
        EXPECT_LT(e.SqlCode(), 0);
        EXPECT_FALSE(e.Message().isEmpty());
        EXPECT_FALSE(db.Connected());
        EXPECT_FALSE(connected);
    }
}

TEST_F(Attach, WrongPasswordTextIsTheServers)
{
    Db::TDatabase db;
    db.SetDatabaseName(Tcp());
    db.SetParams(Login(QStringLiteral("ISO8859_1"), kUser, QStringLiteral("wrong")));
    const Db::EDatabaseError e = ExpectDbError([&] { db.Open(); });
    EXPECT_EQ(e.FirebirdCode(), 335544472);
    EXPECT_EQ(e.SqlCode(), -902);
    EXPECT_TRUE(e.Message().startsWith(QStringLiteral("Your user name and password are not defined")))
        << e.Message().toStdString();
}

TEST(AttachParams, NameOutsideTheListRaisesBeforeTheServerIsContacted)
{
    // The database lies behind a port where nothing listens: reaching the client's
    // attach would give a network error instead.
    const QString dead = QStringLiteral("127.0.0.1/%1:D:\\Data\\x.fdb").arg(DeadPort());
    for (const QString &bad : {QStringLiteral("charset=ISO8859_1"), QStringLiteral("user_name"),
                               QStringLiteral("=DREMLIX"), QStringLiteral("sql_role=ROLE_READER"),
                               QStringLiteral("isc_dpb_password=x")}) {
        SCOPED_TRACE(bad.toStdString());
        Db::TDatabase db;
        db.SetDatabaseName(dead);
        db.SetParams({QStringLiteral("user_name=DREMLIX"), bad});
        const Db::EDatabaseError e = ExpectDbError([&] { db.Open(); });
        EXPECT_EQ(e.FirebirdCode(), 0);
        EXPECT_TRUE(e.Message().contains(bad)) << e.Message().toStdString();
        EXPECT_FALSE(db.Connected());
    }
}

TEST_F(Attach, RoleAndCharsetReachTheServer)
{
    ExecuteElsewhere(FPath, QStringLiteral("CREATE ROLE ROLE_READER"));
    ExecuteElsewhere(FPath, QStringLiteral("GRANT ROLE_READER TO DREMLIX"));
    Db::TDatabase db;
    db.SetDatabaseName(Tcp());
    db.SetParams({QStringLiteral("USER_NAME=DREMLIX"), QStringLiteral("password=47219630"),
                  QStringLiteral("sql_role_name=ROLE_READER"), QStringLiteral("lc_ctype=UTF8")});
    db.Open();
    EXPECT_TRUE(db.Utf8());
    Db::TTransaction tr(&db);
    tr.Start();
    Db::TQuery q(&db, &tr);
    q.SetSQLText(QStringLiteral("SELECT CURRENT_USER, CURRENT_ROLE, c.rdb$character_set_name FROM mon$attachments a "
                                "JOIN rdb$character_sets c ON c.rdb$character_set_id = a.mon$character_set_id "
                                "WHERE a.mon$attachment_id = CURRENT_CONNECTION"));
    q.Open();
    EXPECT_EQ(q.AsString(0).trimmed(), QStringLiteral("DREMLIX"));
    EXPECT_EQ(q.AsString(1).trimmed(), QStringLiteral("ROLE_READER"));
    EXPECT_EQ(q.AsString(2).trimmed(), QStringLiteral("UTF8"));
}

TEST_F(Attach, UserNamesListsEveryAttachment)
{
    Db::TDatabase first, second;
    for (Db::TDatabase *db : {&first, &second}) {
        db->SetDatabaseName(Tcp());
        db->SetParams(Login());
        db->Open();
    }
    EXPECT_EQ(first.UserNames(), (QStringList{kUser, kUser}));
    second.Close();
    EXPECT_EQ(first.UserNames(), QStringList{kUser});
}

TEST_F(Attach, CloseRollsBackWhatWasNotCommitted)
{
    Db::TDatabase db;
    db.SetDatabaseName(Tcp());
    db.SetParams(Login());
    db.Open();
    Db::TTransaction tr(&db);
    tr.Start();
    Db::TStatement st(&db, &tr);
    st.SetSQLText(QStringLiteral("INSERT INTO T (id) VALUES (1)"));
    st.Execute();
    db.Close();
    EXPECT_FALSE(tr.Active());
    EXPECT_FALSE(db.Connected());
    EXPECT_EQ(QueryElsewhere(Tcp(), QStringLiteral("SELECT COUNT(*) FROM T")), QStringLiteral("0"));
    // The statement and transaction are usable again after a new attach.
    db.Open();
    tr.Start();
    st.Execute();
    tr.Commit();
    EXPECT_EQ(QueryElsewhere(Tcp(), QStringLiteral("SELECT COUNT(*) FROM T")), QStringLiteral("1"));
}

TEST_F(Attach, ForceCloseDropsTheAttachmentWhateverTheServerSays)
{
    Db::TDatabase db;
    db.SetDatabaseName(Tcp());
    db.SetParams(Login());
    db.Open();
    Db::TTransaction tr(&db);
    tr.Start();
    db.ForceClose();
    EXPECT_FALSE(db.Connected());
    EXPECT_FALSE(tr.Active());
    db.ForceClose(); // detached already: nothing happens
    EXPECT_EQ(QueryElsewhere(Tcp(), QStringLiteral("SELECT COUNT(*) FROM mon$attachments WHERE mon$attachment_id <> CURRENT_CONNECTION AND mon$user = 'DREMLIX'")),
              QStringLiteral("0"));
}

TEST_F(Attach, CreateDatabaseStaysAttachedWithTheClausesGiven)
{
    const QString path = FirebirdTestServer::FreshDatabasePath(QStringLiteral("created"));
    const QString alias = QStringLiteral("D:\\Data\\") + QFileInfo(path).baseName() + QStringLiteral(".fdb");
    FirebirdTestServer::AddAlias(alias, path);
    Db::TDatabase db;
    int connects = 0;
    db.SetAfterConnect([&] { ++connects; });
    // The creation's ten-character password is the account's eight-character one
    // under the legacy login, as the products' servers took it.
    db.CreateDatabase(FirebirdTestServer::TcpConnectionString(alias),
                      {QStringLiteral("USER 'DREMLIX'"), QStringLiteral("PASSWORD '4721963058'"),
                       QStringLiteral("PAGE_SIZE 4096"), QStringLiteral("DEFAULT CHARACTER SET ISO8859_1")});
    EXPECT_TRUE(db.Connected());
    EXPECT_EQ(connects, 1);
    EXPECT_TRUE(QFileInfo::exists(path));
    Db::TTransaction tr(&db);
    tr.Start();
    Db::TQuery q(&db, &tr);
    q.SetSQL({QStringLiteral("SELECT m.mon$page_size, d.rdb$character_set_name, r.rdb$owner_name"),
              QStringLiteral("FROM mon$database m, rdb$database d, rdb$relations r"),
              QStringLiteral("WHERE r.rdb$relation_name = 'RDB$DATABASE'")});
    q.Open();
    EXPECT_EQ(q.AsInteger(0), 4096);
    EXPECT_EQ(q.AsString(1).trimmed(), QStringLiteral("ISO8859_1"));
    EXPECT_EQ(q.AsString(2).trimmed(), QStringLiteral("DREMLIX"));
    q.Close();
    tr.Commit();

    // A second creation at the same place fails and leaves the first file alone.
    Db::TDatabase again;
    const Db::EDatabaseError e = ExpectDbError([&] {
        again.CreateDatabase(FirebirdTestServer::TcpConnectionString(alias),
                             {QStringLiteral("USER 'DREMLIX'"), QStringLiteral("PASSWORD '47219630'")});
    });
    EXPECT_NE(e.FirebirdCode(), 0);
    EXPECT_FALSE(again.Connected());

    db.DropDatabase();
    EXPECT_FALSE(db.Connected());
    EXPECT_FALSE(QFileInfo::exists(path));
}

TEST_F(Attach, DropWithoutAttachmentFails)
{
    Db::TDatabase db;
    db.SetDatabaseName(FPath);
    ExpectDbError([&] { db.DropDatabase(); });
    EXPECT_TRUE(QFileInfo::exists(FPath));
}

// The server ends our attachment (an administrator deleting it from the monitoring
// tables): the layer notices, and reattaches at the next transaction only when asked to.
TEST_F(Attach, LostAttachmentIsReattachedOnlyWithAutomaticReconnection)
{
    for (const bool automatic : {true, false}) {
        SCOPED_TRACE(automatic ? "automatic reconnection" : "no reconnection");
        Db::TDatabase db;
        int connects = 0;
        db.SetAfterConnect([&] { ++connects; });
        db.SetAutoReconnect(automatic);
        db.SetDatabaseName(Tcp());
        db.SetParams(Login());
        db.Open();
        Db::TTransaction tr(&db);
        tr.Start();
        Db::TQuery q(&db, &tr);
        q.SetSQLText(QStringLiteral("SELECT CURRENT_CONNECTION FROM rdb$database"));
        q.Open();
        const QString id = q.AsString(0);
        q.Close();
        ExecuteElsewhere(Tcp(), QStringLiteral("DELETE FROM mon$attachments WHERE mon$attachment_id = ") + id);

        const Db::EDatabaseError e = ExpectDbError([&] {
            Db::TQuery fresh(&db, &tr);
            fresh.SetSQLText(QStringLiteral("SELECT 1 FROM rdb$database"));
            fresh.Open();
        });
        EXPECT_TRUE(e.FirebirdCode() == 335544856 || e.FirebirdCode() == 335544726) // shutdown, or the read failed
            << e.FirebirdCode() << " " << e.Message().toStdString();
        EXPECT_FALSE(db.Connected());
        EXPECT_FALSE(tr.Active());
        if (automatic) {
            tr.Start();
            EXPECT_TRUE(db.Connected());
            EXPECT_EQ(connects, 2);
            q.Open();
            EXPECT_NE(q.AsString(0), id);
            tr.Commit();
            // A deliberate detach is never undone, also when the attachment was lost
            // before it.
            for (const bool forced : { false, true }) {
                if (!db.Connected())
                    db.Open();
                tr.Start();
                q.Open();
                const QString again = q.AsString(0);
                q.Close();
                ExecuteElsewhere(
                    Tcp(), QStringLiteral("DELETE FROM mon$attachments WHERE mon$attachment_id = ") + again);
                ExpectDbError([&] {
                    Db::TQuery fresh(&db, &tr);
                    fresh.SetSQLText(QStringLiteral("SELECT 1 FROM rdb$database"));
                    fresh.Open();
                });
                EXPECT_FALSE(db.Connected());
                if (forced)
                    db.ForceClose();
                else
                    db.Close();
                ExpectDbError([&] { tr.Start(); });
                EXPECT_FALSE(db.Connected());
            }
        } else {
            const Db::EDatabaseError notConnected = ExpectDbError([&] { tr.Start(); });
            EXPECT_TRUE(notConnected.Message().contains(QStringLiteral("not connected")));
            EXPECT_EQ(connects, 1);
        }
    }
}

} // namespace
