// Statements and queries: parameters of every kind, blobs, text encodings, result sets.
#include "DbTestUtil.h"

using namespace DbTest;

namespace {

class Statements : public ServerTest {
protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        if (IsSkipped())
            return;
        FPath = CreateDatabaseFile(
            {QStringLiteral("CREATE TABLE P (i INTEGER, b BIGINT, n NUMERIC(18,2), s SMALLINT, d DOUBLE PRECISION, "
                            "v VARCHAR(100), c CHAR(5), ts TIMESTAMP, dt DATE, tm TIME, tb BLOB SUB_TYPE 1, "
                            "bb BLOB SUB_TYPE 0, u VARCHAR(20) CHARACTER SET UTF8, bo BOOLEAN)"),
             QStringLiteral("CREATE PROCEDURE ADD_UP (A INTEGER, B INTEGER) RETURNS (S INTEGER) AS BEGIN S = A + B; END"),
             QStringLiteral("CREATE GENERATOR G")});
        Open(QStringLiteral("ISO8859_1"));
    }
    void Open(const QString &charset)
    {
        FTr.reset();
        FDb = std::make_unique<Db::TDatabase>();
        FDb->SetDatabaseName(FPath);
        FDb->SetParams(Login(charset));
        FDb->Open();
        FTr = std::make_unique<Db::TTransaction>(FDb.get());
        FTr->Start();
    }
    void Exec(const QString &sql)
    {
        Db::TStatement st(FDb.get(), FTr.get());
        st.SetSQLText(sql);
        st.Execute();
    }
    std::unique_ptr<Db::TQuery> Select(const QString &sql)
    {
        auto q = std::make_unique<Db::TQuery>(FDb.get(), FTr.get());
        q->SetSQLText(sql);
        q->Open();
        return q;
    }

    QString FPath;
    std::unique_ptr<Db::TDatabase> FDb;
    std::unique_ptr<Db::TTransaction> FTr;
};

struct RoundTrip {
    const char *What;
    const char *Column;
    std::function<void(Db::TStatement &)> Bind;
    std::function<void(const Db::TQuery &)> Check;
};

const QDateTime kStamp(QDate(2024, 2, 29), QTime(13, 45, 10, 123));

TEST_F(Statements, ParametersOfEveryKindRoundTrip)
{
    const RoundTrip cases[] = {
        {"text to varchar", "v", [](auto &s) { s.SetParamString(0, QStringLiteral("Società Rossi & Figli")); },
         [](auto &q) { EXPECT_EQ(q.AsString(0), QStringLiteral("Società Rossi & Figli")); }},
        {"int32", "i", [](auto &s) { s.SetParamInt(0, -2147483647 - 1); },
         [](auto &q) { EXPECT_EQ(q.AsInteger(0), -2147483647 - 1); }},
        {"int64", "b", [](auto &s) { s.SetParamInt64(0, 9007199254740993LL); },
         [](auto &q) { EXPECT_EQ(q.AsInt64(0), 9007199254740993LL); EXPECT_EQ(q.AsString(0), QStringLiteral("9007199254740993")); }},
        {"int32 to int64 column", "b", [](auto &s) { s.SetParamInt(0, 7); },
         [](auto &q) { EXPECT_EQ(q.AsInteger(0), 7); }},
        {"text to numeric", "n", [](auto &s) { s.SetParamString(0, QStringLiteral("-12.35")); },
         [](auto &q) {
             EXPECT_EQ(q.AsString(0), QStringLiteral("-12.35"));
             EXPECT_DOUBLE_EQ(q.AsDouble(0), -12.35);
             EXPECT_EQ(q.AsInt64(0), -12);
         }},
        {"small numeric", "n", [](auto &s) { s.SetParamString(0, QStringLiteral("0.05")); },
         [](auto &q) { EXPECT_EQ(q.AsString(0), QStringLiteral("0.05")); EXPECT_EQ(q.AsInteger(0), 0); }},
        {"int to varchar", "v", [](auto &s) { s.SetParamInt(0, 42); },
         [](auto &q) { EXPECT_EQ(q.AsString(0), QStringLiteral("42")); EXPECT_EQ(q.AsInteger(0), 42); }},
        {"text to integer", "i", [](auto &s) { s.SetParamString(0, QStringLiteral("123")); },
         [](auto &q) { EXPECT_EQ(q.AsInteger(0), 123); }},
        {"smallint", "s", [](auto &s) { s.SetParamInt(0, -32768); },
         [](auto &q) { EXPECT_EQ(q.AsInteger(0), -32768); }},
        {"double", "d", [](auto &s) { s.SetParamDouble(0, 1.5e-7); },
         [](auto &q) { EXPECT_DOUBLE_EQ(q.AsDouble(0), 1.5e-7); }},
        {"date-time", "ts", [](auto &s) { s.SetParamDateTime(0, kStamp); },
         [](auto &q) { EXPECT_EQ(q.AsDateTime(0), kStamp); EXPECT_EQ(q.AsString(0), QStringLiteral("2024-02-29 13:45:10")); }},
        {"text to timestamp", "ts", [](auto &s) { s.SetParamString(0, QStringLiteral("2024-02-29 13:45:10")); },
         [](auto &q) { EXPECT_EQ(q.AsDateTime(0), QDateTime(QDate(2024, 2, 29), QTime(13, 45, 10))); }},
        {"date-time to date", "dt", [](auto &s) { s.SetParamDateTime(0, kStamp); },
         [](auto &q) { EXPECT_EQ(q.AsDateTime(0), QDateTime(QDate(2024, 2, 29), QTime(0, 0))); EXPECT_EQ(q.AsString(0), QStringLiteral("2024-02-29")); }},
        {"date-time to time", "tm", [](auto &s) { s.SetParamDateTime(0, kStamp); },
         [](auto &q) { EXPECT_EQ(q.AsDateTime(0).time(), kStamp.time()); }},
        {"earliest date", "dt", [](auto &s) { s.SetParamDateTime(0, QDateTime(QDate(1, 1, 1), QTime(0, 0))); },
         [](auto &q) { EXPECT_EQ(q.AsDateTime(0).date(), QDate(1, 1, 1)); }},
        {"char padding kept", "c", [](auto &s) { s.SetParamString(0, QStringLiteral("ab")); },
         [](auto &q) { EXPECT_EQ(q.AsString(0), QStringLiteral("ab   ")); }},
        {"null", "i", [](auto &s) { s.SetParamNull(0); },
         [](auto &q) { EXPECT_TRUE(q.IsNull(0)); EXPECT_EQ(q.AsString(0), QString()); EXPECT_EQ(q.AsInteger(0), 0); EXPECT_FALSE(q.AsDateTime(0).isValid()); EXPECT_FALSE(q.AsVariant(0).isValid()); }},
        {"never set is null", "v", [](auto &) {},
         [](auto &q) { EXPECT_TRUE(q.IsNull(0)); }},
        {"invalid date-time is null", "ts", [](auto &s) { s.SetParamDateTime(0, QDateTime()); },
         [](auto &q) { EXPECT_TRUE(q.IsNull(0)); }},
        {"variant int", "i", [](auto &s) { s.SetParamVariant(0, QVariant(5)); },
         [](auto &q) { EXPECT_EQ(q.AsVariant(0), QVariant(5)); }},
        {"variant int64", "b", [](auto &s) { s.SetParamVariant(0, QVariant(qlonglong(1) << 40)); },
         [](auto &q) { EXPECT_EQ(q.AsVariant(0), QVariant(qlonglong(1) << 40)); }},
        {"variant text", "v", [](auto &s) { s.SetParamVariant(0, QVariant(QStringLiteral("x"))); },
         [](auto &q) { EXPECT_EQ(q.AsVariant(0), QVariant(QStringLiteral("x"))); }},
        {"variant date-time", "ts", [](auto &s) { s.SetParamVariant(0, QVariant(kStamp)); },
         [](auto &q) { EXPECT_EQ(q.AsVariant(0).toDateTime(), kStamp); }},
        {"variant double", "d", [](auto &s) { s.SetParamVariant(0, QVariant(2.25)); },
         [](auto &q) { EXPECT_EQ(q.AsVariant(0), QVariant(2.25)); }},
        {"variant bool as T/F", "c", [](auto &s) { s.SetParamVariant(0, QVariant(true)); },
         [](auto &q) { EXPECT_EQ(q.AsString(0).trimmed(), QStringLiteral("T")); }},
        {"variant null", "v", [](auto &s) { s.SetParamVariant(0, QVariant()); },
         [](auto &q) { EXPECT_TRUE(q.IsNull(0)); }},
        {"variant bytes to binary blob", "bb", [](auto &s) { s.SetParamVariant(0, QVariant(QByteArray("\0\1\2", 3))); },
         [](auto &q) { EXPECT_EQ(q.AsBytes(0), QByteArray("\0\1\2", 3)); }},
        {"boolean", "bo", [](auto &s) { s.SetParamString(0, QStringLiteral("true")); },
         [](auto &q) { EXPECT_EQ(q.AsVariant(0), QVariant(true)); EXPECT_EQ(q.AsInteger(0), 1); }},
        {"text blob from string", "tb", [](auto &s) { s.SetParamString(0, QStringLiteral("COM:x\r\nDES:y\r\n")); },
         [](auto &q) { EXPECT_EQ(q.AsString(0), QStringLiteral("COM:x\r\nDES:y\r\n")); EXPECT_EQ(q.AsVariant(0), QVariant(QStringLiteral("COM:x\r\nDES:y\r\n"))); }},
        {"empty text blob", "tb", [](auto &s) { s.SetParamString(0, QString()); },
         [](auto &q) { EXPECT_FALSE(q.IsNull(0)); EXPECT_EQ(q.AsString(0), QString()); }},
    };
    for (const RoundTrip &c : cases) {
        SCOPED_TRACE(c.What);
        Exec(QStringLiteral("DELETE FROM P"));
        Db::TStatement ins(FDb.get(), FTr.get());
        ins.SetSQLText(QStringLiteral("INSERT INTO P (%1) VALUES (:value)").arg(QLatin1String(c.Column)));
        c.Bind(ins);
        ins.Execute();
        EXPECT_EQ(ins.RowsAffected(), 1);
        auto q = Select(QStringLiteral("SELECT %1 FROM P").arg(QLatin1String(c.Column)));
        ASSERT_FALSE(q->Eof());
        c.Check(*q);
    }
}

TEST_F(Statements, BlobsOfAnySizeRoundTrip)
{
    QString text;
    for (int i = 0; i < 4000; ++i)
        text += QStringLiteral("Riga %1: perché più €uro ‘citato’\r\n").arg(i);
    QByteArray bytes;
    for (int i = 0; i < 300000; ++i)
        bytes.append(static_cast<char>(i * 7 % 256));
    Db::TStatement ins(FDb.get(), FTr.get());
    ins.SetSQLText(QStringLiteral("INSERT INTO P (i, tb, bb) VALUES (:i, :t, :b)"));
    ins.SetParamInt(0, 1);
    ins.SetParamString(1, text);
    ins.SetParamBytes(2, bytes);
    ins.Execute();
    FTr->Commit();
    FTr->Start();
    auto q = Select(QStringLiteral("SELECT tb, bb, OCTET_LENGTH(tb) FROM P"));
    EXPECT_EQ(q->AsString(0), text);
    EXPECT_EQ(q->AsBytes(1), bytes);
    // One byte per character: the program's 8-bit code page on the wire.
    EXPECT_EQ(q->AsInt64(2), text.size());
}

TEST_F(Statements, TextTravelsInTheProgramsCodePage)
{
    // Windows-1252 bytes, as the products write them through ISO8859_1 attachments.
    Db::TStatement ins(FDb.get(), FTr.get());
    ins.SetSQLText(QStringLiteral("INSERT INTO P (v) VALUES (:v)"));
    ins.SetParamString(0, QStringLiteral("€’à"));
    ins.Execute();
    auto q = Select(QStringLiteral("SELECT v, CAST(v AS VARCHAR(100) CHARACTER SET OCTETS) FROM P"));
    EXPECT_EQ(q->AsString(0), QStringLiteral("€’à"));
    EXPECT_EQ(q->AsBytes(1), QByteArray("\x80\x92\xe0"));
    q->Close();

    // A character the code page lacks is refused before anything is written.
    Db::TStatement bad(FDb.get(), FTr.get());
    bad.SetSQLText(QStringLiteral("INSERT INTO P (v) VALUES (:v)"));
    bad.SetParamString(0, QStringLiteral("Ωmega"));
    EXPECT_THROW(bad.Execute(), Os::EConvertError);
    q = Select(QStringLiteral("SELECT COUNT(*) FROM P"));
    EXPECT_EQ(q->AsInteger(0), 1);
}

TEST_F(Statements, Utf8AttachmentCarriesAnyText)
{
    Open(QStringLiteral("UTF8"));
    const QString text = QStringLiteral("Ωμέγα ✓ €");
    Db::TStatement ins(FDb.get(), FTr.get());
    ins.SetSQLText(QStringLiteral("INSERT INTO P (u, v, tb) VALUES (:u, :v, :t)"));
    ins.SetParamString(0, text);
    ins.SetParamString(1, QStringLiteral("àè"));
    ins.SetParamString(2, QStringLiteral("àè"));
    ins.Execute();
    FTr->Commit();
    Open(QStringLiteral("UTF8"));
    auto q = Select(QStringLiteral("SELECT u, v, tb, CHAR_LENGTH(u) FROM P"));
    EXPECT_EQ(q->AsString(0), text);
    EXPECT_EQ(q->AsString(1), QStringLiteral("àè"));
    EXPECT_EQ(q->AsInteger(3), text.size());
    q->Close();
    FTr->Commit();
    // Read back through the program's own ISO8859_1 attachment, the same Latin text;
    // a character the column's set lacks is the server's error, not a silent change.
    Open(QStringLiteral("ISO8859_1"));
    q = Select(QStringLiteral("SELECT v FROM P"));
    EXPECT_EQ(q->AsString(0), QStringLiteral("àè"));
    q->Close();
    Open(QStringLiteral("UTF8"));
    Db::TStatement euro(FDb.get(), FTr.get());
    euro.SetSQLText(QStringLiteral("UPDATE P SET v = :v"));
    euro.SetParamString(0, QStringLiteral("Ω"));
    const Db::EDatabaseError e = ExpectDbError([&] { euro.Execute(); });
    EXPECT_TRUE(e.Message().contains(QStringLiteral("Cannot transliterate"))) << e.Message().toStdString();
}

TEST_F(Statements, ResultSetsOfEveryShape)
{
    for (int i = 1; i <= 5; ++i)
        Exec(QStringLiteral("INSERT INTO P (i, v) VALUES (%1, 'row %1')").arg(i));

    auto empty = Select(QStringLiteral("SELECT i FROM P WHERE i > 100"));
    EXPECT_TRUE(empty->Active());
    EXPECT_TRUE(empty->Eof());
    EXPECT_TRUE(empty->IsEmpty());
    EXPECT_FALSE(empty->HasCurrentRow());
    EXPECT_EQ(empty->RecordCount(), 0);
    EXPECT_THROW(empty->AsInteger(0), Db::EDatabaseError);
    empty->Next(); // at the end already: nothing happens
    EXPECT_TRUE(empty->Eof());

    for (const bool forwardOnly : {false, true}) {
        SCOPED_TRACE(forwardOnly ? "forward-only" : "buffered");
        Db::TQuery q(FDb.get(), FTr.get());
        q.SetForwardOnly(forwardOnly);
        q.SetSQL({QStringLiteral("SELECT i, v AS label"), QStringLiteral("FROM P ORDER BY i")});
        q.Open();
        EXPECT_EQ(q.FieldNames(), (QStringList{QStringLiteral("I"), QStringLiteral("LABEL")}));
        EXPECT_EQ(q.FieldIndex(QStringLiteral("label")), 1);
        EXPECT_EQ(q.FieldIndex(QStringLiteral("nothing")), -1);
        EXPECT_EQ(q.Field(0).SqlType, SQL_LONG);
        EXPECT_EQ(q.Field(0).RelationName, QStringLiteral("P"));
        QList<int> seen;
        while (!q.Eof()) {
            EXPECT_TRUE(q.HasCurrentRow());
            seen << q.AsInteger(0);
            EXPECT_EQ(q.AsString(1), QStringLiteral("row %1").arg(seen.last()));
            q.Next();
        }
        EXPECT_EQ(seen, (QList<int>{1, 2, 3, 4, 5}));
        EXPECT_EQ(q.RecordCount(), 5);
        EXPECT_FALSE(q.IsEmpty());
        EXPECT_EQ(q.AsInteger(0), 5) << "the last row stays readable at the end";
        if (forwardOnly) {
            EXPECT_THROW(q.First(), Db::EDatabaseError);
        } else {
            q.First();
            EXPECT_FALSE(q.Eof());
            EXPECT_EQ(q.AsInteger(0), 1);
            q.Next();
            EXPECT_EQ(q.AsInteger(0), 2);
        }
        q.Close();
        EXPECT_FALSE(q.Active());
        EXPECT_THROW(q.AsInteger(0), Db::EDatabaseError);
        // Opened again, the same prepared text gives the same rows.
        q.Open();
        EXPECT_EQ(q.AsInteger(0), 1);
    }
}

TEST_F(Statements, RowsReadStayAfterTheTransactionEnds)
{
    for (int i = 1; i <= 3; ++i)
        Exec(QStringLiteral("INSERT INTO P (i) VALUES (%1)").arg(i));
    auto q = Select(QStringLiteral("SELECT i FROM P ORDER BY i"));
    FTr->Commit();
    EXPECT_EQ(q->AsInteger(0), 1);
    // More rows would need the cursor the commit closed: told, not a silent end.
    const Db::EDatabaseError e = ExpectDbError([&] { q->Next(); });
    EXPECT_TRUE(e.Message().contains(QStringLiteral("transaction"))) << e.Message().toStdString();
}

TEST_F(Statements, CommitRetainingKeepsTheCursorOpen)
{
    for (int i = 1; i <= 3; ++i)
        Exec(QStringLiteral("INSERT INTO P (i) VALUES (%1)").arg(i));
    auto q = Select(QStringLiteral("SELECT i FROM P ORDER BY i"));
    FTr->CommitRetaining();
    q->Next();
    EXPECT_EQ(q->AsInteger(0), 2);
}

TEST_F(Statements, OneRowStatementsAnswerAsQueries)
{
    struct Case {
        QString Sql;
        QString Expected;
    };
    for (const Case &c : {Case{QStringLiteral("EXECUTE PROCEDURE ADD_UP(2, 3)"), QStringLiteral("5")},
                          Case{QStringLiteral("INSERT INTO P (i) VALUES (11) RETURNING i"), QStringLiteral("11")},
                          Case{QStringLiteral("SELECT GEN_ID(G, 1) FROM RDB$DATABASE"), QStringLiteral("1")},
                          Case{QStringLiteral("EXECUTE BLOCK RETURNS (x INTEGER) AS BEGIN x = 7; SUSPEND; END"), QStringLiteral("7")}}) {
        SCOPED_TRACE(c.Sql.toStdString());
        auto q = Select(c.Sql);
        ASSERT_FALSE(q->Eof());
        EXPECT_EQ(q->AsString(0), c.Expected);
        q->Next();
        EXPECT_TRUE(q->Eof());
    }
    // Without a result set, a query is open and empty.
    auto update = Select(QStringLiteral("UPDATE P SET i = 12"));
    EXPECT_TRUE(update->Eof());
    EXPECT_EQ(update->RowsAffected(), 1);
}

TEST_F(Statements, SameNameTwiceAndMarkersWithoutParsing)
{
    Db::TStatement st(FDb.get(), FTr.get());
    st.SetSQLText(QStringLiteral("INSERT INTO P (i, b, v) VALUES (:p0, :p0, :p1)"));
    EXPECT_EQ(st.ParamCount(), 2);
    st.SetParamInt(0, 8);
    st.SetParamString(1, QStringLiteral("eight"));
    st.Execute();
    st.SetParamInt(0, 9); // the prepared statement again, other values
    st.SetParamString(1, QStringLiteral("nine"));
    st.Execute();

    // With parsing off the text goes as written: a procedure body with its own
    // ":variables", and "?" markers bound by position.
    Db::TStatement raw(FDb.get(), FTr.get());
    raw.SetParamCheck(false);
    raw.SetSQL({QStringLiteral("CREATE PROCEDURE TWICE (X INTEGER) RETURNS (Y INTEGER) AS"), QStringLiteral("BEGIN"),
                QStringLiteral("  Y = :X * 2;"), QStringLiteral("END")});
    raw.Execute();
    raw.SetSQLText(QStringLiteral("UPDATE P SET s = ? WHERE i = ?"));
    raw.SetParamInt(0, 99);
    raw.SetParamInt(1, 9);
    raw.Execute();
    EXPECT_EQ(raw.RowsAffected(), 1);
    FTr->CommitRetaining();

    auto q = Select(QStringLiteral("SELECT i, b, v, s FROM P ORDER BY i"));
    EXPECT_EQ(q->AsInteger(0), 8);
    EXPECT_EQ(q->AsInteger(1), 8);
    EXPECT_EQ(q->AsString(2), QStringLiteral("eight"));
    EXPECT_TRUE(q->IsNull(3));
    q->Next();
    EXPECT_EQ(q->AsString(2), QStringLiteral("nine"));
    EXPECT_EQ(q->AsInteger(3), 99);
    auto p = Select(QStringLiteral("EXECUTE PROCEDURE TWICE(21)"));
    EXPECT_EQ(p->AsInteger(0), 42);
}

TEST_F(Statements, ServerErrorsCarryCodesAndLeaveTheQueryClosed)
{
    struct Case {
        QString Sql;
        int32_t SqlCode;
        int32_t FirebirdCode;
    };
    for (const Case &c : {Case{QStringLiteral("SELEKT * FROM P"), -104, 335544569},
                          Case{QStringLiteral("SELECT * FROM NOWHERE"), -204, 335544569},
                          Case{QStringLiteral("SELECT CAST('abc' AS INTEGER) FROM RDB$DATABASE"), -413, 335544334},
                          Case{QStringLiteral("SELECT 1/0 FROM RDB$DATABASE"), -802, 335544321}}) {
        SCOPED_TRACE(c.Sql.toStdString());
        Db::TQuery q(FDb.get(), FTr.get());
        q.SetSQLText(c.Sql);
        const Db::EDatabaseError e = ExpectDbError([&] { q.Open(); });
        EXPECT_EQ(e.SqlCode(), c.SqlCode) << e.Message().toStdString();
        EXPECT_EQ(e.FirebirdCode(), c.FirebirdCode) << e.Message().toStdString();
        EXPECT_FALSE(q.Active());
    }
    // The interpreted texts of the whole vector, one per line.
    Db::TQuery q(FDb.get(), FTr.get());
    q.SetSQLText(QStringLiteral("SELECT * FROM NOWHERE"));
    const Db::EDatabaseError e = ExpectDbError([&] { q.Open(); });
    EXPECT_TRUE(e.Message().startsWith(QStringLiteral("Dynamic SQL Error\r\nSQL error code = -204\r\nTable unknown\r\nNOWHERE")))
        << e.Message().toStdString();
    // A column too narrow for the text: the database's own error, nothing written.
    Db::TStatement st(FDb.get(), FTr.get());
    st.SetSQLText(QStringLiteral("INSERT INTO P (c) VALUES (:c)"));
    st.SetParamString(0, QStringLiteral("much too long"));
    const Db::EDatabaseError truncation = ExpectDbError([&] { st.Execute(); });
    EXPECT_NE(truncation.FirebirdCode(), 0);
    EXPECT_TRUE(truncation.Message().contains(QStringLiteral("string right truncation"))) << truncation.Message().toStdString();
    auto count = Select(QStringLiteral("SELECT COUNT(*) FROM P"));
    EXPECT_EQ(count->AsInteger(0), 0);
}

TEST_F(Statements, ConversionsThatCannotBeMadeAreTold)
{
    Exec(QStringLiteral("INSERT INTO P (v, ts) VALUES ('abc', '2020-01-01')"));
    auto q = Select(QStringLiteral("SELECT v, ts, CAST(3000000000 AS BIGINT) FROM P"));
    EXPECT_THROW(q->AsInteger(0), Os::EConvertError);
    EXPECT_THROW(q->AsDateTime(0), Os::EConvertError);
    EXPECT_THROW(q->AsInteger(1), Os::EConvertError);
    EXPECT_THROW(q->AsInteger(2), Os::EConvertError) << "beyond 32 bits";
    EXPECT_EQ(q->AsInt64(2), 3000000000LL);
    EXPECT_THROW(q->AsString(3), Db::EDatabaseError) << "no such field";
}

TEST_F(Statements, FreeNotificationTellsTheOwnerOnce)
{
    int told = 0;
    Db::TStatement *seen = nullptr;
    {
        Db::TQuery q(FDb.get(), FTr.get());
        q.SetName(QStringLiteral("GeneralQuery"));
        q.AddFreeNotification(this, [&](Db::TStatement *s) {
            ++told;
            seen = s;
            EXPECT_EQ(s->Name(), QStringLiteral("GeneralQuery"));
        });
        q.AddFreeNotification(this, [&](Db::TStatement *) { ++told; }); // replaces the first
        int other = 0;
        q.AddFreeNotification(&other, [&](Db::TStatement *) { other = 1; });
        q.RemoveFreeNotification(&other);
        seen = &q;
    }
    EXPECT_EQ(told, 1);
}

TEST_F(Statements, DiscardLocalForgetsWithoutTheServer)
{
    Exec(QStringLiteral("INSERT INTO P (i) VALUES (1)"));
    auto q = Select(QStringLiteral("SELECT i FROM P"));
    FDb->ForceClose();
    q->DiscardLocal();
    EXPECT_FALSE(q->Active());
    EXPECT_EQ(q->FieldCount(), 0);
    EXPECT_FALSE(q->Prepared());
}

} // namespace
