#include "Common/Interbase/dmDBConnectionUnit.h"

#include "Common/Interbase/InterbaseTexts.h"
#include "Common/Interbase/LocalClientDataset.h"
#include "dbaccess/DbAccess.h"
#include "oslayer/Exceptions.h"
#include "oslayer/Paths.h"
#include "oslayer/SystemInfo.h"
#include "oslayer/WinError.h"
#include "platform/FileVersionInfo.h"
#include "platform/GeneralRoutines.h"
#include "platform/Messages.h"
#include "platform/UiServices.h"
#include "schema/IBManagers.h"

#include <QTimer>

#include <algorithm>

namespace T = InterbaseTexts;

namespace {

constexpr int UsersRefreshMs = 1800000; // below the register's 43.2-minute expiry
constexpr int DiskSpaceCheckMs = 3600000;
constexpr int64_t CriticalFreeSpace = 50000000;
constexpr int64_t LowFreeSpace = 150000000;
// Where the transaction assertion points support staff to.
constexpr int TransactionAssertLine = 928;

QString Megabytes(int64_t bytes) { return QString::number(bytes / 1000000); }

QString MessageOf(const std::exception &e)
{
    if (const auto *os = dynamic_cast<const Os::Exception *>(&e))
        return os->Message();
    return QString::fromUtf8(e.what());
}

} // namespace

TdmDBConnection::TdmDBConnection(QObject *parent, TAcceptedVersionTable acceptedVersions)
    : QObject(parent)
    , FAcceptedVersions(std::move(acceptedVersions))
{
    FTimerUsers = new QTimer(this);
    FTimerUsers->setObjectName(QStringLiteral("TimerUsers"));
    FTimerUsers->setInterval(UsersRefreshMs);
    connect(FTimerUsers, &QTimer::timeout, this, &TdmDBConnection::TimerUsersTimer);

    FTimerCheckDiskSpace = new QTimer(this);
    FTimerCheckDiskSpace->setObjectName(QStringLiteral("TimerCheckDiskSpace"));
    FTimerCheckDiskSpace->setInterval(DiskSpaceCheckMs);
    connect(FTimerCheckDiskSpace, &QTimer::timeout, this, &TdmDBConnection::TimerCheckDiskSpaceTimer);

    FIBDatabase = std::make_unique<Db::TDatabase>();
    FIBDatabase->SetName(QStringLiteral("IBDatabase"));
    FIBDatabase->SetSQLDialect(3);
    FIBDatabase->SetAutoReconnect(true);
    FIBDatabase->SetAfterConnect([this] { IBDatabaseAfterConnect(); });

    FGlobalTransaction = std::make_unique<Db::TTransaction>(FIBDatabase.get());
    FGlobalTransaction->SetName(QStringLiteral("GlobalTransaction"));
    FGlobalTransaction->SetParams(DefaultTransactionParams());
    FIBDatabase->SetDefaultTransaction(FGlobalTransaction.get());

    FGeneralQuery = std::make_unique<Db::TQuery>(FIBDatabase.get(), FGlobalTransaction.get());
    FGeneralQuery->SetName(QStringLiteral("GeneralQuery"));
    FIBSQL = std::make_unique<Db::TStatement>(FIBDatabase.get(), FGlobalTransaction.get());
    FIBSQL->SetName(QStringLiteral("IBSQL"));

    FIBServerProperties = std::make_unique<Db::TServicesClient>();
    FIBServerProperties->SetName(QStringLiteral("IBServerProperties"));

    FDatabaseManager = std::make_unique<TDatabaseManager>();
    FDatabaseManager->SetName(QStringLiteral("DatabaseManager"));
    FDatabaseManager->SetDatabase(FIBDatabase.get());
    FDatabaseManager->SetTransaction(FGlobalTransaction.get());
    FDatabaseManager->SetDBVersionProperty(0);

    DataModuleCreate();
}

TdmDBConnection::~TdmDBConnection() { DataModuleDestroy(); }

void TdmDBConnection::DataModuleCreate()
{
    FListeDesCDS.clear();
    FIBDatabase->Params().clear();
    FTimerUsers->start();
    FTimerCheckDiskSpace->start();
}

void TdmDBConnection::DataModuleDestroy()
{
    FTimerUsers->stop();
    FTimerCheckDiskSpace->stop();
    try {
        if (Connected())
            Disconnect();
    } catch (...) {
        // The program is ending: nothing is left to tell the user about the attachment.
    }
    if (!FListeDesCDS.empty()) {
        // A programming error of a caller, shown the way the toolkit shows its own.
        UiServices().Beep(MB_ICONHAND);
        MessageRequest request;
        request.Kind = MessageKind::Error;
        request.Text = T::CdsNotReleased;
        UiServices().ShowMessage(request);
    }
    FListeDesCDS.clear();
    // The manager's queries run on the attachment: give them back before it goes.
    FDatabaseManager.reset();
}

// ---- Settings --------------------------------------------------------------------------

void TdmDBConnection::Init(int32_t DBVersion, const QString &DBIdentifier, const QString &DBDescription,
    const QString &ClientShortName)
{
    FDatabaseManager->SetDBVersionProperty(DBVersion);
    FDatabaseManager->SetDBIdentifier(DBIdentifier);
    FDatabaseManager->SetDBDescription(DBDescription);
    FClientShortName = ClientShortName;
}

void TdmDBConnection::SetParams(
    const QString &ConnectionString, const QString &Username, const QString &Role, const QString &Password)
{
    FIsOnDBServer = 0;
    Disconnect();
    FDatabaseManager->SetConnectionString(ConnectionString);
    FDatabaseManager->SetUserName(Username);
    FDatabaseManager->SetRole(Role);
    FDatabaseManager->SetPassword(Password);
}

void TdmDBConnection::SetShortClientName(const QString &ShortClientName)
{
    FClientShortName = ShortClientName;
}

// ---- Connecting ------------------------------------------------------------------------

void TdmDBConnection::ConnectAndReadVersion(QString &dbi, int32_t &dbv)
{
    Disconnect();
    const QString clientVersion = CheckClientVersion();

    const QString connectionString = FDatabaseManager->ConnectionString();
    if (connectionString.isEmpty())
        throw Os::Exception(T::DatabaseNameMissing);

    AttachThroughManager();
    CheckServerVersion(clientVersion);
    FDatabaseManager->GetDBVersion(dbi, dbv);
}

void TdmDBConnection::Connect()
{
    QString dbi;
    int32_t dbv = 0;
    ConnectAndReadVersion(dbi, dbv);
    if (!FDoNotCheckDBVersion
        && (dbi != FDatabaseManager->DBIdentifier() || dbv != FDatabaseManager->DBVersion())) {
        Disconnect();
        throw Os::Exception(T::DatabaseNotCompatible + T::CrLf + T::CrLf + T::DatabaseLabel + dbi + T::CrLf
            + T::VersionLabel + QString::number(dbv));
    }
    CheckFreeDiskSpace();
    FDatabaseManager->RegisterUser(GetUserIdentification());
}

void TdmDBConnection::GetDBVersion(QString &DbI, int32_t &DbV) { ConnectAndReadVersion(DbI, DbV); }

void TdmDBConnection::SetMakerAccount()
{
    FDatabaseManager->SetUserName(T::MakerUserName);
    FDatabaseManager->SetRole(QString());
    FDatabaseManager->SetPassword(T::MakerPassword);
}

void TdmDBConnection::ConnectAsDremlix()
{
    Disconnect();
    FUserUserName = FDatabaseManager->UserName();
    FUserRole = FDatabaseManager->Role();
    FUserPassword = FDatabaseManager->Password();
    SetMakerAccount();
    Connect();
    CheckFreeDiskSpace();
}

void TdmDBConnection::ConnectAnyVersion()
{
    Disconnect();
    SetMakerAccount();
    FDoNotCheckDBVersion = true;
    try {
        Connect();
    } catch (...) {
        FDoNotCheckDBVersion = false;
        throw;
    }
    FDoNotCheckDBVersion = false;
    CheckFreeDiskSpace();
}

void TdmDBConnection::ReConnectAsUser()
{
    Disconnect();
    FDatabaseManager->SetUserName(FUserUserName);
    FDatabaseManager->SetRole(FUserRole);
    FDatabaseManager->SetPassword(FUserPassword);
    Connect();
}

void TdmDBConnection::WithAttachName(const std::function<void()> &work)
{
    const QString connectionString = FDatabaseManager->ConnectionString();
    FDatabaseManager->SetConnectionString(AttachName(connectionString));
    try {
        work();
    } catch (...) {
        FDatabaseManager->SetConnectionString(connectionString);
        throw;
    }
    FDatabaseManager->SetConnectionString(connectionString);
}

void TdmDBConnection::AttachThroughManager()
{
    WithAttachName([this] { FDatabaseManager->Connect(); });
}

bool TdmDBConnection::Connected() const { return FIBDatabase->Connected(); }

void TdmDBConnection::IBDatabaseAfterConnect() { FWasConnected = true; }

void TdmDBConnection::Disconnect()
{
    if (Connected()) {
        try {
            FDatabaseManager->UnRegisterUser(GetUserIdentification());
        } catch (...) {
            // The register cleans itself of rows that are not refreshed.
        }
    }
    ClearAllConnections();
    FWasConnected = false;
}

void TdmDBConnection::ClearAllConnections()
{
    FDatabaseManager->CloseAllConnections();
    FIBDatabase->ForceClose();
    for (Db::TStatement *statement : { static_cast<Db::TStatement *>(FGeneralQuery.get()), FIBSQL.get() }) {
        try {
            statement->Close();
        } catch (...) {
            // The attachment is gone; what is left of the statement goes with it.
        }
    }
    if (FGlobalTransaction->Active()) {
        try {
            FGlobalTransaction->Rollback();
        } catch (...) {
        }
    }
    FWasConnected = false;
    FGlobalTransaction->SetTag(0);
    // No level is open any more, so none can hold on to parameters of its own.
    FExplicitParams.clear();
    FGlobalTransaction->SetParams(DefaultTransactionParams());
}

TConnectionType TdmDBConnection::ConnectionType() const
{
    return GetConnectionType(FDatabaseManager->ConnectionString());
}

// ---- Version checks ----------------------------------------------------------------

QString TdmDBConnection::CheckClientVersion()
{
    QString clientVersion = GetFileVersionString(T::ClientLibraryName);
    if (!IsAcceptedClientVersion(FAcceptedVersions, clientVersion))
        throw Os::Exception(T::ClientVersionUnknown + T::CrLf + T::CrLf + clientVersion);
    return clientVersion;
}

void TdmDBConnection::CheckServerVersion(const QString &clientVersion)
{
    FServerType = UnknownServer;
    QString serverVersion;
    QString implementation;
    int32_t serviceVersion = 0;
    GetServerInfo(serverVersion, implementation, serviceVersion);
    FServerType = FindServerType(FAcceptedVersions, clientVersion, serverVersion);
    if (FServerType == UnknownServer) {
        Disconnect();
        throw Os::Exception(T::ClientServerMismatch + T::CrLf + T::CrLf + T::ClientLabel + clientVersion
            + T::CrLf + T::ServerLabel + serverVersion);
    }
}

bool TdmDBConnection::SetUpServices(Db::TServicesClient &client, const QString &tcpServer) const
{
    client.SetLogin(T::MakerUserName, T::MakerPassword);
    switch (ConnectionType()) {
    case ibctLocal:
        client.SetProtocol(Db::TProtocol::Local);
        client.SetServerName(QString());
        return true;
    case ibctTCPIP:
        client.SetProtocol(Db::TProtocol::TCP);
        client.SetServerName(tcpServer);
        return true;
    default:
        return false;
    }
}

namespace {

// Detaches also when a question failed; that failure is the one to report.
template <typename Work> auto AskServices(Db::TServicesClient &client, Work &&work)
{
    client.Attach();
    try {
        auto result = work();
        client.Detach();
        return result;
    } catch (...) {
        try {
            client.Detach();
        } catch (...) {
        }
        throw;
    }
}

} // namespace

void TdmDBConnection::GetServerInfo(
    QString &ServerVersion, QString &ServerImplementation, int32_t &ServiceVersion)
{
    ServerVersion = T::UnknownText;
    ServerImplementation = T::UnknownText;
    ServiceVersion = 0;

    QString server;
    if (ConnectionType() == ibctTCPIP) {
        QString file;
        SplitConnectionString(FDatabaseManager->ConnectionString(), server, file);
    }
    Db::TServicesClient &client = *FIBServerProperties;
    if (!SetUpServices(client, server))
        return;
    struct TInfo {
        QString Version;
        QString Implementation;
        int32_t ServiceVersion;
    };
    const TInfo info = AskServices(client, [&client] {
        return TInfo { client.ServerVersion(), client.ServerImplementation(), client.ServiceVersion() };
    });
    ServerVersion = info.Version;
    ServerImplementation = info.Implementation;
    ServiceVersion = info.ServiceVersion;
}

QString TdmDBConnection::GetServerVersion(const QString &ServerName)
{
    Db::TServicesClient &client = *FIBServerProperties;
    if (!SetUpServices(client, ServerName))
        return QString();
    return AskServices(client, [&client] { return client.ServerVersion(); });
}

// ---- Free disk space ------------------------------------------------------------------

int64_t TdmDBConnection::GetFreeDiskSpace()
{
    QString letter = DatabaseDriveLetter(FDatabaseManager->ConnectionString());
    // An alias may start with a quote; it must not end the literal.
    letter.replace(QLatin1Char('\''), QStringLiteral("''"));
    int64_t result = 0;
    InTransactionLevel([&] {
        FGeneralQuery->Close();
        FGeneralQuery->SetSQL(QStringList {
            QStringLiteral("SELECT GetFreeDiskSpace('") + letter + QStringLiteral("') FROM rdb$database") });
        FGeneralQuery->Open();
        result = FGeneralQuery->AsInt64(0);
        FGeneralQuery->Close();
    });
    return result;
}

void TdmDBConnection::CheckFreeDiskSpace()
{
    if (FDoNotCheckFreeSpace || !Connected())
        return;
    const int64_t freeBytes = GetFreeDiskSpace();
    if (freeBytes <= 0) {
        FDoNotCheckFreeSpace = true;
        ShowWarning(T::FreeSpaceUnknown);
    } else if (freeBytes < CriticalFreeSpace) {
        try {
            Disconnect();
        } catch (...) {
            // The user is told below; the attachment is dropped either way.
        }
        ShowError(T::FreeSpaceCritical + T::CrLf + Megabytes(freeBytes) + T::MegabyteSuffix);
    } else if (freeBytes < LowFreeSpace) {
        ShowWarning(T::FreeSpaceLow + T::CrLf + Megabytes(freeBytes) + T::MegabyteSuffix);
    }
}

// ---- Identification and timers ----------------------------------------------------

QString TdmDBConnection::GetUserIdentification() const
{
    const QString where
        = Os::IsRemoteSession() ? QString::number(Os::CurrentSessionId()) : GetComputerNameText();
    return GetUserNameText() + QStringLiteral(" (") + where + QStringLiteral(") - ") + FClientShortName;
}

void TdmDBConnection::TimerUsersTimer() { FDatabaseManager->RegisterUser(GetUserIdentification()); }

void TdmDBConnection::TimerCheckDiskSpaceTimer() { CheckFreeDiskSpace(); }

// ---- Transaction levels ----------------------------------------------------------

QStringList TdmDBConnection::DefaultTransactionParams()
{
    return { QStringLiteral("write"), QStringLiteral("nowait"), QStringLiteral("read_committed"),
        QStringLiteral("rec_version") };
}

QStringList TdmDBConnection::ReadOnlyTransactionParams()
{
    return { QStringLiteral("read"), QStringLiteral("nowait"), QStringLiteral("concurrency") };
}

bool TdmDBConnection::DoStartTransaction(bool ProtectedFlag)
{
    if (FGlobalTransaction->Tag() == 0) {
        FGlobalTransaction->SetParams(
            FExplicitParams.isEmpty() ? DefaultTransactionParams() : FExplicitParams);
        try {
            FGlobalTransaction->Start();
        } catch (...) {
            if (ProtectedFlag)
                return false;
            throw;
        }
    }
    FGlobalTransaction->SetTag(FGlobalTransaction->Tag() + 1);
    return true;
}

bool TdmDBConnection::DoStartReadOnlyTransaction(bool ProtectedFlag)
{
    if (FGlobalTransaction->Tag() == 0)
        FExplicitParams = ReadOnlyTransactionParams();
    return DoStartTransaction(ProtectedFlag);
}

void TdmDBConnection::EndOutermostLevel()
{
    FExplicitParams.clear();
    FGlobalTransaction->SetParams(DefaultTransactionParams());
}

void TdmDBConnection::DoCommit()
{
    const int32_t level = FGlobalTransaction->Tag() - 1;
    FGlobalTransaction->SetTag(level);
    if (level < 0) {
        throw Os::EAssertionFailed(T::TransactionManagementError
            + QStringLiteral(" (Common/Interbase/dmDBConnectionUnit, line %1)").arg(TransactionAssertLine));
    }
    if (level != 0)
        return;
    try {
        if (Connected() && FGlobalTransaction->Active())
            FGlobalTransaction->Commit();
    } catch (...) {
        // The caller's handler rolls the level back with this error; it must find the
        // level still open, or the failed transaction would be left running.
        FGlobalTransaction->SetTag(1);
        EndOutermostLevel();
        throw;
    }
    EndOutermostLevel();
}

void TdmDBConnection::DoRollback(const std::exception *e)
{
    const int32_t level = FGlobalTransaction->Tag() - 1;
    FGlobalTransaction->SetTag(level);
    if (level == 0) {
        try {
            if (Connected() && FGlobalTransaction->Active())
                FGlobalTransaction->Rollback();
        } catch (...) {
            EndOutermostLevel();
            // The error that led here is the one worth telling.
            if (!e)
                throw;
        }
        EndOutermostLevel();
    }
    if (!e)
        return;

    if (const auto *db = dynamic_cast<const Db::EDatabaseError *>(e)) {
        if (FExceptionMessageHandler) {
            FExceptionMessageHandler(db->SqlCode(), db->FirebirdCode(), db->Message());
            return;
        }
        throw Db::EDatabaseError(db->Message(), db->SqlCode(), db->FirebirdCode());
    }
    if (dynamic_cast<const Os::EAbort *>(e))
        throw Os::EAbort();
    throw Os::Exception(MessageOf(*e));
}

void TdmDBConnection::DoSilentRollback()
{
    try {
        DoRollback(nullptr);
    } catch (...) {
    }
}

bool TdmDBConnection::InTransaction() const { return FGlobalTransaction->Active(); }

QString TdmDBConnection::TransactionState() const { return QString::number(FGlobalTransaction->Tag()); }

void TdmDBConnection::CommitRetaining(Db::TQuery *DataSet) { Q_UNUSED(DataSet); }

// ---- Datasets ------------------------------------------------------------------------

TLocalClientDataset *TdmDBConnection::CreateGlobalCDS()
{
    auto cds = std::make_unique<TLocalClientDataset>();
    TLocalClientDataset *result = cds.get();
    FListeDesCDS.push_back(std::move(cds));
    try {
        result->CreateCompanions(FGlobalTransaction.get());
        result->Dsp()->OnUpdateError
            = [](TLocalClientDataset &dataSet, const Os::Exception &error, TUpdateKind updateKind,
                  TResolverResponse &response) { ProviderUpdateError(dataSet, error, updateKind, response); };
    } catch (...) {
        TLocalClientDataset *built = result;
        FreeGlobalCDS(built);
        throw;
    }
    return result;
}

void TdmDBConnection::FreeGlobalCDS(TLocalClientDataset *&Cds)
{
    if (!Cds)
        return;
    const auto it = std::find_if(FListeDesCDS.begin(), FListeDesCDS.end(),
        [Cds](const std::unique_ptr<TLocalClientDataset> &p) { return p.get() == Cds; });
    if (it == FListeDesCDS.end())
        throw Os::Exception(T::CdsNotFound);
    FListeDesCDS.erase(it);
    Cds = nullptr;
}

void TdmDBConnection::FreeDataset(Db::TQuery *DataSet)
{
    if (!DataSet)
        return;
    switch (DataSet->Tag()) {
    case 1:
        try {
            DataSet->Close();
            DoCommit();
        } catch (const std::exception &e) {
            DoRollback(&e);
        }
        return;
    case 2:
        try {
            DataSet->Close();
            if (!Connected())
                DataSet->DiscardLocal();
            DoCommit();
        } catch (const std::exception &e) {
            DoRollback(&e);
            return;
        }
        // Made with no owner and handed over to this call.
        delete DataSet;
        return;
    case 3:
        FDatabaseManager->FreeDataset(DataSet);
        return;
    default:
        throw Os::Exception(T::TagUnknown + DataSet->Name());
    }
}

// ---- Error texts ----------------------------------------------------------------------

void TdmDBConnection::ProviderUpdateError(
    TLocalClientDataset &DataSet, const Os::Exception &E, TUpdateKind UpdateKind, TResolverResponse &Response)
{
    Q_UNUSED(DataSet);
    Q_UNUSED(Response);
    QString text;
    switch (UpdateKind) {
    case ukModify:
        text = T::ModifyFailed;
        break;
    case ukInsert:
        text = T::InsertFailed;
        break;
    case ukDelete:
        text = T::DeleteFailed;
        break;
    }
    throw Os::Exception(text + T::CrLf + T::CrLf + E.Message());
}

QString TdmDBConnection::GetIBErrorMessage(const std::exception &e)
{
    const auto *db = dynamic_cast<const Db::EDatabaseError *>(&e);
    if (!db)
        return MessageOf(e);
    switch (db->FirebirdCode()) {
    case 335544375:
    case 335544721:
        return T::ServerUnreachable + T::CrLf + T::OtherSessionOpen + T::CrLf + T::FastUserSwitching + T::CrLf
            + T::CrLf + db->Message() + T::CrLf + QString::number(Os::GetLastError());
    case 335544472:
        return T::LoginRefused;
    default:
        return db->Message();
    }
}
