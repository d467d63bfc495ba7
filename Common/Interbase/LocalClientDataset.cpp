#include "Common/Interbase/LocalClientDataset.h"

#include "dbaccess/DbAccess.h"

#include <algorithm>

TDataSetResolver::TDataSetResolver(Db::TQuery *dataSet)
    : FDataSet(dataSet)
{
}

TDataSetResolver::~TDataSetResolver() = default;

QStringList TDataSetResolver::BuildSQL(TUpdateKind kind, const QStringList &fields, QVariantList &values,
    const QVariantList &original, const QVariantList &current) const
{
    values.clear();
    int next = 0;
    auto param = [&next](QVariantList &into, const QVariant &value) {
        into << value;
        return QStringLiteral(":p%1").arg(next++);
    };
    QStringList where;
    auto addWhere = [&] {
        const QStringList &keys = KeyFields.isEmpty() ? fields : KeyFields;
        QStringList terms;
        for (const QString &key : keys) {
            const int index = static_cast<int>(fields.indexOf(key));
            const QVariant value = index >= 0 ? original.value(index) : QVariant();
            if (value.isNull())
                terms << key + QStringLiteral(" IS NULL");
            else
                terms << key + QStringLiteral(" = ") + param(values, value);
        }
        where << QStringLiteral("WHERE ") + terms.join(QStringLiteral(" AND "));
    };

    QStringList sql;
    switch (kind) {
    case ukModify: {
        QStringList sets;
        for (int i = 0; i < fields.size(); ++i) {
            if (current.value(i) != original.value(i))
                sets << fields.at(i) + QStringLiteral(" = ") + param(values, current.value(i));
        }
        sql << QStringLiteral("UPDATE ") + TableName + QStringLiteral(" SET ")
                + sets.join(QStringLiteral(", "));
        addWhere();
        sql << where;
        break;
    }
    case ukInsert: {
        QStringList markers;
        for (int i = 0; i < fields.size(); ++i)
            markers << param(values, current.value(i));
        sql << QStringLiteral("INSERT INTO ") + TableName + QStringLiteral(" (")
                + fields.join(QStringLiteral(", ")) + QStringLiteral(")")
            << QStringLiteral("VALUES (") + markers.join(QStringLiteral(", ")) + QStringLiteral(")");
        break;
    }
    case ukDelete:
        sql << QStringLiteral("DELETE FROM ") + TableName;
        addWhere();
        sql << where;
        break;
    }
    return sql;
}

void TDataSetResolver::Execute(const QStringList &sql, const QVariantList &values)
{
    if (!FStatement)
        FStatement = std::make_unique<Db::TStatement>(FDataSet->Database(), FDataSet->Transaction());
    FStatement->SetDatabase(FDataSet->Database());
    FStatement->SetTransaction(FDataSet->Transaction());
    FStatement->Close();
    FStatement->SetSQL(sql);
    for (int i = 0; i < values.size(); ++i)
        FStatement->SetParamVariant(i, values.at(i));
    FStatement->Execute();
    if (FStatement->RowsAffected() == 0)
        throw Os::Exception(QStringLiteral("Record not found or changed by another user"));
}

TLocalClientDataset::TLocalClientDataset() = default;

TLocalClientDataset::~TLocalClientDataset()
{
    // The resolver writes through the query: it goes first.
    FDsp.reset();
    FQuery.reset();
}

void TLocalClientDataset::CreateCompanions(Db::TTransaction *transaction)
{
    FQuery = std::make_unique<Db::TQuery>();
    FQuery->SetTransaction(transaction);
    FDsp = std::make_unique<TDataSetResolver>(FQuery.get());
}

void TLocalClientDataset::Open()
{
    Close();
    FQuery->Open();
    FFieldNames = FQuery->FieldNames();
    while (FQuery->HasCurrentRow()) {
        TRecord record;
        for (int i = 0; i < FFieldNames.size(); ++i)
            record.Original << FQuery->AsVariant(i);
        record.Current = record.Original;
        FRecords << record;
        FQuery->Next();
    }
    FQuery->Close();
    FActive = true;
}

void TLocalClientDataset::Close()
{
    FRecords.clear();
    FFieldNames.clear();
    FActive = false;
    FChangeOrder = 0;
}

int TLocalClientDataset::RecordCount() const
{
    return static_cast<int>(
        std::count_if(FRecords.begin(), FRecords.end(), [](const TRecord &r) { return !r.Deleted; }));
}

int TLocalClientDataset::FieldIndex(const QString &name) const
{
    for (int i = 0; i < FFieldNames.size(); ++i) {
        if (FFieldNames.at(i).compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

const TLocalClientDataset::TRecord &TLocalClientDataset::LiveRecord(int row) const
{
    int seen = -1;
    for (const TRecord &record : FRecords) {
        if (!record.Deleted && ++seen == row)
            return record;
    }
    throw Os::Exception(QStringLiteral("Record index out of range: %1").arg(row));
}

TLocalClientDataset::TRecord &TLocalClientDataset::LiveRecord(int row)
{
    return const_cast<TRecord &>(static_cast<const TLocalClientDataset *>(this)->LiveRecord(row));
}

QVariant TLocalClientDataset::Value(int row, int field) const { return LiveRecord(row).Current.value(field); }

void TLocalClientDataset::SetValue(int row, int field, const QVariant &value)
{
    TRecord &record = LiveRecord(row);
    if (field < 0 || field >= FFieldNames.size())
        throw Os::Exception(QStringLiteral("Field index out of range: %1").arg(field));
    record.Current[field] = value;
    if (!record.Inserted && !record.Modified) {
        record.Modified = true;
        record.Order = ++FChangeOrder;
    }
}

void TLocalClientDataset::AppendRecord(const QVariantList &values)
{
    TRecord record;
    for (int i = 0; i < FFieldNames.size(); ++i)
        record.Original << QVariant();
    record.Current = record.Original;
    for (int i = 0; i < values.size() && i < FFieldNames.size(); ++i)
        record.Current[i] = values.at(i);
    record.Inserted = true;
    record.Order = ++FChangeOrder;
    FRecords << record;
}

void TLocalClientDataset::DeleteRecord(int row)
{
    TRecord &record = LiveRecord(row);
    if (record.Inserted) {
        // Never reached the server: nothing to write back.
        FRecords.removeIf([&record](const TRecord &r) { return &r == &record; });
        return;
    }
    record.Deleted = true;
    record.Order = ++FChangeOrder;
}

int TLocalClientDataset::ChangeCount() const
{
    return static_cast<int>(std::count_if(FRecords.begin(), FRecords.end(),
        [](const TRecord &r) { return r.Inserted || r.Modified || r.Deleted; }));
}

int TLocalClientDataset::ApplyUpdates()
{
    QList<TRecord *> pending;
    for (TRecord &record : FRecords) {
        if (record.Inserted || record.Modified || record.Deleted)
            pending << &record;
    }
    std::sort(pending.begin(), pending.end(),
        [](const TRecord *a, const TRecord *b) { return a->Order < b->Order; });

    int skipped = 0;
    // What the server took becomes the original state of the cache at once, so that a
    // write-back stopped by a refusal is not written twice by the next one.
    auto dropWrittenDeletions
        = [this] { FRecords.removeIf([](const TRecord &r) { return r.Deleted && r.Order < 0; }); };
    for (TRecord *record : pending) {
        const TUpdateKind kind = record->Deleted ? ukDelete : record->Inserted ? ukInsert : ukModify;
        QVariantList values;
        const QStringList sql = FDsp->BuildSQL(kind, FFieldNames, values, record->Original, record->Current);
        try {
            FDsp->Execute(sql, values);
        } catch (const Os::Exception &e) {
            TResolverResponse response = rrAbort;
            try {
                if (FDsp->OnUpdateError)
                    FDsp->OnUpdateError(*this, e, kind, response);
            } catch (...) {
                dropWrittenDeletions();
                throw;
            }
            if (response == rrAbort) {
                dropWrittenDeletions();
                throw;
            }
            ++skipped;
            continue;
        }
        record->Original = record->Current;
        record->Inserted = record->Modified = false;
        if (record->Deleted)
            record->Order = -1;
    }
    dropWrittenDeletions();
    return skipped;
}
