// The services API: service manager attachment, information, actions and output.
#include "dbaccess/Services.h"

#include "dbaccess/DbInternal.h"

#include <QFile>
#include <QThread>

namespace Db {

using Internal::Check;
using Internal::TStatus;

TSpb &TSpb::Action(uint8_t action)
{
    FBytes.append(static_cast<char>(action));
    return *this;
}

TSpb &TSpb::String(uint8_t tag, const QByteArray &value)
{
    FBytes.append(static_cast<char>(tag));
    Internal::AppendLE(FBytes, static_cast<uint32_t>(value.size()), 2);
    FBytes.append(value);
    return *this;
}

TSpb &TSpb::Int(uint8_t tag, uint32_t value)
{
    FBytes.append(static_cast<char>(tag));
    Internal::AppendLE(FBytes, value, 4);
    return *this;
}

TSpb &TSpb::Byte(uint8_t tag, uint8_t value)
{
    FBytes.append(static_cast<char>(tag));
    FBytes.append(static_cast<char>(value));
    return *this;
}

TSpb &TSpb::Flag(uint8_t tag)
{
    FBytes.append(static_cast<char>(tag));
    return *this;
}

TServicesClient::TServicesClient() = default;

TServicesClient::~TServicesClient()
{
    try {
        Detach();
    } catch (...) {
    }
}

QString TServicesClient::ServiceName() const
{
    if (FProtocol == TProtocol::TCP)
        return FServerName + QStringLiteral(":service_mgr");
    return QStringLiteral("service_mgr");
}

void TServicesClient::SetLogin(const QString &userName, const QString &password)
{
    FUserName = userName;
    FPassword = password;
}

void TServicesClient::Attach()
{
    if (Active())
        return;
    if (FProtocol == TProtocol::TCP && FServerName.isEmpty())
        throw EDatabaseError(QStringLiteral("No server name for the service manager"));
    QByteArray spb;
    spb.append(static_cast<char>(isc_spb_version));
    spb.append(static_cast<char>(isc_spb_current_version));
    auto add = [&spb](uint8_t tag, const QString &value) {
        const QByteArray bytes = value.toUtf8();
        if (bytes.size() > 255)
            throw EDatabaseError(QStringLiteral("Service parameter too long"));
        spb.append(static_cast<char>(tag));
        spb.append(static_cast<char>(bytes.size()));
        spb.append(bytes);
    };
    if (!FUserName.isEmpty())
        add(isc_spb_user_name, FUserName);
    if (!FPassword.isEmpty())
        add(isc_spb_password, FPassword);
    const QByteArray name = QFile::encodeName(ServiceName());
    TStatus status;
    isc_svc_handle handle = 0;
    Client().service_attach(&status, static_cast<unsigned short>(name.size()), name.constData(), &handle,
                            static_cast<unsigned short>(spb.size()), spb.constData());
    Check(status);
    FHandle = handle;
    FEof = true;
}

void TServicesClient::Detach()
{
    if (!Active())
        return;
    TStatus status;
    Client().service_detach(&status, &FHandle);
    FHandle = 0;
    FEof = true;
    Check(status);
}

QByteArray TServicesClient::Query(const QByteArray &items, int bufferSize)
{
    if (!Active())
        throw EDatabaseError(QStringLiteral("The service manager is not attached"));
    QByteArray buffer(bufferSize, '\0');
    TStatus status;
    Client().service_query(&status, &FHandle, nullptr, 0, nullptr, static_cast<unsigned short>(items.size()),
                           items.constData(), static_cast<unsigned short>(buffer.size()), buffer.data());
    Check(status);
    return buffer;
}

QString TServicesClient::QueryString(uint8_t item)
{
    const QByteArray reply = Query(QByteArray(1, static_cast<char>(item)));
    if (static_cast<uint8_t>(reply.at(0)) != item)
        return QString();
    const int length = static_cast<int>(Internal::ReadLE(reply.constData() + 1, 2));
    return QString::fromUtf8(reply.constData() + 3, std::min(length, static_cast<int>(reply.size()) - 3));
}

QString TServicesClient::ServerVersion()
{
    return QueryString(isc_info_svc_server_version);
}

QString TServicesClient::ServerImplementation()
{
    return QueryString(isc_info_svc_implementation);
}

int TServicesClient::ServiceVersion()
{
    const QByteArray reply = Query(QByteArray(1, static_cast<char>(isc_info_svc_version)));
    if (static_cast<uint8_t>(reply.at(0)) != isc_info_svc_version)
        return 0;
    return static_cast<int>(Internal::ReadLE(reply.constData() + 1, 4));
}

void TServicesClient::Start(const TSpb &spb)
{
    if (!Active())
        throw EDatabaseError(QStringLiteral("The service manager is not attached"));
    TStatus status;
    Client().service_start(&status, &FHandle, nullptr, static_cast<unsigned short>(spb.Bytes().size()),
                           spb.Bytes().constData());
    Check(status);
    FEof = false;
    FBackup = !spb.Bytes().isEmpty() && static_cast<uint8_t>(spb.Bytes().at(0)) == isc_action_svc_backup;
    FActionError.clear();
    FPending.clear();
}

QString TServicesClient::GetNextLine()
{
    if (!FPending.isEmpty())
        return FPending.takeFirst();
    if (FEof)
        return QString();
    QByteArray reply;
    try {
        reply = Query(QByteArray(1, static_cast<char>(isc_info_svc_line)), 16384);
    } catch (const EDatabaseError &e) {
        FActionError = e.Message();
        // The server reports the failure before the action has quite stopped; the
        // next action on this attachment would find it "currently busy".
        WaitUntilStopped();
        if (!FBackup || !Active()) {
            FEof = true;
            throw;
        }
        const QString exiting = QStringLiteral("Exiting before completion due to errors");
        for (const QString &text : e.Message().split(QStringLiteral("\r\n"))) {
            if (text != exiting)
                FPending << QStringLiteral("gbak: ERROR:") + text;
        }
        FPending << QStringLiteral("gbak:") + exiting;
        FEof = true;
        return FPending.takeFirst();
    } catch (...) {
        FEof = true;
        throw;
    }
    const char *p = reply.constData();
    if (static_cast<uint8_t>(*p) != isc_info_svc_line) {
        FEof = true;
        return QString();
    }
    const int length = static_cast<int>(Internal::ReadLE(p + 1, 2));
    if (length == 0) {
        FEof = true;
        return QString();
    }
    return QString::fromUtf8(p + 3, std::min(length, static_cast<int>(reply.size()) - 3));
}

QStringList TServicesClient::ReadAllLines(const std::function<void(const QString &)> &onLine)
{
    QStringList lines;
    while (!FEof || !FPending.isEmpty()) {
        const bool fromServer = FPending.isEmpty();
        const QString line = GetNextLine();
        if (fromServer && FEof && FPending.isEmpty() && line.isEmpty())
            break;
        lines << line;
        if (onLine)
            onLine(line);
    }
    return lines;
}

void TServicesClient::WaitUntilStopped()
{
    for (int i = 0; i < 200 && Active(); ++i) {
        QByteArray reply;
        try {
            reply = Query(QByteArray(1, static_cast<char>(isc_info_svc_running)), 64);
        } catch (...) {
            return;
        }
        if (static_cast<uint8_t>(reply.at(0)) != isc_info_svc_running ||
            Internal::ReadLE(reply.constData() + 1, 4) == 0)
            return;
        QThread::msleep(50);
    }
}

void TServicesClient::WaitForEnd()
{
    ReadAllLines();
}

void TServicesClient::StartStatistics(const QString &database, uint32_t options)
{
    Start(TSpb().Action(isc_action_svc_db_stats).String(isc_spb_dbname, QFile::encodeName(database)).Int(isc_spb_options, options));
}

void TServicesClient::StartRepair(const QString &database, uint32_t options)
{
    Start(TSpb().Action(isc_action_svc_repair).String(isc_spb_dbname, QFile::encodeName(database)).Int(isc_spb_options, options));
}

void TServicesClient::SetSweepInterval(const QString &database, uint32_t interval)
{
    Start(TSpb()
              .Action(isc_action_svc_properties)
              .String(isc_spb_dbname, QFile::encodeName(database))
              .Int(isc_spb_prp_sweep_interval, interval));
    WaitForEnd();
}

void TServicesClient::SetWriteMode(const QString &database, bool synchronous)
{
    Start(TSpb()
              .Action(isc_action_svc_properties)
              .String(isc_spb_dbname, QFile::encodeName(database))
              .Byte(isc_spb_prp_write_mode, synchronous ? isc_spb_prp_wm_sync : isc_spb_prp_wm_async));
    WaitForEnd();
}

void TServicesClient::StartBackup(const QString &database, const QString &backupFile, uint32_t options,
                                  bool verbose, uint32_t blockingFactor)
{
    TSpb spb;
    spb.Action(isc_action_svc_backup)
        .String(isc_spb_dbname, QFile::encodeName(database))
        .String(isc_spb_bkp_file, QFile::encodeName(backupFile));
    if (blockingFactor > 0)
        spb.Int(isc_spb_bkp_factor, blockingFactor);
    spb.Int(isc_spb_options, options);
    if (verbose)
        spb.Flag(isc_spb_verbose);
    Start(spb);
}

} // namespace Db
