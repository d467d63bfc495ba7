// Command scripts run for real on the test server: the guards on the database identity and
// version, the marker rules, the single transaction, the account and the attachment after.
#include "CommonDbFixture.h"

#include "Common/Interbase/dmDBConnectionUnit.h"
#include "dbaccess/DbAccess.h"
#include "schema/IBManagers.h"

namespace {

QString ErrorOf(const std::function<void()> &work)
{
    try {
        work();
    } catch (const Os::Exception &e) {
        return e.Message();
    } catch (const std::exception &e) {
        return QStringLiteral("std::exception: ") + QString::fromUtf8(e.what());
    }
    return QString();
}

class CommandScriptTest : public CommonDbTest {
protected:
    void SetUp() override
    {
        CommonDbTest::SetUp();
        if (IsSkipped())
            return;
        ExecOn(Database, { QStringLiteral("CREATE TABLE SCRIPT_T (v VARCHAR(200))") });
        ExecOn(Database, { QStringLiteral("INSERT INTO SCRIPT_T (v) VALUES ('old')") });
    }

    // Attached as the caller, with an account of its own, the way a caller runs a script.
    std::unique_ptr<TdmDBConnection> Attached()
    {
        auto module = MakeModule();
        module->SetParams(TcpString(Database), QStringLiteral("PUBLIC_READER_WRITER"),
            QStringLiteral("ROLE_READER_WRITER"), QStringLiteral("tarvel"));
        module->Connect();
        return module;
    }

    QStringList Values()
    {
        QStringList values;
        for (const QVariantList &row : Observe(Database, QStringLiteral("SELECT v FROM SCRIPT_T ORDER BY v")))
            values << row.first().toString();
        return values;
    }

    void ExpectCallerBackAndDetached(const TdmDBConnection &module)
    {
        EXPECT_FALSE(module.Connected());
        EXPECT_EQ(module.DatabaseManager()->UserName(), QStringLiteral("PUBLIC_READER_WRITER"));
        EXPECT_EQ(module.DatabaseManager()->Role(), QStringLiteral("ROLE_READER_WRITER"));
        EXPECT_EQ(module.DatabaseManager()->Password(), QStringLiteral("tarvel"));
        EXPECT_EQ(module.DatabaseManager()->ConnectionString(), TcpString(Database));
        EXPECT_EQ(module.TransactionState(), QStringLiteral("0"));
    }
};

const QStringList InsertNew { QStringLiteral("STARTSQL"),
    QStringLiteral("INSERT INTO SCRIPT_T (v) VALUES ('new')"), QStringLiteral("ENDSQL") };

TEST_F(CommandScriptTest, GuardsOnIdentifierAndVersionRange)
{
    // The fixture's database is ORVANTA version 27.
    struct Case {
        QString DbId;
        int Vmin;
        int Vmax;
        QString Error; // empty: the script runs
    };
    const QString tooOld = QStringLiteral("La bese dati non é aggiornata per eseguire questo ordine!");
    const QString obsolete = QStringLiteral("Questi ordini sono obsoleti!");
    const QString notHere = QStringLiteral("Ordine non destinato a questa base dati!");
    for (const Case &c : {
             Case { TestIdentifier, 28, 30, tooOld },
             Case { TestIdentifier, 20, 26, obsolete },
             Case { QStringLiteral("orvanta"), 27, 27, notHere },
             Case { QStringLiteral("OV_Vestrel"), 0, 100, notHere },
             Case { TestIdentifier, 27, 27, QString() },
             Case { TestIdentifier, 20, 27, QString() },
             Case { TestIdentifier, 27, 30, QString() },
         }) {
        SCOPED_TRACE(QStringLiteral("%1 %2..%3").arg(c.DbId).arg(c.Vmin).arg(c.Vmax).toStdString());
        ExecOn(Database, { QStringLiteral("DELETE FROM SCRIPT_T WHERE v = 'new'") });
        auto module = Attached();
        EXPECT_EQ(ErrorOf([&] { module->ExecuteCommands(InsertNew, c.DbId, c.Vmin, c.Vmax, 0); }), c.Error);
        EXPECT_EQ(Values().contains(QStringLiteral("new")), c.Error.isEmpty());
        ExpectCallerBackAndDetached(*module);
    }
}

TEST_F(CommandScriptTest, MarkerRules)
{
    const QString start = QStringLiteral("STARTSQL");
    const QString end = QStringLiteral("ENDSQL");
    auto insert = [](const QString &v) -> QString {
        return QStringLiteral("INSERT INTO SCRIPT_T (v) VALUES ('") + v + QStringLiteral("')");
    };
    struct Case {
        const char *Name;
        QStringList Script;
        QStringList Expected; // every value after the run, sorted
    };
    const QList<Case> cases {
        { "lines before the first STARTSQL never run",
            { insert(QStringLiteral("before")), start, insert(QStringLiteral("a")), end },
            { QStringLiteral("a"), QStringLiteral("old") } },
        { "lines between ENDSQL and STARTSQL are discarded",
            { start, insert(QStringLiteral("a")), end, insert(QStringLiteral("between")), start,
                insert(QStringLiteral("b")), end },
            { QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("old") } },
        { "a second ENDSQL runs the statement again with the lines added",
            { start, QStringLiteral("INSERT INTO SCRIPT_T (v) SELECT 'x' FROM rdb$database"), end,
                QStringLiteral("UNION ALL SELECT 'y' FROM rdb$database"), end },
            { QStringLiteral("old"), QStringLiteral("x"), QStringLiteral("x"), QStringLiteral("y") } },
        { "lines after the last ENDSQL never run",
            { start, insert(QStringLiteral("a")), end, insert(QStringLiteral("after")) },
            { QStringLiteral("a"), QStringLiteral("old") } },
        { "blank lines leave the statement's text",
            { start, QStringLiteral("INSERT INTO SCRIPT_T (v) VALUES ('x"), QString(), QStringLiteral("y')"),
                end },
            { QStringLiteral("old"), QStringLiteral("x\r\ny") } },
        { "a colon outside a literal is no parameter",
            { start, QStringLiteral("EXECUTE BLOCK AS DECLARE w VARCHAR(10) = 'colon';"),
                QStringLiteral("BEGIN INSERT INTO SCRIPT_T (v) VALUES (:w); END"), end },
            { QStringLiteral("colon"), QStringLiteral("old") } },
        { "markers compare exactly",
            { start, insert(QStringLiteral("a")), QStringLiteral(" ENDSQL"), QStringLiteral("endsql"),
                QStringLiteral("ENDSQL ") },
            { QStringLiteral("old") } },
        { "the statements run under the maker's account",
            { start, QStringLiteral("INSERT INTO SCRIPT_T (v) VALUES (CURRENT_USER)"), end },
            { QStringLiteral("DREMLIX"), QStringLiteral("old") } },
        { "an empty script", {}, { QStringLiteral("old") } },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        ExecOn(Database, { QStringLiteral("DELETE FROM SCRIPT_T WHERE v <> 'old'") });
        auto module = Attached();
        EXPECT_EQ(ErrorOf([&] { module->ExecuteCommands(c.Script, TestIdentifier, 27, 27, 28); }), QString());
        EXPECT_EQ(Values(), c.Expected);
        ExpectCallerBackAndDetached(*module);
        // Parameters are parsed again for the module's other users.
        EXPECT_TRUE(module->IBSQL()->ParamCheck());
    }
}

TEST_F(CommandScriptTest, AFailingThirdStatementLeavesTheDatabaseAsItWas)
{
    const QStringList script { QStringLiteral("STARTSQL"),
        QStringLiteral("CREATE TABLE SCRIPT_NEW (i INTEGER)"), QStringLiteral("ENDSQL"),
        QStringLiteral("STARTSQL"), QStringLiteral("UPDATE SCRIPT_T SET v = 'changed'"),
        QStringLiteral("ENDSQL"), QStringLiteral("STARTSQL"),
        QStringLiteral("INSERT INTO NO_SUCH_TABLE VALUES (1)"), QStringLiteral("ENDSQL"),
        QStringLiteral("STARTSQL"), QStringLiteral("INSERT INTO SCRIPT_T (v) VALUES ('fourth')"),
        QStringLiteral("ENDSQL") };
    auto module = Attached();
    try {
        module->ExecuteCommands(script, TestIdentifier, 27, 27, 0);
        ADD_FAILURE() << "the script went through";
    } catch (const Db::EDatabaseError &e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("NO_SUCH_TABLE"))) << e.Message().toStdString();
        EXPECT_NE(e.SqlCode(), 0);
    }
    EXPECT_EQ(Values(), QStringList { QStringLiteral("old") });
    EXPECT_EQ(Observe(Database,
                  QStringLiteral("SELECT 1 FROM rdb$relations WHERE rdb$relation_name = 'SCRIPT_NEW'"))
                  .size(),
        0);
    ExpectCallerBackAndDetached(*module);
    EXPECT_TRUE(module->IBSQL()->ParamCheck());

    // The caller reconnects when it needs the database again.
    module->Connect();
    EXPECT_TRUE(module->Connected());
}

TEST_F(CommandScriptTest, RefusedWhenNotAttached)
{
    auto module = MakeModule();
    module->SetParams(TcpString(Database), QStringLiteral("PUBLIC_READER_WRITER"),
        QStringLiteral("ROLE_READER_WRITER"), QStringLiteral("tarvel"));
    EXPECT_FALSE(ErrorOf([&] { module->ExecuteCommands(InsertNew, TestIdentifier, 27, 27, 0); }).isEmpty());
    EXPECT_EQ(Values(), QStringList { QStringLiteral("old") });
    ExpectCallerBackAndDetached(*module);
}

} // namespace
