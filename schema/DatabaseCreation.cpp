// A new product database: the file on the server with the objects every product
// database carries, the declarations of the external functions and the log procedure.
#include "schema/IBManagersInternal.h"

#include "schema/SchemaTexts.h"

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
