// The schema operations of TDatabaseManager: generators, exceptions, drops, existence
// tests, the lists and names of the catalogue, statistics and procedure sources.
#include "schema/IBManagersInternal.h"

#include "schema/SchemaTexts.h"

using SchemaInternal::FirstColumn;
using SchemaInternal::ReadOnlyRow;
using SchemaInternal::TrimmedText;
using SchemaInternal::UpperAscii;

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
        TextList = FirstColumn(*FQuery);
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
        return ReadOnlyRow(*FQuery, SchemaTexts::GetKeynameFailed(), TrimmedText);
    });
}

QString TDatabaseManager::GetConstraintIndexName(const QString &ConstraintName)
{
    return Nested([&] {
        FQuery->Close();
        FQuery->SetSQL({ QStringLiteral("SELECT rdb$index_name FROM rdb$relation_constraints WHERE "),
            QStringLiteral("RDB$CONSTRAINT_NAME = '") + UpperAscii(ConstraintName) + QStringLiteral("'") });
        QString name = ReadOnlyRow(*FQuery, SchemaTexts::GetConstraintIndexNameFailed(), TrimmedText);
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
        QString owner = FQuery->HasCurrentRow() ? FQuery->AsString(0) : QString();
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
        indexes = FirstColumn(*FQuery);
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
