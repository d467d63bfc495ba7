// The service manager: server information, statistics, repair, properties, backup.
#include "DbTestUtil.h"

#include <QDir>
#include <QFileInfo>

using namespace DbTest;

namespace {

class Services : public ServerTest {
protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        if (IsSkipped())
            return;
        FPath = CreateDatabaseFile({QStringLiteral("CREATE TABLE T (id INTEGER)")});
        FAlias = QStringLiteral("D:\\Data\\") + QFileInfo(FPath).baseName() + QStringLiteral(".fdb");
        FirebirdTestServer::AddAlias(FAlias, FPath);
    }
    // Locally the service manager takes the whole path; over TCP/IP the server part
    // and the server's own name of the database (here its alias).
    std::unique_ptr<Db::TServicesClient> Client(bool tcp, const QString &password = kPassword)
    {
        auto c = std::make_unique<Db::TServicesClient>();
        c->SetProtocol(tcp ? Db::TProtocol::TCP : Db::TProtocol::Local);
        if (tcp)
            c->SetServerName(QStringLiteral("127.0.0.1/%1").arg(FirebirdTestServer::Port()));
        c->SetLogin(kUser, password);
        c->Attach();
        return c;
    }
    QString Database(bool tcp) const { return tcp ? FAlias : FPath; }
    QStringList Header(bool tcp)
    {
        auto c = Client(tcp);
        // The statistics action opens the file itself and knows no aliases with a
        // drive letter: it gets the server's path.
        c->StartStatistics(FPath, isc_spb_sts_hdr_pages);
        return c->ReadAllLines();
    }

    QString FPath;
    QString FAlias;
};

TEST_F(Services, ServerInformation)
{
    for (const bool tcp : {false, true}) {
        SCOPED_TRACE(tcp ? "TCP/IP" : "local");
        auto c = Client(tcp);
        EXPECT_TRUE(c->Active());
        EXPECT_EQ(c->ServiceName(), tcp ? QStringLiteral("127.0.0.1/%1:service_mgr").arg(FirebirdTestServer::Port())
                                        : QStringLiteral("service_mgr"));
        EXPECT_TRUE(c->ServerVersion().startsWith(QStringLiteral("LI-V3.0"))) << c->ServerVersion().toStdString();
        EXPECT_TRUE(c->ServerVersion().contains(QStringLiteral("Firebird 3.0")));
        EXPECT_FALSE(c->ServerImplementation().isEmpty());
        EXPECT_EQ(c->ServiceVersion(), 2);
        c->Detach();
        EXPECT_FALSE(c->Active());
    }
}

TEST_F(Services, AttachFailuresAreDatabaseErrors)
{
    Db::EDatabaseError e = ExpectDbError([&] { Client(true, QStringLiteral("wrong")); });
    EXPECT_EQ(e.FirebirdCode(), 335544472) << e.Message().toStdString();
    Db::TServicesClient dead;
    dead.SetProtocol(Db::TProtocol::TCP);
    dead.SetServerName(QStringLiteral("127.0.0.1/%1").arg(DeadPort()));
    dead.SetLogin(kUser, kPassword);
    e = ExpectDbError([&] { dead.Attach(); });
    EXPECT_TRUE(e.FirebirdCode() == 335544721 || e.FirebirdCode() == 335544375) << e.FirebirdCode();
    EXPECT_FALSE(dead.Active());
    Db::TServicesClient detached;
    ExpectDbError([&] { detached.ServerVersion(); });
}

TEST_F(Services, HeaderStatisticsLineByLine)
{
    for (const bool tcp : {false, true}) {
        SCOPED_TRACE(tcp ? "TCP/IP" : "local");
        const QStringList lines = Header(tcp);
        const QString all = lines.join(u'\n');
        EXPECT_TRUE(all.contains(QStringLiteral("Database header page information:"))) << all.toStdString();
        EXPECT_TRUE(all.contains(QStringLiteral("\tPage size\t\t4096 \n"))) << "lines as the server wrote them";
        EXPECT_FALSE(all.contains(QStringLiteral("Analyzing database pages"))) << "header page only";
    }
}

TEST_F(Services, PropertiesReachTheHeader)
{
    {
        auto c = Client(true);
        c->SetSweepInterval(Database(true), 12345);
        c->SetWriteMode(Database(true), true);
    }
    QString all = Header(true).join(u'\n');
    EXPECT_TRUE(all.contains(QStringLiteral("Sweep interval:\t\t12345"))) << all.toStdString();
    EXPECT_TRUE(all.contains(QStringLiteral("force write"))) << all.toStdString();
    {
        auto c = Client(false);
        c->SetWriteMode(Database(false), false);
        c->SetSweepInterval(Database(false), 0);
    }
    all = Header(false).join(u'\n');
    EXPECT_FALSE(all.contains(QStringLiteral("force write"))) << all.toStdString();
    EXPECT_TRUE(all.contains(QStringLiteral("Sweep interval:\t\t0"))) << all.toStdString();
}

TEST_F(Services, SweepRunsToItsEnd)
{
    ExecuteElsewhere(FPath, QStringLiteral("INSERT INTO T (id) VALUES (1)"));
    auto c = Client(true);
    c->StartRepair(Database(true), isc_spb_rpr_sweep_db);
    c->ReadAllLines();
    EXPECT_TRUE(c->Eof());
    EXPECT_EQ(c->GetNextLine(), QString());
    // A validation of the same database afterwards finds nothing to report.
    c->StartRepair(Database(true), isc_spb_rpr_validate_db | isc_spb_rpr_full);
    const QStringList lines = c->ReadAllLines();
    EXPECT_FALSE(lines.join(u'\n').contains(QStringLiteral("ERROR"))) << lines.join(u'\n').toStdString();
}

TEST_F(Services, VerboseBackupAndItsErrorLines)
{
    const QString backup = FirebirdTestServer::DataFolder() + u'/' + QFileInfo(FPath).baseName() + QStringLiteral(".fbk");
    const uint32_t options = isc_spb_bkp_ignore_limbo | isc_spb_bkp_no_garbage_collect | isc_spb_bkp_non_transportable;
    auto c = Client(true);
    c->StartBackup(Database(true), backup, options, true);
    QStringList seen;
    const QStringList lines = c->ReadAllLines([&](const QString &l) { seen << l; });
    EXPECT_EQ(seen, lines);
    EXPECT_GT(lines.size(), 10);
    EXPECT_TRUE(lines.join(u'\n').contains(QStringLiteral("writing data for table T"))) << lines.join(u'\n').toStdString();
    EXPECT_FALSE(lines.join(u'\n').contains(QStringLiteral("ERROR:")));
    EXPECT_GT(QFileInfo(backup).size(), 0);

    // A backup file the server cannot write: the output ends with its error lines.
    c->StartBackup(Database(true), QStringLiteral("/nonexistent-folder/x.fbk"), options, true);
    const QStringList failing = c->ReadAllLines();
    QStringList errors;
    for (const QString &l : failing) {
        if (l.contains(QStringLiteral("ERROR:")))
            errors << l;
    }
    EXPECT_EQ(errors, QStringList{QStringLiteral("gbak: ERROR:cannot open backup file /nonexistent-folder/x.fbk")})
        << failing.join(u'\n').toStdString();
    EXPECT_EQ(failing.last(), QStringLiteral("gbak:Exiting before completion due to errors"));
    EXPECT_FALSE(c->ActionError().isEmpty());
    EXPECT_TRUE(c->Eof());
    // The failure ended only that action: the client goes on.
    EXPECT_TRUE(c->ServerVersion().startsWith(QStringLiteral("LI-V3")));

    // Verbose off: the same backup, no progress lines.
    const QString quiet = backup + QStringLiteral(".quiet");
    c->StartBackup(Database(true), quiet, options, false);
    EXPECT_TRUE(c->ReadAllLines().isEmpty());
    EXPECT_GT(QFileInfo(quiet).size(), 0);

    // Other actions raise the server's error.
    const Db::EDatabaseError e = ExpectDbError([&] {
        c->StartStatistics(QStringLiteral("/nonexistent-folder/x.fdb"), isc_spb_sts_hdr_pages);
        c->ReadAllLines();
    });
    EXPECT_TRUE(e.Message().contains(QStringLiteral("/nonexistent-folder/x.fdb"))) << e.Message().toStdString();
}

TEST(ServiceParameterBlock, EncodingOfItems)
{
    const QByteArray spb = Db::TSpb()
                               .Action(isc_action_svc_backup)
                               .String(isc_spb_dbname, QByteArrayLiteral("ab"))
                               .Int(isc_spb_options, 0x01020304)
                               .Byte(isc_spb_prp_write_mode, isc_spb_prp_wm_sync)
                               .Flag(isc_spb_verbose)
                               .Bytes();
    const char expected[] = {isc_action_svc_backup, isc_spb_dbname, 2, 0, 'a', 'b', isc_spb_options, 4, 3, 2, 1,
                             isc_spb_prp_write_mode, isc_spb_prp_wm_sync, isc_spb_verbose};
    EXPECT_EQ(spb, QByteArray(expected, sizeof expected));
}

} // namespace
