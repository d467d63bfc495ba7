// What the table manager runs on the database: table, column, index, constraint and
// privilege statements, records, and the column type lookups and conversions.
#include "schema/IBManagersInternal.h"

#include "schema/SchemaTexts.h"

using SchemaInternal::ReadOnlyRow;
using SchemaInternal::TrimmedText;
using SchemaInternal::UpperAscii;

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
        for (const QString &grant : AccessStatements(QStringLiteral("GRANT"), QStringLiteral("TO"))) {
            statement->SetSQL({ grant });
            statement->Execute();
        }
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
    CreateReferenceConstraint(name, columns, refTable, refColumns, 0);
}

void TTableManager::CreateReferenceConstraintCascadeSetNull(
    const QString &name, const QStringList &columns, const QString &refTable, const QStringList &refColumns)
{
    CreateReferenceConstraint(name, columns, refTable, refColumns, roDeleteSetNull);
}

void TTableManager::CreateReferenceConstraintCascadeDelete(
    const QString &name, const QStringList &columns, const QString &refTable, const QStringList &refColumns)
{
    CreateReferenceConstraint(name, columns, refTable, refColumns, roDeleteCascade);
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

QStringList TTableManager::AccessStatements(const QString &verb, const QString &preposition) const
{
    return { verb + QStringLiteral(" SELECT, REFERENCES ON ") + FTableName + QLatin1Char(' ') + preposition
            + QStringLiteral(" ROLE_READER"),
        verb + QStringLiteral(" SELECT, REFERENCES, DELETE, UPDATE, INSERT ON ") + FTableName
            + QLatin1Char(' ') + preposition + QStringLiteral(" ROLE_READER_WRITER") };
}

void TTableManager::AllowAccess()
{
    CheckDatabase(10);
    ExecuteNested(AccessStatements(QStringLiteral("GRANT"), QStringLiteral("TO")));
}

void TTableManager::DenyAccess()
{
    CheckDatabase(11);
    ExecuteNested(AccessStatements(QStringLiteral("REVOKE"), QStringLiteral("FROM")));
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
        QString name = query.HasCurrentRow() ? query.AsString(0).trimmed() : QString();
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
    QString index = Manager().GetConstraintIndexName(ConstraintName);
    FConstraintIndexNames.append(ConstraintName);
    FConstraintIndexNames.append(index);
    return index;
}

// ---- Records ----------------------------------------------------------------------------

int32_t TTableManager::RecordCount()
{
    CheckDatabase(6);
    TQueryLease<TManagedQuery> query = LeaseQuery(true);
    query->SetSQL({ QStringLiteral("SELECT COUNT(*) FROM ") + FTableName });
    return Manager().Nested([&] {
        // The count runs in the query's own transaction; the level keeps the caller's
        // transaction nesting balanced all the same.
        Db::TTransaction *own = query->Transaction();
        const bool started = !own->Active();
        if (started)
            own->Start();
        query->Open();
        const int32_t count = query->AsInteger(0);
        query->Close();
        if (started)
            own->Commit();
        return count;
    });
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

QString TTableManager::ColumnDomain(Db::TQuery &query, const QString &Fieldname, const QString &error)
{
    query.SetSQL({ QStringLiteral("SELECT RDB$FIELD_SOURCE FROM RDB$RELATION_FIELDS WHERE RDB$FIELD_NAME = "
                                  ":P0 AND RDB$RELATION_NAME = :P1") });
    query.SetParamString(0, UpperAscii(Fieldname));
    query.SetParamString(1, UpperAscii(FTableName));
    return ReadOnlyRow(query, error, TrimmedText);
}

template <typename Then>
auto TTableManager::DomainLookup(const QString &Fieldname, const QString &field, const QString &domainError,
    const QString &fieldError, Then &&then)
{
    TDatabaseManager &manager = Manager();
    TQueryLease<Db::TQuery> query = manager.LeaseQueryGlobal();
    query->SetForwardOnly(true);
    return manager.Nested([&] {
        const QString domain = ColumnDomain(*query, Fieldname, domainError);
        query->SetSQL({ QStringLiteral("SELECT ") + field
            + QStringLiteral(" FROM RDB$FIELDS WHERE RDB$FIELD_NAME = :P0") });
        query->SetParamString(0, domain);
        const int32_t value
            = ReadOnlyRow(*query, fieldError, [](const Db::TQuery &q) { return q.AsInteger(0); });
        return then(*query, value);
    });
}

int32_t TTableManager::GetfieldSize(const QString &Fieldname)
{
    return DomainLookup(Fieldname, QStringLiteral("RDB$FIELD_LENGTH"), SchemaTexts::FieldSizeDomainNotFound(),
        SchemaTexts::FieldSizeLengthNotFound(), [](Db::TQuery &, int32_t length) { return length; });
}

QString TTableManager::GetfieldType(const QString &Fieldname)
{
    return DomainLookup(Fieldname, QStringLiteral("RDB$FIELD_TYPE"), SchemaTexts::FieldTypeDomainNotFound(),
        SchemaTexts::FieldTypeNumberNotFound(), [](Db::TQuery &query, int32_t type) {
            query.SetSQL({ QStringLiteral("SELECT RDB$TYPE_NAME FROM RDB$TYPES WHERE RDB$FIELD_NAME = "
                                          "'RDB$FIELD_TYPE' AND RDB$TYPE = :P0") });
            query.SetParamInt(0, type);
            query.Open();
            const bool found = query.HasCurrentRow();
            QString typeName = found ? TrimmedText(query) : QString();
            query.Close();
            if (!found)
                throw Os::Exception(SchemaTexts::FieldTypeNameNotFound());
            return typeName;
        });
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
        if (GetfieldType(FieldName) != integerType) {
            // A temporary column left by a run that stopped before its copy-back is
            // made again from the text column, which still holds every value.
            if (temp)
                dropTemp();
            addTemp();
            copyToTemp();
            dropField();
            addField();
            copyBack();
            dropTemp();
        } else if (temp) {
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
