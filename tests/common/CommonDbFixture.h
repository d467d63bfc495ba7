// What the database tests of the connection module stand on: a prefix with the client
// library's version file, a fresh product database on the private test server reached
// both through the embedded engine (a local path on drive of the prefix) and through TCP/IP (a
// Windows-style alias of the server), and a second attachment to look at what is
// committed.
#pragma once

#include "Common/Interbase/AcceptedVersions.h"
#include "support/ScriptedUiServices.h"
#include "support/TempPrefix.h"

#include <QString>
#include <QStringList>
#include <QVariant>
#include <gtest/gtest.h>
#include <memory>

class TdmDBConnection;

namespace Db {
class TDatabase;
class TTransaction;
class TQuery;
} // namespace Db

// The version text of the client library file placed in the prefix.
inline const QString TestClientVersion = QStringLiteral("WI-V2.5.9.27139");
inline const QString TestIdentifier = QStringLiteral("ORVANTA");
constexpr int TestDBVersion = 27;

class CommonDbTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The server's own version text, read once through the services API.
    static QString ServerVersion();
    // The released table plus one row for the test server's version, for a 2.5 client:
    // the checks stay on, the Debian server is simply one more accepted server.
    static TAcceptedVersionTable TableWithTestServer();

    // Replaces (or removes, with an empty text) the prefix's gds32.dll.
    void WriteClientLibrary(const QString &fileVersion);
    // A new product database (bootstrap objects, UDF declarations, PRT_Params) under
    // the server's data folder; returns its file name (no folder).
    QString CreateDatabase(
        const QString &identifier = TestIdentifier, int version = TestDBVersion, bool withPrintTables = true);
    // "Y:\<file>" through the embedded engine, "127.0.0.1/<port>:Y:\<file>" through the
    // server, "127.0.0.1:Y:\<file>" on the default port of the test root.
    QString LocalString(const QString &file) const;
    QString TcpString(const QString &file) const;
    QString TcpDefaultPortString(const QString &file) const;
    // An alias without a drive ("127.0.0.1/<port>:<alias>").
    QString TcpAliasString(const QString &file);
    QString HostPathOf(const QString &file) const;

    // The drive of the fixture's databases. The server's free-space answer is set per
    // drive letter and every test process shares it: Y: always answers 10 GB, and a test
    // that sets another answer takes a letter no other test uses.
    virtual QString DriveLetter() const { return QStringLiteral("Y"); }
    void SetFreeSpace(qint64 bytes);

    // A connection module with the extended table, expecting the test database.
    std::unique_ptr<TdmDBConnection> MakeModule(const TAcceptedVersionTable &table = TableWithTestServer());

    // Rows of a query on a second attachment of its own (committed data only).
    QList<QVariantList> Observe(const QString &file, const QString &sql);
    int CountRows(const QString &file, const QString &table, const QString &where = QString());
    void ExecOn(const QString &file, const QStringList &statements);

    ScriptedUiServices Ui;
    QString Database; // file name of the fixture's database
    bool FServerAvailable = false;

private:
    void WritePrefix();
    void AddAlias(const QString &alias, const QString &hostPath);

    std::unique_ptr<TempPrefix> FPrefix;
    QString FDataFolder; // the drive's folder
    QString FDrive;
};
