// Named parameters become positional markers; text the server must see unchanged stays.
#include "dbaccess/DbAccess.h"

#include <gtest/gtest.h>

namespace {

struct ParseCase {
    const char *Sql;
    const char *Text;
    std::vector<const char *> Names;
    std::vector<int> Markers;
};

class ParamParser : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParamParser, ReplacesNamesOutsideStringsAndComments)
{
    const ParseCase &c = GetParam();
    const Db::TStatement::TParsed parsed = Db::TStatement::ParseParams(QString::fromUtf8(c.Sql));
    EXPECT_EQ(parsed.Text, QString::fromUtf8(c.Text));
    QStringList names;
    for (const char *n : c.Names)
        names << QString::fromUtf8(n);
    EXPECT_EQ(parsed.Names, names);
    EXPECT_EQ(parsed.Markers, c.Markers);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParamParser,
    ::testing::Values(
        ParseCase{"SELECT sval FROM ConnectionControl WHERE\r\nid = :p0", "SELECT sval FROM ConnectionControl WHERE\r\nid = ?", {"p0"}, {0}},
        ParseCase{"INSERT INTO T (a, b) VALUES (:p0, :p1)", "INSERT INTO T (a, b) VALUES (?, ?)", {"p0", "p1"}, {0, 1}},
        // Order of first appearance decides the index, not the digits of the name.
        ParseCase{"UPDATE T SET a = :p1 WHERE b = :p0", "UPDATE T SET a = ? WHERE b = ?", {"p1", "p0"}, {0, 1}},
        // One name twice is one parameter, whatever the letter case.
        ParseCase{"SELECT * FROM T WHERE a = :P0 OR b = :p0", "SELECT * FROM T WHERE a = ? OR b = ?", {"P0"}, {0, 0}},
        ParseCase{"SELECT ':p0', \":p1\" FROM T WHERE x = :p2", "SELECT ':p0', \":p1\" FROM T WHERE x = ?", {"p2"}, {0}},
        ParseCase{"SELECT 'it''s :p0' FROM T WHERE x = :a", "SELECT 'it''s :p0' FROM T WHERE x = ?", {"a"}, {0}},
        ParseCase{"SELECT a -- :p0 here\nFROM T WHERE x = :b", "SELECT a -- :p0 here\nFROM T WHERE x = ?", {"b"}, {0}},
        ParseCase{"SELECT /* :p0 */ a FROM T WHERE x = :c", "SELECT /* :p0 */ a FROM T WHERE x = ?", {"c"}, {0}},
        // A colon not followed by a name, and an unterminated string, stay as they are.
        ParseCase{"SELECT a FROM T WHERE b = : x", "SELECT a FROM T WHERE b = : x", {}, {}},
        ParseCase{"SELECT 'open :p0", "SELECT 'open :p0", {}, {}},
        // A bare marker is a parameter of its own.
        ParseCase{"SELECT a FROM T WHERE b = ? AND c = :n", "SELECT a FROM T WHERE b = ? AND c = ?", {"", "n"}, {0, 1}},
        ParseCase{"SELECT x FROM T WHERE :n_$1 = 1", "SELECT x FROM T WHERE ? = 1", {"n_$1"}, {0}}));

TEST(StatementText, LinesAreJoinedWithLineBreaks)
{
    Db::TStatement st;
    st.SetSQL({QStringLiteral("SELECT a"), QStringLiteral("FROM T"), QStringLiteral("WHERE b = :p0")});
    EXPECT_EQ(st.SQLText(), QStringLiteral("SELECT a\r\nFROM T\r\nWHERE b = :p0"));
    EXPECT_EQ(st.ParamNames(), QStringList{QStringLiteral("p0")});
    EXPECT_EQ(st.ParamIndex(QStringLiteral("P0")), 0);
    EXPECT_EQ(st.ParamIndex(QStringLiteral("p1")), -1);
    st.SetParamCheck(false);
    EXPECT_EQ(st.ParamCount(), 0) << "without parsing only the server's own markers count";
}

TEST(StatementText, WithoutDatabaseOrTransactionNothingIsContacted)
{
    Db::TStatement st;
    st.SetSQLText(QStringLiteral("SELECT 1 FROM rdb$database"));
    try {
        st.Execute();
        FAIL() << "executed without a database";
    } catch (const Db::EDatabaseError &e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("no database")));
        EXPECT_EQ(e.FirebirdCode(), 0);
    }
    Db::TDatabase db;
    st.SetDatabase(&db);
    try {
        st.Execute();
        FAIL() << "executed without a transaction";
    } catch (const Db::EDatabaseError &e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("no transaction")));
    }
    Db::TTransaction tr(&db);
    st.SetTransaction(&tr);
    try {
        st.Execute();
        FAIL() << "executed in a transaction that was never started";
    } catch (const Db::EDatabaseError &e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("transaction not active")));
    }
}

} // namespace
