// The text the table manager generates from field-definition lines, without a server.
#include "schema/IBManagers.h"

#include "oslayer/Exceptions.h"

#include <gtest/gtest.h>
#include <ostream>

namespace {

QStringList Lines(std::initializer_list<const char *> lines)
{
    QStringList result;
    for (const char *line : lines)
        result.append(QString::fromUtf8(line));
    return result;
}

std::string Show(const QStringList &lines) { return lines.join(QStringLiteral("\n")).toStdString(); }

struct ParseCase {
    const char *Line;
    const char *Name;
    const char *ColumnText;
    bool Key;
    bool Excluded;
};

void PrintTo(const ParseCase &c, std::ostream *os) { *os << c.Line; }

class ParseFieldDefTest : public ::testing::TestWithParam<ParseCase> { };

TEST_P(ParseFieldDefTest, TakesTheLineApart)
{
    const ParseCase &c = GetParam();
    const TFieldDef def = TTableManager::ParseFieldDef(QString::fromUtf8(c.Line));
    EXPECT_EQ(def.Name.toStdString(), c.Name);
    EXPECT_EQ(def.ColumnText.toStdString(), c.ColumnText);
    EXPECT_EQ(def.Key, c.Key);
    EXPECT_EQ(def.Excluded, c.Excluded);
}

INSTANTIATE_TEST_SUITE_P(Lines, ParseFieldDefTest,
    ::testing::Values(
        // A trailing marker leaves the blank before it.
        ParseCase { "pname VARCHAR(60) NOT NULL *", "pname", "pname VARCHAR(60) NOT NULL ", true, false },
        ParseCase { "d_text VARCHAR(90)", "d_text", "d_text VARCHAR(90)", false, false },
        ParseCase { "print_params BLOB SUB_TYPE 1 SEGMENT SIZE 80", "print_params",
            "print_params BLOB SUB_TYPE 1 SEGMENT SIZE 80", false, false },
        // A "*" anywhere makes a key column, even inside a CHECK expression.
        ParseCase {
            "qty INTEGER CHECK (qty * 2 < 100)", "qty", "qty INTEGER CHECK (qty  2 < 100)", true, false },
        // Only the first of each marker goes.
        ParseCase { "mask VARCHAR(5) DEFAULT '**' *", "mask", "mask VARCHAR(5) DEFAULT '*' *", true, false },
        ParseCase { "tag VARCHAR(5) DEFAULT '##' #", "tag", "tag VARCHAR(5) DEFAULT '#' #", false, true },
        ParseCase { "id INTEGER NOT NULL *#", "id", "id INTEGER NOT NULL ", true, true },
        ParseCase { "id INTEGER NOT NULL #*", "id", "id INTEGER NOT NULL ", true, true },
        // Blanks and control characters at both ends are trimmed before anything else.
        ParseCase { "\t  stamp TIMESTAMP #\r\n", "stamp", "stamp TIMESTAMP ", false, true },
        ParseCase { "*id INTEGER", "id", "id INTEGER", true, false },
        ParseCase { "lonely", "lonely", "lonely", false, false }, ParseCase { "", "", "", false, false }));

struct TableCase {
    const char *Title;
    const char *Table;
    QStringList Defs;
    QStringList Insert;
    QStringList Update;
    QStringList Delete;
    QStringList Create;
    QStringList FindPK;
    QStringList FindPrimaryKey;
    const char *OrderBy;
};

void PrintTo(const TableCase &c, std::ostream *os) { *os << c.Title; }

class GeneratedSqlTest : public ::testing::TestWithParam<TableCase> {
protected:
    void SetUp() override
    {
        Manager.SetTableName(QString::fromUtf8(GetParam().Table));
        Manager.SetFieldDefs(GetParam().Defs);
    }
    TTableManager Manager;
};

TEST_P(GeneratedSqlTest, Insert)
{
    QStringList sql { QStringLiteral("left over") };
    Manager.BuildSQL4Insert(sql);
    EXPECT_EQ(Show(sql), Show(GetParam().Insert));
}

TEST_P(GeneratedSqlTest, Update)
{
    QStringList sql { QStringLiteral("left over") };
    Manager.BuildSQL4Update(sql);
    EXPECT_EQ(Show(sql), Show(GetParam().Update));
}

TEST_P(GeneratedSqlTest, Delete)
{
    QStringList sql { QStringLiteral("left over") };
    Manager.BuildSQL4Delete(sql);
    EXPECT_EQ(Show(sql), Show(GetParam().Delete));
}

TEST_P(GeneratedSqlTest, Create)
{
    QStringList sql { QStringLiteral("left over") };
    Manager.BuildSQL4Create(sql);
    EXPECT_EQ(Show(sql), Show(GetParam().Create));
}

TEST_P(GeneratedSqlTest, KeyQueries)
{
    EXPECT_EQ(Show(Manager.FindPKText()), Show(GetParam().FindPK));
    EXPECT_EQ(Show(Manager.FindPrimaryKeyText()), Show(GetParam().FindPrimaryKey));
    EXPECT_EQ(Manager.GetOrderByPrimaryKey().toStdString(), GetParam().OrderBy);
}

std::string CaseName(const ::testing::TestParamInfo<TableCase> &info) { return info.param.Title; }

INSTANTIATE_TEST_SUITE_P(Tables, GeneratedSqlTest,
    ::testing::Values(
        TableCase { "PrintParams", "PRT_Params",
            Lines({ "pname VARCHAR(60) NOT NULL *", "d_text VARCHAR(90)", "f_text VARCHAR(90)",
                "i_text VARCHAR(90)", "compat VARCHAR(30)", "print_params BLOB SUB_TYPE 1 SEGMENT SIZE 80" }),
            Lines({ "INSERT INTO PRT_Params(", "pname,", "d_text,", "f_text,", "i_text,", "compat,",
                "print_params)", "VALUES (:pname, :d_text, :f_text, :i_text, :compat, :print_params)" }),
            Lines({ "UPDATE PRT_Params SET", "d_text = :d_text,", "f_text = :f_text,", "i_text = :i_text,",
                "compat = :compat,", "print_params = :print_params", "WHERE", "pname = :OLD_pname" }),
            Lines({ "DELETE FROM PRT_Params WHERE", "pname = :OLD_pname" }),
            Lines({ "CREATE TABLE PRT_Params(", "pname VARCHAR(60) NOT NULL ,", "d_text VARCHAR(90),",
                "f_text VARCHAR(90),", "i_text VARCHAR(90),", "compat VARCHAR(30),",
                "print_params BLOB SUB_TYPE 1 SEGMENT SIZE 80,", "PRIMARY KEY (pname)", ")" }),
            Lines({ "SELECT 'T' FROM RDB$DATABASE WHERE EXISTS", "(", "SELECT 'T' FROM PRT_Params WHERE",
                "pname = :p0", ")" }),
            Lines({ "SELECT * FROM PRT_Params WHERE", "pname = :p0" }), "ORDER BY pname" },
        TableCase { "PrintImages", "PRT_Images",
            Lines({ "image_name VARCHAR(30) NOT NULL *", "image_data BLOB SUB_TYPE 0 SEGMENT SIZE 1024" }),
            Lines({ "INSERT INTO PRT_Images(", "image_name,", "image_data)",
                "VALUES (:image_name, :image_data)" }),
            Lines({ "UPDATE PRT_Images SET", "image_data = :image_data", "WHERE",
                "image_name = :OLD_image_name" }),
            Lines({ "DELETE FROM PRT_Images WHERE", "image_name = :OLD_image_name" }),
            Lines({ "CREATE TABLE PRT_Images(", "image_name VARCHAR(30) NOT NULL ,",
                "image_data BLOB SUB_TYPE 0 SEGMENT SIZE 1024,", "PRIMARY KEY (image_name)", ")" }),
            Lines({ "SELECT 'T' FROM RDB$DATABASE WHERE EXISTS", "(", "SELECT 'T' FROM PRT_Images WHERE",
                "image_name = :p0", ")" }),
            Lines({ "SELECT * FROM PRT_Images WHERE", "image_name = :p0" }), "ORDER BY image_name" },
        // Two keys, one of them also excluded from writing (a generated number), a
        // column excluded from writing, and a "*" inside a CHECK that makes a third key.
        TableCase { "KeysMarkersAndCheck", "Orders",
            Lines({ "id INTEGER NOT NULL *#", "code VARCHAR(10) NOT NULL *", "name VARCHAR(40)",
                "stamp TIMESTAMP #", "qty INTEGER CHECK (qty * 2 < 100)", "note VARCHAR(90)" }),
            Lines({ "INSERT INTO Orders(", "code,", "name,", "qty,", "note)",
                "VALUES (:code, :name, :qty, :note)" }),
            Lines({ "UPDATE Orders SET", "name = :name,", "note = :note", "WHERE", "id = :OLD_id AND",
                "code = :OLD_code AND", "qty = :OLD_qty" }),
            Lines(
                { "DELETE FROM Orders WHERE", "id = :OLD_id", "AND code = :OLD_code", "AND qty = :OLD_qty" }),
            Lines({ "CREATE TABLE Orders(", "id INTEGER NOT NULL ,", "code VARCHAR(10) NOT NULL ,",
                "name VARCHAR(40),", "stamp TIMESTAMP ,", "qty INTEGER CHECK (qty  2 < 100),",
                "note VARCHAR(90),", "PRIMARY KEY (id,code,qty)", ")" }),
            Lines({ "SELECT 'T' FROM RDB$DATABASE WHERE EXISTS", "(", "SELECT 'T' FROM Orders WHERE",
                "id = :p0", "AND code = :p1", "AND qty = :p2", ")" }),
            Lines({ "SELECT * FROM Orders WHERE", "id = :p0", "AND code = :p1", "AND qty = :p2" }),
            "ORDER BY id, code, qty" },
        // No key: no PRIMARY KEY line, no trailing comma, empty conditions.
        TableCase { "NoKey", "Journal", Lines({ "line VARCHAR(200)", "stamp TIMESTAMP" }),
            Lines({ "INSERT INTO Journal(", "line,", "stamp)", "VALUES (:line, :stamp)" }),
            Lines({ "UPDATE Journal SET", "line = :line,", "stamp = :stamp", "WHERE" }),
            Lines({ "DELETE FROM Journal WHERE" }),
            Lines({ "CREATE TABLE Journal(", "line VARCHAR(200),", "stamp TIMESTAMP", ")" }),
            Lines({ "SELECT 'T' FROM RDB$DATABASE WHERE EXISTS", "(", "SELECT 'T' FROM Journal WHERE", ")" }),
            Lines({ "SELECT * FROM Journal WHERE" }), "" },
        // Nothing to write: the ")" closes the first line and VALUES is empty.
        TableCase { "NothingIncluded", "Counters", Lines({ "id INTEGER NOT NULL *#", "hits INTEGER #" }),
            Lines({ "INSERT INTO Counters()", "VALUES ()" }),
            Lines({ "UPDATE Counters SET", "WHERE", "id = :OLD_id" }),
            Lines({ "DELETE FROM Counters WHERE", "id = :OLD_id" }),
            Lines({ "CREATE TABLE Counters(", "id INTEGER NOT NULL ,", "hits INTEGER ,", "PRIMARY KEY (id)",
                ")" }),
            Lines({ "SELECT 'T' FROM RDB$DATABASE WHERE EXISTS", "(", "SELECT 'T' FROM Counters WHERE",
                "id = :p0", ")" }),
            Lines({ "SELECT * FROM Counters WHERE", "id = :p0" }), "ORDER BY id" }),
    CaseName);

TEST(TableManagerSql, UpdateLeavesOutExcludedNamesWithoutRegardToCase)
{
    TTableManager manager;
    manager.SetTableName(QStringLiteral("PRT_Params"));
    manager.SetFieldDefs(Lines({ "pname VARCHAR(60) NOT NULL *", "d_text VARCHAR(90)", "f_text VARCHAR(90)",
        "print_params BLOB SUB_TYPE 1 SEGMENT SIZE 80" }));
    QStringList sql;
    const QStringList excluded { QStringLiteral("D_TEXT"), QStringLiteral("Print_Params") };
    manager.BuildSQL4Update(sql, &excluded);
    EXPECT_EQ(Show(sql),
        Show(Lines({ "UPDATE PRT_Params SET", "f_text = :f_text", "WHERE", "pname = :OLD_pname" })));
}

TEST(TableManagerSql, SelectWithAndWithoutCondition)
{
    TTableManager manager;
    manager.SetTableName(QStringLiteral("T"));
    manager.SetFieldDefs(Lines({ "a INTEGER NOT NULL *", "b INTEGER NOT NULL *", "c VARCHAR(5)" }));
    QStringList sql;
    manager.BuildSQL4Select(sql, { QStringLiteral("a"), QStringLiteral("c") }, QStringLiteral("c = :p0"));
    EXPECT_EQ(Show(sql), Show(Lines({ "SELECT a, c", "FROM T", "WHERE", "c = :p0", "ORDER BY a, b" })));

    manager.SetFieldDefs(Lines({ "c VARCHAR(5)" }));
    manager.BuildSQL4Select(sql, { QStringLiteral("*") }, QString());
    // Without a key the order line stays, empty.
    EXPECT_EQ(Show(sql), Show(Lines({ "SELECT *", "FROM T", "" })));
}

TEST(TableManagerSql, KeyCountFollowsTheLastListing)
{
    TTableManager manager;
    manager.SetFieldDefs(Lines({ "a INTEGER *", "b INTEGER *" }));
    QStringList keys;
    manager.GetPrimaryKeyFields(keys);
    EXPECT_EQ(keys, Lines({ "a", "b" }));
    EXPECT_EQ(manager.PKCount(), 2);
    manager.SetFieldDefs(Lines({ "a INTEGER" }));
    manager.GetPrimaryKeyFields(keys);
    EXPECT_TRUE(keys.isEmpty());
    EXPECT_EQ(manager.PKCount(), 0);
}

TEST(TableManagerSql, WorkWithoutManagerNamesItsCallCode)
{
    TTableManager manager;
    manager.SetTableName(QStringLiteral("T"));
    const auto message = [](const std::function<void()> &work) {
        try {
            work();
        } catch (const Os::Exception &e) {
            return e.Message().toStdString();
        }
        return std::string("no error");
    };
    EXPECT_EQ(message([&] { manager.CreateTable(); }), "no database! (1)");
    EXPECT_EQ(message([&] { manager.DropTable(); }), "no database! (2)");
    EXPECT_EQ(message([&] { manager.CreateQuery(true); }), "no database! (3)");
    EXPECT_EQ(message([&] { manager.ExecuteSQL(QStringLiteral("DELETE FROM T")); }), "no database! (4)");
    EXPECT_EQ(message([&] { manager.RecordCount(); }), "no database! (6)");
    EXPECT_EQ(message([&] { manager.AppendRecord({}); }), "no database! (7)");
    EXPECT_EQ(message([&] { manager.KeyName(); }), "no database! (8)");
    EXPECT_EQ(message([&] { manager.GetConstraintIndexName(QStringLiteral("C")); }), "no database! (9)");
    EXPECT_EQ(message([&] { manager.AllowAccess(); }), "no database! (10)");
    EXPECT_EQ(message([&] { manager.DenyAccess(); }), "no database! (11)");
}

TEST(TableManagerSql, ReferenceOptionsThatContradictEachOtherAreRefused)
{
    TTableManager manager;
    manager.SetTableName(QStringLiteral("T"));
    try {
        manager.CreateReferenceConstraint(QStringLiteral("FK"), { QStringLiteral("a") }, QStringLiteral("R"),
            { QStringLiteral("id") }, TTableManager::roDeleteSetNull | TTableManager::roDeleteCascade);
        FAIL() << "no error";
    } catch (const Os::Exception &e) {
        EXPECT_EQ(e.Message().toStdString(), "Incompatible delete options");
    }
}

} // namespace
