#include "CommonDbFixture.h"

#include "Common/Interbase/dmDBConnectionUnit.h"
#include "support/FirebirdTestServer.h"
#include "support/PeWriter.h"
#include "dbaccess/DbAccess.h"
#include "oslayer/Environment.h"
#include "oslayer/Paths.h"
#include "schema/IBManagers.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <unistd.h>

namespace {

std::unique_ptr<Db::TDatabase> AttachAsMaker(const QString &name)
{
    auto db = std::make_unique<Db::TDatabase>();
    db->SetDatabaseName(name);
    db->SetParams({ QStringLiteral("user_name=DREMLIX"), QStringLiteral("password=47219630"),
        QStringLiteral("lc_ctype=ISO8859_1") });
    db->Open();
    return db;
}

QString UniqueName()
{
    static QAtomicInt counter;
    return QStringLiteral("c%1_%2")
        .arg(QCoreApplication::applicationPid())
        .arg(counter.fetchAndAddRelaxed(1));
}

} // namespace

void CommonDbTest::SetUp()
{
    if (!FirebirdTestServer::Available())
        GTEST_SKIP() << FirebirdTestServer::MissingReason().toStdString();
    FServerAvailable = true;
    FDrive = DriveLetter();
    WritePrefix();
    WriteClientLibrary(TestClientVersion);
    if (FDrive == QStringLiteral("Y"))
        FirebirdTestServer::SetFreeDiskSpace(10000000000LL, QLatin1Char('Y'));
    Database = CreateDatabase();
}

void CommonDbTest::TearDown()
{
    Os::Environment::SetPrefixRoot(QString());
    FPrefix.reset();
}

void CommonDbTest::WritePrefix()
{
    FPrefix = std::make_unique<TempPrefix>(TempPrefix::Options {
        .Architecture = TempPrefix::Arch::Win32, .User = QStringLiteral("tester"), .HostRootDrive = false });

    // Drive Y: is a folder of the server's data area, so that one file is both a local
    // path of the prefix and the target of a server alias.
    FDataFolder = FirebirdTestServer::DataFolder() + QLatin1Char('/') + UniqueName();
    QDir().mkpath(FDataFolder);
    FPrefix->AddDrive(FDrive.at(0), FDataFolder);
}

void CommonDbTest::WriteClientLibrary(const QString &fileVersion)
{
    const QString path = FPrefix->Root() + QStringLiteral("/drive_c/windows/system32/gds32.dll");
    QFile::remove(path);
    if (fileVersion.isEmpty())
        return;
    WritePe(path, 2, 5, 9, 27139, fileVersion);
}

QString CommonDbTest::ServerVersion()
{
    static const QString version = [] {
        Db::TServicesClient client;
        client.SetProtocol(Db::TProtocol::TCP);
        client.SetServerName(QStringLiteral("127.0.0.1/%1").arg(FirebirdTestServer::Port()));
        client.SetLogin(QStringLiteral("DREMLIX"), QStringLiteral("47219630"));
        client.Attach();
        QString v = client.ServerVersion();
        client.Detach();
        return v;
    }();
    return version;
}

TAcceptedVersionTable CommonDbTest::TableWithTestServer()
{
    TAcceptedVersionTable table = DefaultAcceptedVersions();
    table.append({ TVersionPattern::StartingWith(QStringLiteral("WI-V2.5")),
        TVersionPattern::Exact(ServerVersion()), Firebird25 });
    return table;
}

QString CommonDbTest::CreateDatabase(const QString &identifier, int version, bool withPrintTables)
{
    QString file = UniqueName() + QStringLiteral(".fdb");
    Db::TDatabase db;
    Db::TTransaction transaction(&db);
    TDatabaseManager manager;
    manager.SetName(QStringLiteral("FixtureManager"));
    manager.SetDatabase(&db);
    manager.SetTransaction(&transaction);
    manager.SetConnectionString(HostPathOf(file));
    manager.SetDBIdentifier(identifier);
    manager.SetDBVersionProperty(version);
    manager.CreateDatabase();
    // One outer level around both, as the connection module's creation runs them.
    transaction.Start();
    transaction.SetTag(1);
    manager.RegisterUDF();
    manager.RegisterStoredProcs();
    transaction.SetTag(0);
    transaction.Commit();
    {
        // The released servers let every account call the declared functions; the
        // Debian 3.0 server wants a grant for it.
        Db::TStatement grant(&db, &transaction);
        transaction.Start();
        grant.SetSQL({ QStringLiteral("GRANT EXECUTE ON FUNCTION GetFreeDiskSpace TO PUBLIC") });
        grant.Execute();
        transaction.Commit();
    }
    if (withPrintTables) {
        Db::TStatement statement(&db, &transaction);
        transaction.Start();
        for (const char *sql :
            { "CREATE TABLE PRT_Params (pname VARCHAR(60) NOT NULL, d_text VARCHAR(90), f_text VARCHAR(90), "
              "i_text VARCHAR(90), compat VARCHAR(30), print_params BLOB SUB_TYPE 1 SEGMENT SIZE 80, "
              "PRIMARY KEY (pname))",
                "CREATE TABLE PRT_Images (image_name VARCHAR(30) NOT NULL, image_data BLOB SUB_TYPE 0 "
                "SEGMENT SIZE "
                "1024, PRIMARY KEY (image_name))" }) {
            statement.SetSQL({ QString::fromUtf8(sql) });
            statement.Execute();
        }
        transaction.Commit();
    }
    db.Close();
    AddAlias(FDrive + QStringLiteral(":\\") + file, HostPathOf(file));
    return file;
}

void CommonDbTest::AddAlias(const QString &alias, const QString &hostPath)
{
    FirebirdTestServer::AddAlias(alias, hostPath);
}

QString CommonDbTest::HostPathOf(const QString &file) const { return FDataFolder + QLatin1Char('/') + file; }

QString CommonDbTest::LocalString(const QString &file) const { return FDrive + QStringLiteral(":\\") + file; }

QString CommonDbTest::TcpString(const QString &file) const
{
    return FirebirdTestServer::TcpConnectionString(LocalString(file));
}

QString CommonDbTest::TcpDefaultPortString(const QString &file) const
{
    return QStringLiteral("127.0.0.1:") + LocalString(file);
}

QString CommonDbTest::TcpAliasString(const QString &file)
{
    const QString alias = QStringLiteral("alias_") + QString(file).remove(QStringLiteral(".fdb"));
    AddAlias(alias, HostPathOf(file));
    return FirebirdTestServer::TcpConnectionString(alias);
}

void CommonDbTest::SetFreeSpace(qint64 bytes)
{
    // Drive Y: is shared by every test process: its answer stays large.
    ASSERT_NE(FDrive, QStringLiteral("Y")) << "free-space tests take a drive letter of their own";
    FirebirdTestServer::SetFreeDiskSpace(bytes, FDrive.at(0));
}

std::unique_ptr<TdmDBConnection> CommonDbTest::MakeModule(const TAcceptedVersionTable &table)
{
    auto module = std::make_unique<TdmDBConnection>(nullptr, table);
    module->Init(TestDBVersion, TestIdentifier, QStringLiteral("Base de données"), QStringLiteral("Updater"));
    // A failing registration retries after random pauses of up to two seconds; the
    // tests only need to know that it retries.
    module->DatabaseManager()->SetRetryPause([](int) {});
    return module;
}

QList<QVariantList> CommonDbTest::Observe(const QString &file, const QString &sql)
{
    auto db = AttachAsMaker(TcpString(file));
    Db::TTransaction transaction(db.get());
    transaction.SetParams({ QStringLiteral("read"), QStringLiteral("read_committed"),
        QStringLiteral("rec_version"), QStringLiteral("nowait") });
    transaction.Start();
    Db::TQuery query(db.get(), &transaction);
    query.SetSQL({ sql });
    query.Open();
    QList<QVariantList> rows;
    while (query.HasCurrentRow()) {
        QVariantList row;
        for (int i = 0; i < query.FieldCount(); ++i)
            row << query.AsVariant(i);
        rows << row;
        query.Next();
    }
    query.Close();
    transaction.Commit();
    return rows;
}

int CommonDbTest::CountRows(const QString &file, const QString &table, const QString &where)
{
    const QList<QVariantList> rows = Observe(file,
        QStringLiteral("SELECT COUNT(*) FROM ") + table
            + (where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + where));
    return rows.isEmpty() ? -1 : rows.first().first().toInt();
}

void CommonDbTest::ExecOn(const QString &file, const QStringList &statements)
{
    auto db = AttachAsMaker(TcpString(file));
    Db::TTransaction transaction(db.get());
    transaction.Start();
    Db::TStatement statement(db.get(), &transaction);
    for (const QString &sql : statements) {
        statement.SetSQL({ sql });
        statement.Execute();
    }
    transaction.Commit();
}
