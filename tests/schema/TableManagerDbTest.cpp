// The table manager's statements executed for real: a table made from its field
// definitions, its rows, its key queries, its columns and their conversions.
#include "SchemaDb.h"

#include "oslayer/Exceptions.h"

#include <QCoreApplication>
#include <algorithm>
#include <vector>
#include <gtest/gtest.h>
#include <ostream>

using namespace SchemaDb;

namespace {

QString Sorted(QString text)
{
    std::sort(text.begin(), text.end());
    return text;
}

class DbTableManagerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!ServerProblem().isEmpty())
            return;
        File = new QString(NewDatabaseFile(QStringLiteral("tables")));
        TBench bench;
        CreateProductDatabase(bench, *File, QStringLiteral("ORV_PRO"), 2);
    }
    static void TearDownTestSuite()
    {
        delete File;
        File = nullptr;
    }

    void SetUp() override
    {
        REQUIRE_TEST_SERVER();
        ASSERT_TRUE(File);
        Connection = TcpString(*File);
        Bench.Connect(Connection);
        Table.SetDatabaseManager(Bench.Manager.get());
        // A table of its own for every test, so that tests never see each other's rows.
        Table.SetTableName(QStringLiteral("Orders_%1").arg(++Counter));
        Table.SetFieldDefs({ QStringLiteral("id INTEGER NOT NULL *"),
            QStringLiteral("code VARCHAR(10) NOT NULL *"), QStringLiteral("name VARCHAR(40)"),
            QStringLiteral("stamp TIMESTAMP #"), QStringLiteral("note VARCHAR(90)") });
    }

    QList<QVariantList> Rows(const QString &columns)
    {
        return Observe(Connection,
            QStringLiteral("SELECT ") + columns + QStringLiteral(" FROM ") + Table.TableName()
                + QStringLiteral(" ORDER BY 1, 2"));
    }

    static QString *File;
    static int Counter;
    QString Connection;
    TBench Bench;
    TTableManager Table;
};

QString *DbTableManagerTest::File = nullptr;
int DbTableManagerTest::Counter = 0;

TEST_F(DbTableManagerTest, CreateTableWithItsKeyAndItsGrants)
{
    TDatabaseManager &m = *Bench.Manager;
    EXPECT_FALSE(m.FindTable(Table.TableName()));
    Table.CreateTable();
    EXPECT_TRUE(m.FindTable(Table.TableName()));
    QStringList fields;
    m.GetFieldNames(Table.TableName(), fields);
    EXPECT_EQ(fields,
        (QStringList { QStringLiteral("ID"), QStringLiteral("CODE"), QStringLiteral("NAME"),
            QStringLiteral("STAMP"), QStringLiteral("NOTE") }));
    EXPECT_TRUE(Table.GetPrimaryIndexName().startsWith(QStringLiteral("INTEG_")));
    EXPECT_TRUE(Table.KeyName().startsWith(QStringLiteral("RDB$PRIMARY")));
    // The privileges are looked up by the names exactly as given: the catalogue's
    // upper-case spelling of the table.
    TTableManager upper;
    upper.SetDatabaseManager(&m);
    upper.SetTableName(Table.TableName().toUpper());
    EXPECT_EQ(Sorted(upper.GetUserPrivileges(QStringLiteral("ROLE_READER"))), QStringLiteral("RS"));
    EXPECT_EQ(Sorted(upper.GetUserPrivileges(QStringLiteral("ROLE_READER_WRITER"))), QStringLiteral("DIRSU"));

    Table.DenyAccess();
    EXPECT_EQ(upper.GetUserPrivileges(QStringLiteral("ROLE_READER")), QString());
    EXPECT_EQ(upper.GetUserPrivileges(QStringLiteral("ROLE_READER_WRITER")), QString());
    Table.AllowAccess();
    EXPECT_EQ(Sorted(upper.GetUserPrivileges(QStringLiteral("ROLE_READER"))), QStringLiteral("RS"));

    // Only when asked to fail does an existing table make an error, and the level is closed.
    Table.CreateTable(false);
    EXPECT_THROW(Table.CreateTable(true), Db::EDatabaseError);
    EXPECT_EQ(Bench.Transaction.Tag(), 0);
    EXPECT_FALSE(Bench.Transaction.Active());

    Table.DropTable();
    EXPECT_FALSE(m.FindTable(Table.TableName()));
}

TEST_F(DbTableManagerTest, RecordsAndKeyQueries)
{
    Table.CreateTable();
    // Fewer values than columns: the rest is null.
    Table.AppendRecord({ 1, QStringLiteral("A"), QStringLiteral("first") });
    Table.AppendRecord({ 2, QStringLiteral("A"), QStringLiteral("second"), QStringLiteral("n") });
    EXPECT_EQ(Table.RecordCount(), 2);
    EXPECT_EQ(Rows(QStringLiteral("id, code, name, note")),
        (QList<QVariantList> { { 1, QStringLiteral("A"), QStringLiteral("first"), QVariant() },
            { 2, QStringLiteral("A"), QStringLiteral("second"), QStringLiteral("n") } }));

    TDatabaseManager &m = *Bench.Manager;
    m.EnterTransaction();
    EXPECT_TRUE(Table.FindPK({ 1, QStringLiteral("A") }));
    EXPECT_FALSE(Table.FindPK({ 1, QStringLiteral("B") }));
    EXPECT_FALSE(Table.FindPK({ 3, QStringLiteral("Rossi's") }));
    EXPECT_EQ(ErrorOf([&] { Table.FindPK({ 1 }); }), "FindPK : count mismatch");

    // The row query by key, left open by its caller, is not handed out twice.
    TManagedQuery *row = Table.QueryFindPrimaryKey();
    row->SetParamInt(0, 2);
    row->SetParamString(1, QStringLiteral("A"));
    row->Open();
    EXPECT_EQ(row->AsString(row->FieldIndex(QStringLiteral("NAME"))), QStringLiteral("second"));
    EXPECT_EQ(ErrorOf([&] { Table.QueryFindPrimaryKey(); }), "Query FWK is active");
    row->Close();
    EXPECT_EQ(Table.QueryFindPrimaryKey(), row);
    m.LeaveTransaction();
    EXPECT_EQ(m.DatasetCount(), 2) << "the key queries are built once and kept";

    EXPECT_EQ(ErrorOf([&] { Table.DeleteRecord({ 1 }); }), "key mismatch");
    Table.DeleteRecord({ 1, QStringLiteral("A") });
    EXPECT_EQ(Table.RecordCount(), 1);
    Table.EmptyTable();
    EXPECT_EQ(Table.RecordCount(), 0);
}

TEST_F(DbTableManagerTest, TheKeyQueryServesOneAttachmentAfterAnother)
{
    Table.CreateTable();
    Table.AppendRecord({ 1, QStringLiteral("A") });
    TDatabaseManager &m = *Bench.Manager;
    for (int round = 0; round < 2; ++round) {
        m.EnterTransaction();
        EXPECT_TRUE(Table.FindPK({ 1, QStringLiteral("A") })) << "round " << round;
        m.LeaveTransaction();
        Bench.Database.Close();
        Bench.Connect(Connection);
    }
}

TEST_F(DbTableManagerTest, GeneratedInsertAndUpdateStatementsRun)
{
    Table.CreateTable();
    TDatabaseManager &m = *Bench.Manager;
    m.EnterTransaction();
    Db::TStatement *append = Table.SQLAppend();
    EXPECT_EQ(append->ParamNames(),
        (QStringList {
            QStringLiteral("id"), QStringLiteral("code"), QStringLiteral("name"), QStringLiteral("note") }));
    append->SetParamInt(0, 7);
    append->SetParamString(1, QStringLiteral("X"));
    append->SetParamString(2, QStringLiteral("Società"));
    append->SetParamString(3, QStringLiteral("to change"));
    append->Execute();

    Db::TStatement *update = Table.SQLUpdate();
    EXPECT_EQ(update->ParamNames(),
        (QStringList { QStringLiteral("name"), QStringLiteral("note"), QStringLiteral("OLD_id"),
            QStringLiteral("OLD_code") }));
    update->SetParamString(0, QStringLiteral("renamed"));
    update->SetParamNull(1);
    update->SetParamInt(2, 7);
    update->SetParamString(3, QStringLiteral("X"));
    update->Execute();
    EXPECT_EQ(update->RowsAffected(), 1);
    m.LeaveTransaction();
    EXPECT_EQ(Rows(QStringLiteral("id, code, name, note")),
        (QList<QVariantList> { { 7, QStringLiteral("X"), QStringLiteral("renamed"), QVariant() } }));
}

TEST_F(DbTableManagerTest, DatasetsComeOrderedByKeyInTheirOwnTransaction)
{
    Table.CreateTable();
    Table.AppendRecord({ 2, QStringLiteral("B"), QStringLiteral("x") });
    Table.AppendRecord({ 1, QStringLiteral("Z"), QStringLiteral("x") });
    Table.AppendRecord({ 1, QStringLiteral("A"), QStringLiteral("y") });
    Table.AppendRecord({ 3, QStringLiteral("C"), QStringLiteral("x") });

    TManagedQuery *query = Table.CreateDataset({ QStringLiteral("id"), QStringLiteral("code") },
        QStringLiteral("name = :p0"), QStringLiteral("x"), true, true);
    QStringList seen;
    while (!query->Eof()) {
        seen.append(query->AsString(0) + QLatin1Char('/') + query->AsString(1));
        query->Next();
    }
    EXPECT_EQ(seen, (QStringList { QStringLiteral("1/Z"), QStringLiteral("2/B"), QStringLiteral("3/C") }));
    EXPECT_NE(query->Transaction(), &Bench.Transaction);
    Table.FreeDataset(query);

    // A query of its own transaction while the caller's is open would not see the
    // caller's work: refused.
    TDatabaseManager &m = *Bench.Manager;
    m.EnterTransaction();
    EXPECT_EQ(
        ErrorOf([&] { Table.CreateDataset({ QStringLiteral("id") }, QString(), QVariant(), true, true); }),
        "A transaction is active!");
    m.LeaveTransaction();
    EXPECT_EQ(m.DatasetCount(), 0);

    // A condition the server refuses: the query is given back.
    EXPECT_THROW(
        Table.CreateDataset({ QStringLiteral("id") }, QStringLiteral("nosuch = 1"), QVariant(), true, true),
        Db::EDatabaseError);
    EXPECT_EQ(m.DatasetCount(), 0);
    EXPECT_EQ(m.TransactionCount(), 0);
}

TEST_F(DbTableManagerTest, ColumnsAndTheirTypes)
{
    Table.CreateTable();
    EXPECT_TRUE(Table.FindColumn(QStringLiteral("name")));
    EXPECT_FALSE(Table.FindColumn(QStringLiteral("extra")));
    EXPECT_FALSE(Table.AddColumn(QStringLiteral("extra"), QStringLiteral("VARCHAR(5)"), false));
    EXPECT_TRUE(Table.AddColumn(QStringLiteral("extra"), QStringLiteral("VARCHAR(5)"), false));
    EXPECT_THROW(
        Table.AddColumn(QStringLiteral("extra"), QStringLiteral("VARCHAR(5)"), true), Db::EDatabaseError);
    Table.DropColumn(QStringLiteral("extra"), false);
    EXPECT_FALSE(Table.FindColumn(QStringLiteral("extra")));
    Table.DropColumn(QStringLiteral("extra"), false);
    EXPECT_THROW(Table.DropColumn(QStringLiteral("extra"), true), Db::EDatabaseError);

    EXPECT_EQ(Table.GetfieldType(QStringLiteral("id")), QStringLiteral("LONG"));
    EXPECT_EQ(Table.GetfieldType(QStringLiteral("name")), QStringLiteral("VARYING"));
    EXPECT_EQ(Table.GetfieldType(QStringLiteral("stamp")), QStringLiteral("TIMESTAMP"));
    EXPECT_EQ(ErrorOf([&] { Table.GetfieldType(QStringLiteral("nosuch")); }), "0406291619");
    EXPECT_EQ(ErrorOf([&] { Table.GetfieldSize(QStringLiteral("nosuch")); }), "0406291509");
    EXPECT_EQ(Table.GetfieldSize(QStringLiteral("name")), 40);
    Table.ChangeVarCharFieldLength(QStringLiteral("name"), 60);
    EXPECT_EQ(Table.GetfieldSize(QStringLiteral("name")), 60);
    EXPECT_EQ(Bench.Manager->DatasetCount(), 0) << "the lookups give their queries back";

    Table.AppendRecord({ 1, QStringLiteral("A"), QStringLiteral("n"), QStringLiteral("a long note") });
    Table.EnlargeStringField(QStringLiteral("note"), QStringLiteral("memo"), 200);
    EXPECT_FALSE(Table.FindColumn(QStringLiteral("note")));
    EXPECT_EQ(Table.GetfieldSize(QStringLiteral("memo")), 200);
    EXPECT_EQ(
        Rows(QStringLiteral("id, memo")), (QList<QVariantList> { { 1, QStringLiteral("a long note") } }));
    // Run again, nothing is left to move.
    Table.EnlargeStringField(QStringLiteral("note"), QStringLiteral("memo"), 200);
    EXPECT_EQ(
        Rows(QStringLiteral("id, memo")), (QList<QVariantList> { { 1, QStringLiteral("a long note") } }));
}

TEST_F(DbTableManagerTest, IndexesAndReferences)
{
    TDatabaseManager &m = *Bench.Manager;
    Table.CreateTable();
    const QString suffix = QString::number(Counter);
    Table.CreateIndex(QStringLiteral("IX_NAME_") + suffix, { QStringLiteral("name") }, false);
    Table.CreateDescendingIndex(
        QStringLiteral("IX_NOTE_") + suffix, { QStringLiteral("note"), QStringLiteral("name") }, true);
    EXPECT_TRUE(m.FindIndex(QStringLiteral("ix_name_") + suffix));
    EXPECT_TRUE(m.FindIndex(QStringLiteral("IX_NOTE_") + suffix));
    m.DropIndex(QStringLiteral("IX_NAME_") + suffix);
    EXPECT_FALSE(m.FindIndex(QStringLiteral("IX_NAME_") + suffix));

    TTableManager lines;
    lines.SetDatabaseManager(&m);
    lines.SetTableName(QStringLiteral("Lines_") + suffix);
    lines.SetFieldDefs({ QStringLiteral("n INTEGER NOT NULL *"), QStringLiteral("order_id INTEGER"),
        QStringLiteral("order_code VARCHAR(10)") });
    lines.CreateTable();
    const QString constraint = QStringLiteral("FK_LINES_") + suffix;
    EXPECT_EQ(ErrorOf([&] {
        lines.CreateReferenceConstraint(constraint,
            { QStringLiteral("order_id"), QStringLiteral("order_code") }, Table.TableName(),
            { QStringLiteral("id"), QStringLiteral("code") },
            TTableManager::roDeleteSetNull | TTableManager::roDeleteCascade);
    }),
        "Incompatible delete options");
    lines.CreateReferenceConstraint(constraint, { QStringLiteral("order_id"), QStringLiteral("order_code") },
        Table.TableName(), { QStringLiteral("id"), QStringLiteral("code") },
        TTableManager::roDeleteCascade | TTableManager::roUpdateCascade);
    // The cascade works: deleting an order deletes its lines.
    Table.AppendRecord({ 1, QStringLiteral("A") });
    lines.AppendRecord({ 10, 1, QStringLiteral("A") });
    Table.DeleteRecord({ 1, QStringLiteral("A") });
    EXPECT_EQ(lines.RecordCount(), 0);

    const QString index = lines.GetConstraintIndexName(constraint);
    EXPECT_EQ(index, constraint) << "Firebird names a constraint's index after it";
    // Read once: asked again after the constraint is gone, the name comes from the cache.
    lines.ExecuteSQL(QStringLiteral("ALTER TABLE ") + lines.TableName() + QStringLiteral(" DROP CONSTRAINT ")
        + constraint);
    EXPECT_EQ(lines.GetConstraintIndexName(constraint), index);
    EXPECT_EQ(lines.ConstraintIndexNames(), (QStringList { constraint, index }));
    EXPECT_EQ(
        ErrorOf([&] { m.GetConstraintIndexName(constraint); }), "TDatabaseManager.GetConstraintIndexName");
    EXPECT_EQ(ErrorOf([&] { m.GetKeyname(QStringLiteral("NO_SUCH_TABLE")); }), "TDatabaseManager.GetKeyname");
}

TEST_F(DbTableManagerTest, PrintParameterTablesFromTheirDefinitions)
{
    // The two tables of the print-parameter storage, as its table managers define them.
    Table.SetTableName(QStringLiteral("PRT_Params"));
    Table.SetFieldDefs({ QStringLiteral("pname VARCHAR(60) NOT NULL *"), QStringLiteral("d_text VARCHAR(90)"),
        QStringLiteral("f_text VARCHAR(90)"), QStringLiteral("i_text VARCHAR(90)"),
        QStringLiteral("compat VARCHAR(30)"),
        QStringLiteral("print_params BLOB SUB_TYPE 1 SEGMENT SIZE 80") });
    TTableManager images;
    images.SetDatabaseManager(Bench.Manager.get());
    images.SetTableName(QStringLiteral("PRT_Images"));
    images.SetFieldDefs({ QStringLiteral("image_name VARCHAR(30) NOT NULL *"),
        QStringLiteral("image_data BLOB SUB_TYPE 0 SEGMENT SIZE 1024") });
    Table.CreateTable(false);
    images.CreateTable(false);

    const QString text = QStringLiteral("COM:FALCREST\r\nOrientation=1\r\nè finito\r\n");
    Table.AppendRecord({ QStringLiteral("falcrestgro"), QStringLiteral("falcrestgro"),
        QStringLiteral("falcrestgro"), QStringLiteral("falcrestgro"), QStringLiteral("FALCREST"), text });
    images.AppendRecord({ QStringLiteral("logo"), QByteArray("\x89PNG\r\n\x1a\n\0\1", 10) });

    TDatabaseManager &m = *Bench.Manager;
    m.EnterTransaction();
    EXPECT_TRUE(Table.FindPK({ QStringLiteral("falcrestgro") }));
    EXPECT_FALSE(Table.FindPK({ QStringLiteral("FalcrestGro") }));
    EXPECT_TRUE(images.FindPK({ QStringLiteral("logo") }));
    m.LeaveTransaction();
    EXPECT_EQ(Observe(Connection, QStringLiteral("SELECT compat, print_params FROM PRT_Params")),
        (QList<QVariantList> { { QStringLiteral("FALCREST"), text } }));
    EXPECT_EQ(Observe(Connection, QStringLiteral("SELECT image_data FROM PRT_Images")),
        (QList<QVariantList> { { QByteArray("\x89PNG\r\n\x1a\n\0\1", 10) } }));
}

// ---- The conversion of a text column into an integer column, from every state an
// ---- interrupted run can leave behind.

struct ConversionCase {
    const char *Title;
    std::vector<const char *> Setup; // after "CREATE TABLE <T> (id INTEGER ...)"; <T> stands for the table
    const char *Columns; // columns of the created table
    QList<QVariantList> Expected; // id, f after the conversion
    const char *Error; // expected error, or nullptr
};

void PrintTo(const ConversionCase &c, std::ostream *os) { *os << c.Title; }

class DbConversionTest : public DbTableManagerTest, public ::testing::WithParamInterface<ConversionCase> { };

TEST_P(DbConversionTest, ConvertVarCharFieldToInteger)
{
    const ConversionCase &c = GetParam();
    const QString t = Table.TableName();
    QStringList statements { QStringLiteral("CREATE TABLE ") + t + QStringLiteral(" (")
        + QString::fromUtf8(c.Columns) + QStringLiteral(")") };
    Exec(Connection, statements);
    statements.clear();
    for (const char *sql : c.Setup)
        statements.append(QString::fromUtf8(sql).replace(QStringLiteral("<T>"), t));
    if (!statements.isEmpty())
        Exec(Connection, statements);

    if (c.Error) {
        EXPECT_EQ(ErrorOf([&] {
            Table.ConvertVarCharFieldToInteger(QStringLiteral("f"), QStringLiteral("f_tmp"));
        }),
            QString::fromUtf8(c.Error).replace(QStringLiteral("<T>"), t).toStdString());
        return;
    }
    Table.ConvertVarCharFieldToInteger(QStringLiteral("f"), QStringLiteral("f_tmp"));
    EXPECT_EQ(Table.GetfieldType(QStringLiteral("f")), QStringLiteral("LONG"));
    EXPECT_FALSE(Table.FindColumn(QStringLiteral("f_tmp")));
    EXPECT_EQ(Rows(QStringLiteral("id, f")), c.Expected);
    EXPECT_EQ(Bench.Transaction.Tag(), 0);
}

std::string ConversionName(const ::testing::TestParamInfo<ConversionCase> &info) { return info.param.Title; }

INSTANTIATE_TEST_SUITE_P(Db, DbConversionTest,
    ::testing::Values(ConversionCase { "TextColumn",
                          { "INSERT INTO <T> VALUES (1, '12')", "INSERT INTO <T> VALUES (2, ' 7')" },
                          "id INTEGER, f VARCHAR(10)", { { 1, 12 }, { 2, 7 } }, nullptr },
        ConversionCase { "AlreadyInteger", { "INSERT INTO <T> VALUES (1, 5)" }, "id INTEGER, f INTEGER",
            { { 1, 5 } }, nullptr },
        // Stopped after the new column was added: the numbers are still in the temporary one.
        ConversionCase { "StoppedBeforeCopyBack", { "INSERT INTO <T> VALUES (1, NULL, 42)" },
            "id INTEGER, f INTEGER, f_tmp INTEGER", { { 1, 42 } }, nullptr },
        // Stopped after the copy to the temporary column: start over from the text.
        ConversionCase { "StoppedAfterCopyToTemp", { "INSERT INTO <T> VALUES (1, '3', 99)" },
            "id INTEGER, f VARCHAR(10), f_tmp INTEGER", { { 1, 3 } }, nullptr },
        // Stopped after the text column was dropped: rebuilt from the temporary one.
        ConversionCase { "StoppedAfterDrop", { "INSERT INTO <T> VALUES (1, 8)" }, "id INTEGER, f_tmp INTEGER",
            { { 1, 8 } }, nullptr },
        // A temporary column of another type is not ours to trust: dropped first.
        ConversionCase { "ForeignTempColumn", { "INSERT INTO <T> VALUES (1, '6', 'junk')" },
            "id INTEGER, f VARCHAR(10), f_tmp VARCHAR(10)", { { 1, 6 } }, nullptr },
        ConversionCase { "NeitherColumn", {}, "id INTEGER", {}, "0406291613:<T> f" }),
    ConversionName);

} // namespace
