// The schema test program. Started with "--register-worker", it is instead one of the
// workstations of the concurrent-registration test: for the seconds it is given it
// registers a new name of its own, refreshes its first one and the name all workstations
// share, then prints how many names it registered and ends.
#include "schema/IBManagers.h"

#include "dbaccess/Database.h"
#include "dbaccess/Transaction.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>

namespace {

int RunRegisterWorker(int argc, char **argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: --register-worker CONNECTION PREFIX SECONDS\n");
        return 2;
    }
    const QString connection = QString::fromLocal8Bit(argv[2]);
    const QString prefix = QString::fromLocal8Bit(argv[3]);
    const int seconds = QString::fromLocal8Bit(argv[4]).toInt();
    try {
        Db::TDatabase database;
        Db::TTransaction transaction(&database);
        TDatabaseManager manager;
        manager.SetName(QStringLiteral("DatabaseManager"));
        manager.SetDatabase(&database);
        manager.SetTransaction(&transaction);
        manager.SetConnectionString(connection);
        manager.SetUserName(QStringLiteral("DREMLIX"));
        manager.SetPassword(QStringLiteral("47219630"));
        manager.Connect();
        // The real pauses: workstations that collide must not retry in step.
        QElapsedTimer clock;
        clock.start();
        int count = 0;
        while (clock.elapsed() < qint64(seconds) * 1000) {
            manager.RegisterUser(prefix + QStringLiteral("_%1").arg(count++));
            manager.RegisterUser(prefix + QStringLiteral("_0"));
            manager.RegisterUser(QStringLiteral("shared workstation"));
        }
        database.Close();
        std::printf("%d\n", count);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "worker: %s\n", e.what());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--register-worker") == 0)
        return RunRegisterWorker(argc, argv);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
