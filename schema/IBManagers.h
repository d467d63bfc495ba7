// The schema components: TDatabaseManager attaches a product database, reads its
// identity, keeps the register of connected workstations and hands out queries;
// TTableManager describes one table by its field-definition lines and generates and
// runs the SQL around it. Both work through the database access layer (dbaccess/).
// The manager's units: DatabaseManager.cpp, UserRegister.cpp, DatabaseCreation.cpp,
// SchemaOperations.cpp; the table manager's: TableManager.cpp (generated SQL) and
// TableOperations.cpp (what runs on the database).
#pragma once

#include "dbaccess/Database.h"
#include "dbaccess/DbError.h"
#include "dbaccess/Statement.h"
#include "dbaccess/Transaction.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

class TTableManager;
template <typename Query> class TQueryLease;

// A query handed out by a table manager: besides its select text it carries the
// insert, update and delete texts of its table, for callers that write rows back.
class TManagedQuery : public Db::TQuery {
public:
    using Db::TQuery::TQuery;
    QStringList InsertSQL;
    QStringList ModifySQL;
    QStringList DeleteSQL;
};

class TDatabaseManager : public QObject {
    Q_OBJECT
public:
    explicit TDatabaseManager(QObject *owner = nullptr);
    // Shows one error box per query and per transaction still handed out (a caller
    // forgot FreeDataset), then frees them.
    ~TDatabaseManager() override;

    // The component name; it begins the " no transaction" error.
    QString Name() const { return objectName(); }
    void SetName(const QString &name) { setObjectName(name); }

    // ---- Properties ---------------------------------------------------------------
    Db::TDatabase *Database() const { return FDatabase; }
    // Binds the manager's own statements, queries and transactions to the database.
    void SetDatabase(Db::TDatabase *database);
    const QString &UserName() const { return FUserName; }
    void SetUserName(const QString &value) { FUserName = value; }
    const QString &Password() const { return FPassword; }
    void SetPassword(const QString &value) { FPassword = value; }
    const QString &ConnectionString() const { return FConnectionString; }
    void SetConnectionString(const QString &value) { FConnectionString = value; }
    // Empty means no role.
    const QString &Role() const { return FRole; }
    void SetRole(const QString &value) { FRole = value; }
    // The caller's transaction (not owned): all schema work and the version read run
    // in it, nested through its Tag.
    Db::TTransaction *Transaction() const { return FTransaction; }
    void SetTransaction(Db::TTransaction *transaction);
    int32_t DBVersion() const { return FDBVersion; }
    void SetDBVersionProperty(int32_t value) { FDBVersion = value; }
    const QString &DBIdentifier() const { return FDBIdentifier; }
    void SetDBIdentifier(const QString &value) { FDBIdentifier = value; }
    const QString &DBDescription() const { return FDBDescription; }
    void SetDBDescription(const QString &value) { FDBDescription = value; }

    // ---- Connection and identity -------------------------------------------------
    // Attaches ConnectionString with user_name, password, sql_role_name (only with a
    // role) and lc_ctype=ISO8859_1. "Nil Database", "Already connected!".
    void Connect();
    // ConnectionControl row 2 (identifier, empty when missing) and row 3 (version,
    // 0 when missing).
    void GetDBVersion(QString &dbi, int32_t &dbv);
    void SetDBVersion(int32_t dbv);

    // ---- Register of connected workstations -------------------------------------
    // Inserts or refreshes the row of the first 60 characters of UserStr and purges
    // rows older than 0.03 day by server time. Five attempts with a random pause
    // between them; after the fifth failure it returns quietly.
    void RegisterUser(const QString &UserStr);
    void UnRegisterUser(const QString &UserStr);
    void GetUserList(QStringList &liste);
    QDateTime GetServerTime();
    // The pause between attempts (default: sleep) and the random source giving
    // 0..bound-1 (default: the global generator), replaceable so that tests need
    // neither sleep nor luck.
    void SetRetryPause(std::function<void(int milliseconds)> pause) { FRetryPause = std::move(pause); }
    // The longest wait of a register write for a lock another attachment holds, in seconds
    // (servers from Firebird 2.0 on); the write then fails and is retried like any other.
    void SetRegisterLockTimeout(int seconds) { FRegisterLockTimeout = seconds; }
    void SetRandomSource(std::function<int(int bound)> random) { FRandom = std::move(random); }

    // Runs attempt until it succeeds, at most attempts times. After a failure that
    // retryable accepts comes the retry pause, so that workstations failing together do
    // not retry in step; the last failure, and one not accepted, is raised.
    template <typename Attempt, typename Retryable>
    void Retry(int attempts, Attempt &&attempt, Retryable &&retryable);
    // A random time below 2 seconds, through the pause and random source above.
    void RetryPause();

    // ---- Handed-out queries -------------------------------------------------------
    // A query in Transaction(), registered until FreeDataset.
    Db::TQuery *CreateQueryGlobal();
    // The same query, given back when the lease ends.
    TQueryLease<Db::TQuery> LeaseQueryGlobal();
    // Closes and frees a registered query (and the transaction made for it);
    // nullptr does nothing; "FreeDataset : not found" for any other query.
    void FreeDataset(Db::TQuery *DataSet);
    void Commit(Db::TQuery *DataSet);
    void CommitRetaining(Db::TQuery *DataSet);
    void Rollback(Db::TQuery *DataSet);
    // Closes every registered query and rolls back its active transaction, going on
    // past failures; the queries stay registered.
    void CloseAllConnections();
    int DatasetCount() const { return static_cast<int>(FDatasetList.size()); }
    int TransactionCount() const { return static_cast<int>(FTransactionList.size()); }
    bool IsRegistered(const Db::TQuery *query) const;

    // ---- Nested transaction -------------------------------------------------------
    // The depth lives in Transaction()->Tag(), shared with the connection module's
    // own levels: only the outermost level starts, commits or rolls back.
    void EnterTransaction();
    void LeaveTransaction();
    // Closes a level after a failure and raises the error again (a database error
    // keeps its codes); without an error it only closes the level.
    [[noreturn]] void AbortTransaction(const std::exception_ptr &error);
    void AbortTransaction();
    void CheckNoActiveTransaction();
    int32_t ActiveTransactionCount() const { return FActiveTransactionCount; }

    // ---- Statements and schema operations ---------------------------------------
    void ExecuteSQL(const QString &Sql);
    int32_t GenerateNumber(const QString &gen_id);
    int32_t GenerateNumber(const QString &gen_id, int32_t increment);
    int32_t GetCurrentGeneratorValue(const QString &gen_id);
    void SetGeneratorValue(const QString &gen_id, int32_t Value);
    void CreateGenerator(const QString &Name);
    void DropGenerator(const QString &Name);
    bool FindGenerator(const QString &Name);
    void CreateException(const QString &Name, const QString &msg);
    void DropProcedure(const QString &Name);
    void DropIndex(const QString &IndexName);
    bool FindIndex(const QString &IndexName);
    void DropTrigger(const QString &TrigName);
    bool FindTrigger(const QString &TriggerName);
    bool FindTable(const QString &TableName);
    bool FindCheckConstraint(const QString &Name);
    void GetTableNames(QStringList &TextList);
    void GetFieldNames(const QString &TableName, QStringList &TextList);
    QString GetKeyname(const QString &TableName);
    QString GetConstraintIndexName(const QString &ConstraintName);
    QString GetDBOwner();
    // Servers that protect their system tables (Firebird 3) refuse this with their error.
    void SetDBOwner(const QString &Value);
    void SetStatistics();
    void GetLogData(QStringList &TextList);
    void ClearSource();
    void ClearTriggerSource(const QString &TriggerName);
    void AcquireUpdateLock() { }
    void ReleaseUpdateLock() { }

    // ---- A new product database -------------------------------------------------
    // Creates the database at ConnectionString and lays down its bootstrap objects.
    void CreateDatabase();
    void RegisterUDF();
    void RegisterStoredProcs();

    // The statement texts of CreateDatabase and RegisterUDF, in the order they are sent.
    QStringList CreateDatabaseStatements() const;
    static QList<QStringList> UDFDeclarations();
    static QStringList StoredProcText();
    // The form a server from Firebird 3 on takes for statement `index` of a new database
    // when the form above is refused; empty when there is none.
    static QString Firebird3Statement(qsizetype index);

    // The literal of a text inside a statement: single quotes, inner ones doubled.
    static QString QuotedString(const QString &text);
    // The key of a workstation in the register: its first 60 characters.
    static QString UserKey(const QString &UserStr);

private:
    friend class TTableManager;

    // Runs work as one nested level: committed when it is the outermost one, rolled
    // back (and the error raised again) on any failure.
    template <typename Work> auto Nested(Work &&work) -> decltype(work());
    // Runs work in the register's own transaction, committed at the end; on a failure
    // it is rolled back and the failure raised again.
    template <typename Work> void InRegisterTransaction(Work &&work);
    // Five attempts of work in the register's transaction; a register write that fails
    // five times is given up without a word.
    template <typename Work> void RetryInRegister(Work &&work);
    void RollbackRegister();
    int32_t RegisteredRows(const QString &key);
    void PurgeUsers();
    int32_t GenId(const QString &name, int32_t increment);
    bool QueryHasRow(const QStringList &lines);
    void RegisterQuery(Db::TQuery *query, Db::TTransaction *ownTransaction);
    void QueryFreed(Db::TStatement *query, Db::TTransaction *transaction);

    Db::TDatabase *FDatabase = nullptr;
    QString FUserName;
    QString FPassword;
    std::unique_ptr<Db::TTransaction> FTransaction2;
    Db::TTransaction *FTransaction = nullptr;
    std::unique_ptr<Db::TQuery> FQuery;
    std::unique_ptr<Db::TQuery> FQuery2;
    std::unique_ptr<Db::TStatement> FSQL;
    std::unique_ptr<Db::TStatement> FSQL2;
    std::unique_ptr<Db::TTransaction> FLockTransaction;
    std::unique_ptr<Db::TStatement> FLockSQL;
    std::vector<Db::TQuery *> FDatasetList; // owned through the register
    std::vector<Db::TTransaction *> FTransactionList; // made for handed-out queries, owned
    QString FRole;
    QString FConnectionString;
    int32_t FDBVersion = 0;
    QString FDBIdentifier;
    QString FDBDescription;
    int32_t FActiveTransactionCount = 0;
    int FRegisterLockTimeout = 10;
    std::function<void(int)> FRetryPause;
    std::function<int(int)> FRandom;
};

template <typename Attempt, typename Retryable>
void TDatabaseManager::Retry(int attempts, Attempt &&attempt, Retryable &&retryable)
{
    for (int done = 1;; ++done) {
        try {
            attempt();
            return;
        } catch (const std::exception &e) {
            if (done >= attempts || !retryable(e))
                throw;
        }
        RetryPause();
    }
}

// A query handed out by a database manager, given back through its FreeDataset when the
// lease ends, however the work leaves the scope (as SOCI's statements and IBPP's
// interfaces free themselves). Release hands the query on to a holder that gives it
// back itself.
template <typename Query> class TQueryLease {
public:
    TQueryLease() = default;
    TQueryLease(TDatabaseManager &manager, Query *query)
        : FManager(&manager)
        , FQuery(query)
    {
    }
    TQueryLease(TQueryLease &&other) noexcept
        : FManager(std::move(other.FManager))
        , FQuery(std::exchange(other.FQuery, nullptr))
    {
    }
    TQueryLease &operator=(TQueryLease &&other) noexcept
    {
        if (this != &other) {
            Reset();
            FManager = other.FManager;
            FQuery = std::exchange(other.FQuery, nullptr);
        }
        return *this;
    }
    TQueryLease(const TQueryLease &) = delete;
    TQueryLease &operator=(const TQueryLease &) = delete;
    ~TQueryLease() { Reset(); }

    Query *Get() const { return FQuery; }
    Query *operator->() const { return FQuery; }
    Query &operator*() const { return *FQuery; }
    explicit operator bool() const { return FQuery != nullptr; }

    Query *Release() { return std::exchange(FQuery, nullptr); }
    // Gives the query back now. A manager that is gone, or that freed the query already,
    // took it along; the closing errors of an attachment that is gone do not matter to
    // a query given back.
    void Reset() noexcept
    {
        Query *query = std::exchange(FQuery, nullptr);
        if (!query || !FManager || !FManager->IsRegistered(query))
            return;
        try {
            FManager->FreeDataset(query);
        } catch (...) {
        }
    }

private:
    QPointer<TDatabaseManager> FManager;
    Query *FQuery = nullptr;
};

// A field-definition line taken apart.
struct TFieldDef {
    QString Name;
    QString ColumnText; // the line without its first "*" and first "#"
    bool Key = false;
    bool Excluded = false;
};

class TTableManager : public QObject {
    Q_OBJECT
public:
    explicit TTableManager(QObject *owner = nullptr);
    // Gives the cached key queries back to the manager.
    ~TTableManager() override;

    enum TReferenceOption : uint32_t { roUpdateCascade = 1, roDeleteSetNull = 2, roDeleteCascade = 4 };

    // ---- Properties ---------------------------------------------------------------
    const QStringList &FieldDefs() const { return FFieldDefs; }
    void SetFieldDefs(const QStringList &lines) { FFieldDefs = lines; }
    QStringList &FieldDefsRef() { return FFieldDefs; }
    const QString &TableName() const { return FTableName; }
    void SetTableName(const QString &name) { FTableName = name; }
    TDatabaseManager *DatabaseManager() const { return FDatabaseManager; }
    void SetDatabaseManager(TDatabaseManager *manager) { FDatabaseManager = manager; }
    // Held for callers; nothing here invokes them.
    std::function<void(Db::TQuery *DataSet, void *PRec)> OnMapFieldsToRecord;
    std::function<void(Db::TStatement *Params, void *PRec)> OnMapRecordToSQLParams;
    Db::TDatabase *Database() const;
    QString KeyName();

    // ---- Field definitions and generated SQL (pure text) -------------------------
    // Trims the line; the first "*" marks a key column, the first "#" a column that
    // INSERT and UPDATE leave out; both markers are removed, only once each.
    static TFieldDef ParseFieldDef(const QString &line);
    void BuildSQL4Insert(QStringList &Sql) const;
    void BuildSQL4Update(QStringList &Sql, const QStringList *ExcludedFieldNames = nullptr) const;
    void BuildSQL4Delete(QStringList &Sql) const;
    void BuildSQL4Create(QStringList &Sql) const;
    QString GetOrderByPrimaryKey() const;
    // Key column names in order (sets the key count).
    void GetPrimaryKeyFields(QStringList &list) const;
    int PKCount() const { return FPKCount; }
    // The texts of the two key queries, as QueryFindPK and QueryFindPrimaryKey send them.
    QStringList FindPKText() const;
    QStringList FindPrimaryKeyText() const;
    void BuildSQL4Select(QStringList &Sql, const QStringList &columns, const QString &Where) const;

    // ---- Queries --------------------------------------------------------------------
    // A query registered with the manager, in the given transaction or, without one,
    // in a transaction of its own (concurrency, nowait). Named <table>_NNNN.
    TManagedQuery *CreateQuery(bool ReadOnly, Db::TTransaction *Transaction = nullptr);
    // The same query, given back when the lease ends.
    TQueryLease<TManagedQuery> LeaseQuery(bool ReadOnly, Db::TTransaction *Transaction = nullptr);
    // True when a row with these key values exists; runs in the caller's transaction.
    bool FindPK(const QVariantList &values);
    TManagedQuery *QueryFindPrimaryKey();
    TManagedQuery *CreateDataset(const QStringList &columns, const QString &Where, const QVariant &Values,
        bool ReadOnly, bool ForwardOnly);
    void FreeDataset(Db::TQuery *DataSet);
    Db::TStatement *SQLAppend();
    Db::TStatement *SQLUpdate();

    // ---- Table and column statements -------------------------------------------
    // Values: invalid for none, a QVariantList for several, anything else for one.
    void ExecuteSQL(const QString &Sql, const QVariant &Values = QVariant());
    void CreateTable();
    void CreateTable(bool FailIfExists);
    void DropTable();
    void EmptyTable();
    bool AddColumn(const QString &FieldName, const QString &FieldDef, bool FailIfExists);
    void DropColumn(const QString &FieldName, bool FailIfNotExists);
    bool FindColumn(const QString &ColumnName);
    void CreateIndex(const QString &name, const QStringList &columns, bool unique);
    void CreateDescendingIndex(const QString &name, const QStringList &columns, bool unique);
    void CreateReferenceConstraint2(const QString &name, const QStringList &columns, const QString &refTable,
        const QStringList &refColumns);
    void CreateReferenceConstraintCascadeSetNull(const QString &name, const QStringList &columns,
        const QString &refTable, const QStringList &refColumns);
    void CreateReferenceConstraintCascadeDelete(const QString &name, const QStringList &columns,
        const QString &refTable, const QStringList &refColumns);
    void CreateReferenceConstraint(const QString &name, const QStringList &columns, const QString &refTable,
        const QStringList &refColumns, uint32_t options);
    void AllowAccess();
    void DenyAccess();
    QString GetUserPrivileges(const QString &UserName);
    QString GetPrimaryIndexName();
    QString GetConstraintIndexName(const QString &ConstraintName);

    // ---- Records ------------------------------------------------------------------
    int32_t RecordCount();
    void AppendRecord(const QVariantList &values);
    void DeleteRecord(const QVariantList &keys);

    // ---- Column types and conversions ------------------------------------------
    int32_t GetfieldSize(const QString &Fieldname);
    QString GetfieldType(const QString &Fieldname);
    void EnlargeStringField(const QString &OldFieldName, const QString &NewFieldName, int NewSize);
    void ChangeVarCharFieldLength(const QString &FieldName, int NewLength);
    // Turns a text column into an integer column through TempName; resumes where an
    // interrupted run stopped.
    void ConvertVarCharFieldToInteger(const QString &FieldName, const QString &TempName);

    // The constraint-name / index-name pairs read so far (two lines each).
    const QStringList &ConstraintIndexNames() const { return FConstraintIndexNames; }
    int QueryCounter() const { return FQueryCounter; }

private:
    void CheckDatabase(int code) const;
    TDatabaseManager &Manager() const;
    Db::TStatement *SharedStatement();
    static void SetQueryParams(Db::TStatement &statement, const QVariant &Values);
    static void SetDatasetParams(Db::TStatement &query, const QVariant &Values, const QVariant &Values2);
    TManagedQuery *QueryFindPK();
    TQueryLease<TManagedQuery> BuildKeyQuery(const QStringList &text);
    // A key query built once with its text; activeError while it is still open.
    TManagedQuery *CachedKeyQuery(TQueryLease<TManagedQuery> &cache,
        QStringList (TTableManager::*text)() const, const QString &activeError);
    // The two steps of a column lookup: the domain of the column, then the number field
    // of the domain's row in RDB$FIELDS, each found exactly once or raising its text;
    // then runs in the same level with the query and that number.
    QString ColumnDomain(Db::TQuery &query, const QString &Fieldname, const QString &error);
    template <typename Then>
    auto DomainLookup(const QString &Fieldname, const QString &field, const QString &domainError,
        const QString &fieldError, Then &&then);
    void ExecuteNested(const QStringList &statements);
    // The two statements that give (GRANT ... TO) or take (REVOKE ... FROM) the table to
    // and from the two roles.
    QStringList AccessStatements(const QString &verb, const QString &preposition) const;
    // The statement bound to the manager's transaction, its text built on first use.
    Db::TStatement *BoundStatement(
        Db::TStatement &statement, const std::function<void(QStringList &)> &build);
    bool QueryHasRow(const QStringList &lines);
    QString ReferenceText(const QString &name, const QStringList &columns, const QString &refTable,
        const QStringList &refColumns) const;
    void ForgetQuery(Db::TStatement *query);

    QPointer<TDatabaseManager> FDatabaseManager;
    QStringList FFieldDefs;
    QString FTableName;
    QString FKeyname;
    QStringList FConstraintIndexNames;
    int32_t FQueryCounter = 0;
    std::unique_ptr<Db::TStatement> FInsertSQL;
    std::unique_ptr<Db::TStatement> FUpdateSQL;
    TQueryLease<TManagedQuery> FQueryFindPrimaryKey;
    TQueryLease<TManagedQuery> FQueryFindPK;
    mutable int32_t FPKCount = 0;
};
