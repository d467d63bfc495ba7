// The client of the Firebird service manager.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>

namespace Db {

enum class TProtocol { Local, TCP };

// A service parameter block, encoded as the client interface defines it
// (isc_spb_version, then items; strings with a 2-byte length, numbers as 4 bytes).
class TSpb {
public:
    TSpb &Action(uint8_t action);              // isc_action_svc_*
    TSpb &String(uint8_t tag, const QByteArray &value);
    TSpb &Int(uint8_t tag, uint32_t value);
    TSpb &Byte(uint8_t tag, uint8_t value);
    TSpb &Flag(uint8_t tag);                   // a bare item (isc_spb_verbose)
    const QByteArray &Bytes() const { return FBytes; }

private:
    QByteArray FBytes;
};

// One connection to the service manager: "service_mgr" locally, or
// "<server>:service_mgr" over TCP/IP. There is never a login prompt.
class TServicesClient {
public:
    TServicesClient();
    ~TServicesClient(); // detaches, ignoring errors
    TServicesClient(const TServicesClient &) = delete;
    TServicesClient &operator=(const TServicesClient &) = delete;

    const QString &Name() const { return FName; }
    void SetName(const QString &name) { FName = name; }

    TProtocol Protocol() const { return FProtocol; }
    void SetProtocol(TProtocol protocol) { FProtocol = protocol; }
    // Server part of the TCP/IP name: "dbhost", "127.0.0.1/3051" ...
    const QString &ServerName() const { return FServerName; }
    void SetServerName(const QString &name) { FServerName = name; }
    // The service manager name the attach uses.
    QString ServiceName() const;

    void SetLogin(const QString &userName, const QString &password);
    const QString &UserName() const { return FUserName; }
    bool LoginPrompt() const { return false; }

    void Attach();
    void Detach(); // raises when the server refuses; the handle is dropped either way
    bool Active() const { return FHandle != 0; }

    // Server information (isc_info_svc_server_version, _implementation, _version).
    QString ServerVersion();
    QString ServerImplementation();
    int ServiceVersion();

    // Starts an action; its output is read with GetNextLine until Eof.
    void Start(const TSpb &spb);
    // Reads one output line (isc_info_svc_line), as the server wrote it (the server
    // ends each with a blank). After the server reported the end it returns an empty
    // text and Eof is true. A failure the server reports instead of more output raises
    // EDatabaseError, except for a backup: there it becomes the output's last lines,
    // "gbak: ERROR:" + each text of the error and "gbak:Exiting before completion due
    // to errors", as the servers the products were released for wrote them.
    QString GetNextLine();
    bool Eof() const { return FEof; }
    // The error that ended the last action's output (empty when it ended normally).
    const QString &ActionError() const { return FActionError; }
    // Every remaining line, each handed to onLine when given.
    QStringList ReadAllLines(const std::function<void(const QString &)> &onLine = {});

    // The actions the maintenance operations use. Database names are the server's
    // own (the host path or alias for a local server, the file part for TCP/IP).
    void StartStatistics(const QString &database, uint32_t options); // isc_spb_sts_*
    void StartRepair(const QString &database, uint32_t options);     // isc_spb_rpr_*
    void SetSweepInterval(const QString &database, uint32_t interval);
    void SetWriteMode(const QString &database, bool synchronous);
    // Backup to a file on the server; verbose output when asked. Options are
    // isc_spb_bkp_* flags; blockingFactor 0 is the server default.
    void StartBackup(const QString &database, const QString &backupFile, uint32_t options,
                     bool verbose, uint32_t blockingFactor = 0);
    // Waits until the running action has finished, dropping its output.
    void WaitForEnd();

private:
    QByteArray Query(const QByteArray &items, int bufferSize = 8192);
    void WaitUntilStopped();
    QString QueryString(uint8_t item);

    QString FName;
    TProtocol FProtocol = TProtocol::Local;
    QString FServerName;
    QString FUserName;
    QString FPassword;
    unsigned int FHandle = 0;
    bool FEof = true;
    bool FBackup = false;
    QString FActionError;
    QStringList FPending; // error lines still to hand out
};

} // namespace Db
