// A client dataset: an in-memory copy of a query result whose changes are kept until
// they are written back, record by record, through its resolver. The connection module
// makes them on its global transaction, so that the write-back commits with the level
// its caller opened.
#pragma once

#include "oslayer/Exceptions.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>
#include <memory>

namespace Db {
class TQuery;
class TStatement;
class TTransaction;
} // namespace Db

class TLocalClientDataset;

enum TUpdateKind { ukModify, ukInsert, ukDelete };
enum TResolverResponse { rrSkip, rrAbort, rrMerge, rrApply, rrIgnore };

// Writes the cached changes of a client dataset back into one table through statements
// on the query's transaction. Rows are found by the key columns, or by every column
// read when no key is named.
class TDataSetResolver {
public:
    explicit TDataSetResolver(Db::TQuery *dataSet);
    ~TDataSetResolver();
    TDataSetResolver(const TDataSetResolver &) = delete;
    TDataSetResolver &operator=(const TDataSetResolver &) = delete;

    Db::TQuery *DataSet() const { return FDataSet; }
    QString TableName;
    QStringList KeyFields;
    // Told of a change the server refused; the response decides whether the
    // write-back goes on (rrSkip, rrIgnore) or stops (rrAbort, the default).
    std::function<void(TLocalClientDataset &DataSet, const Os::Exception &E, TUpdateKind UpdateKind,
        TResolverResponse &Response)>
        OnUpdateError;

    // The statement text of one change and its parameter values, in order.
    QStringList BuildSQL(TUpdateKind kind, const QStringList &fields, QVariantList &values,
        const QVariantList &original, const QVariantList &current) const;
    void Execute(const QStringList &sql, const QVariantList &values);

private:
    Db::TQuery *FDataSet = nullptr;
    std::unique_ptr<Db::TStatement> FStatement;
};

class TLocalClientDataset {
public:
    TLocalClientDataset();
    ~TLocalClientDataset();
    TLocalClientDataset(const TLocalClientDataset &) = delete;
    TLocalClientDataset &operator=(const TLocalClientDataset &) = delete;

    // The query the resolver reads from and writes through, and the resolver itself.
    void CreateCompanions(Db::TTransaction *transaction);
    Db::TQuery *Query() const { return FQuery.get(); }
    TDataSetResolver *Dsp() const { return FDsp.get(); }

    // Runs the query and keeps every row; the query is closed again.
    void Open();
    void Close();
    bool Active() const { return FActive; }
    int RecordCount() const;
    const QStringList &FieldNames() const { return FFieldNames; }
    int FieldIndex(const QString &name) const;
    QVariant Value(int row, int field) const;

    // Cached changes, written by ApplyUpdates.
    void SetValue(int row, int field, const QVariant &value);
    void AppendRecord(const QVariantList &values);
    void DeleteRecord(int row);
    int ChangeCount() const;

    // Writes every cached change back in the order made. A refused change goes to the
    // resolver's update-error event; the changes written stay applied in the cache.
    // Result: the number of refused changes that were skipped.
    int ApplyUpdates();

private:
    struct TRecord {
        QVariantList Original;
        QVariantList Current;
        bool Inserted = false;
        bool Modified = false;
        bool Deleted = false;
        int Order = 0;
    };

    const TRecord &LiveRecord(int row) const;
    TRecord &LiveRecord(int row);

    std::unique_ptr<Db::TQuery> FQuery;
    std::unique_ptr<TDataSetResolver> FDsp;
    QStringList FFieldNames;
    QList<TRecord> FRecords;
    bool FActive = false;
    int FChangeOrder = 0;
};
