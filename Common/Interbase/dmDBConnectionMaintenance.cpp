// The connection module's maintenance services, the operations it forwards to the database
// manager, its utilities and its command scripts.
#include "Common/Interbase/dmDBConnectionUnit.h"

#include "Common/Interbase/InterbaseTexts.h"
#include "Common/Interbase/MaintenanceTexts.h"
#include "dbaccess/DbAccess.h"
#include "oslayer/Exceptions.h"
#include "oslayer/Paths.h"
#include "platform/GeneralRoutines.h"
#include "platform/InstallTools2.h"
#include "platform/Messages.h"
#include "schema/IBManagers.h"

#include <QLocale>

#include <algorithm>

namespace T = InterbaseTexts;
namespace M = MaintenanceTexts;

namespace {

// What the backup client always asks for: a backup that neither waits for limbo
// transactions nor collects garbage on the way, in the server's own format.
constexpr uint32_t BackupOptions
    = isc_spb_bkp_ignore_limbo | isc_spb_bkp_no_garbage_collect | isc_spb_bkp_non_transportable;

QString MessageOf(const std::exception &e)
{
    if (const auto *os = dynamic_cast<const Os::Exception *>(&e))
        return os->Message();
    return QString::fromUtf8(e.what());
}

// Detaches also when the action failed; that failure is the one to report.
template <typename Work> void WithServices(Db::TServicesClient &client, Work &&work)
{
    client.Attach();
    try {
        work();
    } catch (...) {
        try {
            client.Detach();
        } catch (...) {
        }
        throw;
    }
    client.Detach();
}

// Starts an action and gathers every line of its report.
template <typename Start> void ReadReport(Db::TServicesClient &client, QStringList &lines, Start &&start)
{
    lines.clear();
    WithServices(client, [&] {
        start();
        client.ReadAllLines([&lines](const QString &line) { lines << line; });
    });
}

Db::TServicesClient *MadeOnFirstUse(std::unique_ptr<Db::TServicesClient> &slot, const char *name)
{
    if (!slot) {
        slot = std::make_unique<Db::TServicesClient>();
        slot->SetName(QString::fromLatin1(name));
    }
    return slot.get();
}

// "#,0": thousands separators of the user's locale, also where the locale would leave
// them out by default.
QString Grouped(int64_t value)
{
    QLocale locale;
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    return locale.toString(static_cast<qlonglong>(value));
}

} // namespace

// ---- Services clients -------------------------------------------------------------------

Db::TServicesClient *TdmDBConnection::IBStatisticalService() const
{
    return MadeOnFirstUse(FIBStatisticalService, "IBStatisticalService");
}

Db::TServicesClient *TdmDBConnection::IBValidationService() const
{
    return MadeOnFirstUse(FIBValidationService, "IBValidationService");
}

Db::TServicesClient *TdmDBConnection::IBConfigService() const
{
    return MadeOnFirstUse(FIBConfigService, "IBConfigService");
}

Db::TServicesClient *TdmDBConnection::IBBS() const { return MadeOnFirstUse(FIBBS, "IBBS"); }

QString TdmDBConnection::PrepareServices(
    Db::TServicesClient &client, const QString &unknownText, const QString &otherText) const
{
    const QString connectionString = FDatabaseManager->ConnectionString();
    switch (GetConnectionType(connectionString)) {
    case ibctUnknown:
        throw Os::Exception(unknownText);
    case ibctLocal:
        SetUpServices(client, QString());
        return LocalFileName(connectionString);
    case ibctTCPIP: {
        QString server;
        QString file;
        SplitConnectionString(connectionString, server, file);
        SetUpServices(client, server);
        return file;
    }
    default:
        throw Os::Exception(otherText);
    }
}

// ---- Services actions ---------------------------------------------------------------------

void TdmDBConnection::GetDBHeaderInfo(QStringList &TextList)
{
    Db::TServicesClient &client = *IBStatisticalService();
    const QString database = PrepareServices(client, M::HeaderInfoUnknown, M::HeaderInfoOther);
    ReadReport(client, TextList, [&] { client.StartStatistics(database, isc_spb_sts_hdr_pages); });
}

void TdmDBConnection::SweepDatabase(QStringList &TextList)
{
    Db::TServicesClient &client = *IBValidationService();
    const QString database = PrepareServices(client, M::SweepUnknown, M::SweepOther);
    ReadReport(client, TextList, [&] { client.StartRepair(database, isc_spb_rpr_sweep_db); });
}

void TdmDBConnection::SetSweepInterval(int32_t Value)
{
    Db::TServicesClient &client = *IBConfigService();
    const QString database = PrepareServices(client, M::SweepIntervalUnknown, M::SweepIntervalOther);
    WithServices(client, [&] { client.SetSweepInterval(database, static_cast<uint32_t>(Value)); });
}

void TdmDBConnection::SetForcedWrites(bool Value)
{
    Db::TServicesClient &client = *IBConfigService();
    const QString database = PrepareServices(client, M::ForcedWritesUnknown, M::ForcedWritesOther);
    WithServices(client, [&] { client.SetWriteMode(database, Value); });
}

void TdmDBConnection::DoBackup(
    const QString &BackupFilename, const TBackupCallBack &Callback, QStringList &Errors)
{
    Db::TServicesClient &client = *IBBS();
    const QString database = PrepareServices(client, M::DatabaseNotLocal, M::DatabaseNotLocal);
    // For a local database this computer is the server: the file is one of the prefix.
    const QString target = ConnectionType() == ibctLocal ? LocalFileName(BackupFilename) : BackupFilename;
    Errors.clear();
    WithServices(client, [&] {
        client.StartBackup(database, target, BackupOptions, true, 0);
        client.ReadAllLines([&](const QString &line) {
            if (Callback)
                Callback(this, line);
            if (line.contains(M::BackupErrorMarker))
                Errors << line;
        });
    });
}

// ---- Through the database manager ---------------------------------------------------------

void TdmDBConnection::AsMaker(const std::function<void()> &work)
{
    const QString connectionString = FDatabaseManager->ConnectionString();
    const QString userName = FDatabaseManager->UserName();
    const QString role = FDatabaseManager->Role();
    const QString password = FDatabaseManager->Password();
    std::exception_ptr failure;
    try {
        SetParams(connectionString, T::MakerUserName, QString(), T::MakerPassword);
        AttachThroughManager();
        work();
    } catch (...) {
        failure = std::current_exception();
    }
    // The caller's account is put back whatever happened: the maker's must not stay set.
    try {
        SetParams(connectionString, userName, role, password);
    } catch (...) {
        if (!failure)
            failure = std::current_exception();
    }
    if (failure)
        std::rethrow_exception(failure);
}

void TdmDBConnection::SetStatistics()
{
    WaitCursor wait;
    AsMaker([this] { FDatabaseManager->SetStatistics(); });
    Connect();
}

void TdmDBConnection::CreateDatabase()
{
    Disconnect();
    WithAttachName([this] { FDatabaseManager->CreateDatabase(); });

    InTransactionLevel([this] {
        FDatabaseManager->RegisterUDF();
        FDatabaseManager->RegisterStoredProcs();
    });
}

void TdmDBConnection::DropDatabase()
{
    FIBDatabase->DropDatabase();
    // Nothing of the dropped database is left to unregister from.
    ClearAllConnections();
}

void TdmDBConnection::SetDBVersion(int32_t Dbv, const QString &ConnStr)
{
    Disconnect();
    SetMakerAccount();
    auto forgetAccount = [this] {
        FDatabaseManager->SetUserName(QString());
        FDatabaseManager->SetRole(QString());
        FDatabaseManager->SetPassword(QString());
    };
    try {
        const QString clientVersion = CheckClientVersion();
        if (FDatabaseManager->ConnectionString().isEmpty())
            FDatabaseManager->SetConnectionString(ConnStr);
        AttachThroughManager();
        CheckServerVersion(clientVersion);
        FDatabaseManager->SetDBVersion(Dbv);
    } catch (...) {
        // Also after a refusal before the attach: the maker's password stays nowhere.
        Disconnect();
        forgetAccount();
        throw;
    }
    Disconnect();
    forgetAccount();
}

int32_t TdmDBConnection::GetUDFVersion()
{
    int32_t result = 0;
    InTransactionLevel([&] {
        FGeneralQuery->Close();
        FGeneralQuery->SetSQL({ QStringLiteral("SELECT GetDLLVersion() FROM rdb$database") });
        FGeneralQuery->Open();
        result = FGeneralQuery->AsInteger(0);
        FGeneralQuery->Close();
    });
    return result;
}

void TdmDBConnection::GetUserList(QStringList &TextList)
{
    TextList.clear();
    if (Connected())
        FDatabaseManager->GetUserList(TextList);
}

QString TdmDBConnection::GetDBOwner() { return FDatabaseManager->GetDBOwner(); }

void TdmDBConnection::SetDBOwner(const QString &Value) { FDatabaseManager->SetDBOwner(Value); }

void TdmDBConnection::GetLogData(QStringList &TextList) { FDatabaseManager->GetLogData(TextList); }

void TdmDBConnection::AcquireUpdateLock() { FDatabaseManager->AcquireUpdateLock(); }

void TdmDBConnection::ReleaseUpdateLock() { FDatabaseManager->ReleaseUpdateLock(); }

void TdmDBConnection::GetDBInfo(QStringList &TextList) { TextList.clear(); }

void TdmDBConnection::CheckDB(QStringList &TextList) { Q_UNUSED(TextList); }

void TdmDBConnection::AddAcceptedVersion(int32_t Version) { Q_UNUSED(Version); }

// ---- Utilities ------------------------------------------------------------------------------

bool TdmDBConnection::TestDbConnection(
    const QString &DBIdentifier, const QString &ConnectionStr, int32_t DBVersion, bool ShowMsg)
{
    int32_t version = DBVersion;
    if (version == 0)
        version = DBIdentifier == M::VestrelIdentifier ? 2 : 1;

    // A module of its own, so that the caller's attachment and account stay as they are.
    auto tester = std::make_unique<TdmDBConnection>(nullptr, FAcceptedVersions);
    tester->Init(version, DBIdentifier, QString(), M::TestShortName);
    bool attached = false;
    int64_t freeBytes = 0;
    {
        WaitCursor wait;
        tester->SetParams(ConnectionStr, M::TestUserName, M::TestRole, M::TestPassword);
        tester->Connect();
        attached = tester->Connected();
        freeBytes = attached ? tester->GetFreeDiskSpace() : 0;
        tester->Disconnect();
    }
    if (ShowMsg) {
        ShowInfo(QString(M::ConnectionOk).replace(QStringLiteral("%s"), DBIdentifier) + T::CrLf
            + Grouped(freeBytes / 1000000) + T::MegabyteSuffix);
    }
    return attached;
}

bool TdmDBConnection::IsOnDBServer()
{
    if (FIsOnDBServer == 0) {
        int16_t value = -1;
        try {
            const QString connectionString = FDatabaseManager->ConnectionString();
            switch (GetConnectionType(connectionString)) {
            case ibctLocal:
                value = 1;
                break;
            case ibctTCPIP: {
                const qsizetype colon = connectionString.indexOf(QLatin1Char(':'));
                if (colon < 1)
                    break;
                QString server = connectionString.left(colon);
                // "host/port" names the same computer as "host".
                const qsizetype slash = server.indexOf(QLatin1Char('/'));
                if (slash > 0)
                    server.truncate(slash);
                if (server.compare(GetComputerNameText(), Qt::CaseInsensitive) == 0) {
                    value = 1;
                    break;
                }
                QStringList addresses;
                TWindowsInstaller::GetLocalIPAddresses(addresses);
                for (const QString &address : std::as_const(addresses)) {
                    if (server.compare(address, Qt::CaseInsensitive) == 0) {
                        value = 1;
                        break;
                    }
                }
                break;
            }
            default:
                break;
            }
        } catch (const Os::EAbort &) {
            value = -1; // the box is already shown
        } catch (const std::exception &e) {
            value = -1;
            ShowError(MessageOf(e));
        }
        FIsOnDBServer = value;
    }
    return FIsOnDBServer == 1;
}

QString TdmDBConnection::GetBaseFilename() const
{
    const QString connectionString = FDatabaseManager->ConnectionString();
    qsizetype last = -1;
    for (const QChar separator : { QLatin1Char('/'), QLatin1Char(':'), QLatin1Char('\\') })
        last = std::max(last, connectionString.lastIndexOf(separator));
    return connectionString.mid(last + 1);
}

int32_t TdmDBConnection::GetConnectionCount()
{
    if (!Connected())
        throw Os::Exception(M::NotConnected);
    return static_cast<int32_t>(FIBDatabase->UserNames().size());
}

// ---- Command scripts ----------------------------------------------------------------------

void TdmDBConnection::ExecuteCommands(
    const QStringList &TextList, const QString &db_id, int32_t Vmin, int32_t Vmax, int32_t Nextv)
{
    Q_UNUSED(Nextv);
    try {
        QString dbi;
        int32_t dbv = 0;
        FDatabaseManager->GetDBVersion(dbi, dbv);
        if (dbi != db_id)
            throw Os::Exception(M::OrderNotForThisDatabase);
        if (Vmin > dbv)
            throw Os::Exception(M::DatabaseTooOld);
        if (Vmax < dbv)
            throw Os::Exception(M::OrdersObsolete);
    } catch (...) {
        // Detached afterwards in every case, a refused order included.
        try {
            Disconnect();
        } catch (...) {
        }
        throw;
    }

    AsMaker([this, &TextList] {
        FIBSQL->SQL().clear();
        // The statements go to the server as written: a colon in a literal or a
        // procedure body is no parameter.
        FIBSQL->SetParamCheck(false);
        try {
            InTransactionLevel([&] {
                for (const QString &line : TextList) {
                    if (line.isEmpty())
                        continue;
                    if (line == M::ScriptStart) {
                        FIBSQL->SQL().clear();
                    } else if (line == M::ScriptEnd) {
                        FIBSQL->Prepare();
                        FIBSQL->Execute();
                    } else {
                        FIBSQL->SQL().append(line);
                    }
                }
            });
        } catch (...) {
            FIBSQL->SetParamCheck(true);
            throw;
        }
        FIBSQL->SetParamCheck(true);
    });
}
