// Attach and detach times of the access layer: median, 10th and 90th percentile in ms.
// Run with the test server's env.sh sourced: bench_db_attach [count]
#include "dbaccess/DbAccess.h"
#include "support/FirebirdTestServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (!FirebirdTestServer::Available()) {
        std::fprintf(stderr, "%s\n", qPrintable(FirebirdTestServer::MissingReason()));
        return 2;
    }
    const int count = argc > 1 ? std::atoi(argv[1]) : 50;
    const QString path = FirebirdTestServer::FreshDatabasePath(QStringLiteral("bench-attach"));
    {
        Db::TDatabase db;
        db.CreateDatabase(path, {QStringLiteral("USER 'DREMLIX'"), QStringLiteral("PASSWORD '47219630'"),
                                 QStringLiteral("PAGE_SIZE 4096"), QStringLiteral("DEFAULT CHARACTER SET ISO8859_1")});
        db.Close();
    }
    const QString alias = QStringLiteral("D:\\Bench\\attach.fdb");
    FirebirdTestServer::AddAlias(alias, path);
    struct Route {
        const char *Name;
        QString Connection;
    };
    for (const Route &route : {Route{"TCP/IP alias", FirebirdTestServer::TcpConnectionString(alias)},
                               Route{"embedded", path}}) {
        std::vector<double> ms;
        for (int i = 0; i < count; ++i) {
            Db::TDatabase db;
            db.SetDatabaseName(route.Connection);
            db.SetParams({QStringLiteral("user_name=DREMLIX"), QStringLiteral("password=47219630"),
                          QStringLiteral("lc_ctype=ISO8859_1")});
            QElapsedTimer t;
            t.start();
            db.Open();
            // One round trip of real work, as every connect does.
            Db::TTransaction tr(&db);
            tr.Start();
            Db::TQuery q(&db, &tr);
            q.SetSQLText(QStringLiteral("SELECT CURRENT_TIMESTAMP FROM rdb$database"));
            q.Open();
            q.Close();
            tr.Commit();
            db.Close();
            ms.push_back(t.nsecsElapsed() / 1e6);
        }
        std::sort(ms.begin(), ms.end());
        std::printf("%-13s attach + one query + detach, %d runs: median %.1f ms, p10 %.1f ms, p90 %.1f ms\n",
                    route.Name, count, ms[ms.size() / 2], ms[ms.size() / 10], ms[ms.size() * 9 / 10]);
    }
    return 0;
}
