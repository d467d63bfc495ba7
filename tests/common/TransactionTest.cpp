// Transaction levels on real transactions of the test server: what is committed when
// (looked at through a second attachment), the re-raise rules of the rollback, the
// parameters of a server start, the datasets freed by tag, and client datasets
// written back through their resolver.
#include "CommonDbFixture.h"

#include "Common/Interbase/dmDBConnectionUnit.h"
#include "dbaccess/DbAccess.h"
#include "oslayer/WinError.h"
#include "schema/IBManagers.h"

#include <QCoreApplication>
#include <stdexcept>

namespace {

class TransactionTest : public CommonDbTest {
protected:
    void SetUp() override
    {
        CommonDbTest::SetUp();
        if (IsSkipped())
            return;
        ExecOn(Database,
            { QStringLiteral("CREATE TABLE T_LEVELS (id INTEGER NOT NULL PRIMARY KEY, txt VARCHAR(10))") });
        Module = MakeModule();
        Module->SetParams(TcpString(Database), QString(), QString(), QString());
        Module->ConnectAsDremlix();
        ASSERT_TRUE(Module->Connected());
    }

    void Insert(int id, const QString &text = QStringLiteral("x"))
    {
        Module->IBSQL()->Close();
        Module->IBSQL()->SetSQL({ QStringLiteral("INSERT INTO T_LEVELS (id, txt) VALUES (:p0, :p1)") });
        Module->IBSQL()->SetParamInt(0, id);
        Module->IBSQL()->SetParamString(1, text);
        Module->IBSQL()->Execute();
    }

    int Committed() { return CountRows(Database, QStringLiteral("T_LEVELS")); }

    std::unique_ptr<TdmDBConnection> Module;
};

TEST_F(TransactionTest, OnlyTheOutermostLevelCommits)
{
    EXPECT_TRUE(Module->DoStartTransaction(false));
    EXPECT_TRUE(Module->DoStartTransaction(false));
    EXPECT_EQ(Module->TransactionState(), QStringLiteral("2"));
    EXPECT_EQ(Module->GlobalTransaction()->Tag(), 2);
    Insert(1);
    Module->DoCommit();
    EXPECT_EQ(Committed(), 0);
    EXPECT_TRUE(Module->InTransaction());
    Module->DoCommit();
    EXPECT_EQ(Committed(), 1);
    EXPECT_FALSE(Module->InTransaction());
    EXPECT_EQ(Module->TransactionState(), QStringLiteral("0"));
}

TEST_F(TransactionTest, InnerRollbackHandsTheDecisionToTheOuterLevel)
{
    Module->DoStartTransaction(false);
    Insert(1);
    try {
        Module->DoStartTransaction(false);
        try {
            Insert(1); // the key exists
            Module->DoCommit();
        } catch (const std::exception &e) {
            Module->DoRollback(&e);
        }
        FAIL() << "the inner level did not raise";
    } catch (const Db::EDatabaseError &e) {
        EXPECT_EQ(Module->TransactionState(), QStringLiteral("1"));
        EXPECT_TRUE(Module->InTransaction());
        EXPECT_EQ(e.SqlCode(), -803);
        // The outer handler rolls back with what it caught; the server transaction ends.
        EXPECT_THROW(Module->DoRollback(&e), Db::EDatabaseError);
    }
    EXPECT_FALSE(Module->InTransaction());
    EXPECT_EQ(Module->TransactionState(), QStringLiteral("0"));
    EXPECT_EQ(Committed(), 0);
}

TEST_F(TransactionTest, RollbackRaisesANewErrorOfTheSameKind)
{
    auto rollbackWith = [&](const std::exception &e) -> std::exception_ptr {
        Module->DoStartTransaction(false);
        try {
            Module->DoRollback(&e);
        } catch (...) {
            return std::current_exception();
        }
        return nullptr;
    };

    const Db::EDatabaseError database(QStringLiteral("violation"), -803, 335544665);
    try {
        std::rethrow_exception(rollbackWith(database));
    } catch (const Db::EDatabaseError &e) {
        EXPECT_EQ(e.Message(), QStringLiteral("violation"));
        EXPECT_EQ(e.SqlCode(), -803);
        EXPECT_EQ(e.FirebirdCode(), 335544665);
    }

    try {
        std::rethrow_exception(rollbackWith(Os::EAbort()));
    } catch (const Os::EAbort &e) {
        EXPECT_EQ(e.Message(), QString());
    }

    // Anything else becomes a plain error with the same text.
    std::vector<std::unique_ptr<std::exception>> others;
    others.push_back(std::make_unique<Os::EConvertError>(QStringLiteral("'x' is not a number")));
    others.push_back(std::make_unique<Os::EAssertionFailed>(QStringLiteral("'x' is not a number")));
    others.push_back(std::make_unique<std::runtime_error>("'x' is not a number"));
    for (const auto &e : others) {
        try {
            std::rethrow_exception(rollbackWith(*e));
        } catch (const Os::EConvertError &) {
            ADD_FAILURE() << "kept the conversion error's kind";
        } catch (const Os::EAssertionFailed &) {
            ADD_FAILURE() << "kept the assertion's kind";
        } catch (const Os::Exception &plain) {
            EXPECT_EQ(plain.Message(), QStringLiteral("'x' is not a number"));
        }
    }
    EXPECT_EQ(Module->TransactionState(), QStringLiteral("0"));
}

TEST_F(TransactionTest, AnAssignedHandlerTakesDatabaseErrorsInstead)
{
    QList<QVariantList> calls;
    Module->SetExceptionMessageHandler([&calls](int32_t sqlCode, int32_t code, const QString &msg) {
        calls << QVariantList { sqlCode, code, msg };
    });
    Module->DoStartTransaction(false);
    Insert(1);
    const Db::EDatabaseError error(QStringLiteral("lock conflict"), -913, 335544345);
    EXPECT_NO_THROW(Module->DoRollback(&error));
    ASSERT_EQ(calls.size(), 1);
    EXPECT_EQ(calls.first(), (QVariantList { -913, 335544345, QStringLiteral("lock conflict") }));
    EXPECT_EQ(Committed(), 0);
    // Other errors still raise.
    Module->DoStartTransaction(false);
    const Os::Exception plain(QStringLiteral("x"));
    EXPECT_THROW(Module->DoRollback(&plain), Os::Exception);
}

TEST_F(TransactionTest, UnbalancedCommitIsAnAssertion)
{
    try {
        Module->DoCommit();
        FAIL() << "no assertion";
    } catch (const Os::EAssertionFailed &e) {
        EXPECT_TRUE(e.Message().startsWith(QStringLiteral("TRANSACTION MANAGEMENT ERROR")));
        EXPECT_TRUE(e.Message().contains(QStringLiteral("Common/Interbase/dmDBConnectionUnit")));
        EXPECT_TRUE(e.Message().contains(QStringLiteral("928")));
    }
    EXPECT_FALSE(Module->InTransaction());
    // An unbalanced rollback raises as usual, and nothing is rolled back.
    const Os::Exception error(QStringLiteral("late"));
    Module->ClearAllConnections();
    EXPECT_EQ(Module->TransactionState(), QStringLiteral("0"));
    EXPECT_THROW(Module->DoRollback(&error), Os::Exception);
    EXPECT_EQ(Module->TransactionState(), QStringLiteral("-1"));
}

TEST_F(TransactionTest, ProtectedStartOnADetachedDatabaseReturnsFalse)
{
    Module->Disconnect();
    EXPECT_FALSE(Module->DoStartTransaction(true));
    EXPECT_EQ(Module->TransactionState(), QStringLiteral("0"));
    EXPECT_THROW(Module->DoStartTransaction(false), Os::Exception);
    EXPECT_EQ(Module->TransactionState(), QStringLiteral("0"));
    // Closing levels while detached moves the counter without a server call.
    Module->GlobalTransaction()->SetTag(1);
    EXPECT_NO_THROW(Module->DoCommit());
    EXPECT_EQ(Module->TransactionState(), QStringLiteral("0"));
}

TEST_F(TransactionTest, ReadOnlyStartsOnlyAtTheOutermostLevel)
{
    // Inside an open level the read-only start joins the read-write transaction.
    Module->DoStartTransaction(false);
    Module->DoStartReadOnlyTransaction(false);
    Insert(1);
    Module->DoCommit();
    Module->DoCommit();
    EXPECT_EQ(Committed(), 1);

    // Outermost: the server transaction is read-only.
    Module->DoStartReadOnlyTransaction(false);
    EXPECT_EQ(Module->GlobalTransaction()->Params(), TdmDBConnection::ReadOnlyTransactionParams());
    try {
        Insert(2);
        FAIL() << "wrote in a read-only transaction";
    } catch (const Db::EDatabaseError &e) {
        EXPECT_THROW(Module->DoRollback(&e), Db::EDatabaseError);
    }
    // Closing it put the default back: the next level, and the database manager's
    // levels on the same transaction, write again.
    EXPECT_EQ(Module->GlobalTransaction()->Params(), TdmDBConnection::DefaultTransactionParams());
    Module->DoStartTransaction(false);
    Insert(3);
    Module->DoCommit();
    EXPECT_EQ(Committed(), 2);
}

TEST_F(TransactionTest, DefaultStartIsReadCommitted)
{
    Module->DoStartTransaction(false);
    EXPECT_EQ(Module->GlobalTransaction()->Params(),
        (QStringList { QStringLiteral("write"), QStringLiteral("nowait"), QStringLiteral("read_committed"),
            QStringLiteral("rec_version") }));
    // A row committed by another attachment meanwhile is seen inside the running level.
    ExecOn(Database, { QStringLiteral("INSERT INTO T_LEVELS (id) VALUES (42)") });
    Module->GeneralQuery()->Close();
    Module->GeneralQuery()->SetSQL({ QStringLiteral("SELECT COUNT(*) FROM T_LEVELS") });
    Module->GeneralQuery()->Open();
    EXPECT_EQ(Module->GeneralQuery()->AsInteger(0), 1);
    Module->GeneralQuery()->Close();
    Module->DoCommit();
}

TEST_F(TransactionTest, DisconnectInsideALevelRollsBack)
{
    Module->DoStartTransaction(false);
    Module->DoStartTransaction(false);
    Insert(1);
    Module->Disconnect();
    EXPECT_EQ(Module->TransactionState(), QStringLiteral("0"));
    EXPECT_FALSE(Module->InTransaction());
    EXPECT_EQ(Committed(), 0);
}

TEST_F(TransactionTest, SilentRollbackEndsTheLevelQuietly)
{
    Module->DoStartTransaction(false);
    Insert(1);
    EXPECT_NO_THROW(Module->DoSilentRollback());
    EXPECT_EQ(Module->TransactionState(), QStringLiteral("0"));
    EXPECT_FALSE(Module->InTransaction());
    EXPECT_EQ(Committed(), 0);
}

TEST_F(TransactionTest, DatabaseManagerLevelsNestInTheSameCount)
{
    Module->DoStartTransaction(false);
    Insert(1);
    // The manager's own level joins and leaves without committing.
    Module->DatabaseManager()->ExecuteSQL(QStringLiteral("INSERT INTO T_LEVELS (id) VALUES (2)"));
    EXPECT_EQ(Module->TransactionState(), QStringLiteral("1"));
    EXPECT_EQ(Committed(), 0);
    Module->DoCommit();
    EXPECT_EQ(Committed(), 2);
}

TEST_F(TransactionTest, CommitFailureLeavesTheLevelForTheRollback)
{
    // The server ends the module's attachment behind its back: the commit fails.
    Module->DoStartTransaction(false);
    Insert(1);
    ExecOn(Database,
        QStringList { QStringLiteral("DELETE FROM MON$ATTACHMENTS WHERE MON$USER = 'DREMLIX' AND "
                                     "MON$ATTACHMENT_ID <> CURRENT_CONNECTION AND MON$REMOTE_PID = ")
            + QString::number(QCoreApplication::applicationPid()) });
    try {
        Module->DoCommit();
        FAIL() << "committed on a deleted attachment";
    } catch (const std::exception &e) {
        // The usual handler: roll the level back with the error, which raises it again.
        EXPECT_EQ(Module->TransactionState(), QStringLiteral("1"));
        EXPECT_ANY_THROW(Module->DoRollback(&e));
    }
    EXPECT_EQ(Module->TransactionState(), QStringLiteral("0"));
    EXPECT_EQ(Committed(), 0);
    // A level opened afterwards starts a transaction of its own again.
    Module->ConnectAsDremlix();
    Module->DoStartTransaction(false);
    Insert(5);
    Module->DoCommit();
    EXPECT_EQ(Committed(), 1);
}

TEST_F(TransactionTest, FailedServerRollbackKeepsTheErrorBeingRaised)
{
    Module->DoStartTransaction(false);
    Insert(1);
    // The attachment is gone on the server, and the module has not noticed yet.
    ExecOn(Database,
        QStringList { QStringLiteral("DELETE FROM MON$ATTACHMENTS WHERE MON$USER = 'DREMLIX' AND "
                                     "MON$ATTACHMENT_ID <> CURRENT_CONNECTION AND MON$REMOTE_PID = ")
            + QString::number(QCoreApplication::applicationPid()) });
    const Db::EDatabaseError cause(QStringLiteral("the work failed"), -901, 335544345);
    try {
        Module->DoRollback(&cause);
        FAIL() << "the error was not raised again";
    } catch (const Db::EDatabaseError &e) {
        EXPECT_EQ(e.Message(), QStringLiteral("the work failed"));
        EXPECT_EQ(e.SqlCode(), -901);
    }
    EXPECT_EQ(Module->TransactionState(), QStringLiteral("0"));
    EXPECT_EQ(Committed(), 0);
}

// ---- Datasets --------------------------------------------------------------------

TEST_F(TransactionTest, FreeDatasetByTag)
{
    // Tag 1: the dataset's level is committed.
    Db::TQuery query(Module->IBDatabase(), Module->GlobalTransaction());
    query.SetName(QStringLiteral("QueryOne"));
    query.SetTag(1);
    Module->DoStartTransaction(false);
    Insert(1);
    query.SetSQL({ QStringLiteral("SELECT id FROM T_LEVELS") });
    query.Open();
    Module->FreeDataset(&query);
    EXPECT_FALSE(query.Active());
    EXPECT_EQ(Committed(), 1);

    // Tag 2: the same, and the dataset is freed.
    auto *owned = new Db::TQuery(Module->IBDatabase(), Module->GlobalTransaction());
    bool freed = false;
    owned->AddFreeNotification(this, [&freed](Db::TStatement *) { freed = true; });
    owned->SetTag(2);
    Module->DoStartTransaction(false);
    Insert(2);
    Module->FreeDataset(owned);
    EXPECT_TRUE(freed);
    EXPECT_EQ(Committed(), 2);

    // Tag 3: given back to the database manager.
    Db::TQuery *handedOut = Module->DatabaseManager()->CreateQueryGlobal();
    handedOut->SetTag(3);
    EXPECT_EQ(Module->DatabaseManager()->DatasetCount(), 1);
    Module->FreeDataset(handedOut);
    EXPECT_EQ(Module->DatabaseManager()->DatasetCount(), 0);

    Db::TQuery other;
    other.SetName(QStringLiteral("QueryOdd"));
    other.SetTag(7);
    try {
        Module->FreeDataset(&other);
        FAIL() << "no error for tag 7";
    } catch (const Os::Exception &e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Tag unknown in DataSet QueryOdd"));
    }
    Module->FreeDataset(nullptr);
    EXPECT_EQ(Module->TransactionState(), QStringLiteral("0"));
}

TEST_F(TransactionTest, ClientDatasetWritesItsChangesBack)
{
    ExecOn(Database,
        { QStringLiteral("INSERT INTO T_LEVELS (id, txt) VALUES (1, 'one')"),
            QStringLiteral("INSERT INTO T_LEVELS (id, txt) VALUES (2, 'two')") });
    TLocalClientDataset *cds = Module->CreateGlobalCDS();
    ASSERT_NE(cds->Query(), nullptr);
    EXPECT_EQ(cds->Query()->Transaction(), Module->GlobalTransaction());
    EXPECT_EQ(cds->Dsp()->DataSet(), cds->Query());
    cds->Dsp()->TableName = QStringLiteral("T_LEVELS");
    cds->Dsp()->KeyFields = QStringList { QStringLiteral("ID") };

    Module->DoStartTransaction(false);
    cds->Query()->SetSQL({ QStringLiteral("SELECT id, txt FROM T_LEVELS ORDER BY id") });
    cds->Open();
    ASSERT_EQ(cds->RecordCount(), 2);
    cds->SetValue(0, 1, QStringLiteral("uno"));
    cds->DeleteRecord(1);
    cds->AppendRecord({ 3, QStringLiteral("tre") });
    EXPECT_EQ(cds->ChangeCount(), 3);
    cds->ApplyUpdates();
    Module->DoCommit();
    EXPECT_EQ(cds->ChangeCount(), 0);

    const QList<QVariantList> rows
        = Observe(Database, QStringLiteral("SELECT id, txt FROM T_LEVELS ORDER BY id"));
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows.at(0), (QVariantList { 1, QStringLiteral("uno") }));
    EXPECT_EQ(rows.at(1), (QVariantList { 3, QStringLiteral("tre") }));
    Module->FreeGlobalCDS(cds);
}

TEST_F(TransactionTest, RefusedDeletionSaysWhichChangeFailed)
{
    ExecOn(Database,
        { QStringLiteral("CREATE TABLE T_CHILD (id INTEGER NOT NULL PRIMARY KEY, "
                         "parent INTEGER REFERENCES T_LEVELS (id))") });
    ExecOn(Database,
        { QStringLiteral("INSERT INTO T_LEVELS (id, txt) VALUES (1, 'one')"),
            QStringLiteral("INSERT INTO T_CHILD (id, parent) VALUES (10, 1)") });
    TLocalClientDataset *cds = Module->CreateGlobalCDS();
    cds->Dsp()->TableName = QStringLiteral("T_LEVELS");
    cds->Dsp()->KeyFields = QStringList { QStringLiteral("ID") };
    Module->DoStartTransaction(false);
    try {
        cds->Query()->SetSQL({ QStringLiteral("SELECT id, txt FROM T_LEVELS") });
        cds->Open();
        cds->DeleteRecord(0);
        cds->ApplyUpdates();
        Module->DoCommit();
        FAIL() << "deleted a referenced row";
    } catch (const Os::Exception &e) {
        const QString prefix
            = QStringLiteral("La cancellazione nella base dati non é stata eseguita.\r\n\r\n");
        EXPECT_TRUE(e.Message().startsWith(prefix)) << e.Message().toStdString();
        EXPECT_TRUE(
            e.Message().mid(prefix.size()).contains(QStringLiteral("FOREIGN KEY"), Qt::CaseInsensitive))
            << e.Message().toStdString();
        EXPECT_THROW(Module->DoRollback(&e), Os::Exception);
    }
    EXPECT_EQ(CountRows(Database, QStringLiteral("T_LEVELS")), 1);
    Module->FreeGlobalCDS(cds);
}

TEST(ProviderUpdateError, NamesTheKindOfChange)
{
    TLocalClientDataset cds;
    const Os::Exception reason(QStringLiteral("the server's reason"));
    struct Case {
        TUpdateKind Kind;
        QString Text;
    };
    for (const Case &c :
        { Case { ukModify, QStringLiteral("La modifica nella base dati non é stata eseguita.") },
            Case { ukInsert, QStringLiteral("L'inserimento nella base dati non é stata eseguita.") },
            Case { ukDelete, QStringLiteral("La cancellazione nella base dati non é stata eseguita.") } }) {
        TResolverResponse response = rrAbort;
        try {
            TdmDBConnection::ProviderUpdateError(cds, reason, c.Kind, response);
        } catch (const Os::Exception &e) {
            EXPECT_EQ(e.Message(), c.Text + QStringLiteral("\r\n\r\nthe server's reason"));
        }
    }
}

TEST(GetIBErrorMessage, PassesOtherTextsThrough)
{
    EXPECT_EQ(TdmDBConnection::GetIBErrorMessage(Os::Exception(QStringLiteral("335544472 335544721"))),
        QStringLiteral("335544472 335544721"));
    EXPECT_EQ(TdmDBConnection::GetIBErrorMessage(Db::EDatabaseError(QStringLiteral("raw"), -902, 335544344)),
        QStringLiteral("raw"));
    EXPECT_EQ(TdmDBConnection::GetIBErrorMessage(Db::EDatabaseError(QStringLiteral("raw"), -902, 335544472)),
        QStringLiteral("Il vostro nome d'utente non é stato riconosciuto,\r\no la vostra pass-word non é "
                       "valida!"));
    const QStringList lines
        = TdmDBConnection::GetIBErrorMessage(Db::EDatabaseError(QStringLiteral("raw"), -902, 335544375))
              .split(QStringLiteral("\r\n"));
    ASSERT_EQ(lines.size(), 12);
    EXPECT_EQ(lines.at(1), QStringLiteral("Possibili cause : "));
    EXPECT_EQ(
        lines.at(6), QStringLiteral("5) Un Firewall del vostro posto di lavoro blocca la connessione."));
    EXPECT_EQ(lines.at(7), QStringLiteral("6) Sul vostro di lavoro é rimasta aperta un'altra sessione."));
    EXPECT_EQ(lines.at(10), QStringLiteral("raw"));
    Os::SetLastError(1245);
    EXPECT_TRUE(TdmDBConnection::GetIBErrorMessage(Db::EDatabaseError(QStringLiteral("raw"), -902, 335544721))
                    .endsWith(QStringLiteral("\r\nraw\r\n1245")));
}

} // namespace
