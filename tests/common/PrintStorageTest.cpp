// The print-parameter storage on a real product database: insert and update with the
// header rules, CR LF texts, the column limits rolled back with the database's error,
// the levels of a caller's transaction, and the writes of other workstations in the way.
#include "CommonDbFixture.h"

#include "Common/Impression/dmStructure_Printing_Unit.h"
#include "Common/Interbase/dmDBConnectionUnit.h"
#include "dbaccess/DbAccess.h"
#include "oslayer/Paths.h"
#include "schema/IBManagers.h"

#include <QFileInfo>

namespace {

class PrintStorageTest : public CommonDbTest {
protected:
    void SetUp() override
    {
        CommonDbTest::SetUp();
        if (IsSkipped())
            return;
        Connection = MakeModule();
        Connection->SetParams(TcpString(Database), QString(), QString(), QString());
        Connection->ConnectAsDremlix();
        Printing = std::make_unique<TdmStructurePrinting>(nullptr, QString(), Connection.get());
    }

    void TearDown() override
    {
        Printing.reset();
        Connection.reset();
        CommonDbTest::TearDown();
    }

    // pname, d_text, f_text, i_text, compat, print_params as committed.
    QVariantList Stored(const QString &name)
    {
        const QList<QVariantList> rows = Observe(Database,
            QStringLiteral("SELECT pname, d_text, f_text, i_text, compat, print_params FROM "
                           "PRT_Params WHERE pname = '")
                + name + QStringLiteral("'"));
        return rows.isEmpty() ? QVariantList() : rows.first();
    }

    std::unique_ptr<TdmDBConnection> Connection;
    std::unique_ptr<TdmStructurePrinting> Printing;
};

const QStringList FalcrestList = {
    QStringLiteral("/* Lista Falcrest"),
    QStringLiteral("COM:FALCREST"),
    QStringLiteral("ORIENTATION=L"),
    QStringLiteral("FONT=Arial,10"),
    QStringLiteral("BAND=Detail"),
};

TEST_F(PrintStorageTest, InsertsTheWholeListWithItsHeader)
{
    EXPECT_FALSE(Printing->PrintParamsExist(QStringLiteral("falcrestgro")));
    QString description = QStringLiteral("unchanged");
    Printing->InsertPrintParams(QStringLiteral("falcrestgro"), FalcrestList, description);
    EXPECT_EQ(description, QStringLiteral("falcrestgro"));
    EXPECT_TRUE(Printing->PrintParamsExist(QStringLiteral("falcrestgro")));
    EXPECT_EQ(Connection->TransactionState(), QStringLiteral("0"));

    const QVariantList row = Stored(QStringLiteral("falcrestgro"));
    ASSERT_EQ(row.size(), 6);
    EXPECT_EQ(row.at(1).toString(), QStringLiteral("falcrestgro"));
    EXPECT_EQ(row.at(2).toString(), QStringLiteral("falcrestgro"));
    EXPECT_EQ(row.at(3).toString(), QStringLiteral("falcrestgro"));
    EXPECT_EQ(row.at(4).toString(), QStringLiteral("FALCREST"));
    EXPECT_EQ(row.at(5).toString(), FalcrestList.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"));
}

TEST_F(PrintStorageTest, DescriptionsComeFromTheirLinesAndFallBack)
{
    const QStringList lines = { QStringLiteral("DES:X:Lista comune"),
        QStringLiteral("DES:I:Lista clienti /* nuova"), QStringLiteral("BAND=1") };
    QString description;
    Printing->InsertPrintParams(QStringLiteral("clienti"), lines, description);
    EXPECT_EQ(description, QStringLiteral("Lista clienti"));
    const QVariantList row = Stored(QStringLiteral("clienti"));
    ASSERT_EQ(row.size(), 6);
    EXPECT_EQ(row.at(1).toString(), QStringLiteral("Lista comune"));
    EXPECT_EQ(row.at(2).toString(), QStringLiteral("Lista comune"));
    EXPECT_EQ(row.at(3).toString(), QStringLiteral("Lista clienti"));
    // A list without "COM:" is stored with an empty key, not NULL.
    EXPECT_FALSE(row.at(4).isNull());
    EXPECT_EQ(row.at(4).toString(), QString());
}

TEST_F(PrintStorageTest, AnInsertThatMeetsAStoredRowSaysItUpdatedAndTheStoredStateIsCompared)
{
    using TState = TdmStructurePrinting::TStoredState;
    QString description;
    EXPECT_EQ(Printing->StoredState(QStringLiteral("falcrestgro"), FalcrestList), TState::Absent);
    EXPECT_TRUE(Printing->InsertPrintParams(QStringLiteral("falcrestgro"), FalcrestList, description));
    EXPECT_EQ(Printing->StoredState(QStringLiteral("falcrestgro"), FalcrestList), TState::Same);

    // Another workstation stored the list since it was looked for: the insert meets its
    // row, the text goes there, and the result says it was an update.
    const QStringList newer = FalcrestList + QStringList { QStringLiteral("BAND=Footer") };
    EXPECT_EQ(Printing->StoredState(QStringLiteral("falcrestgro"), newer), TState::Different);
    EXPECT_FALSE(Printing->InsertPrintParams(QStringLiteral("falcrestgro"), newer, description));
    EXPECT_EQ(Stored(QStringLiteral("falcrestgro")).at(5).toString(),
        newer.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"));
    EXPECT_EQ(Printing->StoredState(QStringLiteral("falcrestgro"), newer), TState::Same);
    // A header that names other descriptions is not current, though the text matched once.
    QStringList described = newer;
    described.prepend(QStringLiteral("DES:I:Altra descrizione"));
    EXPECT_EQ(Printing->StoredState(QStringLiteral("falcrestgro"), described), TState::Different);
}

TEST_F(PrintStorageTest, UpdateReplacesOnlyTheText)
{
    QString description;
    Printing->InsertPrintParams(QStringLiteral("falcrestgro"), FalcrestList, description);
    const QStringList newer = { QStringLiteral("COM:OTHER"), QStringLiteral("DES:I:Nuova descrizione"),
        QStringLiteral("Società € \"quoted\" 'single'"), QStringLiteral("last line") };
    Printing->UpdatePrintParams(QStringLiteral("falcrestgro"), newer);
    const QVariantList row = Stored(QStringLiteral("falcrestgro"));
    ASSERT_EQ(row.size(), 6);
    EXPECT_EQ(row.at(3).toString(), QStringLiteral("falcrestgro"));
    EXPECT_EQ(row.at(4).toString(), QStringLiteral("FALCREST"));
    EXPECT_EQ(row.at(5).toString(), newer.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"));

    // Updating a list that is not stored changes nothing and is no error.
    Printing->UpdatePrintParams(QStringLiteral("missing"), newer);
    EXPECT_EQ(CountRows(Database, QStringLiteral("PRT_Params")), 1);
}

TEST_F(PrintStorageTest, LargeListsRoundTrip)
{
    QStringList lines;
    for (int i = 0; i < 4000; ++i)
        lines << QStringLiteral("LINE%1=").arg(i) + QString(40, QChar(0xE0 + i % 20));
    QString description;
    Printing->InsertPrintParams(QStringLiteral("big"), lines, description);
    EXPECT_EQ(Stored(QStringLiteral("big")).value(5).toString(),
        lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"));
}

struct TooLongCase {
    const char *What;
    QString Name;
    QStringList Lines;
};

void PrintTo(const TooLongCase &c, std::ostream *os) { *os << c.What; }

class TooLongTest : public PrintStorageTest, public ::testing::WithParamInterface<TooLongCase> { };

TEST_P(TooLongTest, IsRolledBackWithTheDatabasesError)
{
    const TooLongCase &c = GetParam();
    QString description = QStringLiteral("unchanged");
    try {
        Printing->InsertPrintParams(c.Name, c.Lines, description);
        FAIL() << "stored " << c.What;
    } catch (const Db::EDatabaseError &e) {
        // The server's own words, with its codes (their values differ between families).
        EXPECT_TRUE(e.Message().contains(QStringLiteral("string truncation"))) << e.Message().toStdString();
        EXPECT_NE(e.FirebirdCode(), 0);
        EXPECT_LT(e.SqlCode(), 0);
        EXPECT_FALSE(e.Message().isEmpty());
    }
    EXPECT_EQ(description, QStringLiteral("unchanged"));
    EXPECT_EQ(Connection->TransactionState(), QStringLiteral("0"));
    EXPECT_FALSE(Connection->InTransaction());
    EXPECT_EQ(CountRows(Database, QStringLiteral("PRT_Params")), 0);
}

INSTANTIATE_TEST_SUITE_P(ColumnLimits, TooLongTest,
    ::testing::Values(TooLongCase { "an I description of 91 characters", QStringLiteral("lst"),
                          { QStringLiteral("DES:I:") + QString(91, QLatin1Char('d')) } },
        TooLongCase { "a compatibility key of 31 characters", QStringLiteral("lst"),
            { QStringLiteral("COM:") + QString(31, QLatin1Char('k')) } },
        TooLongCase { "a name of 61 characters (it is every description too)", QString(61, QLatin1Char('n')),
            { QStringLiteral("BAND=1") } }));

TEST_F(PrintStorageTest, ExactColumnLimitsAreStored)
{
    QString description;
    Printing->InsertPrintParams(QString(60, QLatin1Char('n')),
        { QStringLiteral("DES:D:") + QString(90, QLatin1Char('d')),
            QStringLiteral("DES:F:") + QString(90, QLatin1Char('f')),
            QStringLiteral("DES:I:") + QString(90, QLatin1Char('i')),
            QStringLiteral("COM:") + QString(30, QLatin1Char('k')) },
        description);
    EXPECT_EQ(description, QString(90, QLatin1Char('i')));
    EXPECT_EQ(CountRows(Database, QStringLiteral("PRT_Params")), 1);
}

TEST_F(PrintStorageTest, NestsInTheCallersLevel)
{
    QString description;
    Connection->DoStartTransaction(false);
    try {
        Printing->InsertPrintParams(QStringLiteral("first"), FalcrestList, description);
        EXPECT_EQ(CountRows(Database, QStringLiteral("PRT_Params")), 0);
        EXPECT_TRUE(Printing->PrintParamsExist(QStringLiteral("first")));
        Printing->InsertPrintParams(QStringLiteral("second"),
            { QStringLiteral("DES:I:") + QString(91, QLatin1Char('d')) }, description);
        Connection->DoCommit();
        FAIL() << "stored a too long description";
    } catch (const std::exception &e) {
        // The failed insert left the decision to this level, whose rollback takes the
        // first list with it.
        EXPECT_EQ(Connection->TransactionState(), QStringLiteral("1"));
        EXPECT_THROW(Connection->DoRollback(&e), Db::EDatabaseError);
    }
    EXPECT_EQ(CountRows(Database, QStringLiteral("PRT_Params")), 0);

    Connection->DoStartTransaction(false);
    Printing->InsertPrintParams(QStringLiteral("first"), FalcrestList, description);
    Printing->InsertPrintParams(QStringLiteral("second"), FalcrestList, description);
    Connection->DoCommit();
    EXPECT_EQ(CountRows(Database, QStringLiteral("PRT_Params")), 2);
}

TEST_F(PrintStorageTest, AnInsertThatFindsTheListStoredReplacesItsTextButNotInsideACallersLevel)
{
    // Another workstation stored the list since PrintParamsExist said it was missing.
    QString description;
    Printing->InsertPrintParams(QStringLiteral("falcrestgro"), FalcrestList, description);
    const QStringList newer { QStringLiteral("DES:I:Gruppi"), QStringLiteral("BAND=2") };
    description.clear();
    Printing->InsertPrintParams(QStringLiteral("falcrestgro"), newer, description);
    EXPECT_EQ(description, QStringLiteral("Gruppi"));
    const QVariantList row = Stored(QStringLiteral("falcrestgro"));
    ASSERT_EQ(row.size(), 6);
    EXPECT_EQ(row.at(3).toString(), QStringLiteral("falcrestgro"));
    EXPECT_EQ(row.at(5).toString(), newer.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"));
    EXPECT_EQ(Connection->TransactionState(), QStringLiteral("0"));

    // Inside a caller's level the key violation is the caller's to settle.
    Connection->DoStartTransaction(false);
    try {
        Printing->InsertPrintParams(QStringLiteral("falcrestgro"), FalcrestList, description);
        FAIL() << "stored a duplicate";
    } catch (const Db::EDatabaseError &e) {
        EXPECT_EQ(e.SqlCode(), -803);
        EXPECT_EQ(Connection->TransactionState(), QStringLiteral("1"));
        Connection->DoSilentRollback();
    }
    EXPECT_EQ(Connection->TransactionState(), QStringLiteral("0"));
    EXPECT_EQ(Stored(QStringLiteral("falcrestgro")).value(5).toString(),
        newer.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"));
}

// Another workstation's write of a print list, not yet committed.
class THeldWrite {
public:
    THeldWrite(const QString &connection, const QString &sql)
    {
        FDatabase.SetDatabaseName(connection);
        FDatabase.SetParams({ QStringLiteral("user_name=DREMLIX"), QStringLiteral("password=47219630"),
            QStringLiteral("lc_ctype=ISO8859_1") });
        FDatabase.Open();
        FTransaction.SetDefaultDatabase(&FDatabase);
        FTransaction.SetParams(TdmDBConnection::DefaultTransactionParams());
        FTransaction.Start();
        Db::TStatement statement(&FDatabase, &FTransaction);
        statement.SetSQLText(sql);
        statement.Execute();
    }
    ~THeldWrite() { Release(); }
    void Release()
    {
        if (FTransaction.Active())
            FTransaction.Commit();
    }

private:
    Db::TDatabase FDatabase;
    Db::TTransaction FTransaction;
};

TEST_F(PrintStorageTest, AWriteThatMeetsAnotherWorkstationsWriteStartsAgainAfterAPause)
{
    const QStringList first { QStringLiteral("DES:I:Prima"), QStringLiteral("BAND=1") };
    const QStringList second { QStringLiteral("DES:I:Seconda"), QStringLiteral("BAND=2") };
    const auto text = [](const QStringList &lines) -> QString {
        return lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n");
    };
    QString description;
    Printing->InsertPrintParams(QStringLiteral("clienti"), first, description);
    std::unique_ptr<THeldWrite> other;
    int pauses = 0;
    // The other workstation commits while this one pauses.
    Connection->DatabaseManager()->SetRetryPause([&](int) {
        ++pauses;
        if (other)
            other->Release();
    });

    // An update meets the other's update of the same row.
    other = std::make_unique<THeldWrite>(TcpString(Database),
        QStringLiteral("UPDATE PRT_Params SET print_params = 'altra' WHERE pname = 'clienti'"));
    Printing->UpdatePrintParams(QStringLiteral("clienti"), second);
    EXPECT_EQ(pauses, 1);
    EXPECT_EQ(Stored(QStringLiteral("clienti")).value(5).toString(), text(second));

    // An insert meets the other's insert of the same list, not yet committed, then its
    // row: the text goes there once the other has committed it.
    pauses = 0;
    description.clear();
    other = std::make_unique<THeldWrite>(TcpString(Database),
        QStringLiteral(
            "INSERT INTO PRT_Params (pname, i_text, print_params) VALUES ('nuova', 'Altrui', 'altra')"));
    Printing->InsertPrintParams(QStringLiteral("nuova"), first, description);
    EXPECT_EQ(pauses, 1);
    EXPECT_EQ(description, QStringLiteral("Prima"));
    EXPECT_EQ(Stored(QStringLiteral("nuova")).value(3).toString(), QStringLiteral("Altrui"));
    EXPECT_EQ(Stored(QStringLiteral("nuova")).value(5).toString(), text(first));
    EXPECT_EQ(Connection->TransactionState(), QStringLiteral("0"));

    // A write that never gets through gives up after ten attempts, with the conflict.
    Connection->DatabaseManager()->SetRetryPause([&](int) { ++pauses; });
    pauses = 0;
    other = std::make_unique<THeldWrite>(TcpString(Database),
        QStringLiteral("UPDATE PRT_Params SET print_params = 'altra' WHERE pname = 'clienti'"));
    try {
        Printing->UpdatePrintParams(QStringLiteral("clienti"), first);
        FAIL() << "wrote over a row another workstation holds";
    } catch (const Db::EDatabaseError &e) {
        EXPECT_TRUE(Db::IsWriteConflict(e)) << e.FirebirdCode() << " " << e.Message().toStdString();
    }
    EXPECT_EQ(pauses, 9);
    EXPECT_EQ(Connection->TransactionState(), QStringLiteral("0"));

    // Inside a caller's level the conflict is the caller's: no pause, no second attempt.
    pauses = 0;
    Connection->DoStartTransaction(false);
    EXPECT_THROW(Printing->UpdatePrintParams(QStringLiteral("clienti"), first), Db::EDatabaseError);
    EXPECT_EQ(pauses, 0);
    Connection->DoSilentRollback();
    other.reset();
    EXPECT_EQ(Stored(QStringLiteral("clienti")).value(5).toString(), QStringLiteral("altra"));
}

TEST_F(PrintStorageTest, ServesEveryCompanyDatabaseInTurn)
{
    // A database without the print tables fails with the database's error.
    const QString bare = CreateDatabase(TestIdentifier, TestDBVersion, false);
    const QString other = CreateDatabase();
    QString description;
    Printing->InsertPrintParams(QStringLiteral("one"), FalcrestList, description);

    Connection->SetParams(TcpString(bare), QString(), QString(), QString());
    Connection->ConnectAsDremlix();
    EXPECT_THROW(Printing->PrintParamsExist(QStringLiteral("one")), Db::EDatabaseError);
    EXPECT_EQ(Connection->TransactionState(), QStringLiteral("0"));

    // The table manager makes the table; the cached key query serves the new attachment.
    Printing->ManagerPrintParams()->CreateTable();
    EXPECT_FALSE(Printing->PrintParamsExist(QStringLiteral("one")));
    Printing->InsertPrintParams(QStringLiteral("one"), FalcrestList, description);
    EXPECT_TRUE(Printing->PrintParamsExist(QStringLiteral("one")));
    EXPECT_EQ(CountRows(bare, QStringLiteral("PRT_Params")), 1);

    Connection->SetParams(LocalString(other), QString(), QString(), QString());
    Connection->ConnectAsDremlix();
    EXPECT_FALSE(Printing->PrintParamsExist(QStringLiteral("one")));
    Connection->Disconnect();
    EXPECT_TRUE(Ui.Boxes().isEmpty());
}

TEST_F(PrintStorageTest, ComponentsAreBoundToTheConnection)
{
    EXPECT_EQ(Printing->QueryPrint()->Transaction(), Connection->GlobalTransaction());
    EXPECT_EQ(Printing->IBSQL1()->Transaction(), Connection->GlobalTransaction());
    EXPECT_EQ(Printing->ManagerPrintParams()->DatabaseManager(), Connection->DatabaseManager());
    EXPECT_EQ(Printing->ManagerPrintParams()->TableName(), QStringLiteral("PRT_Params"));
    EXPECT_EQ(Printing->ManagerPrintParams()->FieldDefs(),
        (QStringList { QStringLiteral("pname VARCHAR(60) NOT NULL *"), QStringLiteral("d_text VARCHAR(90)"),
            QStringLiteral("f_text VARCHAR(90)"), QStringLiteral("i_text VARCHAR(90)"),
            QStringLiteral("compat VARCHAR(30)"),
            QStringLiteral("print_params BLOB SUB_TYPE 1 SEGMENT SIZE 80") }));
    EXPECT_EQ(Printing->ManagerPrintImages()->TableName(), QStringLiteral("PRT_Images"));
    EXPECT_EQ(Printing->ManagerPrintImages()->FieldDefs(),
        (QStringList { QStringLiteral("image_name VARCHAR(30) NOT NULL *"),
            QStringLiteral("image_data BLOB SUB_TYPE 0 SEGMENT SIZE 1024") }));

    // A working folder is made with its parents.
    TdmStructurePrinting withFolder(nullptr, QStringLiteral("C:\\WDremlix\\Stampe\\Nuove"), Connection.get());
    EXPECT_EQ(withFolder.Folder(), QStringLiteral("C:\\WDremlix\\Stampe\\Nuove"));
    EXPECT_TRUE(QFileInfo(Os::HostPath(QStringLiteral("C:\\WDremlix\\Stampe\\Nuove"))).isDir());
}

TEST(PrintStorage, NeedsAConnection)
{
    try {
        TdmStructurePrinting printing(nullptr, QString(), nullptr);
        FAIL() << "made without a connection";
    } catch (const Os::EAssertionFailed &e) {
        EXPECT_EQ(e.Message(), QStringLiteral("FConnection = NIL"));
    }
}

} // namespace
