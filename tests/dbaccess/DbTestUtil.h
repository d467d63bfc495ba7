// Databases of the test server for the access-layer tests.
#pragma once

#include "dbaccess/DbAccess.h"
#include "support/FirebirdTestServer.h"

#include <gtest/gtest.h>
#include <functional>
#include <ostream>
#include <memory>

namespace DbTest {

// The maker's account, which owns every database the tests create.
inline const QString kUser = QStringLiteral("DREMLIX");
inline const QString kPassword = QStringLiteral("47219630");

QStringList Login(const QString &charset = QStringLiteral("ISO8859_1"), const QString &user = kUser,
                  const QString &password = kPassword);

// A new database in the data folder, created through the embedded engine with the
// maker's account and ISO8859_1, detached again; optional DDL runs first.
QString CreateDatabaseFile(const QStringList &ddl = {});

// A port on 127.0.0.1 where nothing listens.
int DeadPort();

// Runs the SQL in its own attachment and transaction (a second workstation).
void ExecuteElsewhere(const QString &connection, const QString &sql);
// The first column of the first row in its own attachment, as text ("" when no row).
QString QueryElsewhere(const QString &connection, const QString &sql);

// Runs `body` and returns the database error it raised (fails the test when none).
Db::EDatabaseError ExpectDbError(const std::function<void()> &body);

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!FirebirdTestServer::Available())
            GTEST_SKIP() << FirebirdTestServer::MissingReason().toStdString();
    }
};

} // namespace DbTest
