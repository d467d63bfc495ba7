// What the server tests of the schema components stand on: the private Firebird test
// server that scripts/test starts (its env.sh exports DREMLIX_FB_PORT and
// DREMLIX_FB_DATA), new databases in its data folder, a manager bound to an attachment
// and a transaction of its own, and a second attachment to see what is committed.
#pragma once

#include "schema/IBManagers.h"

#include "dbaccess/Database.h"
#include "dbaccess/Statement.h"
#include "dbaccess/Transaction.h"

#include <QString>
#include <QStringList>
#include <QVariant>
#include <gtest/gtest.h>
#include <memory>

namespace SchemaDb {

inline const QString DremlixUser = QStringLiteral("DREMLIX");
inline const QString DremlixPassword = QStringLiteral("47219630");

// Empty when the test server's environment is missing.
QString ServerPort();
// A host path for a new database file in the server's data folder (nothing is created).
QString NewDatabaseFile(const QString &stem);
// "127.0.0.1/<port>:<host path>".
QString TcpString(const QString &hostPath);
// The reason the server cannot be used, or empty.
QString ServerProblem();

// A database attachment, the caller's transaction (the connection module's settings)
// and a manager bound to both, named as the connection module names its own.
struct TBench {
    TBench();
    ~TBench();
    // Connects through the manager with the maker's account.
    void Connect(const QString &connectionString, const QString &role = QString());

    Db::TDatabase Database;
    Db::TTransaction Transaction;
    std::unique_ptr<TDatabaseManager> Manager;
};

// Creates a product database at hostPath with the manager's own operations, declares
// its functions and procedures, and leaves the bench attached to it.
void CreateProductDatabase(TBench &bench, const QString &hostPath, const QString &identifier, int version);

// A second attachment of its own: what other workstations see (committed data only).
QList<QVariantList> Observe(const QString &connectionString, const QString &sql);
int CountRows(const QString &connectionString, const QString &sql);
void Exec(const QString &connectionString, const QStringList &statements);

// The text of an error raised by work, or "no error".
std::string ErrorOf(const std::function<void()> &work);

} // namespace SchemaDb

// Fails the test at once, with the reason, when the test server is not reachable.
#define REQUIRE_TEST_SERVER()                                                                                \
    do {                                                                                                     \
        const QString problem = SchemaDb::ServerProblem();                                                   \
        if (!problem.isEmpty())                                                                              \
            FAIL() << problem.toStdString();                                                                 \
    } while (false)
