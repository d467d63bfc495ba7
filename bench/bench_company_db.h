// The company databases of the print-list benchmarks, on the test server of
// tests/firebird/fbserver.sh (its environment names the port and the root).
#pragma once

#include "dbaccess/DbAccess.h"
#include "schema/IBManagers.h"

#include <QFile>
#include <QString>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace BenchCompanyDb {

inline QString Env(const char *name) { return qEnvironmentVariable(name); }

inline QString ServerVersion()
{
    Db::TServicesClient client;
    client.SetProtocol(Db::TProtocol::TCP);
    client.SetServerName(QStringLiteral("127.0.0.1/") + Env("DREMLIX_FB_PORT"));
    client.SetLogin(QStringLiteral("DREMLIX"), QStringLiteral("47219630"));
    client.Attach();
    QString version = client.ServerVersion();
    client.Detach();
    return version;
}

inline void CreateCompanyDatabase(const QString &host)
{
    Db::TDatabase db;
    Db::TTransaction transaction(&db);
    TDatabaseManager manager;
    manager.SetName(QStringLiteral("BenchManager"));
    manager.SetDatabase(&db);
    manager.SetTransaction(&transaction);
    manager.SetConnectionString(host);
    manager.SetDBIdentifier(QStringLiteral("ORV_PRO"));
    manager.SetDBVersionProperty(2);
    manager.CreateDatabase();
    manager.RegisterUDF();
    manager.RegisterStoredProcs();
    Db::TStatement statement(&db, &transaction);
    transaction.Start();
    statement.SetSQL(
        { QStringLiteral("CREATE TABLE PRT_Params (pname VARCHAR(60) NOT NULL, d_text VARCHAR(90), "
                         "f_text VARCHAR(90), i_text VARCHAR(90), compat VARCHAR(30), print_params BLOB "
                         "SUB_TYPE 1 SEGMENT SIZE 80, PRIMARY KEY (pname))") });
    statement.Execute();
    transaction.Commit();
    db.Close();
}

inline void AppendAlias(const QString &line)
{
    const QByteArray data = line.toUtf8() + '\n';
    const int fd
        = ::open(QFile::encodeName(Env("DREMLIX_FB_ROOT") + QStringLiteral("/databases.conf")).constData(),
            O_WRONLY | O_APPEND);
    if (fd < 0 || ::write(fd, data.constData(), size_t(data.size())) != data.size())
        std::fprintf(stderr, "cannot add an alias\n");
    ::close(fd);
}

} // namespace BenchCompanyDb
