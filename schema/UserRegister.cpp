// The register of connected workstations in the table Users: one row per workstation,
// refreshed by its own short transaction and retried after a random pause, since every
// workstation attached to the database writes to it.
#include "schema/IBManagersInternal.h"

namespace {

constexpr int RegisterAttempts = 5;
constexpr int RetryPauseBound = 2000;
constexpr int UserKeyLength = 60;
// 0.03 day: a workstation refreshes its row every 30 minutes, so a row older than this
// belongs to a workstation that is gone.
constexpr qint64 UserExpiryMSecs = 2592000;

} // namespace

QString TDatabaseManager::QuotedString(const QString &text)
{
    QString inner = text;
    inner.replace(QLatin1Char('\''), QStringLiteral("''"));
    return QLatin1Char('\'') + inner + QLatin1Char('\'');
}

QString TDatabaseManager::UserKey(const QString &UserStr) { return UserStr.left(UserKeyLength); }

void TDatabaseManager::RetryPause()
{
    const int ms = FRandom ? FRandom(RetryPauseBound) : 0;
    if (FRetryPause)
        FRetryPause(ms);
}

void TDatabaseManager::RollbackRegister()
{
    try {
        FQuery2->Close();
        if (FTransaction2->Active())
            FTransaction2->Rollback();
    } catch (...) {
        // The failure that led here is the one that counts.
    }
}

template <typename Work> void TDatabaseManager::InRegisterTransaction(Work &&work)
{
    // A write waits for another one on the same row; a workstation that stopped in the
    // middle of its own write must not hold every other one forever, so on servers that
    // know it the wait has an end. Older servers refuse the unknown parameter.
    QStringList params { QStringLiteral("write"), QStringLiteral("read_committed"), QStringLiteral("rec_version") };
    if (FDatabase && FDatabase->Connected() && FDatabase->OdsMajorVersion() >= 11)
        params << QStringLiteral("lock_timeout=%1").arg(FRegisterLockTimeout);
    FTransaction2->SetParams(params);
    FTransaction2->Start();
    try {
        work();
        FTransaction2->Commit();
    } catch (...) {
        RollbackRegister();
        throw;
    }
}

void TDatabaseManager::PurgeUsers()
{
    FQuery2->Close();
    FQuery2->SetSQL({ QStringLiteral("SELECT * FROM GET_SERVER_TIME") });
    FQuery2->Open();
    const QDateTime now = FQuery2->AsDateTime(0);
    FQuery2->Close();
    FSQL2->SetSQL({ QStringLiteral("DELETE FROM Users WHERE lastcheck < :p0") });
    FSQL2->SetParamDateTime(0, now.addMSecs(-UserExpiryMSecs));
    FSQL2->Execute();
}

template <typename Work> void TDatabaseManager::RetryInRegister(Work &&work)
{
    try {
        Retry(
            RegisterAttempts, [&] { InRegisterTransaction(work); },
            [](const std::exception &) { return true; });
    } catch (const std::exception &) {
        // Five failures in a row: the register forgives a missed write, as the next
        // refresh writes again and a row left behind expires.
    }
}

int32_t TDatabaseManager::RegisteredRows(const QString &key)
{
    FQuery2->Close();
    FQuery2->SetSQL({ QStringLiteral("SELECT COUNT(*) FROM Users WHERE username=") + QuotedString(key) });
    FQuery2->Open();
    const int32_t count = FQuery2->AsInteger(0);
    FQuery2->Close();
    return count;
}

void TDatabaseManager::RegisterUser(const QString &UserStr)
{
    const QString key = UserKey(UserStr);
    RetryInRegister([&] {
        int32_t count = RegisteredRows(key);
        if (count == 0) {
            // Two workstations registering one name at the same moment would both count
            // none and both insert it. Every first registration takes this row first, so
            // the second one waits for the first to end and then counts its row.
            // WITH LOCK exists from Firebird 1.5 (on-disk structure 10.1) on; the update
            // that changes nothing takes the same lock on any server, 1.0 included.
            if (FDatabase->OdsMajorVersion() >= 11) {
                FQuery2->SetSQL({ QStringLiteral("SELECT id FROM ConnectionControl WHERE id = 0 WITH LOCK") });
                FQuery2->Open();
                FQuery2->Close();
            } else {
                FSQL2->ClearParams();
                FSQL2->SetSQL({ QStringLiteral("UPDATE ConnectionControl SET id = id WHERE id = 0") });
                FSQL2->Execute();
            }
            count = RegisteredRows(key);
        }
        FSQL2->SQL().clear();
        FSQL2->ClearParams();
        if (count != 0)
            FSQL2->SetSQL({ QStringLiteral("UPDATE Users SET lastcheck = 'Now' WHERE"),
                QStringLiteral("username = :p0") });
        else
            FSQL2->SetSQL({ QStringLiteral("INSERT INTO Users (username, lastcheck)"),
                QStringLiteral("VALUES (:p0, 'Now')") });
        FSQL2->SetParamString(0, key);
        FSQL2->Execute();
        PurgeUsers();
    });
}

void TDatabaseManager::UnRegisterUser(const QString &UserStr)
{
    const QString key = UserKey(UserStr);
    RetryInRegister([&] {
        FSQL2->ClearParams();
        FSQL2->SetSQL({ QStringLiteral("DELETE FROM Users WHERE username=") + QuotedString(key) });
        FSQL2->Execute();
    });
}

void TDatabaseManager::GetUserList(QStringList &liste)
{
    InRegisterTransaction([&] {
        liste.clear();
        PurgeUsers();
        FQuery2->Close();
        FQuery2->SetSQL({ QStringLiteral("SELECT username FROM Users ORDER BY username") });
        liste = SchemaInternal::FirstColumn(*FQuery2);
    });
}

QDateTime TDatabaseManager::GetServerTime()
{
    return Nested([&] {
        FQuery->Close();
        FQuery->SetSQL({ QStringLiteral("SELECT * FROM GET_SERVER_TIME") });
        FQuery->Open();
        QDateTime t = FQuery->AsDateTime(0);
        FQuery->Close();
        return t;
    });
}
