// Transactions over isc_start_transaction, commit and rollback.
#include "dbaccess/Transaction.h"

#include "dbaccess/Database.h"
#include "dbaccess/DbInternal.h"
#include "dbaccess/Statement.h"

#include <algorithm>

namespace Db {

using Internal::TStatus;

namespace {

struct TTpbName {
    const char *Name;
    uint8_t Item;
};

constexpr TTpbName kTpbNames[] = {
    {"write", isc_tpb_write},
    {"read", isc_tpb_read},
    {"nowait", isc_tpb_nowait},
    {"read_committed", isc_tpb_read_committed},
    {"rec_version", isc_tpb_rec_version},
    {"no_rec_version", isc_tpb_no_rec_version},
    {"concurrency", isc_tpb_concurrency},
};

} // namespace

TTransaction::TTransaction() = default;

TTransaction::TTransaction(TDatabase *database)
{
    SetDefaultDatabase(database);
}

TTransaction::~TTransaction()
{
    if (Active()) {
        try {
            Rollback();
        } catch (...) {
        }
    }
    for (TStatement *s : std::vector<TStatement *>(FStatements))
        s->Forget(this);
    if (FDatabase)
        FDatabase->Detach(this);
}

void TTransaction::SetDefaultDatabase(TDatabase *database)
{
    if (database == FDatabase)
        return;
    if (Active())
        throw EDatabaseError(QStringLiteral("Cannot change the database of an active transaction"));
    if (FDatabase)
        FDatabase->Detach(this);
    FDatabase = database;
    if (FDatabase)
        FDatabase->Attach(this);
}

void TTransaction::Attach(TStatement *statement)
{
    if (std::find(FStatements.begin(), FStatements.end(), statement) == FStatements.end())
        FStatements.push_back(statement);
}

void TTransaction::Detach(TStatement *statement)
{
    std::erase(FStatements, statement);
}

void TTransaction::Start()
{
    if (Active())
        throw EDatabaseError(QStringLiteral("Transaction is already active"));
    if (!FDatabase)
        throw EDatabaseError(QStringLiteral("Transaction has no database"));
    QByteArray tpb;
    if (!FParams.isEmpty()) {
        tpb.append(static_cast<char>(isc_tpb_version3));
        for (const QString &param : std::as_const(FParams)) {
            const QString name = param.trimmed().toLower();
            if (name.startsWith(QLatin1String("lock_timeout="))) {
                // Seconds a wait for another transaction's lock lasts at the most (servers
                // from Firebird 2.0 on).
                bool ok = false;
                const uint32_t seconds = name.mid(13).toUInt(&ok);
                if (!ok)
                    throw EDatabaseError(QStringLiteral("Unknown transaction parameter \"%1\"").arg(param));
                tpb.append(static_cast<char>(isc_tpb_lock_timeout));
                tpb.append(static_cast<char>(4));
                for (int shift = 0; shift < 32; shift += 8)
                    tpb.append(static_cast<char>((seconds >> shift) & 0xff));
                continue;
            }
            const TTpbName *known = nullptr;
            for (const TTpbName &n : kTpbNames) {
                if (name == QLatin1String(n.Name))
                    known = &n;
            }
            if (!known)
                throw EDatabaseError(QStringLiteral("Unknown transaction parameter \"%1\"").arg(param));
            tpb.append(static_cast<char>(known->Item));
        }
    }
    FDatabase->CheckConnected();
    TStatus status;
    isc_tr_handle handle = 0;
    Client().start_transaction(&status, &handle, 1, FDatabase->Handle(), static_cast<int>(tpb.size()),
                               tpb.constData());
    Internal::Check(status, FDatabase);
    FHandle = handle;
}

void TTransaction::CheckActive(const char *operation) const
{
    if (!Active())
        throw EDatabaseError(QStringLiteral("Transaction is not active (%1)").arg(QLatin1String(operation)));
}

void TTransaction::CloseCursors()
{
    for (TStatement *s : std::vector<TStatement *>(FStatements))
        s->TransactionEnded();
}

void TTransaction::Commit()
{
    CheckActive("commit");
    TStatus status;
    Client().commit_transaction(&status, &FHandle);
    Internal::Check(status, FDatabase);
    FHandle = 0;
    CloseCursors();
}

void TTransaction::CommitRetaining()
{
    CheckActive("commit retaining");
    TStatus status;
    Client().commit_retaining(&status, &FHandle);
    Internal::Check(status, FDatabase);
}

void TTransaction::Rollback()
{
    CheckActive("rollback");
    TStatus status;
    Client().rollback_transaction(&status, &FHandle);
    if (status.Failed()) {
        const EDatabaseError error = Internal::MakeError(status, FDatabase);
        // A transaction of a lost attachment is gone on the server already.
        if (!Internal::IsConnectionLost(error.FirebirdCode()))
            throw error;
    }
    FHandle = 0;
    CloseCursors();
}

void TTransaction::RollbackRetaining()
{
    CheckActive("rollback retaining");
    TStatus status;
    Client().rollback_retaining(&status, &FHandle);
    Internal::Check(status, FDatabase);
}

void TTransaction::Forget()
{
    if (FHandle == 0)
        return;
    FHandle = 0;
    CloseCursors();
}

} // namespace Db
