#include "schema/IBManagers.h"

#include "schema/SchemaTexts.h"

#include "oslayer/Exceptions.h"
#include "platform/UiServices.h"

#include <QRandomGenerator>
#include <QThread>
#include <algorithm>

namespace {

constexpr int RegisterAttempts = 5;
constexpr int RetryPauseBound = 2000;
constexpr int UserKeyLength = 60;
// 0.03 day: a workstation refreshes its row every 30 minutes, so a row older than this
// belongs to a workstation that is gone.
constexpr qint64 UserExpiryMSecs = 2592000;

// ASCII letters only, as the catalogue stores names in capitals.
QString UpperAscii(const QString &text)
{
    QString result = text;
    for (QChar &c : result) {
        if (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            c = QChar(c.unicode() - 'a' + 'A');
    }
    return result;
}

// A database error keeps its codes; anything else goes on as a plain error with its text.
[[noreturn]] void RaiseAgain(std::exception_ptr error)
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

// ======================================================================================
// TDatabaseManager
// ======================================================================================

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

void TDatabaseManager::AbortTransaction(std::exception_ptr error)
{
    AbortTransaction();
    RaiseAgain(error);
}

void TDatabaseManager::CheckNoActiveTransaction()
{
    if (FTransaction && FTransaction->Active())
        throw Os::Exception(SchemaTexts::TransactionActive());
}

template <typename Work> auto TDatabaseManager::Nested(Work &&work) -> decltype(work())
{
    EnterTransaction();
    if constexpr (std::is_void_v<decltype(work())>) {
        try {
            work();
        } catch (...) {
            AbortTransaction(std::current_exception());
        }
        LeaveTransaction();
    } else {
        decltype(work()) result {};
        try {
            result = work();
        } catch (...) {
            AbortTransaction(std::current_exception());
        }
        LeaveTransaction();
        return result;
    }
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

// ---- Register of connected workstations -------------------------------------------

QString TDatabaseManager::QuotedString(const QString &text)
{
    QString inner = text;
    inner.replace(QLatin1Char('\''), QStringLiteral("''"));
    return QLatin1Char('\'') + inner + QLatin1Char('\'');
}

QString TDatabaseManager::UserKey(const QString &UserStr) { return UserStr.left(UserKeyLength); }

void TDatabaseManager::RetryPause()
{
    const int ms = FRandom ? FRandom(RetryPauseBound) : 0;
    if (FRetryPause)
        FRetryPause(ms);
}

void TDatabaseManager::PurgeUsers()
{
    FQuery2->Close();
    FQuery2->SetSQL({ QStringLiteral("SELECT * FROM GET_SERVER_TIME") });
    FQuery2->Open();
    const QDateTime now = FQuery2->AsDateTime(0);
    FQuery2->Close();
    FSQL2->SetSQL({ QStringLiteral("DELETE FROM Users WHERE lastcheck < :p0") });
    FSQL2->SetParamDateTime(0, now.addMSecs(-UserExpiryMSecs));
    FSQL2->Execute();
}

void TDatabaseManager::RegisterUser(const QString &UserStr)
{
    const QString key = UserKey(UserStr);
    for (int attempt = 0; attempt < RegisterAttempts; ++attempt) {
        if (attempt > 0)
            RetryPause();
        try {
            FTransaction2->Start();
            FQuery2->Close();
            FQuery2->SetSQL(
                { QStringLiteral("SELECT COUNT(*) FROM Users WHERE username=") + QuotedString(key) });
            FQuery2->Open();
            const int32_t count = FQuery2->AsInteger(0);
            FQuery2->Close();
            FSQL2->SQL().clear();
            FSQL2->ClearParams();
            if (count != 0)
                FSQL2->SetSQL({ QStringLiteral("UPDATE Users SET lastcheck = 'Now' WHERE"),
                    QStringLiteral("username = :p0") });
            else
                FSQL2->SetSQL({ QStringLiteral("INSERT INTO Users (username, lastcheck)"),
                    QStringLiteral("VALUES (:p0, 'Now')") });
            FSQL2->SetParamString(0, key);
            FSQL2->Execute();
            PurgeUsers();
            FTransaction2->Commit();
            return;
        } catch (...) {
            // Another workstation holds the rows; roll back and try again after a pause.
            try {
                FQuery2->Close();
                if (FTransaction2->Active())
                    FTransaction2->Rollback();
            } catch (...) {
            }
        }
    }
}

void TDatabaseManager::UnRegisterUser(const QString &UserStr)
{
    const QString key = UserKey(UserStr);
    for (int attempt = 0; attempt < RegisterAttempts; ++attempt) {
        if (attempt > 0)
            RetryPause();
        try {
            FTransaction2->Start();
            FSQL2->ClearParams();
            FSQL2->SetSQL({ QStringLiteral("DELETE FROM Users WHERE username=") + QuotedString(key) });
            FSQL2->Execute();
            FTransaction2->Commit();
            return;
        } catch (...) {
            try {
                if (FTransaction2->Active())
                    FTransaction2->Rollback();
            } catch (...) {
            }
        }
    }
}

void TDatabaseManager::GetUserList(QStringList &liste)
{
    FTransaction2->Start();
    try {
        liste.clear();
        PurgeUsers();
        FQuery2->Close();
        FQuery2->SetSQL({ QStringLiteral("SELECT username FROM Users ORDER BY username") });
        FQuery2->Open();
        while (!FQuery2->Eof()) {
            liste.append(FQuery2->AsString(0));
            FQuery2->Next();
        }
        FQuery2->Close();
        FTransaction2->Commit();
    } catch (...) {
        try {
            FQuery2->Close();
            if (FTransaction2->Active())
                FTransaction2->Rollback();
        } catch (...) {
        }
        throw;
    }
}

QDateTime TDatabaseManager::GetServerTime()
{
    return Nested([&] {
        FQuery->Close();
        FQuery->SetSQL({ QStringLiteral("SELECT * FROM GET_SERVER_TIME") });
        FQuery->Open();
        const QDateTime t = FQuery->AsDateTime(0);
        FQuery->Close();
        return t;
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
    Db::TTransaction *transaction = DataSet->Transaction();
    auto it = std::find(FTransactionList.begin(), FTransactionList.end(), transaction);
    if (transaction && it != FTransactionList.end()) {
        FTransactionList.erase(it);
        DataSet->SetTransaction(nullptr);
        delete transaction;
    }
    delete DataSet; // its free notification takes it off the register
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

// ---- Statements and schema operations -------------------------------------------------

void TDatabaseManager::ExecuteSQL(const QString &Sql)
{
    Nested([&] {
        FSQL->SetSQLText(Sql);
        FSQL->Execute();
    });
}

int32_t TDatabaseManager::GenId(const QString &name, int32_t increment)
{
    return Nested([&] {
        FQuery->Close();
        FQuery->SetSQL({ QStringLiteral("SELECT GEN_ID(") + name + QStringLiteral(", ")
            + QString::number(increment) + QStringLiteral(") FROM RDB$DATABASE") });
        FQuery->Open();
        const int32_t value = FQuery->AsInteger(0);
        FQuery->Close();
        return value;
    });
}

int32_t TDatabaseManager::GenerateNumber(const QString &gen_id) { return GenId(gen_id, 1); }

int32_t TDatabaseManager::GenerateNumber(const QString &gen_id, int32_t increment)
{
    return GenId(gen_id, increment);
}

int32_t TDatabaseManager::GetCurrentGeneratorValue(const QString &gen_id) { return GenId(gen_id, 0); }

void TDatabaseManager::SetGeneratorValue(const QString &gen_id, int32_t Value)
{
    ExecuteSQL(QStringLiteral("SET GENERATOR ") + gen_id + QStringLiteral(" TO ") + QString::number(Value));
}

void TDatabaseManager::CreateGenerator(const QString &Name)
{
    ExecuteSQL(QStringLiteral("CREATE GENERATOR ") + Name);
}

void TDatabaseManager::DropGenerator(const QString &Name)
{
    try {
        ExecuteSQL(QStringLiteral("DELETE FROM RDB$GENERATORS WHERE RDB$GENERATOR_NAME = '") + Name
            + QStringLiteral("'"));
    } catch (const Db::EDatabaseError &e) {
        // From Firebird 3 on the catalogue is read-only; the server drops it itself.
        try {
            ExecuteSQL(QStringLiteral("DROP GENERATOR ") + Name);
        } catch (const Db::EDatabaseError &) {
            throw Db::EDatabaseError(e.Message(), e.SqlCode(), e.FirebirdCode());
        }
    }
}

void TDatabaseManager::CreateException(const QString &Name, const QString &msg)
{
    ExecuteSQL(QStringLiteral("create exception ") + Name + QStringLiteral(" '") + msg + QStringLiteral("'"));
}

void TDatabaseManager::DropProcedure(const QString &Name)
{
    ExecuteSQL(QStringLiteral("DROP PROCEDURE ") + Name);
}

void TDatabaseManager::DropIndex(const QString &IndexName)
{
    ExecuteSQL(QStringLiteral("DROP INDEX ") + IndexName);
}

void TDatabaseManager::DropTrigger(const QString &TrigName)
{
    ExecuteSQL(QStringLiteral("DROP TRIGGER ") + TrigName);
}

void TDatabaseManager::ClearSource()
{
    ExecuteSQL(QStringLiteral("UPDATE RDB$PROCEDURES SET RDB$PROCEDURE_SOURCE = 'empty'"));
    ExecuteSQL(QStringLiteral("UPDATE RDB$TRIGGERS SET RDB$TRIGGER_SOURCE = '' WHERE RDB$TRIGGER_NAME NOT "
                              "STARTING WITH 'RDB$' AND RDB$TRIGGER_NAME NOT STARTING WITH 'CHECK_'"));
}

void TDatabaseManager::ClearTriggerSource(const QString &TriggerName)
{
    ExecuteSQL(QStringLiteral("UPDATE RDB$TRIGGERS SET RDB$TRIGGER_SOURCE = '' WHERE RDB$TRIGGER_NAME = '")
        + TriggerName + QStringLiteral("'"));
}

bool TDatabaseManager::QueryHasRow(const QStringList &lines)
{
    return Nested([&] {
        FQuery->Close();
        FQuery->SetSQL(lines);
        FQuery->Open();
        const bool found = FQuery->HasCurrentRow();
        FQuery->Close();
        return found;
    });
}

bool TDatabaseManager::FindTable(const QString &TableName)
{
    return QueryHasRow({ QStringLiteral("SELECT rdb$relation_name FROM rdb$relations WHERE"),
        QStringLiteral("((rdb$system_flag = 0) OR (rdb$system_flag IS NULL))"),
        QStringLiteral("AND (rdb$view_source IS NULL)"),
        QStringLiteral("AND UPPER(rdb$relation_name) = '") + UpperAscii(TableName) + QStringLiteral("'") });
}

bool TDatabaseManager::FindGenerator(const QString &Name)
{
    return QueryHasRow({ QStringLiteral("SELECT rdb$generator_name FROM rdb$generators WHERE"),
        QStringLiteral("((rdb$system_flag = 0) OR (rdb$system_flag IS NULL))"),
        QStringLiteral("AND UPPER(rdb$generator_name) = '") + UpperAscii(Name) + QStringLiteral("'") });
}

bool TDatabaseManager::FindIndex(const QString &IndexName)
{
    return QueryHasRow({ QStringLiteral("SELECT rdb$index_name FROM rdb$indices WHERE"),
        QStringLiteral("UPPER(rdb$index_name) = '") + UpperAscii(IndexName) + QStringLiteral("'") });
}

bool TDatabaseManager::FindCheckConstraint(const QString &Name)
{
    return QueryHasRow({ QStringLiteral("SELECT rdb$constraint_name FROM rdb$check_constraints WHERE"),
        QStringLiteral("UPPER(rdb$constraint_name) = '") + UpperAscii(Name) + QStringLiteral("'") });
}

bool TDatabaseManager::FindTrigger(const QString &TriggerName)
{
    return QueryHasRow({ QStringLiteral("SELECT 'T' FROM RDB$TRIGGERS WHERE"),
        QStringLiteral("RDB$TRIGGER_NAME = '") + TriggerName + QStringLiteral("'") });
}

void TDatabaseManager::GetTableNames(QStringList &TextList)
{
    Nested([&] {
        TextList.clear();
        FQuery->Close();
        FQuery->SetSQL({ QStringLiteral("SELECT rdb$relation_name FROM rdb$relations WHERE"),
            QStringLiteral("((rdb$system_flag = 0) OR (rdb$system_flag IS NULL))"),
            QStringLiteral("AND (rdb$view_source IS NULL)") });
        FQuery->Open();
        while (!FQuery->Eof()) {
            TextList.append(FQuery->AsString(0));
            FQuery->Next();
        }
        FQuery->Close();
    });
}

void TDatabaseManager::GetFieldNames(const QString &TableName, QStringList &TextList)
{
    Nested([&] {
        TextList.clear();
        FQuery->Close();
        FQuery->SetSQL({ QStringLiteral("SELECT * FROM ") + TableName });
        FQuery->Open();
        TextList = FQuery->FieldNames();
        FQuery->Close();
    });
}

QString TDatabaseManager::GetKeyname(const QString &TableName)
{
    return Nested([&] {
        FQuery->Close();
        FQuery->SetSQL({ QStringLiteral("SELECT rdb$index_name FROM rdb$indices WHERE "),
            QStringLiteral("RDB$RELATION_NAME = '") + UpperAscii(TableName) + QStringLiteral("'"),
            QStringLiteral("AND rdb$index_name LIKE '%PRIMARY%'") });
        FQuery->Open();
        QString name;
        int rows = 0;
        while (!FQuery->Eof()) {
            if (rows == 0)
                name = FQuery->AsString(0).trimmed();
            ++rows;
            FQuery->Next();
        }
        FQuery->Close();
        if (rows != 1)
            throw Os::Exception(SchemaTexts::GetKeynameFailed());
        return name;
    });
}

QString TDatabaseManager::GetConstraintIndexName(const QString &ConstraintName)
{
    return Nested([&] {
        FQuery->Close();
        FQuery->SetSQL({ QStringLiteral("SELECT rdb$index_name FROM rdb$relation_constraints WHERE "),
            QStringLiteral("RDB$CONSTRAINT_NAME = '") + UpperAscii(ConstraintName) + QStringLiteral("'") });
        FQuery->Open();
        QString name;
        int rows = 0;
        while (!FQuery->Eof()) {
            if (rows == 0)
                name = FQuery->AsString(0).trimmed();
            ++rows;
            FQuery->Next();
        }
        FQuery->Close();
        if (rows != 1)
            throw Os::Exception(SchemaTexts::GetConstraintIndexNameFailed());
        if (name.isEmpty())
            throw Os::EAssertionFailed(SchemaTexts::GetConstraintIndexNameEmpty());
        return name;
    });
}

QString TDatabaseManager::GetDBOwner()
{
    return Nested([&] {
        FQuery->Close();
        FQuery->SetSQL({ QStringLiteral("SELECT rdb$owner_name FROM rdb$relations WHERE"),
            QStringLiteral("rdb$relation_name = 'RDB$DATABASE                   '") });
        FQuery->Open();
        const QString owner = FQuery->HasCurrentRow() ? FQuery->AsString(0) : QString();
        FQuery->Close();
        return owner;
    });
}

void TDatabaseManager::SetDBOwner(const QString &Value)
{
    Nested([&] {
        FSQL->SetSQL({ QStringLiteral("UPDATE rdb$relations SET rdb$owner_name = :p0 WHERE"),
            QStringLiteral("rdb$relation_name = 'RDB$DATABASE'") });
        FSQL->SetParamString(0, Value);
        FSQL->Execute();
    });
}

void TDatabaseManager::SetStatistics()
{
    QStringList indexes;
    Nested([&] {
        FQuery->Close();
        FQuery->SetSQL({ QStringLiteral("SELECT rdb$index_name FROM rdb$indices") });
        FQuery->Open();
        while (!FQuery->Eof()) {
            indexes.append(FQuery->AsString(0));
            FQuery->Next();
        }
        FQuery->Close();
        for (const QString &index : indexes) {
            try {
                ExecuteSQL(QStringLiteral("SET STATISTICS INDEX ") + index);
            } catch (const Os::Exception &) {
                // An index the account may not touch keeps its old statistics.
            }
        }
    });
}

void TDatabaseManager::GetLogData(QStringList &TextList)
{
    Nested([&] {
        FQuery->Close();
        FQuery->SetSQL({ QStringLiteral("SELECT LOGDATA FROM GETLOG") });
        FQuery->Open();
        const QString text = FQuery->HasCurrentRow() ? FQuery->AsString(0) : QString();
        FQuery->Close();
        QString normal = text;
        normal.replace(QStringLiteral("\r\n"), QStringLiteral("\n"))
            .replace(QLatin1Char('\r'), QLatin1Char('\n'));
        TextList = normal.split(QLatin1Char('\n'));
        if (!TextList.isEmpty() && TextList.last().isEmpty())
            TextList.removeLast();
    });
}

// ---- A new product database ---------------------------------------------------------

QStringList TDatabaseManager::CreateDatabaseStatements() const
{
    return {
        QStringLiteral("CREATE PROCEDURE GET_SERVER_TIME RETURNS (STIME TIMESTAMP) AS BEGIN STIME = 'Now'; "
                       "SUSPEND; END"),
        QStringLiteral("GRANT EXECUTE ON PROCEDURE GET_SERVER_TIME TO PUBLIC"),
        QStringLiteral("UPDATE RDB$CHARACTER_SETS SET RDB$DEFAULT_COLLATE_NAME = 'FR_FR' WHERE "
                       "RDB$CHARACTER_SET_NAME = 'ISO8859_1'"),
        QStringLiteral(
            "CREATE DOMAIN Boolean AS CHAR(1) CHARACTER SET ASCII DEFAULT 'F' NOT NULL CHECK (VALUE IN "
            "('T', 'F'))"),
        QStringLiteral("CREATE TABLE ConnectionControl(id SMALLINT, sval VARCHAR(255))"),
        QStringLiteral("GRANT ALL ON ConnectionControl TO PUBLIC"),
        QStringLiteral("INSERT INTO ConnectionControl (id) VALUES (0)"),
        QStringLiteral("INSERT INTO ConnectionControl (id) VALUES (1)"),
        // Quoted as a literal: an identifier with a quote would otherwise break the
        // statement, or end the literal early.
        QStringLiteral("INSERT INTO ConnectionControl (id, sval) VALUES (2, ") + QuotedString(FDBIdentifier)
            + QStringLiteral(")"),
        QStringLiteral("INSERT INTO ConnectionControl (id, sval) VALUES (3, ") + QString::number(FDBVersion)
            + QStringLiteral(")"),
        QStringLiteral("CREATE ROLE ROLE_READER"),
        QStringLiteral("CREATE ROLE ROLE_READER_WRITER"),
        QStringLiteral("GRANT ROLE_READER TO PUBLIC_READER"),
        QStringLiteral("GRANT ROLE_READER_WRITER TO PUBLIC_READER_WRITER"),
        QStringLiteral("CREATE TABLE Users(username VARCHAR(60), lastcheck TIMESTAMP)"),
        QStringLiteral("GRANT ALL ON Users TO PUBLIC"),
    };
}

void TDatabaseManager::CreateDatabase()
{
    if (!FDatabase)
        throw Os::Exception(SchemaTexts::NilDatabase());
    const QStringList clauses { QStringLiteral("USER 'DREMLIX'"), QStringLiteral("PASSWORD '4721963058'"),
        QStringLiteral("PAGE_SIZE 4096"), QStringLiteral("DEFAULT CHARACTER SET ISO8859_1") };
    FDatabase->CreateDatabase(FConnectionString, clauses);
    const QStringList statements = CreateDatabaseStatements();
    for (qsizetype i = 0; i < statements.size(); ++i) {
        const QString fallback = Firebird3Statement(i);
        if (fallback.isEmpty()) {
            ExecuteSQL(statements.at(i));
            continue;
        }
        try {
            ExecuteSQL(statements.at(i));
        } catch (const Db::EDatabaseError &e) {
            try {
                ExecuteSQL(fallback);
            } catch (const Db::EDatabaseError &) {
                throw Db::EDatabaseError(e.Message(), e.SqlCode(), e.FirebirdCode());
            }
        }
    }
}

QString TDatabaseManager::Firebird3Statement(qsizetype index)
{
    // Servers from Firebird 3 on refuse writes to their system tables and reserve the
    // word BOOLEAN for a type of their own; what the bootstrap lays down is the same
    // through these forms: the default collation, and the domain under the name the
    // older servers store for it.
    switch (index) {
    case 2:
        return QStringLiteral("ALTER CHARACTER SET ISO8859_1 SET DEFAULT COLLATION FR_FR");
    case 3:
        return QStringLiteral("CREATE DOMAIN \"BOOLEAN\" AS CHAR(1) CHARACTER SET ASCII DEFAULT 'F' NOT NULL "
                              "CHECK (VALUE IN ('T', 'F'))");
    default:
        return QString();
    }
}

QList<QStringList> TDatabaseManager::UDFDeclarations()
{
    const QString integer = QStringLiteral("RETURNS Integer BY VALUE");
    const QString text = QStringLiteral("RETURNS CSTRING(32767) CHARACTER SET ISO8859_1 FREE_IT");
    const QString ovModule = QStringLiteral("MODULE_NAME 'ov_udf.dll'");
    const QString ibModule = QStringLiteral("MODULE_NAME 'ib_udf.dll'");
    struct Declaration {
        QStringList Lines;
        QString Result;
        QString EntryPoint;
        bool Standard;
    };
    const QList<Declaration> declarations {
        { { QStringLiteral("DECLARE EXTERNAL FUNCTION FindStringsInBlob BLOB, CSTRING(32767)") }, integer,
            QStringLiteral("FindStringsInBlob"), false },
        { { QStringLiteral("DECLARE EXTERNAL FUNCTION FindStringsInString CSTRING(32767), CSTRING(32767)") },
            integer, QStringLiteral("FindStringsInString"), false },
        { { QStringLiteral("DECLARE EXTERNAL FUNCTION FindStringsIn5Strings CSTRING(32767), CSTRING(32767), "
                           "CSTRING(32767), CSTRING(32767), CSTRING(32767), CSTRING(32767)") },
            integer, QStringLiteral("FindStringsIn5Strings"), false },
        { { QStringLiteral("DECLARE EXTERNAL FUNCTION CapitalizeFirst"),
              QStringLiteral("CSTRING(32767) CHARACTER SET ISO8859_1") },
            text, QStringLiteral("CapitalizeFirst"), false },
        { { QStringLiteral("DECLARE EXTERNAL FUNCTION Capitalize"),
              QStringLiteral("CSTRING(32767) CHARACTER SET ISO8859_1") },
            text, QStringLiteral("Capitalize"), false },
        { { QStringLiteral("DECLARE EXTERNAL FUNCTION GetFreeDiskSpace"), QStringLiteral("CSTRING(1)") },
            QStringLiteral("RETURNS NUMERIC(18, 0) BY VALUE"), QStringLiteral("GetFreeDiskSpace"), false },
        { { QStringLiteral("DECLARE EXTERNAL FUNCTION GetDLLVersion") }, integer,
            QStringLiteral("GetDLLVersion"), false },
        { { QStringLiteral("DECLARE EXTERNAL FUNCTION bin_or Integer, Integer") }, integer,
            QStringLiteral("IB_UDF_bin_or"), true },
        { { QStringLiteral("DECLARE EXTERNAL FUNCTION bin_xor Integer, Integer") }, integer,
            QStringLiteral("IB_UDF_bin_xor"), true },
        { { QStringLiteral("DECLARE EXTERNAL FUNCTION bin_and Integer, Integer") }, integer,
            QStringLiteral("IB_UDF_bin_and"), true },
        { { QStringLiteral("DECLARE EXTERNAL FUNCTION IsANumber CSTRING(32767)") }, integer,
            QStringLiteral("IsANumber"), false },
        { { QStringLiteral("DECLARE EXTERNAL FUNCTION GetLogData"), QStringLiteral("BLOB") },
            QStringLiteral("RETURNS PARAMETER 1"), QStringLiteral("GetLogData"), false },
        { { QStringLiteral("DECLARE EXTERNAL FUNCTION GetStrWordIndex"),
              QStringLiteral("CSTRING(32767) CHARACTER SET ISO8859_1, Integer, Integer") },
            integer, QStringLiteral("GetStrWordIndex"), false },
        { { QStringLiteral("DECLARE EXTERNAL FUNCTION GetStrWordAt"),
              QStringLiteral("CSTRING(32767) CHARACTER SET ISO8859_1, Integer, Integer") },
            text, QStringLiteral("GetStrWordAt"), false },
        { { QStringLiteral("DECLARE EXTERNAL FUNCTION GetStrLen"), QStringLiteral("CSTRING(32767)") },
            integer, QStringLiteral("GetStrLen"), false },
        { { QStringLiteral("DECLARE EXTERNAL FUNCTION GetBlobString BLOB") }, text,
            QStringLiteral("GetBlobString"), false },
    };
    QList<QStringList> result;
    for (const Declaration &d : declarations) {
        QStringList lines = d.Lines;
        lines.append(d.Result);
        lines.append(QStringLiteral("ENTRY_POINT '") + d.EntryPoint + QStringLiteral("'"));
        lines.append(d.Standard ? ibModule : ovModule);
        result.append(lines);
    }
    return result;
}

void TDatabaseManager::RegisterUDF()
{
    Nested([&] {
        FSQL->SQL().clear();
        for (const QStringList &declaration : UDFDeclarations()) {
            FSQL->SetSQL(declaration);
            FSQL->Execute();
            FSQL->SQL().clear();
        }
    });
}

QStringList TDatabaseManager::StoredProcText()
{
    return { QStringLiteral("create procedure GETLOG"), QStringLiteral("returns (LOGDATA blob)"),
        QStringLiteral("as"), QStringLiteral("begin"), QStringLiteral("LOGDATA = GetLogData();"),
        QStringLiteral("suspend;"), QStringLiteral("end") };
}

void TDatabaseManager::RegisterStoredProcs()
{
    Nested([&] {
        // The procedure body is PSQL: its text must reach the server untouched.
        FSQL->SetParamCheck(false);
        try {
            FSQL->SetSQL(StoredProcText());
            FSQL->Execute();
            FSQL->SetSQL({ QStringLiteral("GRANT EXECUTE ON PROCEDURE GETLOG TO PUBLIC") });
            FSQL->Execute();
            FSQL->SQL().clear();
        } catch (...) {
            FSQL->SetParamCheck(true);
            throw;
        }
        FSQL->SetParamCheck(true);
    });
}

// ======================================================================================
// TTableManager
// ======================================================================================

TTableManager::TTableManager(QObject *owner)
    : QObject(owner)
    , FInsertSQL(std::make_unique<Db::TStatement>())
    , FUpdateSQL(std::make_unique<Db::TStatement>())
{
}

TTableManager::~TTableManager()
{
    for (TManagedQuery **cached : { &FQueryFindPK, &FQueryFindPrimaryKey }) {
        TManagedQuery *query = *cached;
        *cached = nullptr;
        if (!query)
            continue;
        query->RemoveFreeNotification(this);
        if (FDatabaseManager && FDatabaseManager->IsRegistered(query))
            FDatabaseManager->FreeDataset(query);
        else
            delete query;
    }
}

Db::TDatabase *TTableManager::Database() const
{
    return FDatabaseManager ? FDatabaseManager->Database() : nullptr;
}

void TTableManager::CheckDatabase(int code) const
{
    if (!Database())
        throw Os::Exception(SchemaTexts::NoDatabase(code));
}

TDatabaseManager &TTableManager::Manager() const
{
    if (!FDatabaseManager)
        throw Os::Exception(SchemaTexts::NoDatabase(0));
    return *FDatabaseManager;
}

// ---- Field definitions and generated SQL ----------------------------------------------

TFieldDef TTableManager::ParseFieldDef(const QString &line)
{
    TFieldDef def;
    // Blanks and control characters at both ends, as the definitions come from lists
    // typed by hand.
    qsizetype first = 0;
    qsizetype last = line.size();
    while (first < last && line.at(first).unicode() <= ' ')
        ++first;
    while (last > first && line.at(last - 1).unicode() <= ' ')
        --last;
    QString text = line.mid(first, last - first);
    const qsizetype star = text.indexOf(QLatin1Char('*'));
    if (star >= 0) {
        def.Key = true;
        text.remove(star, 1);
    }
    const qsizetype hash = text.indexOf(QLatin1Char('#'));
    if (hash >= 0) {
        def.Excluded = true;
        text.remove(hash, 1);
    }
    const qsizetype blank = text.indexOf(QLatin1Char(' '));
    def.Name = blank >= 0 ? text.left(blank) : text;
    def.ColumnText = text;
    return def;
}

void TTableManager::GetPrimaryKeyFields(QStringList &list) const
{
    list.clear();
    for (const QString &line : FFieldDefs) {
        const TFieldDef def = ParseFieldDef(line);
        if (def.Key)
            list.append(def.Name);
    }
    FPKCount = static_cast<int32_t>(list.size());
}

void TTableManager::BuildSQL4Insert(QStringList &Sql) const
{
    Sql.clear();
    QStringList names;
    for (const QString &line : FFieldDefs) {
        const TFieldDef def = ParseFieldDef(line);
        if (!def.Excluded)
            names.append(def.Name);
    }
    if (names.isEmpty()) {
        Sql.append(QStringLiteral("INSERT INTO ") + FTableName + QStringLiteral("()"));
        Sql.append(QStringLiteral("VALUES ()"));
        return;
    }
    Sql.append(QStringLiteral("INSERT INTO ") + FTableName + QStringLiteral("("));
    QStringList markers;
    for (qsizetype i = 0; i < names.size(); ++i) {
        Sql.append(names.at(i) + (i + 1 < names.size() ? QStringLiteral(",") : QStringLiteral(")")));
        markers.append(QLatin1Char(':') + names.at(i));
    }
    Sql.append(QStringLiteral("VALUES (") + markers.join(QStringLiteral(", ")) + QStringLiteral(")"));
}

void TTableManager::BuildSQL4Update(QStringList &Sql, const QStringList *ExcludedFieldNames) const
{
    Sql.clear();
    Sql.append(QStringLiteral("UPDATE ") + FTableName + QStringLiteral(" SET"));
    QStringList keys;
    bool previous = false;
    for (const QString &line : FFieldDefs) {
        const TFieldDef def = ParseFieldDef(line);
        if (def.Key) {
            keys.append(def.Name);
            continue;
        }
        if (def.Excluded)
            continue;
        if (ExcludedFieldNames) {
            const bool excluded = std::any_of(ExcludedFieldNames->begin(), ExcludedFieldNames->end(),
                [&](const QString &name) { return name.compare(def.Name, Qt::CaseInsensitive) == 0; });
            if (excluded)
                continue;
        }
        if (previous)
            Sql.last() += QLatin1Char(',');
        Sql.append(def.Name + QStringLiteral(" = :") + def.Name);
        previous = true;
    }
    Sql.append(QStringLiteral("WHERE"));
    for (qsizetype i = 0; i < keys.size(); ++i)
        Sql.append(keys.at(i) + QStringLiteral(" = :OLD_") + keys.at(i)
            + (i + 1 < keys.size() ? QStringLiteral(" AND") : QString()));
}

void TTableManager::BuildSQL4Delete(QStringList &Sql) const
{
    Sql.clear();
    Sql.append(QStringLiteral("DELETE FROM ") + FTableName + QStringLiteral(" WHERE"));
    QStringList keys;
    GetPrimaryKeyFields(keys);
    for (qsizetype i = 0; i < keys.size(); ++i)
        Sql.append((i > 0 ? QStringLiteral("AND ") : QString()) + keys.at(i) + QStringLiteral(" = :OLD_")
            + keys.at(i));
}

void TTableManager::BuildSQL4Create(QStringList &Sql) const
{
    Sql.clear();
    Sql.append(QStringLiteral("CREATE TABLE ") + FTableName + QStringLiteral("("));
    QStringList keys;
    for (const QString &line : FFieldDefs) {
        const TFieldDef def = ParseFieldDef(line);
        Sql.append(def.ColumnText + QLatin1Char(','));
        if (def.Key)
            keys.append(def.Name);
    }
    if (!keys.isEmpty())
        Sql.append(QStringLiteral("PRIMARY KEY (") + keys.join(QLatin1Char(',')) + QStringLiteral(")"));
    else if (Sql.size() > 1)
        Sql.last().chop(1);
    Sql.append(QStringLiteral(")"));
}

QString TTableManager::GetOrderByPrimaryKey() const
{
    QStringList keys;
    GetPrimaryKeyFields(keys);
    if (keys.isEmpty())
        return QString();
    return QStringLiteral("ORDER BY ") + keys.join(QStringLiteral(", "));
}

void TTableManager::BuildSQL4Select(QStringList &Sql, const QStringList &columns, const QString &Where) const
{
    Sql.clear();
    Sql.append(QStringLiteral("SELECT ") + columns.join(QStringLiteral(", ")));
    Sql.append(QStringLiteral("FROM ") + FTableName);
    if (!Where.isEmpty()) {
        Sql.append(QStringLiteral("WHERE"));
        Sql.append(Where);
    }
    Sql.append(GetOrderByPrimaryKey());
}

QStringList TTableManager::FindPKText() const
{
    QStringList keys;
    GetPrimaryKeyFields(keys);
    QStringList text { QStringLiteral("SELECT 'T' FROM RDB$DATABASE WHERE EXISTS"), QStringLiteral("("),
        QStringLiteral("SELECT 'T' FROM ") + FTableName + QStringLiteral(" WHERE") };
    for (qsizetype i = 0; i < keys.size(); ++i)
        text.append((i > 0 ? QStringLiteral("AND ") : QString()) + keys.at(i) + QStringLiteral(" = :p")
            + QString::number(i));
    text.append(QStringLiteral(")"));
    return text;
}

QStringList TTableManager::FindPrimaryKeyText() const
{
    QStringList keys;
    GetPrimaryKeyFields(keys);
    QStringList text { QStringLiteral("SELECT * FROM ") + FTableName + QStringLiteral(" WHERE") };
    for (qsizetype i = 0; i < keys.size(); ++i)
        text.append((i > 0 ? QStringLiteral("AND ") : QString()) + keys.at(i) + QStringLiteral(" = :p")
            + QString::number(i));
    return text;
}

// ---- Parameters -----------------------------------------------------------------------

void TTableManager::SetQueryParams(Db::TStatement &statement, const QVariant &Values)
{
    if (!Values.isValid())
        return;
    if (Values.typeId() == QMetaType::QVariantList) {
        const QVariantList list = Values.toList();
        for (qsizetype i = 0; i < list.size(); ++i)
            statement.SetParamVariant(static_cast<int>(i), list.at(i));
        return;
    }
    statement.SetParamVariant(0, Values);
}

void TTableManager::SetDatasetParams(Db::TStatement &query, const QVariant &Values, const QVariant &Values2)
{
    if (!Values.isValid())
        return;
    const bool array1 = Values.typeId() == QMetaType::QVariantList;
    const bool array2 = Values2.typeId() == QMetaType::QVariantList;
    if (array1 && !Values2.isValid()) {
        const QVariantList list = Values.toList();
        for (qsizetype i = 0; i < list.size(); ++i)
            query.SetParamVariant(static_cast<int>(i), list.at(i));
        return;
    }
    if (array1 && array2) {
        const QVariantList list1 = Values.toList();
        const QVariantList list2 = Values2.toList();
        if (list1.size() != list2.size())
            throw Os::Exception(SchemaTexts::ValuesMismatch());
        for (qsizetype i = 0; i < list1.size(); ++i) {
            query.SetParamVariant(static_cast<int>(2 * i), list1.at(i));
            query.SetParamVariant(static_cast<int>(2 * i + 1), list2.at(i));
        }
        return;
    }
    // A single value pairs with nothing but a single value, an array only with an array.
    if (array1 || array2)
        throw Os::Exception(SchemaTexts::ValuesMismatch());
    query.SetParamVariant(0, Values);
    if (Values2.isValid())
        query.SetParamVariant(1, Values2);
}

// ---- Queries ----------------------------------------------------------------------------

TManagedQuery *TTableManager::CreateQuery(bool ReadOnly, Db::TTransaction *Transaction)
{
    CheckDatabase(3);
    TDatabaseManager &manager = Manager();
    if (!Transaction)
        manager.CheckNoActiveTransaction();
    auto query = std::make_unique<TManagedQuery>(Database());
    std::unique_ptr<Db::TTransaction> own;
    query->SetReadOnly(ReadOnly);
    if (!ReadOnly) {
        BuildSQL4Insert(query->InsertSQL);
        BuildSQL4Update(query->ModifySQL);
        BuildSQL4Delete(query->DeleteSQL);
    }
    if (Transaction) {
        query->SetTransaction(Transaction);
    } else {
        own = std::make_unique<Db::TTransaction>(Database());
        own->SetParams({ QStringLiteral("concurrency"), QStringLiteral("nowait") });
        own->SetName(FTableName + QStringLiteral("_Transaction"));
        query->SetTransaction(own.get());
    }
    query->SetName(
        FTableName + QLatin1Char('_') + QStringLiteral("%1").arg(FQueryCounter, 4, 10, QLatin1Char('0')));
    ++FQueryCounter;
    TManagedQuery *result = query.release();
    manager.RegisterQuery(result, own.release());
    return result;
}

void TTableManager::FreeDataset(Db::TQuery *DataSet) { Manager().FreeDataset(DataSet); }

void TTableManager::ForgetQuery(Db::TStatement *query)
{
    if (query == FQueryFindPK)
        FQueryFindPK = nullptr;
    if (query == FQueryFindPrimaryKey)
        FQueryFindPrimaryKey = nullptr;
}

TManagedQuery *TTableManager::BuildKeyQuery(const QStringList &text)
{
    TManagedQuery *query = CreateQuery(true, Manager().Transaction());
    try {
        query->SetForwardOnly(true);
        query->SetSQL(text);
    } catch (...) {
        Manager().FreeDataset(query);
        throw;
    }
    // The manager frees every query it handed out when it goes first; the cache must
    // not outlive it.
    query->AddFreeNotification(this, [this](Db::TStatement *freed) { ForgetQuery(freed); });
    return query;
}

TManagedQuery *TTableManager::QueryFindPK()
{
    if (!FQueryFindPK)
        FQueryFindPK = BuildKeyQuery(FindPKText());
    if (FQueryFindPK->Active())
        throw Os::Exception(SchemaTexts::QueryFPKActive());
    return FQueryFindPK;
}

TManagedQuery *TTableManager::QueryFindPrimaryKey()
{
    if (!FQueryFindPrimaryKey)
        FQueryFindPrimaryKey = BuildKeyQuery(FindPrimaryKeyText());
    if (FQueryFindPrimaryKey->Active())
        throw Os::Exception(SchemaTexts::QueryFWKActive());
    return FQueryFindPrimaryKey;
}

bool TTableManager::FindPK(const QVariantList &values)
{
    TManagedQuery *query = QueryFindPK();
    if (values.size() != FPKCount)
        throw Os::Exception(SchemaTexts::FindPKCountMismatch());
    for (qsizetype i = 0; i < values.size(); ++i)
        query->SetParamVariant(static_cast<int>(i), values.at(i));
    // The cached query is reused for every database the manager attaches in turn;
    // it must be closed again whatever happens.
    try {
        query->Open();
        const bool found = query->HasCurrentRow();
        query->Close();
        return found;
    } catch (...) {
        try {
            query->Close();
        } catch (...) {
        }
        throw;
    }
}

TManagedQuery *TTableManager::CreateDataset(
    const QStringList &columns, const QString &Where, const QVariant &Values, bool ReadOnly, bool ForwardOnly)
{
    TManagedQuery *query = CreateQuery(ReadOnly);
    try {
        QStringList sql;
        BuildSQL4Select(sql, columns, Where);
        query->SetSQL(sql);
        SetDatasetParams(*query, Values, QVariant());
        query->SetForwardOnly(ForwardOnly);
        if (!query->Transaction()->Active())
            query->Transaction()->Start();
        query->Open();
    } catch (...) {
        Manager().FreeDataset(query);
        throw;
    }
    return query;
}

Db::TStatement *TTableManager::SQLAppend()
{
    FInsertSQL->SetTransaction(Manager().Transaction());
    if (FInsertSQL->SQL().isEmpty()) {
        QStringList sql;
        BuildSQL4Insert(sql);
        FInsertSQL->SetSQL(sql);
    }
    return FInsertSQL.get();
}

Db::TStatement *TTableManager::SQLUpdate()
{
    FUpdateSQL->SetTransaction(Manager().Transaction());
    if (FUpdateSQL->SQL().isEmpty()) {
        QStringList sql;
        BuildSQL4Update(sql);
        FUpdateSQL->SetSQL(sql);
    }
    return FUpdateSQL.get();
}

Db::TStatement *TTableManager::SharedStatement()
{
    CheckDatabase(5);
    return Manager().FSQL.get();
}

// ---- Table and column statements -------------------------------------------------------

void TTableManager::ExecuteSQL(const QString &Sql, const QVariant &Values)
{
    CheckDatabase(4);
    Manager().Nested([&] {
        Db::TStatement *statement = SharedStatement();
        statement->SetSQLText(Sql);
        SetQueryParams(*statement, Values);
        statement->Execute();
    });
}

void TTableManager::ExecuteNested(const QStringList &statements)
{
    Manager().Nested([&] {
        Db::TStatement *statement = SharedStatement();
        for (const QString &sql : statements) {
            statement->SetSQLText(sql);
            statement->Execute();
        }
    });
}

void TTableManager::CreateTable()
{
    CheckDatabase(1);
    Manager().Nested([&] {
        Db::TStatement *statement = SharedStatement();
        QStringList sql;
        BuildSQL4Create(sql);
        statement->SetSQL(sql);
        statement->Execute();
        statement->SetSQL({ QStringLiteral("GRANT SELECT, REFERENCES ON ") + FTableName
            + QStringLiteral(" TO ROLE_READER") });
        statement->Execute();
        statement->SetSQL({ QStringLiteral("GRANT SELECT, REFERENCES, DELETE, UPDATE, INSERT ON ")
            + FTableName + QStringLiteral(" TO ROLE_READER_WRITER") });
        statement->Execute();
    });
}

void TTableManager::CreateTable(bool FailIfExists)
{
    if (FailIfExists || !Manager().FindTable(FTableName))
        CreateTable();
}

void TTableManager::DropTable()
{
    CheckDatabase(2);
    ExecuteNested({ QStringLiteral("DROP TABLE ") + FTableName });
}

void TTableManager::EmptyTable() { ExecuteSQL(QStringLiteral("DELETE FROM ") + FTableName); }

bool TTableManager::AddColumn(const QString &FieldName, const QString &FieldDef, bool FailIfExists)
{
    const bool existed = FindColumn(FieldName);
    if (FailIfExists || !existed)
        ExecuteSQL(QStringLiteral("ALTER TABLE ") + FTableName + QStringLiteral(" Add ") + FieldName
            + QLatin1Char(' ') + FieldDef);
    return existed;
}

void TTableManager::DropColumn(const QString &FieldName, bool FailIfNotExists)
{
    if (FailIfNotExists || FindColumn(FieldName))
        ExecuteSQL(QStringLiteral("ALTER TABLE ") + FTableName + QStringLiteral(" DROP ") + FieldName);
}

bool TTableManager::QueryHasRow(const QStringList &lines) { return Manager().QueryHasRow(lines); }

bool TTableManager::FindColumn(const QString &ColumnName)
{
    return QueryHasRow({ QStringLiteral("SELECT RDB$FIELD_NAME FROM RDB$RELATION_FIELDS WHERE"),
        QStringLiteral("RDB$RELATION_NAME = '") + UpperAscii(FTableName) + QStringLiteral("'"),
        QStringLiteral("AND RDB$FIELD_NAME = '") + UpperAscii(ColumnName) + QStringLiteral("'") });
}

void TTableManager::CreateIndex(const QString &name, const QStringList &columns, bool unique)
{
    ExecuteSQL(QStringLiteral("CREATE ") + (unique ? QStringLiteral("UNIQUE ") : QString())
        + QStringLiteral("INDEX ") + name + QStringLiteral(" ON ") + FTableName + QStringLiteral("(")
        + columns.join(QStringLiteral(", ")) + QStringLiteral(")"));
}

void TTableManager::CreateDescendingIndex(const QString &name, const QStringList &columns, bool unique)
{
    ExecuteSQL(QStringLiteral("CREATE ") + (unique ? QStringLiteral("UNIQUE ") : QString())
        + QStringLiteral(" DESC INDEX ") + name + QStringLiteral(" ON ") + FTableName + QStringLiteral("(")
        + columns.join(QStringLiteral(", ")) + QStringLiteral(")"));
}

QString TTableManager::ReferenceText(const QString &name, const QStringList &columns, const QString &refTable,
    const QStringList &refColumns) const
{
    return QStringLiteral("ALTER TABLE ") + FTableName + QStringLiteral(" Add CONSTRAINT ") + name
        + QStringLiteral(" FOREIGN KEY (") + columns.join(QLatin1Char(',')) + QStringLiteral(") REFERENCES ")
        + refTable + QStringLiteral("(") + refColumns.join(QLatin1Char(',')) + QStringLiteral(")");
}

void TTableManager::CreateReferenceConstraint2(
    const QString &name, const QStringList &columns, const QString &refTable, const QStringList &refColumns)
{
    ExecuteSQL(ReferenceText(name, columns, refTable, refColumns));
}

void TTableManager::CreateReferenceConstraintCascadeSetNull(
    const QString &name, const QStringList &columns, const QString &refTable, const QStringList &refColumns)
{
    ExecuteSQL(ReferenceText(name, columns, refTable, refColumns) + QStringLiteral(" ON DELETE SET NULL"));
}

void TTableManager::CreateReferenceConstraintCascadeDelete(
    const QString &name, const QStringList &columns, const QString &refTable, const QStringList &refColumns)
{
    ExecuteSQL(ReferenceText(name, columns, refTable, refColumns) + QStringLiteral(" ON DELETE CASCADE"));
}

void TTableManager::CreateReferenceConstraint(const QString &name, const QStringList &columns,
    const QString &refTable, const QStringList &refColumns, uint32_t options)
{
    if ((options & roDeleteSetNull) && (options & roDeleteCascade))
        throw Os::Exception(SchemaTexts::IncompatibleDeleteOptions());
    QString sql = ReferenceText(name, columns, refTable, refColumns);
    if (options & roDeleteSetNull)
        sql += QStringLiteral(" ON DELETE SET NULL");
    if (options & roDeleteCascade)
        sql += QStringLiteral(" ON DELETE CASCADE");
    if (options & roUpdateCascade)
        sql += QStringLiteral(" ON UPDATE CASCADE");
    ExecuteSQL(sql);
}

void TTableManager::AllowAccess()
{
    CheckDatabase(10);
    ExecuteNested(
        { QStringLiteral("GRANT SELECT, REFERENCES ON ") + FTableName + QStringLiteral(" TO ROLE_READER"),
            QStringLiteral("GRANT SELECT, REFERENCES, DELETE, UPDATE, INSERT ON ") + FTableName
                + QStringLiteral(" TO ROLE_READER_WRITER") });
}

void TTableManager::DenyAccess()
{
    CheckDatabase(11);
    ExecuteNested(
        { QStringLiteral("REVOKE SELECT, REFERENCES ON ") + FTableName + QStringLiteral(" FROM ROLE_READER"),
            QStringLiteral("REVOKE SELECT, REFERENCES, DELETE, UPDATE, INSERT ON ") + FTableName
                + QStringLiteral(" FROM ROLE_READER_WRITER") });
}

QString TTableManager::GetUserPrivileges(const QString &UserName)
{
    TDatabaseManager &manager = Manager();
    return manager.Nested([&] {
        Db::TQuery &query = *manager.FQuery;
        query.Close();
        query.SetSQL({ QStringLiteral("SELECT RDB$PRIVILEGE FROM RDB$USER_PRIVILEGES WHERE"),
            QStringLiteral("RDB$USER = '") + UserName + QStringLiteral("'"),
            QStringLiteral("AND RDB$RELATION_NAME = '") + FTableName + QStringLiteral("'") });
        query.Open();
        QString privileges;
        while (!query.Eof()) {
            privileges += query.AsString(0).trimmed();
            query.Next();
        }
        query.Close();
        return privileges;
    });
}

QString TTableManager::GetPrimaryIndexName()
{
    TDatabaseManager &manager = Manager();
    return manager.Nested([&] {
        Db::TQuery &query = *manager.FQuery;
        query.Close();
        query.SetSQL({ QStringLiteral("SELECT RDB$CONSTRAINT_NAME FROM RDB$RELATION_CONSTRAINTS WHERE "
                                      "RDB$RELATION_NAME = "),
            QStringLiteral("'") + UpperAscii(FTableName) + QStringLiteral("'"),
            QStringLiteral("AND RDB$CONSTRAINT_TYPE = 'PRIMARY KEY'") });
        query.Open();
        const QString name = query.HasCurrentRow() ? query.AsString(0).trimmed() : QString();
        query.Close();
        return name;
    });
}

QString TTableManager::KeyName()
{
    if (FKeyname.isEmpty()) {
        CheckDatabase(8);
        FKeyname = Manager().GetKeyname(FTableName);
    }
    return FKeyname;
}

QString TTableManager::GetConstraintIndexName(const QString &ConstraintName)
{
    for (qsizetype i = 0; i + 1 < FConstraintIndexNames.size(); i += 2) {
        if (FConstraintIndexNames.at(i) == ConstraintName && !FConstraintIndexNames.at(i + 1).isEmpty())
            return FConstraintIndexNames.at(i + 1);
    }
    CheckDatabase(9);
    const QString index = Manager().GetConstraintIndexName(ConstraintName);
    FConstraintIndexNames.append(ConstraintName);
    FConstraintIndexNames.append(index);
    return index;
}

// ---- Records ----------------------------------------------------------------------------

int32_t TTableManager::RecordCount()
{
    CheckDatabase(6);
    TManagedQuery *query = CreateQuery(true);
    int32_t count = 0;
    try {
        query->SetSQL({ QStringLiteral("SELECT COUNT(*) FROM ") + FTableName });
        Manager().Nested([&] {
            // The count runs in the query's own transaction; the level keeps the
            // caller's transaction nesting balanced all the same.
            Db::TTransaction *own = query->Transaction();
            const bool started = !own->Active();
            if (started)
                own->Start();
            query->Open();
            count = query->AsInteger(0);
            query->Close();
            if (started)
                own->Commit();
        });
    } catch (...) {
        Manager().FreeDataset(query);
        throw;
    }
    Manager().FreeDataset(query);
    return count;
}

void TTableManager::AppendRecord(const QVariantList &values)
{
    CheckDatabase(7);
    Db::TStatement *statement = SharedStatement();
    QStringList sql;
    BuildSQL4Insert(sql);
    statement->SetSQL(sql);
    Manager().Nested([&] {
        statement->ClearParams();
        const int count = statement->ParamCount();
        for (int i = 0; i < count; ++i) {
            if (i < values.size())
                statement->SetParamVariant(i, values.at(i));
            else
                statement->SetParamNull(i);
        }
        statement->Execute();
    });
}

void TTableManager::DeleteRecord(const QVariantList &keys)
{
    QStringList names;
    GetPrimaryKeyFields(names);
    if (keys.size() != names.size())
        throw Os::Exception(SchemaTexts::KeyMismatch());
    Manager().Nested([&] {
        Db::TStatement *statement = SharedStatement();
        QStringList sql { QStringLiteral("DELETE FROM ") + FTableName + QStringLiteral(" WHERE") };
        for (qsizetype i = 0; i < names.size(); ++i)
            sql.append((i > 0 ? QStringLiteral("AND ") : QString()) + names.at(i) + QStringLiteral(" = :p")
                + QString::number(i));
        statement->SetSQL(sql);
        statement->ClearParams();
        for (qsizetype i = 0; i < keys.size(); ++i)
            statement->SetParamVariant(static_cast<int>(i), keys.at(i));
        statement->Execute();
    });
}

// ---- Column types and conversions --------------------------------------------------------

int32_t TTableManager::GetfieldSize(const QString &Fieldname)
{
    TDatabaseManager &manager = Manager();
    Db::TQuery *query = manager.CreateQueryGlobal();
    int32_t size = 0;
    try {
        query->SetForwardOnly(true);
        manager.Nested([&] {
            query->SetSQL(
                { QStringLiteral("SELECT RDB$FIELD_SOURCE FROM RDB$RELATION_FIELDS WHERE RDB$FIELD_NAME = "
                                 ":P0 AND RDB$RELATION_NAME = :P1") });
            query->SetParamString(0, UpperAscii(Fieldname));
            query->SetParamString(1, UpperAscii(FTableName));
            query->Open();
            QString domain;
            int rows = 0;
            while (!query->Eof()) {
                domain = query->AsString(0).trimmed();
                ++rows;
                query->Next();
            }
            query->Close();
            if (rows != 1)
                throw Os::Exception(SchemaTexts::FieldSizeDomainNotFound());
            query->SetSQL(
                { QStringLiteral("SELECT RDB$FIELD_LENGTH FROM RDB$FIELDS WHERE RDB$FIELD_NAME = :P0") });
            query->SetParamString(0, domain);
            query->Open();
            rows = 0;
            while (!query->Eof()) {
                size = query->AsInteger(0);
                ++rows;
                query->Next();
            }
            query->Close();
            if (rows != 1)
                throw Os::Exception(SchemaTexts::FieldSizeLengthNotFound());
        });
    } catch (...) {
        manager.FreeDataset(query);
        throw;
    }
    manager.FreeDataset(query);
    return size;
}

QString TTableManager::GetfieldType(const QString &Fieldname)
{
    TDatabaseManager &manager = Manager();
    Db::TQuery *query = manager.CreateQueryGlobal();
    QString typeName;
    try {
        query->SetForwardOnly(true);
        manager.Nested([&] {
            query->SetSQL(
                { QStringLiteral("SELECT RDB$FIELD_SOURCE FROM RDB$RELATION_FIELDS WHERE RDB$FIELD_NAME = "
                                 ":P0 AND RDB$RELATION_NAME = :P1") });
            query->SetParamString(0, UpperAscii(Fieldname));
            query->SetParamString(1, UpperAscii(FTableName));
            query->Open();
            QString domain;
            int rows = 0;
            while (!query->Eof()) {
                domain = query->AsString(0).trimmed();
                ++rows;
                query->Next();
            }
            query->Close();
            if (rows != 1)
                throw Os::Exception(SchemaTexts::FieldTypeDomainNotFound());
            query->SetSQL(
                { QStringLiteral("SELECT RDB$FIELD_TYPE FROM RDB$FIELDS WHERE RDB$FIELD_NAME = :P0") });
            query->SetParamString(0, domain);
            query->Open();
            int32_t type = 0;
            rows = 0;
            while (!query->Eof()) {
                type = query->AsInteger(0);
                ++rows;
                query->Next();
            }
            query->Close();
            if (rows != 1)
                throw Os::Exception(SchemaTexts::FieldTypeNumberNotFound());
            query->SetSQL({ QStringLiteral("SELECT RDB$TYPE_NAME FROM RDB$TYPES WHERE RDB$FIELD_NAME = "
                                           "'RDB$FIELD_TYPE' AND RDB$TYPE = :P0") });
            query->SetParamInt(0, type);
            query->Open();
            if (!query->HasCurrentRow()) {
                query->Close();
                throw Os::Exception(SchemaTexts::FieldTypeNameNotFound());
            }
            typeName = query->AsString(0).trimmed();
            query->Close();
        });
    } catch (...) {
        manager.FreeDataset(query);
        throw;
    }
    manager.FreeDataset(query);
    return typeName;
}

void TTableManager::EnlargeStringField(const QString &OldFieldName, const QString &NewFieldName, int NewSize)
{
    if (!FindColumn(NewFieldName))
        ExecuteSQL(QStringLiteral("ALTER TABLE ") + FTableName + QStringLiteral(" Add ") + NewFieldName
            + QStringLiteral(" VARCHAR(") + QString::number(NewSize) + QStringLiteral(")"));
    if (!FindColumn(OldFieldName))
        return;
    ExecuteSQL(QStringLiteral("UPDATE ") + FTableName + QStringLiteral(" SET ") + NewFieldName
        + QStringLiteral(" = ") + OldFieldName);
    ExecuteSQL(QStringLiteral("ALTER TABLE ") + FTableName + QStringLiteral(" DROP ") + OldFieldName);
}

void TTableManager::ChangeVarCharFieldLength(const QString &FieldName, int NewLength)
{
    ExecuteSQL(QStringLiteral("ALTER TABLE ") + FTableName + QStringLiteral(" ALTER ") + FieldName
        + QStringLiteral(" TYPE VARCHAR(") + QString::number(NewLength) + QStringLiteral(")"));
}

void TTableManager::ConvertVarCharFieldToInteger(const QString &FieldName, const QString &TempName)
{
    const QString integerType = QStringLiteral("LONG");
    const auto addTemp = [&] { AddColumn(TempName, QStringLiteral("Integer"), true); };
    const auto copyToTemp = [&] {
        ExecuteSQL(QStringLiteral("UPDATE ") + FTableName + QStringLiteral(" SET ") + TempName
            + QStringLiteral(" = CAST(") + FieldName + QStringLiteral(" AS Integer)"));
    };
    const auto dropField = [&] { DropColumn(FieldName, false); };
    const auto addField = [&] { AddColumn(FieldName, QStringLiteral("Integer"), true); };
    const auto copyBack = [&] {
        ExecuteSQL(QStringLiteral("UPDATE ") + FTableName + QStringLiteral(" SET ") + FieldName
            + QStringLiteral("=") + TempName);
    };
    const auto dropTemp = [&] { DropColumn(TempName, false); };

    const bool field = FindColumn(FieldName);
    bool temp = FindColumn(TempName);
    if (temp && GetfieldType(TempName) != integerType) {
        dropTemp();
        temp = false;
    }
    if (field) {
        const bool fieldIsInteger = GetfieldType(FieldName) == integerType;
        if (!fieldIsInteger && !temp) {
            addTemp();
            copyToTemp();
            dropField();
            addField();
            copyBack();
            dropTemp();
        } else if (fieldIsInteger && temp) {
            copyBack();
            dropTemp();
        } else if (!fieldIsInteger && temp) {
            dropTemp();
            addTemp();
            copyToTemp();
            dropField();
            addField();
            copyBack();
            dropTemp();
        }
        return;
    }
    if (!temp)
        throw Os::Exception(SchemaTexts::ConversionColumnsMissing(FTableName, FieldName));
    addField();
    copyBack();
    dropTemp();
}
