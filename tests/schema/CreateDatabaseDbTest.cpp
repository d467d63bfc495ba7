// A new product database made by the manager on the test server: its identity, its
// bootstrap objects, its function declarations, and what a second run refuses.
#include "SchemaDb.h"

#include "oslayer/Exceptions.h"

#include <QDateTime>
#include <QFile>
#include <gtest/gtest.h>

using namespace SchemaDb;

namespace {

class DbCreateDatabaseTest : public ::testing::Test {
protected:
    void SetUp() override { REQUIRE_TEST_SERVER(); }

    QStringList Column(const QString &connection, const QString &sql)
    {
        QStringList values;
        for (const QVariantList &row : Observe(connection, sql))
            values.append(row.value(0).toString().trimmed());
        return values;
    }
};

TEST_F(DbCreateDatabaseTest, ANewDatabaseCarriesItsIdentityAndItsBootstrapObjects)
{
    const QString file = NewDatabaseFile(QStringLiteral("create"));
    const QString connection = TcpString(file);
    TBench bench;
    CreateProductDatabase(bench, file, QStringLiteral("ORV_PRO"), 2);
    EXPECT_TRUE(bench.Database.Connected());
    EXPECT_EQ(bench.Transaction.Tag(), 0);

    QString dbi;
    int32_t dbv = 0;
    bench.Manager->GetDBVersion(dbi, dbv);
    EXPECT_EQ(dbi, QStringLiteral("ORV_PRO"));
    EXPECT_EQ(dbv, 2);

    const QList<QVariantList> control
        = Observe(connection, QStringLiteral("SELECT id, sval FROM ConnectionControl ORDER BY id"));
    ASSERT_EQ(control.size(), 4);
    EXPECT_EQ(control.at(0), (QVariantList { 0, QVariant() }));
    EXPECT_EQ(control.at(1), (QVariantList { 1, QVariant() }));
    EXPECT_EQ(control.at(2), (QVariantList { 2, QStringLiteral("ORV_PRO") }));
    EXPECT_EQ(control.at(3), (QVariantList { 3, QStringLiteral("2") }));

    const QList<QVariantList> now = Observe(connection, QStringLiteral("SELECT STIME FROM GET_SERVER_TIME"));
    ASSERT_EQ(now.size(), 1);
    EXPECT_LT(qAbs(now.at(0).at(0).toDateTime().secsTo(QDateTime::currentDateTime())), 120);

    EXPECT_EQ(Column(connection, QStringLiteral("SELECT RDB$CHARACTER_SET_NAME FROM RDB$DATABASE")),
        QStringList { QStringLiteral("ISO8859_1") });
    EXPECT_EQ(Column(connection, QStringLiteral("SELECT MON$PAGE_SIZE FROM MON$DATABASE")),
        QStringList { QStringLiteral("4096") });
    EXPECT_EQ(Column(connection,
                  QStringLiteral("SELECT RDB$DEFAULT_COLLATE_NAME FROM RDB$CHARACTER_SETS "
                                 "WHERE RDB$CHARACTER_SET_NAME = 'ISO8859_1'")),
        QStringList { QStringLiteral("FR_FR") });
    EXPECT_EQ(Column(connection,
                  QStringLiteral("SELECT RDB$ROLE_NAME FROM RDB$ROLES WHERE RDB$ROLE_NAME "
                                 "STARTING WITH 'ROLE_' ORDER BY 1")),
        (QStringList { QStringLiteral("ROLE_READER"), QStringLiteral("ROLE_READER_WRITER") }));
    EXPECT_EQ(Column(connection,
                  QStringLiteral("SELECT RDB$VALIDATION_SOURCE FROM RDB$FIELDS WHERE "
                                 "RDB$FIELD_NAME = 'BOOLEAN'")),
        QStringList { QStringLiteral("CHECK (VALUE IN ('T', 'F'))") });
    EXPECT_EQ(Column(connection, QStringLiteral("SELECT RDB$PROCEDURE_NAME FROM RDB$PROCEDURES ORDER BY 1")),
        (QStringList { QStringLiteral("GETLOG"), QStringLiteral("GET_SERVER_TIME") }));

    // Sixteen functions: the three bin_ ones from the standard module, the rest from the maker's.
    const QList<QVariantList> functions = Observe(connection,
        QStringLiteral("SELECT TRIM(RDB$MODULE_NAME), COUNT(*) FROM RDB$FUNCTIONS GROUP BY 1 ORDER BY 1"));
    EXPECT_EQ(functions,
        (QList<QVariantList> { { QStringLiteral("ib_udf.dll"), 3 }, { QStringLiteral("ov_udf.dll"), 13 } }));
    // The declarations reach the project's module on the server.
    const QList<QVariantList> version
        = Observe(connection, QStringLiteral("SELECT GetDLLVersion() FROM RDB$DATABASE"));
    ASSERT_EQ(version.size(), 1);
    EXPECT_GT(version.at(0).at(0).toInt(), 0);

    // The log procedure reads the server's log through the maker's function.
    QStringList log { QStringLiteral("left over") };
    EXPECT_EQ(ErrorOf([&] { bench.Manager->GetLogData(log); }), "no error");
    EXPECT_FALSE(log.contains(QStringLiteral("left over")));
    for (const QString &line : log)
        EXPECT_FALSE(line.contains(QLatin1Char('\r')) || line.contains(QLatin1Char('\n')));

    // The register works on it at once.
    bench.Manager->RegisterUser(QStringLiteral("first workstation"));
    EXPECT_EQ(Column(connection, QStringLiteral("SELECT username FROM Users")),
        QStringList { QStringLiteral("first workstation") });
}

class DbCreateDatabaseIdentifierTest : public DbCreateDatabaseTest,
                                       public ::testing::WithParamInterface<const char *> { };

TEST_P(DbCreateDatabaseIdentifierTest, TheIdentifierIsStoredAsGiven)
{
    const QString identifier = QString::fromUtf8(GetParam());
    const QString file = NewDatabaseFile(QStringLiteral("ident"));
    TBench bench;
    CreateProductDatabase(bench, file, identifier, 1);
    QString dbi;
    int32_t dbv = 0;
    bench.Manager->GetDBVersion(dbi, dbv);
    EXPECT_EQ(dbi, identifier);
    EXPECT_EQ(dbv, 1);
}

INSTANTIATE_TEST_SUITE_P(Db, DbCreateDatabaseIdentifierTest,
    ::testing::Values("Rossi's ORV", "'", "''; DELETE FROM ConnectionControl; --"));

TEST_F(DbCreateDatabaseTest, RegisteringTwiceFailsAndRollsBack)
{
    const QString file = NewDatabaseFile(QStringLiteral("twice"));
    TBench bench;
    CreateProductDatabase(bench, file, QStringLiteral("XTQ"), 1);

    try {
        bench.Manager->RegisterUDF();
        FAIL() << "declared twice";
    } catch (const Db::EDatabaseError &e) {
        EXPECT_NE(e.FirebirdCode(), 0);
    }
    EXPECT_EQ(bench.Transaction.Tag(), 0);
    EXPECT_FALSE(bench.Transaction.Active());

    EXPECT_NE(ErrorOf([&] { bench.Manager->RegisterStoredProcs(); }), "no error");
    EXPECT_FALSE(bench.Transaction.Active());
    // Parameter parsing of the shared statement is back on after the failure.
    TTableManager table;
    table.SetDatabaseManager(bench.Manager.get());
    table.SetTableName(QStringLiteral("ConnectionControl"));
    table.ExecuteSQL(
        QStringLiteral("UPDATE ConnectionControl SET sval = :p0 WHERE id = 1"), QStringLiteral("checked"));
    EXPECT_EQ(Observe(TcpString(file), QStringLiteral("SELECT sval FROM ConnectionControl WHERE id = 1")),
        (QList<QVariantList> { { QStringLiteral("checked") } }));

    // Creating over an existing database fails and leaves it as it was.
    bench.Database.Close();
    EXPECT_NE(ErrorOf([&] { bench.Manager->CreateDatabase(); }), "no error");
    EXPECT_FALSE(bench.Database.Connected());
    EXPECT_EQ(CountRows(TcpString(file), QStringLiteral("SELECT COUNT(*) FROM ConnectionControl")), 4);

    TDatabaseManager bare;
    EXPECT_EQ(ErrorOf([&] { bare.CreateDatabase(); }), "Nil Database");
}

TEST(CreateDatabaseText, TheIdentifierIsAQuotedLiteral)
{
    TDatabaseManager manager;
    manager.SetDBIdentifier(QStringLiteral("Rossi's"));
    manager.SetDBVersionProperty(12);
    const QStringList statements = manager.CreateDatabaseStatements();
    ASSERT_EQ(statements.size(), 16);
    EXPECT_EQ(
        statements.at(8), QStringLiteral("INSERT INTO ConnectionControl (id, sval) VALUES (2, 'Rossi''s')"));
    EXPECT_EQ(statements.at(9), QStringLiteral("INSERT INTO ConnectionControl (id, sval) VALUES (3, 12)"));
}

TEST(CreateDatabaseText, FunctionDeclarationsEndWithEntryPointAndModule)
{
    const QList<QStringList> declarations = TDatabaseManager::UDFDeclarations();
    ASSERT_EQ(declarations.size(), 16);
    EXPECT_EQ(declarations.at(3),
        (QStringList { QStringLiteral("DECLARE EXTERNAL FUNCTION CapitalizeFirst"),
            QStringLiteral("CSTRING(32767) CHARACTER SET ISO8859_1"),
            QStringLiteral("RETURNS CSTRING(32767) CHARACTER SET ISO8859_1 FREE_IT"),
            QStringLiteral("ENTRY_POINT 'CapitalizeFirst'"), QStringLiteral("MODULE_NAME 'ov_udf.dll'") }));
    EXPECT_EQ(declarations.at(8),
        (QStringList { QStringLiteral("DECLARE EXTERNAL FUNCTION bin_xor Integer, Integer"),
            QStringLiteral("RETURNS Integer BY VALUE"), QStringLiteral("ENTRY_POINT 'IB_UDF_bin_xor'"),
            QStringLiteral("MODULE_NAME 'ib_udf.dll'") }));
    EXPECT_EQ(declarations.at(11),
        (QStringList { QStringLiteral("DECLARE EXTERNAL FUNCTION GetLogData"), QStringLiteral("BLOB"),
            QStringLiteral("RETURNS PARAMETER 1"), QStringLiteral("ENTRY_POINT 'GetLogData'"),
            QStringLiteral("MODULE_NAME 'ov_udf.dll'") }));
}

} // namespace
