// The maintenance operations of the connection module on the real test server: the services
// actions locally (embedded engine and local service manager) and over TCP/IP, read back
// through the database itself; the operations through the database manager; the utilities.
#include "CommonDbFixture.h"

#include "Common/Interbase/dmDBConnectionUnit.h"
#include "dbaccess/DbAccess.h"
#include "oslayer/SystemInfo.h"
#include "platform/GeneralRoutines.h"
#include "platform/Messages.h"
#include "schema/IBManagers.h"
#include "support/FirebirdTestServer.h"

#include <QFile>
#include <QLocale>

namespace {

QString ErrorOf(const std::function<void()> &work)
{
    try {
        work();
    } catch (const Os::Exception &e) {
        return e.Message();
    } catch (const std::exception &e) {
        return QStringLiteral("std::exception: ") + QString::fromUtf8(e.what());
    }
    return QStringLiteral("<no error>");
}

bool AnyLineContains(const QStringList &lines, const QString &text)
{
    for (const QString &line : lines) {
        if (line.contains(text, Qt::CaseInsensitive))
            return true;
    }
    return false;
}

// ---- Without the server ----------------------------------------------------------------

TEST(MaintenanceRules, ServicesRefuseUnsupportedFormsBeforeContactingAnything)
{
    TdmDBConnection module;
    QStringList list { QStringLiteral("kept") };
    QStringList errors { QStringLiteral("kept") };
    struct Operation {
        const char *Name;
        std::function<void()> Run;
        QString Unknown;
        QString Other;
    };
    const QList<Operation> operations {
        { "GetDBHeaderInfo", [&] { module.GetDBHeaderInfo(list); }, QStringLiteral("error 0203121447"),
            QStringLiteral("error 0111071724") },
        { "SweepDatabase", [&] { module.SweepDatabase(list); }, QStringLiteral("error 0203121450"),
            QStringLiteral("error 0203121451") },
        { "SetSweepInterval", [&] { module.SetSweepInterval(100); }, QStringLiteral("error 0206181013"),
            QStringLiteral("error 0206181014") },
        { "SetForcedWrites", [&] { module.SetForcedWrites(true); }, QStringLiteral("error 0207161027"),
            QStringLiteral("error 0207161028") },
        { "DoBackup", [&] { module.DoBackup(QStringLiteral("/tmp/x.fbk"), {}, errors); },
            QStringLiteral("Database is not local"), QStringLiteral("Database is not local") },
    };
    const QStringList unknown { QStringLiteral("dbhost:base"), QStringLiteral("base.fdb") };
    const QStringList others { QStringLiteral("\\\\dbhost\\Data\\Base.fdb"),
        QStringLiteral("dbhost:/srv/base.fdb"), QStringLiteral("server@vol:data\\base.fdb") };
    for (const Operation &op : operations) {
        for (const QString &cs : unknown + others) {
            SCOPED_TRACE(std::string(op.Name) + " " + cs.toStdString());
            module.SetParams(cs, QString(), QString(), QString());
            EXPECT_EQ(ErrorOf(op.Run), unknown.contains(cs) ? op.Unknown : op.Other);
        }
    }
    // A refused call leaves the caller's lists alone.
    EXPECT_EQ(list, QStringList { QStringLiteral("kept") });
    EXPECT_EQ(errors, QStringList { QStringLiteral("kept") });
}

TEST(MaintenanceRules, BaseFilenameIsWhatFollowsTheLastSeparator)
{
    struct Case {
        QString ConnectionString;
        QString Expected;
    };
    TdmDBConnection module;
    for (const Case &c : {
             Case { QStringLiteral("C:\\Data\\Base.fdb"), QStringLiteral("Base.fdb") },
             Case { QStringLiteral("192.168.1.20:D:\\Data\\Sorvane.fdb"), QStringLiteral("Sorvane.fdb") },
             Case { QStringLiteral("dbhost:/srv/data/base.fdb"), QStringLiteral("base.fdb") },
             Case { QStringLiteral("dbhost:base"), QStringLiteral("base") },
             Case { QStringLiteral("\\\\dbhost\\Data\\Base.fdb"), QStringLiteral("Base.fdb") },
             Case { QStringLiteral("Base.fdb"), QStringLiteral("Base.fdb") },
             Case { QStringLiteral("C:\\Data\\"), QString() },
             Case { QString(), QString() },
         }) {
        SCOPED_TRACE(c.ConnectionString.toStdString());
        module.SetParams(c.ConnectionString, QString(), QString(), QString());
        EXPECT_EQ(module.GetBaseFilename(), c.Expected);
    }
}

TEST(MaintenanceRules, IsOnDBServerByConnectionString)
{
    ScriptedUiServices ui;
    const QStringList addresses = Os::LocalIPv4Addresses();
    const QString computer = GetComputerNameText();
    struct Case {
        QString ConnectionString;
        bool Expected;
    };
    QList<Case> cases {
        { QStringLiteral("C:\\Data\\Base.fdb"), true },
        { computer.toUpper() + QStringLiteral(":D:\\Data\\Base.fdb"), true },
        { computer.toLower() + QStringLiteral("/3051:D:\\Data\\Base.fdb"), true },
        { QStringLiteral("127.0.0.1:D:\\Data\\Base.fdb"), addresses.contains(QStringLiteral("127.0.0.1")) },
        // Documentation addresses: never one of this computer's.
        { QStringLiteral("192.0.2.77:D:\\Data\\Base.fdb"), false },
        { QStringLiteral("otherhost.invalid:D:\\Data\\Base.fdb"), false },
        { QStringLiteral("dbhost:/srv/base.fdb"), false },
        { QStringLiteral("\\\\") + computer + QStringLiteral("\\Data\\Base.fdb"), false },
        { QStringLiteral("dbhost:base"), false },
        { QString(), false },
    };
    for (const QString &address : addresses)
        cases.append({ address + QStringLiteral(":D:\\Data\\Base.fdb"), true });
    TdmDBConnection module;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ConnectionString.toStdString());
        module.SetParams(c.ConnectionString, QString(), QString(), QString());
        EXPECT_EQ(module.IsOnDBServer(), c.Expected);
        EXPECT_EQ(module.IsOnDBServer(), c.Expected);
    }
    EXPECT_TRUE(ui.Boxes().isEmpty());
}

TEST(MaintenanceRules, DoNothingOperationsAndDetachedQueries)
{
    TdmDBConnection module;
    QStringList list { QStringLiteral("old") };
    module.GetDBInfo(list);
    EXPECT_TRUE(list.isEmpty());
    list = QStringList { QStringLiteral("old") };
    module.CheckDB(list);
    EXPECT_EQ(list, QStringList { QStringLiteral("old") });
    module.AddAcceptedVersion(42);
    module.GetUserList(list);
    EXPECT_TRUE(list.isEmpty());
    EXPECT_EQ(ErrorOf([&] { module.GetConnectionCount(); }), QStringLiteral("not connected"));
    EXPECT_NE(ErrorOf([&] { module.DropDatabase(); }), QStringLiteral("<no error>"));
}

// ---- On the test server ------------------------------------------------------------------

class MaintenanceTest : public CommonDbTest {
protected:
    std::unique_ptr<TdmDBConnection> Connected(const QString &cs)
    {
        auto module = MakeModule();
        module->SetParams(cs, QString(), QString(), QString());
        module->ConnectAsDremlix();
        return module;
    }
    QVariant MonValue(const QString &column)
    {
        const auto rows
            = Observe(Database, QStringLiteral("SELECT ") + column + QStringLiteral(" FROM MON$DATABASE"));
        return rows.isEmpty() ? QVariant() : rows.first().first();
    }
};

TEST_F(MaintenanceTest, ForcedWritesAndSweepIntervalReachTheHeader)
{
    // Local through the local service manager, then over TCP/IP through the server's.
    for (const QString &cs : { LocalString(Database), TcpString(Database) }) {
        SCOPED_TRACE(cs.toStdString());
        auto module = MakeModule();
        module->SetParams(cs, QString(), QString(), QString());
        for (const bool on : { false, true }) {
            module->SetForcedWrites(on);
            EXPECT_EQ(MonValue(QStringLiteral("MON$FORCED_WRITES")).toInt(), on ? 1 : 0);
        }
        for (const int interval : { 0, 12345, 20000 }) {
            module->SetSweepInterval(interval);
            EXPECT_EQ(MonValue(QStringLiteral("MON$SWEEP_INTERVAL")).toInt(), interval);
        }
    }
}

TEST_F(MaintenanceTest, HeaderInfoShowsWhatWasSet)
{
    auto module = MakeModule();
    module->SetParams(LocalString(Database), QString(), QString(), QString());
    module->SetSweepInterval(4321);
    for (const bool on : { true, false }) {
        SCOPED_TRACE(on);
        module->SetForcedWrites(on);
        QStringList lines { QStringLiteral("from before") };
        module->GetDBHeaderInfo(lines);
        EXPECT_FALSE(lines.contains(QStringLiteral("from before")));
        EXPECT_TRUE(AnyLineContains(lines, QStringLiteral("header page"))) << lines.join(u'\n').toStdString();
        EXPECT_TRUE(AnyLineContains(lines, QStringLiteral("4321")));
        EXPECT_EQ(AnyLineContains(lines, QStringLiteral("force write")), on)
            << lines.join(u'\n').toStdString();
    }
}

TEST_F(MaintenanceTest, SweepRunsLocallyAndOverTcp)
{
    for (const QString &cs : { LocalString(Database), TcpString(Database) }) {
        SCOPED_TRACE(cs.toStdString());
        auto module = MakeModule();
        module->SetParams(cs, QString(), QString(), QString());
        QStringList lines { QStringLiteral("from before") };
        module->SweepDatabase(lines);
        EXPECT_FALSE(lines.contains(QStringLiteral("from before")));
        // The database is whole and usable after it.
        EXPECT_EQ(CountRows(Database, QStringLiteral("ConnectionControl")), 4);
    }
}

TEST_F(MaintenanceTest, BackupHandsOnEveryLineAndWritesTheFile)
{
    struct Case {
        QString ConnectionString;
        QString BackupName; // as the server sees it
        QString HostFile;
    };
    const QString host1 = HostPathOf(QStringLiteral("local.fbk"));
    const QString host2 = HostPathOf(QStringLiteral("tcp.fbk"));
    for (const Case &c : { Case { LocalString(Database), LocalString(QStringLiteral("local.fbk")), host1 },
             Case { TcpString(Database), host2, host2 } }) {
        SCOPED_TRACE(c.ConnectionString.toStdString());
        auto module = MakeModule();
        module->SetParams(c.ConnectionString, QString(), QString(), QString());
        QStringList seen;
        QObject *sender = nullptr;
        QStringList errors { QStringLiteral("from before") };
        module->DoBackup(
            c.BackupName,
            [&](QObject *Sender, const QString &line) {
                sender = Sender;
                seen << line;
            },
            errors);
        EXPECT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
        EXPECT_EQ(sender, module.get());
        EXPECT_GT(seen.size(), 10);
        EXPECT_TRUE(AnyLineContains(seen, QStringLiteral("CONNECTIONCONTROL")))
            << seen.join(u'\n').toStdString();
        EXPECT_TRUE(QFile::exists(c.HostFile));
        EXPECT_GT(QFile(c.HostFile).size(), 1000);
    }
}

TEST_F(MaintenanceTest, BackupToAnUnwritablePathGivesTheErrorLines)
{
    for (const QString &cs : { LocalString(Database), TcpString(Database) }) {
        SCOPED_TRACE(cs.toStdString());
        auto module = MakeModule();
        module->SetParams(cs, QString(), QString(), QString());
        QStringList seen;
        QStringList errors;
        module->DoBackup(
            QStringLiteral("/nonexistent-dremlix-folder/sub/x.fbk"),
            [&](QObject *, const QString &line) { seen << line; }, errors);
        ASSERT_FALSE(errors.isEmpty()) << seen.join(u'\n').toStdString();
        QStringList expected;
        for (const QString &line : seen) {
            if (line.contains(QStringLiteral("ERROR:")))
                expected << line;
        }
        EXPECT_EQ(errors, expected);
        // The callback had the error lines and the rest.
        EXPECT_GT(seen.size(), errors.size());
        EXPECT_TRUE(AnyLineContains(seen, QStringLiteral("Exiting before completion")));
        EXPECT_TRUE(AnyLineContains(errors, QStringLiteral("nonexistent-dremlix-folder")));
        // The services client is free for the next action.
        module->SetSweepInterval(777);
        EXPECT_EQ(MonValue(QStringLiteral("MON$SWEEP_INTERVAL")).toInt(), 777);
    }
}

TEST_F(MaintenanceTest, ConnectionCountAndUserList)
{
    auto module = Connected(TcpString(Database));
    EXPECT_EQ(module->GetConnectionCount(), 1);
    {
        Db::TDatabase other;
        other.SetDatabaseName(TcpString(Database));
        other.SetParams({ QStringLiteral("user_name=DREMLIX"), QStringLiteral("password=47219630") });
        other.Open();
        EXPECT_EQ(module->GetConnectionCount(), 2);
    }
    EXPECT_EQ(module->GetConnectionCount(), 1);

    QStringList users;
    module->GetUserList(users);
    EXPECT_EQ(users, QStringList { module->GetUserIdentification().left(60) });
    EXPECT_EQ(module->GetUDFVersion(), 1);
    EXPECT_EQ(module->GetDBOwner().trimmed(), QStringLiteral("DREMLIX"));
    EXPECT_EQ(module->TransactionState(), QStringLiteral("0"));

    module->Disconnect();
    module->GetUserList(users);
    EXPECT_TRUE(users.isEmpty());
    EXPECT_EQ(ErrorOf([&] { module->GetConnectionCount(); }), QStringLiteral("not connected"));
}

TEST_F(MaintenanceTest, SetStatisticsRecomputesAndComesBackAsTheCaller)
{
    ExecOn(Database,
        { QStringLiteral("INSERT INTO PRT_Params (pname) VALUES ('a')"),
            QStringLiteral("INSERT INTO PRT_Params (pname) VALUES ('b')"),
            QStringLiteral("INSERT INTO PRT_Params (pname) VALUES ('c')"),
            QStringLiteral("INSERT INTO PRT_Params (pname) VALUES ('d')") });
    const QString selectivity = QStringLiteral(
        "SELECT i.RDB$STATISTICS FROM RDB$INDICES i JOIN RDB$RELATION_CONSTRAINTS c ON c.RDB$INDEX_NAME = "
        "i.RDB$INDEX_NAME WHERE c.RDB$RELATION_NAME = 'PRT_PARAMS' AND c.RDB$CONSTRAINT_TYPE = 'PRIMARY "
        "KEY'");
    ASSERT_EQ(Observe(Database, selectivity).size(), 1);
    EXPECT_NE(Observe(Database, selectivity).first().first().toDouble(), 0.25);

    auto module = MakeModule();
    module->SetParams(TcpString(Database), QStringLiteral("PUBLIC_READER_WRITER"),
        QStringLiteral("ROLE_READER_WRITER"), QStringLiteral("tarvel"));
    module->Connect();
    module->SetStatistics();
    EXPECT_DOUBLE_EQ(Observe(Database, selectivity).first().first().toDouble(), 0.25);
    EXPECT_TRUE(module->Connected());
    EXPECT_EQ(module->DatabaseManager()->UserName(), QStringLiteral("PUBLIC_READER_WRITER"));
    EXPECT_EQ(module->DatabaseManager()->Role(), QStringLiteral("ROLE_READER_WRITER"));
    EXPECT_EQ(module->DatabaseManager()->Password(), QStringLiteral("tarvel"));
    EXPECT_EQ(WaitCount(), 0);
}

TEST_F(MaintenanceTest, SetStatisticsFailurePutsTheCallersAccountBack)
{
    auto module = MakeModule();
    module->SetParams(TcpString(QStringLiteral("missing.fdb")), QStringLiteral("PUBLIC_READER_WRITER"),
        QStringLiteral("ROLE_READER_WRITER"), QStringLiteral("tarvel"));
    EXPECT_NE(ErrorOf([&] { module->SetStatistics(); }), QStringLiteral("<no error>"));
    EXPECT_FALSE(module->Connected());
    EXPECT_EQ(module->DatabaseManager()->UserName(), QStringLiteral("PUBLIC_READER_WRITER"));
    EXPECT_EQ(module->DatabaseManager()->Password(), QStringLiteral("tarvel"));
    EXPECT_EQ(WaitCount(), 0);
}

TEST_F(MaintenanceTest, SetDBVersionStampsTheDatabaseAndForgetsTheAccount)
{
    const QString versionRow = QStringLiteral("SELECT sval FROM ConnectionControl WHERE id = 3");
    // With a connection string set, the one passed is not used.
    auto module = MakeModule();
    module->SetParams(
        TcpString(Database), QStringLiteral("someone"), QStringLiteral("R"), QStringLiteral("pw"));
    module->SetDBVersion(31, QStringLiteral("nowhere:Z:\\none.fdb"));
    EXPECT_EQ(Observe(Database, versionRow).first().first().toString(), QStringLiteral("31"));
    EXPECT_FALSE(module->Connected());
    EXPECT_TRUE(module->DatabaseManager()->UserName().isEmpty());
    EXPECT_TRUE(module->DatabaseManager()->Role().isEmpty());
    EXPECT_TRUE(module->DatabaseManager()->Password().isEmpty());
    EXPECT_EQ(CountRows(Database, QStringLiteral("Users")), 0);

    // Without one, the one passed is.
    auto fresh = MakeModule();
    fresh->SetDBVersion(32, TcpString(Database));
    EXPECT_EQ(Observe(Database, versionRow).first().first().toString(), QStringLiteral("32"));
    EXPECT_EQ(fresh->DatabaseManager()->ConnectionString(), TcpString(Database));
    EXPECT_FALSE(fresh->Connected());

    // A refused server leaves no maker's password behind either.
    auto refused = MakeModule(DefaultAcceptedVersions());
    refused->SetParams(TcpString(Database), QString(), QString(), QString());
    EXPECT_TRUE(
        ErrorOf([&] { refused->SetDBVersion(40, QString()); }).startsWith(QStringLiteral("La versione")));
    EXPECT_TRUE(refused->DatabaseManager()->Password().isEmpty());
    EXPECT_EQ(Observe(Database, versionRow).first().first().toString(), QStringLiteral("32"));
}

TEST_F(MaintenanceTest, CreateAndDropADatabase)
{
    const QString file = QStringLiteral("created.fdb");
    auto module = MakeModule();
    module->Init(5, QStringLiteral("NEWBASE"), QString(), QStringLiteral("Updater"));
    module->SetParams(LocalString(file), QStringLiteral("DREMLIX"), QString(), QStringLiteral("47219630"));
    module->CreateDatabase();
    EXPECT_TRUE(module->Connected());
    EXPECT_TRUE(QFile::exists(HostPathOf(file)));
    EXPECT_EQ(module->TransactionState(), QStringLiteral("0"));
    QString dbi;
    int32_t dbv = 0;
    module->DatabaseManager()->GetDBVersion(dbi, dbv);
    EXPECT_EQ(dbi, QStringLiteral("NEWBASE"));
    EXPECT_EQ(dbv, 5);
    // The functions and procedures of a product database are registered.
    EXPECT_EQ(module->GetUDFVersion(), 1);
    EXPECT_TRUE(module->DatabaseManager()->FindTable(QStringLiteral("Users")));

    module->DropDatabase();
    EXPECT_FALSE(module->Connected());
    EXPECT_FALSE(QFile::exists(HostPathOf(file)));
    EXPECT_NE(ErrorOf([&] { module->DropDatabase(); }), QStringLiteral("<no error>"));
}

class TestConnectionTest : public MaintenanceTest {
protected:
    void TearDown() override
    {
        QLocale::setDefault(QLocale::system());
        MaintenanceTest::TearDown();
    }
};

TEST_F(TestConnectionTest, ReportsTheTestAccountsConnection)
{
    QLocale::setDefault(QLocale(QLocale::Italian, QLocale::Italy));
    const QString vestrel = CreateDatabase(QStringLiteral("OV_Vestrel"), 2);
    auto module = Connected(TcpString(Database));
    const QString before = module->DatabaseManager()->UserName();

    // Version 0 means 2 for this identifier; the free space of drive Y: is 10 GB.
    EXPECT_TRUE(module->TestDbConnection(QStringLiteral("OV_Vestrel"), TcpString(vestrel), 0, true));
    ASSERT_EQ(Ui.Boxes().size(), 1);
    EXPECT_EQ(Ui.Boxes().first().Caption, QStringLiteral("Informations"));
    EXPECT_EQ(Ui.Boxes().first().Text, QStringLiteral("Connessione \"OV_Vestrel\" OK.\r\n10.000 Mb"));
    // The caller's module is untouched, and the test left no workstation behind.
    EXPECT_TRUE(module->Connected());
    EXPECT_EQ(module->DatabaseManager()->UserName(), before);
    EXPECT_EQ(CountRows(vestrel, QStringLiteral("Users")), 0);
    EXPECT_EQ(WaitCount(), 0);

    // Without the message.
    EXPECT_TRUE(module->TestDbConnection(QStringLiteral("OV_Vestrel"), TcpString(vestrel), 2, false));
    EXPECT_EQ(Ui.Boxes().size(), 1);
}

TEST_F(TestConnectionTest, ARefusalPropagatesWithoutAMessage)
{
    // Version 0 means 1 for any other identifier, and the fixture's database has 27.
    auto module = MakeModule();
    const QString error
        = ErrorOf([&] { module->TestDbConnection(TestIdentifier, TcpString(Database), 0, true); });
    EXPECT_TRUE(error.startsWith(QStringLiteral("La base dati non è compatibile con il programma!")))
        << error.toStdString();
    EXPECT_TRUE(error.endsWith(QStringLiteral("Version : 27")));
    EXPECT_TRUE(Ui.Boxes().isEmpty());
    EXPECT_EQ(WaitCount(), 0);

    // A database that is not there: the server's error, and still no message.
    EXPECT_NE(ErrorOf([&] {
        module->TestDbConnection(TestIdentifier, TcpString(QStringLiteral("none.fdb")), TestDBVersion, true);
    }),
        QStringLiteral("<no error>"));
    EXPECT_TRUE(Ui.Boxes().isEmpty());
}

} // namespace
