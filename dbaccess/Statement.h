// DSQL statements without a result set, and queries with one.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace Db {

class TDatabase;
class TTransaction;

// Column of a prepared statement, as the server describes it.
struct TFieldInfo {
    QString Name;         // alias name, as the select list gives it
    QString RelationName; // table of the column, empty for an expression
    int16_t SqlType = 0;  // SQL_TEXT, SQL_LONG ... without the nullable bit
    int16_t SubType = 0;  // blob subtype (1 text, 0 binary), charset of text
    int16_t Scale = 0;    // negative for NUMERIC/DECIMAL stored as integers
    int16_t Length = 0;   // bytes
    bool Nullable = false;
};

// A statement without a result set. The SQL text is a list of lines, joined by
// CR LF. With ParamCheck on (the default), ":name" in the text becomes a "?"
// marker: names count in order of first appearance and a name used twice is the
// same parameter; quoted strings, quoted identifiers and comments are left alone.
// With ParamCheck off the text goes to the server as it stands and its "?" markers
// are the parameters.
class TStatement {
public:
    TStatement();
    explicit TStatement(TDatabase *database, TTransaction *transaction = nullptr);
    virtual ~TStatement(); // closes and frees on the server, ignoring errors; then the free notifications run
    TStatement(const TStatement &) = delete;
    TStatement &operator=(const TStatement &) = delete;

    const QString &Name() const { return FName; }
    void SetName(const QString &name) { FName = name; }
    int32_t Tag() const { return FTag; }
    void SetTag(int32_t tag) { FTag = tag; }

    // Without a database, the transaction's default database is used; without a
    // transaction, the database's default transaction.
    TDatabase *Database() const { return FDatabase; }
    void SetDatabase(TDatabase *database);
    TTransaction *Transaction() const { return FTransaction; }
    void SetTransaction(TTransaction *transaction);

    QStringList &SQL() { return FSQL; }
    const QStringList &SQL() const { return FSQL; }
    void SetSQL(const QStringList &lines) { FSQL = lines; }
    void SetSQLText(const QString &text); // one text, split at line breaks
    QString SQLText() const;              // the lines joined by CR LF

    bool ParamCheck() const { return FParamCheck; }
    void SetParamCheck(bool on) { FParamCheck = on; }

    // The text the server gets and the parameter names, as parsing makes them.
    struct TParsed {
        QString Text;
        QStringList Names;   // distinct names in order of first appearance
        std::vector<int> Markers; // for each "?" of Text, the index in Names
    };
    static TParsed ParseParams(const QString &sql);

    // Parameters by index. Values are kept until ClearParams or a change of the SQL
    // text that changes the parameter names. A QString sent to a BLOB SUB_TYPE 1
    // column is written as a text blob; bytes to any blob are written as they stand.
    void SetParamString(int index, const QString &value);
    void SetParamInt(int index, int32_t value);
    void SetParamInt64(int index, int64_t value);
    void SetParamDouble(int index, double value);
    void SetParamDateTime(int index, const QDateTime &value);
    void SetParamBytes(int index, const QByteArray &value);
    void SetParamNull(int index);
    // QString, int, qlonglong, double, bool (as 'T'/'F'), QDateTime, QDate,
    // QByteArray; an invalid or null QVariant is NULL.
    void SetParamVariant(int index, const QVariant &value);
    void ClearParams();
    // Names after parsing the current text ("p0", "p1" ...), or "?"-count entries
    // of empty names with ParamCheck off.
    QStringList ParamNames() const;
    int ParamIndex(const QString &name) const; // case-insensitive; -1 when absent
    int ParamCount() const { return static_cast<int>(ParamNames().size()); }

    // Prepare in the database's dialect (3) in the transaction. Executing the same
    // text again reuses the prepared statement.
    void Prepare();
    bool Prepared() const;
    // Prepare when needed, bind, execute. Raises EDatabaseError; before contacting
    // the server when there is no database, no transaction or it is not active.
    void Execute();
    // Rows inserted, updated or deleted by the last Execute (asked of the server
    // only when wanted).
    int RowsAffected();
    // Frees the prepared statement on the server, ignoring errors.
    virtual void Close();
    void Unprepare() { TStatement::Close(); }

    // Told when this object is destroyed, once per key (an owner's register).
    void AddFreeNotification(const void *key, std::function<void(TStatement *)> handler);
    void RemoveFreeNotification(const void *key);

    // Called by the transaction when it ends and by the database when it detaches;
    // Forget when either is destroyed.
    virtual void TransactionEnded();
    virtual void DatabaseGone();
    void Forget(const TDatabase *database);
    void Forget(const TTransaction *transaction);

protected:
    struct TImpl;
    TDatabase *EffectiveDatabase() const;
    TTransaction *EffectiveTransaction() const;
    void CheckReady() const;
    void ExecuteCursor(bool openCursor);
    TImpl &Impl() const { return *FImpl; }
    void Unbind();
    void RunFreeNotifications();

    std::unique_ptr<TImpl> FImpl;

private:
    QString FName;
    int32_t FTag = 0;
    TDatabase *FDatabase = nullptr;
    TTransaction *FTransaction = nullptr;
    QStringList FSQL;
    bool FParamCheck = true;
    std::vector<std::pair<const void *, std::function<void(TStatement *)>>> FNotifications;
};

// A query: the statement with a result set. Open prepares, executes and fetches the
// first row; Next fetches the next one; Eof is true once a fetch found no row (at
// once for an empty result). Rows are read whole at fetch time, blobs included, so
// the current row stays readable after its transaction ended. A query that is not
// forward-only keeps every fetched row, so First and RecNo work on them.
class TQuery : public TStatement {
public:
    TQuery();
    explicit TQuery(TDatabase *database, TTransaction *transaction = nullptr);
    ~TQuery() override;

    bool ForwardOnly() const { return FForwardOnly; }
    void SetForwardOnly(bool on) { FForwardOnly = on; }
    // Informative only: the layer never writes through a query.
    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool on) { FReadOnly = on; }

    void Open();
    void Next();
    void First(); // buffered queries only; raises when forward-only
    bool Active() const { return FActive; }
    bool Eof() const { return FEof; }
    bool Bof() const { return FRecNo <= 1; }
    // True while a current row can be read (open, not past the end, not empty).
    bool HasCurrentRow() const { return FActive && !FEof && FRecNo >= 1; }
    // Open with a result that has no row at all.
    bool IsEmpty() const { return !FActive || FFetched == 0; }
    // Rows fetched so far: after reading to Eof, the size of the result.
    int RecordCount() const { return FFetched; }
    int RecNo() const { return FRecNo; }
    // Closes the cursor and drops the rows; the prepared statement stays for reuse.
    void Close() override;
    // Forgets rows and field layout without contacting the server (for a query
    // whose attachment is already gone).
    void DiscardLocal();

    // Fields of the result, by index from 0 (the layout is known after Open).
    int FieldCount() const;
    const TFieldInfo &Field(int index) const;
    QString FieldName(int index) const;
    QStringList FieldNames() const;
    int FieldIndex(const QString &name) const; // case-insensitive; -1 when absent

    // Values of the current row. Conversions: numbers to text in decimal (with the
    // scale's decimals), text to numbers when it is one (else Os::EConvertError),
    // date-times in and out as local wall-clock time; NULL reads as "", 0 or an
    // invalid QDateTime. Raises when there is no current row.
    bool IsNull(int index) const;
    QString AsString(int index) const;
    int32_t AsInteger(int index) const;
    int64_t AsInt64(int index) const;
    double AsDouble(int index) const;
    QDateTime AsDateTime(int index) const;
    QByteArray AsBytes(int index) const; // blobs and text as stored
    QVariant AsVariant(int index) const;

    void TransactionEnded() override;
    void DatabaseGone() override;

private:
    struct TRow;
    const TRow &CurrentRow() const;
    // Closed, with no row and no cursor.
    void ForgetRows();
    // The row in the output buffers, blobs read in tr.
    TRow RowOfBuffers(TDatabase *db, TTransaction *tr) const;
    void FetchOne();

    bool FForwardOnly = false;
    bool FReadOnly = false;
    bool FActive = false;
    bool FSingleRow = false; // EXECUTE PROCEDURE, RETURNING: the row came with the execute
    bool FEof = true;
    int FRecNo = 0;
    int FFetched = 0;
    std::vector<TRow> FRows; // all rows when buffered, else only the current one
};

} // namespace Db
