// The private Firebird server that tests/firebird/fbserver.sh starts for a test run.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>

class FirebirdTestServer {
public:
    // Whether env.sh of a running server was sourced (DREMLIX_FB_ROOT and _PORT set).
    static bool Available();
    // For SetUp: GTEST_SKIP-able message when the server is missing, else empty.
    static QString MissingReason();

    static QString Root();       // DREMLIX_FB_ROOT
    static int Port();           // DREMLIX_FB_PORT
    static QString DataFolder(); // DREMLIX_FB_DATA, reached by the aliases

    // A path in the data folder that no file has yet: <data>/<stem>-<pid>-<n>.fdb.
    static QString FreshDatabasePath(const QString &stem = QStringLiteral("test"));
    // Adds "alias = hostPath" to the server's databases.conf (the server re-reads it
    // at every attach), e.g. AddAlias("D:\\Data\\Base.fdb", FreshDatabasePath()); an
    // alias already there gets the new path (a duplicate would break every attach).
    // Another server's root names that server's alias file.
    static void AddAlias(const QString &alias, const QString &hostPath, const QString &root = Root());
    // "127.0.0.1/<port>:<alias or path>" for TCP/IP, and the path itself for the
    // embedded engine.
    static QString TcpConnectionString(const QString &aliasOrPath);
    static QString LocalConnectionString(const QString &hostPath) { return hostPath; }

    // The answer of GetFreeDiskSpace in ov_udf.dll: a number written to
    // <root>/udf-free-space[-<drive>]; std::nullopt removes the file again.
    static void SetFreeDiskSpace(
        std::optional<int64_t> bytes, QChar drive = QChar(), const QString &root = Root());
};
