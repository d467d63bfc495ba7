// The connection module: one Firebird database at a time, reached with the account a
// caller sets or the maker's privileged one, let stand only for a known client library,
// an accepted client/server pair and the expected database; the transaction levels
// and client datasets of everything that runs on it.
#pragma once

#include "Common/Interbase/AcceptedVersions.h"
#include "Common/Interbase/ConnectionStrings.h"
#include "Common/Interbase/LocalClientDataset.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

class QTimer;
class TDatabaseManager;

namespace Db {
class TDatabase;
class TTransaction;
class TStatement;
class TQuery;
class TServicesClient;
} // namespace Db

// Called by DoRollback with a database error instead of raising it again.
using TExceptionMessageHandler = std::function<void(int32_t SQLCode, int32_t EFIBError, const QString &Msg)>;

class TdmDBConnection : public QObject {
    Q_OBJECT

public:
    // The accepted client and server versions are a parameter so that a test can admit
    // one more server; the program always runs with the released table.
    explicit TdmDBConnection(
        QObject *parent = nullptr, TAcceptedVersionTable acceptedVersions = DefaultAcceptedVersions());
    ~TdmDBConnection() override;

    // ---- Components ------------------------------------------------------------------
    QTimer *TimerUsers() const { return FTimerUsers; } // 30 minutes
    QTimer *TimerCheckDiskSpace() const { return FTimerCheckDiskSpace; } // 60 minutes
    Db::TDatabase *IBDatabase() const { return FIBDatabase.get(); }
    Db::TTransaction *GlobalTransaction() const { return FGlobalTransaction.get(); }
    Db::TQuery *GeneralQuery() const { return FGeneralQuery.get(); }
    Db::TStatement *IBSQL() const { return FIBSQL.get(); }
    Db::TServicesClient *IBServerProperties() const { return FIBServerProperties.get(); }
    TDatabaseManager *DatabaseManager() const { return FDatabaseManager.get(); }

    const TAcceptedVersionTable &AcceptedVersions() const { return FAcceptedVersions; }
    // The pairs an update certifies for its site instead (its "Servers.txt"); for the
    // connections made after this call.
    void SetAcceptedVersions(TAcceptedVersionTable table) { FAcceptedVersions = std::move(table); }

    // ---- Settings --------------------------------------------------------------------
    // The expected database and the caller's short name; attaches nothing.
    void Init(int32_t DBVersion, const QString &DBIdentifier, const QString &DBDescription,
        const QString &ClientShortName);
    // Disconnects, then stores the connection string and the account.
    void SetParams(const QString &ConnectionString, const QString &Username, const QString &Role,
        const QString &Password);
    void SetShortClientName(const QString &ShortClientName);

    // ---- Connecting ------------------------------------------------------------------
    // The connect sequence; raises with the user's text on every refusal.
    void Connect();
    // With the maker's account, which stays set afterwards (also when Connect raised).
    void ConnectAsDremlix();
    // With the maker's account, without comparing the stored identifier and version.
    void ConnectAnyVersion();
    // Back to the account that was set before ConnectAsDremlix.
    void ReConnectAsUser();
    bool Connected() const;
    bool WasConnected() const { return FWasConnected; }
    // Unregisters the workstation (errors ignored) and closes everything.
    void Disconnect();
    // Closes everything without unregistering.
    void ClearAllConnections();
    TConnectionType ConnectionType() const;
    // The first steps of the connect sequence: the stored identifier and version, the
    // attachment left open.
    void GetDBVersion(QString &DbI, int32_t &DbV);
    // Asks the server through the services API; "?", "?", 0 for strings the services
    // cannot be reached for.
    void GetServerInfo(QString &ServerVersion, QString &ServerImplementation, int32_t &ServiceVersion);
    // Only the server version, of ServerName over TCP/IP (locally for a local string);
    // empty for the other kinds of connection string.
    QString GetServerVersion(const QString &ServerName);
    // Free bytes of the server drive that holds the database.
    int64_t GetFreeDiskSpace();
    // Warns about low space, detaches below the critical threshold; never refuses.
    void CheckFreeDiskSpace();
    // "<user> (<computer>) - <short name>", or the session id instead of the computer in
    // a remote desktop session.
    QString GetUserIdentification() const;

    TIBServerType ServerType() const { return FServerType; }
    const TExceptionMessageHandler &ExceptionMessageHandler() const { return FExceptionMessageHandler; }
    void SetExceptionMessageHandler(TExceptionMessageHandler handler)
    {
        FExceptionMessageHandler = std::move(handler);
    }

    // ---- Transaction levels ----------------------------------------------------------
    // Only the outermost level talks to the server; the depth lives in the tag of
    // GlobalTransaction, which the database manager nests in too.
    bool DoStartTransaction(bool ProtectedFlag);
    bool DoStartReadOnlyTransaction(bool ProtectedFlag);
    void DoCommit();
    // Closes a level (rolling back at the outermost one), then raises e again as a new
    // error of its kind; returns only without an error, or when the handler took it.
    void DoRollback(const std::exception *e = nullptr);
    void DoSilentRollback();
    // The pattern every caller of the levels follows: work inside a level that is then
    // committed; on an error the level is rolled back with it and DoRollback raises it
    // again. False when the error handler took the error instead.
    template <typename Work> bool InTransactionLevel(Work &&work);
    bool InTransaction() const;
    QString TransactionState() const;
    void CommitRetaining(Db::TQuery *DataSet);

    // ---- Datasets --------------------------------------------------------------------
    TLocalClientDataset *CreateGlobalCDS();
    void FreeGlobalCDS(TLocalClientDataset *&Cds);
    int ClientDatasetCount() const { return static_cast<int>(FListeDesCDS.size()); }
    // By the dataset's tag: 1 close and commit a level; 2 the same and free it (the caller
    // hands over a dataset made with no owner); 3 give it back to the database manager.
    void FreeDataset(Db::TQuery *DataSet);

    // ---- Error texts -----------------------------------------------------------------
    // The user's text for a database error: the unreachable-server and the wrong-login
    // texts replace the raw ones; anything else passes through.
    static QString GetIBErrorMessage(const std::exception &e);
    // The update-error event of every client dataset's resolver: says which kind of
    // change the server refused, and why.
    [[noreturn]] static void ProviderUpdateError(TLocalClientDataset &DataSet, const Os::Exception &E,
        TUpdateKind UpdateKind, TResolverResponse &Response);

    // The transaction parameters of a server transaction started by a level.
    static QStringList DefaultTransactionParams();
    static QStringList ReadOnlyTransactionParams();

    // ==== Maintenance services, utilities and command scripts ============================
    // (dmDBConnectionMaintenance.cpp)
public:
    using TBackupCallBack = std::function<void(QObject *Sender, const QString &AStr)>;

    // The services clients, made on first use; every call logs in with the maker's account.
    Db::TServicesClient *IBStatisticalService() const;
    Db::TServicesClient *IBValidationService() const;
    Db::TServicesClient *IBConfigService() const;
    Db::TServicesClient *IBBS() const;

    // Services actions on the database of ConnectionString: local strings through the local
    // service manager, TCP/IP strings through the server's; the other forms raise the
    // operation's own text before anything is contacted.
    void GetDBHeaderInfo(QStringList &TextList);
    void SweepDatabase(QStringList &TextList);
    void SetSweepInterval(int32_t Value);
    void SetForcedWrites(bool Value);
    // BackupFilename is a path on the server. Callback gets every output line; Errors the
    // lines that contain "ERROR:".
    void DoBackup(const QString &BackupFilename, const TBackupCallBack &Callback, QStringList &Errors);

    // Through the database manager.
    void SetStatistics();
    void CreateDatabase();
    void DropDatabase();
    void SetDBVersion(int32_t Dbv, const QString &ConnStr);
    int32_t GetUDFVersion();
    void GetUserList(QStringList &TextList);
    QString GetDBOwner();
    void SetDBOwner(const QString &Value);
    void GetLogData(QStringList &TextList);
    void AcquireUpdateLock();
    void ReleaseUpdateLock();
    void GetDBInfo(QStringList &TextList);
    void CheckDB(QStringList &TextList);
    void AddAcceptedVersion(int32_t Version);

    // Utilities.
    // A separate module connects with the test account; true when it got attached.
    bool TestDbConnection(
        const QString &DBIdentifier, const QString &ConnectionStr, int32_t DBVersion, bool ShowMsg);
    bool IsOnDBServer();
    QString GetBaseFilename() const;
    int32_t GetConnectionCount();

    // Runs a script of STARTSQL/ENDSQL statements as one transaction under the maker's
    // account, for the database db_id with a stored version in Vmin..Vmax; detached after.
    void ExecuteCommands(
        const QStringList &TextList, const QString &db_id, int32_t Vmin, int32_t Vmax, int32_t Nextv);

private:
    // Sets up client for ConnectionString and gives the database name the server wants;
    // raises unknownText / otherText for the forms the services cannot be reached for.
    QString PrepareServices(
        Db::TServicesClient &client, const QString &unknownText, const QString &otherText) const;
    // DatabaseManager.Connect with a local Windows path handed over as the host's path.
    void AttachThroughManager();
    // Runs work with the manager's ConnectionString turned into what the client attaches
    // (AttachName), and puts the string back after.
    void WithAttachName(const std::function<void()> &work);
    // Runs work attached with the maker's account, then puts the caller's account back,
    // detached, whatever happened; the first failure is raised.
    void AsMaker(const std::function<void()> &work);

    mutable std::unique_ptr<Db::TServicesClient> FIBStatisticalService;
    mutable std::unique_ptr<Db::TServicesClient> FIBValidationService;
    mutable std::unique_ptr<Db::TServicesClient> FIBConfigService;
    mutable std::unique_ptr<Db::TServicesClient> FIBBS;
    // ==== end of maintenance ==============================================================

private:
    void DataModuleCreate();
    void DataModuleDestroy();
    void TimerUsersTimer();
    void TimerCheckDiskSpaceTimer();
    void IBDatabaseAfterConnect();

    // Steps that GetDBVersion shares with Connect: up to the stored identity.
    void ConnectAndReadVersion(QString &dbi, int32_t &dbv);
    QString CheckClientVersion();
    void CheckServerVersion(const QString &clientVersion);
    void SetMakerAccount();
    void EndOutermostLevel();
    // False for the kinds of connection string the services cannot be reached for.
    bool SetUpServices(Db::TServicesClient &client, const QString &tcpServer) const;

    QTimer *FTimerUsers = nullptr;
    QTimer *FTimerCheckDiskSpace = nullptr;
    std::unique_ptr<Db::TDatabase> FIBDatabase;
    std::unique_ptr<Db::TTransaction> FGlobalTransaction;
    std::unique_ptr<Db::TQuery> FGeneralQuery;
    std::unique_ptr<Db::TStatement> FIBSQL;
    std::unique_ptr<Db::TServicesClient> FIBServerProperties;
    std::unique_ptr<TDatabaseManager> FDatabaseManager;

    TAcceptedVersionTable FAcceptedVersions;
    bool FWasConnected = false;
    std::vector<std::unique_ptr<TLocalClientDataset>> FListeDesCDS;
    TIBServerType FServerType = UnknownServer;
    TExceptionMessageHandler FExceptionMessageHandler;
    QString FClientShortName;
    bool FDoNotCheckFreeSpace = false;
    bool FDoNotCheckDBVersion = false;
    QString FUserUserName;
    QString FUserRole;
    QString FUserPassword;
    int16_t FIsOnDBServer = 0;
    // Replace the default of the next server start; cleared when the outermost level ends.
    QStringList FExplicitParams;
};

template <typename Work> bool TdmDBConnection::InTransactionLevel(Work &&work)
{
    DoStartTransaction(false);
    try {
        work();
        DoCommit();
    } catch (const std::exception &e) {
        DoRollback(&e);
        return false;
    }
    return true;
}
