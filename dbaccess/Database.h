// The database attachment.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

namespace Db {

class TTransaction;
class TStatement;

// One attachment to one database. Not copyable; every transaction and statement
// bound to it is told when it goes away, so destruction order does not matter.
class TDatabase {
public:
    TDatabase();
    ~TDatabase(); // detaches, ignoring every error
    TDatabase(const TDatabase &) = delete;
    TDatabase &operator=(const TDatabase &) = delete;

    // Component name, for messages of the layers above.
    const QString &Name() const { return FName; }
    void SetName(const QString &name) { FName = name; }

    // The connection string handed to the attach call unchanged: a host path
    // (embedded engine), "host:alias", "host/port:path" ...
    const QString &DatabaseName() const { return FDatabaseName; }
    void SetDatabaseName(const QString &name);

    // Attach parameter lines "name=value" with the names user_name, password,
    // sql_role_name, lc_ctype. For CreateDatabase() they are the creation clauses
    // instead ("USER 'DREMLIX'", "PAGE_SIZE 4096" ...).
    QStringList &Params() { return FParams; }
    const QStringList &Params() const { return FParams; }
    void SetParams(const QStringList &params) { FParams = params; }

    int SQLDialect() const { return FSQLDialect; }
    void SetSQLDialect(int dialect) { FSQLDialect = dialect; }

    // Used by statements and queries that name no transaction.
    TTransaction *DefaultTransaction() const { return FDefaultTransaction; }
    void SetDefaultTransaction(TTransaction *transaction);

    // When on and the server dropped the attachment (shutdown, connection lost,
    // attachment deleted), the next transaction start attaches again with the same
    // name and parameters. A deliberate Close() is never undone.
    bool AutoReconnect() const { return FAutoReconnect; }
    void SetAutoReconnect(bool on) { FAutoReconnect = on; }

    // Runs after every successful attach (also after CreateDatabase and a reconnection).
    void SetAfterConnect(std::function<void()> handler) { FAfterConnect = std::move(handler); }

    bool Connected() const { return FHandle != 0; }

    // Attach. Raises EDatabaseError for a parameter line outside the list (before
    // the server is contacted) and for a failed attach; nothing stays attached then.
    void Open();
    // Detach: closes every statement and rolls back every active transaction of
    // this attachment first. Raises when the server refuses; stays attached then.
    void Close();
    // Detach; when the server reports an error, the handle is dropped anyway.
    // Never raises.
    void ForceClose();
    // Drops the attached database file; detached afterwards.
    void DropDatabase();
    // Sends "CREATE DATABASE '" + DatabaseName() + "' " followed by the lines of
    // Params(), each on its own line, and stays attached to the new database.
    void CreateDatabase();
    // The same with the location and the clauses given (both are stored).
    void CreateDatabase(const QString &location, const QStringList &clauses);

    // The user names of the current attachments of the database, one per
    // attachment (isc_info_user_names).
    QStringList UserNames();
    // The on-disk structure's major version: 10 for Firebird 1.0 and 1.5, 11 for 2.x, 12
    // for 3.0 and so on.
    int OdsMajorVersion();

    // Text as the server gets and gives it: UTF-8 when lc_ctype is UTF8 (or
    // UNICODE_FSS), else the program's 8-bit code page, Windows-1252 (the bytes the
    // products write through their ISO8859_1 attachments). A character the code page
    // lacks raises Os::EConvertError instead of being lost.
    QByteArray EncodeText(const QString &text) const;
    QString DecodeText(const char *data, int length) const;
    bool Utf8() const { return FUtf8; }

    // Client handle, for the other classes of the layer.
    unsigned int *Handle() { return &FHandle; }
    // Called by the layer when a status vector says the attachment is gone.
    void ConnectionLost();
    // Ensures an open attachment before work: reattaches when allowed, else raises.
    void CheckConnected();

    // Registration of the objects bound to this attachment (by the layer itself).
    void Attach(TTransaction *transaction);
    void Detach(TTransaction *transaction);
    void Attach(TStatement *statement);
    void Detach(TStatement *statement);

private:
    void EndEverything(bool ignoreErrors);
    void AfterAttach();

    QString FName;
    QString FDatabaseName;
    QStringList FParams;
    int FSQLDialect = 3;
    TTransaction *FDefaultTransaction = nullptr;
    bool FAutoReconnect = false;
    bool FLost = false;
    bool FUtf8 = false;
    std::function<void()> FAfterConnect;
    unsigned int FHandle = 0;
    std::vector<TTransaction *> FTransactions;
    std::vector<TStatement *> FStatements;
};

} // namespace Db
