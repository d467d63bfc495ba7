// TDatabaseManager: its bindings, the nesting of the caller's transaction, the
// attachment and identity of a product database, and the register of handed-out queries.
#include "schema/IBManagersInternal.h"

#include "schema/SchemaTexts.h"

#include "platform/UiServices.h"

#include <QRandomGenerator>
#include <QThread>
#include <algorithm>

namespace {

void ShowNotReleased(const QString &text, const QString &caption)
{
    UiServices().Beep(MB_ICONEXCLAMATION);
    MessageRequest request;
    request.Kind = MessageKind::Error;
    request.Caption = caption;
    request.Text = text;
    UiServices().ShowMessage(request);
}

} // namespace

namespace SchemaInternal {

QString UpperAscii(const QString &text)
{
    QString result = text;
    for (QChar &c : result) {
        if (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            c = QChar(c.unicode() - 'a' + 'A');
    }
    return result;
}

void RaiseAgain(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const Db::EDatabaseError &e) {
        throw Db::EDatabaseError(e.Message(), e.SqlCode(), e.FirebirdCode());
    } catch (const Os::EAbort &) {
        throw;
    } catch (const Os::Exception &e) {
        throw Os::Exception(e.Message());
    } catch (const std::exception &e) {
        throw Os::Exception(QString::fromUtf8(e.what()));
    }
}

QStringList FirstColumn(Db::TQuery &query)
{
    query.Open();
    QStringList values;
    while (!query.Eof()) {
        values.append(query.AsString(0));
        query.Next();
    }
    query.Close();
    return values;
}

} // namespace SchemaInternal

using SchemaInternal::RaiseAgain;

TDatabaseManager::TDatabaseManager(QObject *owner)
    : QObject(owner)
    , FTransaction2(std::make_unique<Db::TTransaction>())
    , FQuery(std::make_unique<Db::TQuery>())
    , FQuery2(std::make_unique<Db::TQuery>())
    , FSQL(std::make_unique<Db::TStatement>())
    , FSQL2(std::make_unique<Db::TStatement>())
    , FLockTransaction(std::make_unique<Db::TTransaction>())
    , FLockSQL(std::make_unique<Db::TStatement>())
    , FRetryPause([](int ms) { QThread::msleep(static_cast<unsigned long>(ms)); })
    , FRandom([](int bound) { return static_cast<int>(QRandomGenerator::global()->bounded(bound)); })
{
    FTransaction2->SetName(QStringLiteral("FTransaction2"));
    // Every workstation writes the register: a write waits for another one on the same
    // row and then sees what that one committed, instead of failing on it.
    FTransaction2->SetParams(
        { QStringLiteral("write"), QStringLiteral("read_committed"), QStringLiteral("rec_version") });
    FQuery2->SetTransaction(FTransaction2.get());
    FSQL2->SetTransaction(FTransaction2.get());
    FLockTransaction->SetParams({ QStringLiteral("no_rec_version"), QStringLiteral("nowait") });
    FLockSQL->SetTransaction(FLockTransaction.get());
}

TDatabaseManager::~TDatabaseManager()
{
    // A handed-out query that nobody gave back is a fault of its caller; say so
    // rather than leak it silently.
    const std::vector<Db::TQuery *> datasets = FDatasetList;
    for (Db::TQuery *query : datasets)
        ShowNotReleased(SchemaTexts::DatasetNotReleased(), query->Name());
    for (Db::TTransaction *transaction : FTransactionList)
        ShowNotReleased(SchemaTexts::TransactionNotReleased(), transaction->Name());
    for (Db::TQuery *query : datasets) {
        if (IsRegistered(query)) {
            query->RemoveFreeNotification(this);
            delete query;
        }
    }
    FDatasetList.clear();
    for (Db::TTransaction *transaction : FTransactionList)
        delete transaction;
    FTransactionList.clear();
}

void TDatabaseManager::SetDatabase(Db::TDatabase *database)
{
    FDatabase = database;
    FQuery->SetDatabase(database);
    FSQL2->SetDatabase(database);
    if (FTransaction)
        FTransaction->SetDefaultDatabase(database);
    FTransaction2->SetDefaultDatabase(database);
    FLockTransaction->SetDefaultDatabase(database);
}

void TDatabaseManager::SetTransaction(Db::TTransaction *transaction)
{
    FTransaction = transaction;
    if (transaction && FDatabase)
        transaction->SetDefaultDatabase(FDatabase);
    FSQL->SetTransaction(transaction);
    FQuery->SetTransaction(transaction);
}

// ---- Nested transaction -------------------------------------------------------------

void TDatabaseManager::EnterTransaction()
{
    if (!FTransaction)
        throw Os::Exception(Name() + SchemaTexts::NoTransactionSuffix());
    if (FTransaction->Tag() == 0) {
        FTransaction->Start();
        ++FActiveTransactionCount;
    }
    FTransaction->SetTag(FTransaction->Tag() + 1);
}

void TDatabaseManager::LeaveTransaction()
{
    if (!FTransaction)
        throw Os::Exception(Name() + SchemaTexts::NoTransactionSuffix());
    // A level closed that was never opened: refuse it rather than let the depth go
    // below 0, where no later level would ever start a transaction again.
    if (FTransaction->Tag() <= 0)
        throw Os::EAssertionFailed(SchemaTexts::TransactionManagementError());
    FTransaction->SetTag(FTransaction->Tag() - 1);
    if (FTransaction->Tag() == 0) {
        --FActiveTransactionCount;
        try {
            FTransaction->Commit();
        } catch (...) {
            // The level is closed already; a failed commit must not leave the server
            // transaction open under a depth of 0, or no later level would start one.
            try {
                if (FTransaction->Active())
                    FTransaction->Rollback();
            } catch (...) {
            }
            RaiseAgain(std::current_exception());
        }
    }
}

void TDatabaseManager::AbortTransaction()
{
    if (!FTransaction || FTransaction->Tag() <= 0)
        return;
    FTransaction->SetTag(FTransaction->Tag() - 1);
    if (FTransaction->Tag() == 0) {
        try {
            if (FTransaction->Active())
                FTransaction->Rollback();
        } catch (...) {
            // The error that brought us here is the one to report.
        }
        --FActiveTransactionCount;
    }
}

void TDatabaseManager::AbortTransaction(const std::exception_ptr &error)
{
    AbortTransaction();
    RaiseAgain(error);
}

void TDatabaseManager::CheckNoActiveTransaction()
{
    if (FTransaction && FTransaction->Active())
        throw Os::Exception(SchemaTexts::TransactionActive());
}

// ---- Connection and identity ----------------------------------------------------------

void TDatabaseManager::Connect()
{
    if (!FDatabase)
        throw Os::Exception(SchemaTexts::NilDatabase());
    if (FDatabase->Connected())
        throw Os::Exception(SchemaTexts::AlreadyConnected());
    FDatabase->SetDatabaseName(FConnectionString);
    QStringList &params = FDatabase->Params();
    params.clear();
    params.append(QStringLiteral("user_name=") + FUserName);
    params.append(QStringLiteral("password=") + FPassword);
    if (!FRole.isEmpty())
        params.append(QStringLiteral("sql_role_name=") + FRole);
    params.append(QStringLiteral("lc_ctype=ISO8859_1"));
    FDatabase->Open();
}

void TDatabaseManager::GetDBVersion(QString &dbi, int32_t &dbv)
{
    Nested([&] {
        FQuery->Close();
        FQuery->SetSQL(
            { QStringLiteral("SELECT sval FROM ConnectionControl WHERE"), QStringLiteral("id = :p0") });
        FQuery->SetParamInt(0, 2);
        FQuery->Open();
        dbi = FQuery->HasCurrentRow() ? FQuery->AsString(0) : QString();
        FQuery->Close();
        FQuery->SetParamInt(0, 3);
        FQuery->Open();
        dbv = FQuery->HasCurrentRow() ? FQuery->AsInteger(0) : 0;
        FQuery->Close();
    });
}

void TDatabaseManager::SetDBVersion(int32_t dbv)
{
    Nested([&] {
        FSQL->SetSQL({ QStringLiteral("UPDATE ConnectionControl SET sval = ") + QString::number(dbv)
            + QStringLiteral(" WHERE id = 3") });
        FSQL->Execute();
    });
}

// ---- Handed-out queries ---------------------------------------------------------------

bool TDatabaseManager::IsRegistered(const Db::TQuery *query) const
{
    return std::find(FDatasetList.begin(), FDatasetList.end(), query) != FDatasetList.end();
}

void TDatabaseManager::RegisterQuery(Db::TQuery *query, Db::TTransaction *ownTransaction)
{
    query->AddFreeNotification(
        this, [this, ownTransaction](Db::TStatement *freed) { QueryFreed(freed, ownTransaction); });
    FDatasetList.push_back(query);
    if (ownTransaction)
        FTransactionList.push_back(ownTransaction);
}

void TDatabaseManager::QueryFreed(Db::TStatement *query, Db::TTransaction *transaction)
{
    FDatasetList.erase(std::remove(FDatasetList.begin(), FDatasetList.end(), query), FDatasetList.end());
    // A query freed by its holder takes the transaction made for it along, as that
    // transaction has no other user.
    auto it = std::find(FTransactionList.begin(), FTransactionList.end(), transaction);
    if (transaction && it != FTransactionList.end()) {
        FTransactionList.erase(it);
        delete transaction;
    }
}

Db::TQuery *TDatabaseManager::CreateQueryGlobal()
{
    if (!FTransaction)
        throw Os::Exception(SchemaTexts::ManagerHasNoTransaction());
    auto query = std::make_unique<Db::TQuery>();
    query->SetTransaction(FTransaction);
    Db::TQuery *result = query.release();
    RegisterQuery(result, nullptr);
    return result;
}

TQueryLease<Db::TQuery> TDatabaseManager::LeaseQueryGlobal() { return { *this, CreateQueryGlobal() }; }

void TDatabaseManager::FreeDataset(Db::TQuery *DataSet)
{
    if (!DataSet)
        return;
    if (!IsRegistered(DataSet))
        throw Os::Exception(SchemaTexts::FreeDatasetNotFound());
    // Give the query back even when closing fails: the attachment may be gone.
    try {
        DataSet->Close();
    } catch (...) {
    }
    if (!FDatabase || !FDatabase->Connected())
        DataSet->DiscardLocal();
    // Its free notification takes it off the register, with the transaction made for it.
    delete DataSet;
}

void TDatabaseManager::Commit(Db::TQuery *DataSet)
{
    if (!IsRegistered(DataSet))
        throw Os::Exception(SchemaTexts::IBQueryNotFound());
    DataSet->Transaction()->Commit();
}

void TDatabaseManager::CommitRetaining(Db::TQuery *DataSet)
{
    if (!IsRegistered(DataSet))
        throw Os::Exception(SchemaTexts::IBQueryNotFound());
    DataSet->Transaction()->CommitRetaining();
}

void TDatabaseManager::Rollback(Db::TQuery *DataSet)
{
    if (!IsRegistered(DataSet))
        throw Os::Exception(SchemaTexts::IBQueryNotFound());
    DataSet->Transaction()->Rollback();
}

void TDatabaseManager::CloseAllConnections()
{
    const std::vector<Db::TQuery *> datasets = FDatasetList;
    for (Db::TQuery *query : datasets) {
        try {
            query->Close();
        } catch (...) {
        }
        try {
            Db::TTransaction *transaction = query->Transaction();
            if (transaction && transaction->Active())
                transaction->Rollback();
        } catch (...) {
        }
    }
}

// ---- Statements ---------------------------------------------------------------------------

void TDatabaseManager::ExecuteSQL(const QString &Sql)
{
    Nested([&] {
        FSQL->SetSQLText(Sql);
        FSQL->Execute();
    });
}
