// The database attachment over isc_attach_database and friends.
#include "dbaccess/Database.h"

#include "dbaccess/DbInternal.h"
#include "dbaccess/Statement.h"
#include "dbaccess/Transaction.h"

#include <QFile>
#include <algorithm>

namespace Db {

using Internal::Check;
using Internal::TStatus;

namespace {

struct TDpbName {
    const char *Name;
    uint8_t Item;
};

constexpr TDpbName kDpbNames[] = {
    {"user_name", isc_dpb_user_name},
    {"password", isc_dpb_password},
    {"sql_role_name", isc_dpb_sql_role_name},
    {"lc_ctype", isc_dpb_lc_ctype},
};

// Splits "name=value"; the name is compared without regard to case and blanks.
bool SplitParam(const QString &line, QString &name, QString &value)
{
    const qsizetype eq = line.indexOf(u'=');
    if (eq < 0)
        return false;
    name = line.left(eq).trimmed().toLower();
    value = line.mid(eq + 1);
    return true;
}

} // namespace

TDatabase::TDatabase() = default;

TDatabase::~TDatabase()
{
    ForceClose();
    // Unbind everything still pointing at us, copies first: the callees detach.
    for (TStatement *s : std::vector<TStatement *>(FStatements))
        s->Forget(this);
    for (TTransaction *t : std::vector<TTransaction *>(FTransactions))
        t->SetDefaultDatabase(nullptr);
}

void TDatabase::SetDatabaseName(const QString &name)
{
    FDatabaseName = name;
}

void TDatabase::SetDefaultTransaction(TTransaction *transaction)
{
    FDefaultTransaction = transaction;
    if (transaction && !transaction->DefaultDatabase())
        transaction->SetDefaultDatabase(this);
}

void TDatabase::Attach(TTransaction *transaction)
{
    if (std::find(FTransactions.begin(), FTransactions.end(), transaction) == FTransactions.end())
        FTransactions.push_back(transaction);
}

void TDatabase::Detach(TTransaction *transaction)
{
    std::erase(FTransactions, transaction);
    if (FDefaultTransaction == transaction)
        FDefaultTransaction = nullptr;
}

void TDatabase::Attach(TStatement *statement)
{
    if (std::find(FStatements.begin(), FStatements.end(), statement) == FStatements.end())
        FStatements.push_back(statement);
}

void TDatabase::Detach(TStatement *statement)
{
    std::erase(FStatements, statement);
}

QByteArray TDatabase::EncodeText(const QString &text) const
{
    return FUtf8 ? text.toUtf8() : Internal::ToCp1252(text);
}

QString TDatabase::DecodeText(const char *data, int length) const
{
    return FUtf8 ? QString::fromUtf8(data, length) : Internal::FromCp1252(data, length);
}

void TDatabase::Open()
{
    if (Connected())
        return;
    // The whole block is built, and every name checked, before the client is touched.
    QByteArray dpb;
    dpb.append(static_cast<char>(isc_dpb_version1));
    bool utf8 = false;
    for (const QString &line : std::as_const(FParams)) {
        QString name, value;
        const TDpbName *known = nullptr;
        if (SplitParam(line, name, value)) {
            for (const TDpbName &n : kDpbNames) {
                if (name == QLatin1String(n.Name))
                    known = &n;
            }
        }
        if (!known)
            throw EDatabaseError(QStringLiteral("Unknown database parameter \"%1\"").arg(line));
        const QByteArray bytes = value.toUtf8();
        if (bytes.size() > 255)
            throw EDatabaseError(QStringLiteral("Database parameter too long: %1").arg(name));
        if (known->Item == isc_dpb_lc_ctype) {
            const QString cs = value.trimmed().toUpper();
            utf8 = cs == QLatin1String("UTF8") || cs == QLatin1String("UNICODE_FSS");
        }
        dpb.append(static_cast<char>(known->Item));
        dpb.append(static_cast<char>(bytes.size()));
        dpb.append(bytes);
    }
    const TFbClientApi &api = Client();
    const QByteArray name = QFile::encodeName(FDatabaseName);
    TStatus status;
    isc_db_handle handle = 0;
    api.attach_database(&status, static_cast<short>(name.size()), name.constData(), &handle,
                        static_cast<short>(dpb.size()), dpb.constData());
    if (status.Failed())
        throw Internal::MakeError(status);
    FHandle = handle;
    FUtf8 = utf8;
    AfterAttach();
}

void TDatabase::AfterAttach()
{
    FLost = false;
    if (FAfterConnect)
        FAfterConnect();
}

void TDatabase::EndEverything(bool ignoreErrors)
{
    for (TTransaction *t : std::vector<TTransaction *>(FTransactions)) {
        if (!t->Active())
            continue;
        if (ignoreErrors) {
            try {
                t->Rollback();
            } catch (...) {
                t->Forget();
            }
        } else {
            t->Rollback();
        }
    }
}

void TDatabase::Close()
{
    if (!Connected()) {
        FLost = false;
        return;
    }
    // Statements need no freeing: the detach frees them on the server, and
    // ConnectionLost forgets their handles here.
    EndEverything(false);
    TStatus status;
    Client().detach_database(&status, &FHandle);
    if (status.Failed()) {
        const EDatabaseError error = Internal::MakeError(status);
        if (!Internal::IsConnectionLost(error.FirebirdCode()))
            throw error;
    }
    ConnectionLost();
    FLost = false;
}

void TDatabase::ForceClose()
{
    // A deliberate detach is never undone, also that of an attachment already lost.
    if (!Connected()) {
        FLost = false;
        return;
    }
    try {
        EndEverything(true);
        TStatus status;
        Client().detach_database(&status, &FHandle);
    } catch (...) {
        // A client that cannot even detach leaves nothing to keep.
    }
    ConnectionLost();
    FLost = false;
}

void TDatabase::ConnectionLost()
{
    FHandle = 0;
    FLost = true;
    for (TTransaction *t : std::vector<TTransaction *>(FTransactions))
        t->Forget();
    for (TStatement *s : std::vector<TStatement *>(FStatements))
        s->DatabaseGone();
}

void TDatabase::CheckConnected()
{
    if (Connected())
        return;
    if (FAutoReconnect && FLost) {
        Open();
        return;
    }
    throw EDatabaseError(QStringLiteral("Database not connected") +
                         (FName.isEmpty() ? QString() : QStringLiteral(" (") + FName + u')'));
}

void TDatabase::DropDatabase()
{
    if (!Connected())
        throw EDatabaseError(QStringLiteral("Database not connected"));
    EndEverything(false);
    TStatus status;
    Client().drop_database(&status, &FHandle);
    Check(status, this);
    ConnectionLost();
    FLost = false;
}

void TDatabase::CreateDatabase()
{
    if (Connected())
        throw EDatabaseError(QStringLiteral("Database already connected"));
    QString sql = QStringLiteral("CREATE DATABASE '") + FDatabaseName + QStringLiteral("' ");
    for (const QString &clause : std::as_const(FParams))
        sql += QStringLiteral("\n") + clause;
    const QByteArray text = sql.toUtf8();
    const TFbClientApi &api = Client();
    TStatus status;
    isc_db_handle handle = 0;
    isc_tr_handle transaction = 0;
    api.dsql_execute_immediate(&status, &handle, &transaction, 0, text.constData(),
                               static_cast<unsigned short>(FSQLDialect), nullptr);
    if (status.Failed())
        throw Internal::MakeError(status);
    FHandle = handle;
    FUtf8 = false;
    AfterAttach();
}

void TDatabase::CreateDatabase(const QString &location, const QStringList &clauses)
{
    FDatabaseName = location;
    FParams = clauses;
    CreateDatabase();
}

int TDatabase::OdsMajorVersion()
{
    CheckConnected();
    const char items[] = {isc_info_ods_version, isc_info_end};
    char buffer[32] = {};
    TStatus status;
    Client().database_info(&status, &FHandle, sizeof items, items, sizeof buffer, buffer);
    Check(status, this);
    if (static_cast<unsigned char>(buffer[0]) != isc_info_ods_version)
        return 0;
    const char *p = buffer + 1;
    const int length = static_cast<int>(Internal::ReadLE(p, 2));
    return static_cast<int>(Internal::ReadLE(p + 2, length));
}

QStringList TDatabase::UserNames()
{
    CheckConnected();
    const char items[] = {isc_info_user_names, isc_info_end};
    QByteArray buffer(4096, '\0');
    for (;;) {
        TStatus status;
        Client().database_info(&status, &FHandle, sizeof items, items, static_cast<short>(buffer.size()),
                               buffer.data());
        Check(status, this);
        QStringList names;
        bool truncated = false;
        const char *p = buffer.constData();
        const char *end = p + buffer.size();
        while (p < end && *p != isc_info_end) {
            if (*p == isc_info_truncated) {
                truncated = true;
                break;
            }
            const auto item = static_cast<unsigned char>(*p++);
            const int length = static_cast<int>(Internal::ReadLE(p, 2));
            p += 2;
            if (item == isc_info_user_names && length > 0) {
                const int nameLength = static_cast<unsigned char>(*p);
                names << QString::fromUtf8(p + 1, std::min(nameLength, length - 1));
            }
            p += length;
        }
        if (!truncated)
            return names;
        if (buffer.size() >= 32000)
            return names;
        buffer.resize(std::min<qsizetype>(buffer.size() * 4, 32000));
    }
}

} // namespace Db
