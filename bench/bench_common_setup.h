// What the connection-module benchmarks stand on: the private test server (source its
// env.sh first), a prefix with a 2.5 client library file, and product databases made
// the way the products make them. Run by hand; figures go to standard output.
#pragma once

#include "Common/Interbase/AcceptedVersions.h"
#include "Common/Interbase/dmDBConnectionUnit.h"
#include "dbaccess/DbAccess.h"
#include "schema/IBManagers.h"
#include "support/FirebirdTestServer.h"
#include "support/PeWriter.h"
#include "support/TempPrefix.h"

#include <QFileInfo>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace BenchCommon {

inline void Require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "bench: %s\n", what);
        std::exit(2);
    }
}

// A prefix whose drive Y: is a folder of the server's data area.
struct Environment {
    TempPrefix Prefix { TempPrefix::Options { TempPrefix::Arch::Win32 } };
    QString DataFolder;

    Environment()
    {
        Require(FirebirdTestServer::Available(), "no test server: source <root>/env.sh of fbserver.sh first");
        DataFolder = QFileInfo(FirebirdTestServer::FreshDatabasePath(QStringLiteral("bench"))).absolutePath();
        Prefix.AddDrive(QLatin1Char('Y'), DataFolder);
        WritePe(Prefix.HostPath(QStringLiteral("C:\\windows\\system32\\gds32.dll")), 2, 5, 9, 27139,
            QStringLiteral("WI-V2.5.9.27139"));
        FirebirdTestServer::SetFreeDiskSpace(10000000000LL, QLatin1Char('Y'));
    }

    static QString ServerVersion()
    {
        Db::TServicesClient client;
        client.SetProtocol(Db::TProtocol::TCP);
        client.SetServerName(QStringLiteral("127.0.0.1/%1").arg(FirebirdTestServer::Port()));
        client.SetLogin(QStringLiteral("DREMLIX"), QStringLiteral("47219630"));
        client.Attach();
        QString version = client.ServerVersion();
        client.Detach();
        return version;
    }

    // The released pairs plus the Debian server for a 2.5 client; every check stays on.
    static TAcceptedVersionTable Versions()
    {
        TAcceptedVersionTable table = DefaultAcceptedVersions();
        table.append({ TVersionPattern::StartingWith(QStringLiteral("WI-V2.5")),
            TVersionPattern::Exact(ServerVersion()), Firebird25 });
        return table;
    }

    // A product database with its bootstrap objects and PRT_Params; returns the file name
    // and makes it reachable as 127.0.0.1/<port>:Y:\<file>.
    QString CreateDatabase(const QString &stem) const
    {
        const QString host = FirebirdTestServer::FreshDatabasePath(stem);
        QString file = QFileInfo(host).fileName();
        Db::TDatabase db;
        Db::TTransaction transaction(&db);
        TDatabaseManager manager;
        manager.SetDatabase(&db);
        manager.SetTransaction(&transaction);
        manager.SetConnectionString(host);
        manager.SetDBIdentifier(QStringLiteral("ORVANTA"));
        manager.SetDBVersionProperty(27);
        manager.CreateDatabase();
        transaction.Start();
        transaction.SetTag(1);
        manager.RegisterUDF();
        manager.RegisterStoredProcs();
        transaction.SetTag(0);
        transaction.Commit();
        Db::TStatement statement(&db, &transaction);
        transaction.Start();
        for (const char *sql : { "GRANT EXECUTE ON FUNCTION GetFreeDiskSpace TO PUBLIC",
                 "CREATE TABLE PRT_Params (pname VARCHAR(60) NOT NULL, d_text VARCHAR(90), f_text "
                 "VARCHAR(90), "
                 "i_text VARCHAR(90), compat VARCHAR(30), print_params BLOB SUB_TYPE 1 SEGMENT SIZE 80, "
                 "PRIMARY KEY (pname))" }) {
            statement.SetSQL({ QString::fromUtf8(sql) });
            statement.Execute();
        }
        transaction.Commit();
        db.Close();
        FirebirdTestServer::AddAlias(QStringLiteral("Y:\\") + file, host);
        return file;
    }

    static QString TcpString(const QString &file)
    {
        return FirebirdTestServer::TcpConnectionString(QStringLiteral("Y:\\") + file);
    }

    std::unique_ptr<TdmDBConnection> Module(const QString &file) const
    {
        auto module = std::make_unique<TdmDBConnection>(nullptr, Versions());
        module->Init(
            27, QStringLiteral("ORVANTA"), QStringLiteral("Base de données"), QStringLiteral("Updater"));
        module->SetParams(TcpString(file), QString(), QString(), QString());
        return module;
    }
};

inline double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace BenchCommon
