// TTableManager: a table described by its field-definition lines, the SQL generated
// from them, and the queries it hands out through its database manager.
#include "schema/IBManagersInternal.h"

#include "schema/SchemaTexts.h"

#include <algorithm>

TTableManager::TTableManager(QObject *owner)
    : QObject(owner)
    , FInsertSQL(std::make_unique<Db::TStatement>())
    , FUpdateSQL(std::make_unique<Db::TStatement>())
{
}

TTableManager::~TTableManager()
{
    // Given back while this object is whole: the free notification of a cached query
    // must not reach a cache that is being destroyed.
    for (TQueryLease<TManagedQuery> *cached : { &FQueryFindPK, &FQueryFindPrimaryKey }) {
        if (*cached)
            (*cached)->RemoveFreeNotification(this);
        cached->Reset();
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

TQueryLease<TManagedQuery> TTableManager::LeaseQuery(bool ReadOnly, Db::TTransaction *Transaction)
{
    return { Manager(), CreateQuery(ReadOnly, Transaction) };
}

void TTableManager::FreeDataset(Db::TQuery *DataSet) { Manager().FreeDataset(DataSet); }

void TTableManager::ForgetQuery(Db::TStatement *query)
{
    if (query == FQueryFindPK.Get())
        FQueryFindPK.Release();
    if (query == FQueryFindPrimaryKey.Get())
        FQueryFindPrimaryKey.Release();
}

TQueryLease<TManagedQuery> TTableManager::BuildKeyQuery(const QStringList &text)
{
    TQueryLease<TManagedQuery> query = LeaseQuery(true, Manager().Transaction());
    query->SetForwardOnly(true);
    query->SetSQL(text);
    // The manager frees every query it handed out when it goes first; the cache must
    // not outlive it.
    query->AddFreeNotification(this, [this](Db::TStatement *freed) { ForgetQuery(freed); });
    return query;
}

TManagedQuery *TTableManager::CachedKeyQuery(
    TQueryLease<TManagedQuery> &cache, QStringList (TTableManager::*text)() const, const QString &activeError)
{
    if (!cache)
        cache = BuildKeyQuery((this->*text)());
    if (cache->Active())
        throw Os::Exception(activeError);
    return cache.Get();
}

TManagedQuery *TTableManager::QueryFindPK()
{
    return CachedKeyQuery(FQueryFindPK, &TTableManager::FindPKText, SchemaTexts::QueryFPKActive());
}

TManagedQuery *TTableManager::QueryFindPrimaryKey()
{
    return CachedKeyQuery(
        FQueryFindPrimaryKey, &TTableManager::FindPrimaryKeyText, SchemaTexts::QueryFWKActive());
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
    TQueryLease<TManagedQuery> query = LeaseQuery(ReadOnly);
    QStringList sql;
    BuildSQL4Select(sql, columns, Where);
    query->SetSQL(sql);
    SetDatasetParams(*query, Values, QVariant());
    query->SetForwardOnly(ForwardOnly);
    if (!query->Transaction()->Active())
        query->Transaction()->Start();
    query->Open();
    return query.Release();
}

Db::TStatement *TTableManager::BoundStatement(
    Db::TStatement &statement, const std::function<void(QStringList &)> &build)
{
    statement.SetTransaction(Manager().Transaction());
    if (statement.SQL().isEmpty()) {
        QStringList sql;
        build(sql);
        statement.SetSQL(sql);
    }
    return &statement;
}

Db::TStatement *TTableManager::SQLAppend()
{
    return BoundStatement(*FInsertSQL, [this](QStringList &sql) { BuildSQL4Insert(sql); });
}

Db::TStatement *TTableManager::SQLUpdate()
{
    return BoundStatement(*FUpdateSQL, [this](QStringList &sql) { BuildSQL4Update(sql); });
}

Db::TStatement *TTableManager::SharedStatement()
{
    CheckDatabase(5);
    return Manager().FSQL.get();
}
