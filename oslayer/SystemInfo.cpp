// What the system says about itself, answered from the prefix and the host.
#include "oslayer/SystemInfo.h"

#include "oslayer/Environment.h"
#include "oslayer/Exceptions.h"
#include "oslayer/Registry.h"
#include "oslayer/WinError.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <ctime>
#include <grp.h>
#include <ifaddrs.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace Os {

namespace {

std::mutex gSourceLock;
std::function<uint32_t()> gTickSource;
bool gRemoteSession = false;
uint32_t gSessionId = 0;

bool ReadVersionKey(uint32_t access, WindowsVersion &version)
{
    RegKey key;
    if (RegKey::Open(RegRoot::LocalMachine, QStringLiteral("Software\\Microsoft\\Windows NT\\CurrentVersion"),
                     access, key)
        != ERROR_SUCCESS)
        return false;
    RegValue major;
    RegValue minor;
    if (key.QueryValue(QStringLiteral("CurrentMajorVersionNumber"), major) == ERROR_SUCCESS
        && key.QueryValue(QStringLiteral("CurrentMinorVersionNumber"), minor) == ERROR_SUCCESS
        && major.Type == REG_DWORD && minor.Type == REG_DWORD) {
        version = { VER_PLATFORM_WIN32_NT, major.AsDword(), minor.AsDword() };
        return true;
    }
    RegValue text;
    if (key.QueryValue(QStringLiteral("CurrentVersion"), text) != ERROR_SUCCESS)
        return false;
    const QStringList parts = text.AsString().trimmed().split(QLatin1Char('.'));
    bool okMajor = false;
    bool okMinor = true;
    const uint32_t a = parts.value(0).toUInt(&okMajor);
    const uint32_t b = parts.size() > 1 ? parts.at(1).toUInt(&okMinor) : 0;
    if (!okMajor || !okMinor)
        return false;
    version = { VER_PLATFORM_WIN32_NT, a, b };
    return true;
}

} // namespace

WindowsVersion GetWindowsVersion()
{
    WindowsVersion version;
    try {
        // The 32-bit view first (where a test or a 32-bit setup program writes), then the
        // native keys that Wine itself keeps.
        if (ReadVersionKey(KEY_READ, version) || ReadVersionKey(KEY_READ | KEY_WOW64_64KEY, version))
            return version;
        RegKey key;
        if (RegKey::Open(RegRoot::LocalMachine, QStringLiteral("Software\\Microsoft\\Windows\\CurrentVersion"),
                         KEY_READ, key)
            == ERROR_SUCCESS) {
            RegValue number;
            if (key.QueryValue(QStringLiteral("VersionNumber"), number) == ERROR_SUCCESS) {
                const QStringList parts = number.AsString().trimmed().split(QLatin1Char('.'));
                bool ok = false;
                const uint32_t major = parts.value(0).toUInt(&ok);
                if (ok)
                    return { VER_PLATFORM_WIN32_WINDOWS, major, parts.value(1).toUInt() };
            }
        }
    } catch (const ERegistryError &) {
        // A hive that does not parse: the default Wine plays.
    }
    return WindowsVersion {};
}

bool GetUserName(QString &name)
{
    // The prefix's own user is the one folder under drive_c/users besides the shared ones.
    const QString users = Environment::PrefixRoot() + QStringLiteral("/drive_c/users");
    QStringList candidates;
    const QStringList entries = QDir(users).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &entry : entries) {
        if (entry.compare(QLatin1String("Public"), Qt::CaseInsensitive) == 0
            || entry.compare(QLatin1String("Default"), Qt::CaseInsensitive) == 0
            || entry.compare(QLatin1String("All Users"), Qt::CaseInsensitive) == 0
            || entry.compare(QLatin1String("Default User"), Qt::CaseInsensitive) == 0)
            continue;
        if (QFileInfo(users + QLatin1Char('/') + entry).isSymLink() && candidates.size())
            continue;
        candidates.append(entry);
    }
    QString host = qEnvironmentVariable("USER");
    if (host.isEmpty()) {
        if (const passwd *pw = ::getpwuid(::getuid()))
            host = QString::fromLocal8Bit(pw->pw_name);
    }
    if (candidates.size() == 1) {
        name = candidates.front();
    } else if (!candidates.isEmpty()) {
        name = candidates.front();
        for (const QString &c : candidates)
            if (c.compare(host, Qt::CaseInsensitive) == 0)
                name = c;
    } else {
        name = host;
    }
    if (name.isEmpty()) {
        SetLastError(ERROR_NOT_LOGGED_ON);
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    return true;
}

QString GetHostName()
{
    char buffer[256] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0)
        return QString();
    return QString::fromLocal8Bit(buffer);
}

bool GetComputerName(QString &name)
{
    QString host = GetHostName();
    if (host.isEmpty()) {
        SetLastError(ErrorFromErrno(errno));
        return false;
    }
    // A NetBIOS name: the first label, upper-cased, at most 15 characters.
    const qsizetype dot = host.indexOf(QLatin1Char('.'));
    if (dot > 0)
        host.truncate(dot);
    name = host.toUpper().left(15);
    SetLastError(ERROR_SUCCESS);
    return true;
}

QStringList LocalIPv4Addresses()
{
    QStringList addresses;
    const QByteArray host = GetHostName().toLocal8Bit();
    if (!host.isEmpty()) {
        addrinfo hints {};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *result = nullptr;
        if (::getaddrinfo(host.constData(), nullptr, &hints, &result) == 0) {
            for (const addrinfo *ai = result; ai && addresses.size() < 256; ai = ai->ai_next) {
                char text[INET_ADDRSTRLEN] = {};
                const auto *in = reinterpret_cast<const sockaddr_in *>(ai->ai_addr);
                if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) {
                    const QString dotted = QString::fromLatin1(text);
                    if (!addresses.contains(dotted))
                        addresses.append(dotted);
                }
            }
            ::freeaddrinfo(result);
        }
    }
    // A host name that resolves only to its loopback alias still has the addresses of its
    // interfaces, which is what a database server elsewhere sees.
    ifaddrs *interfaces = nullptr;
    if (::getifaddrs(&interfaces) == 0) {
        for (const ifaddrs *i = interfaces; i && addresses.size() < 256; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
                continue;
            const auto *in = reinterpret_cast<const sockaddr_in *>(i->ifa_addr);
            if ((ntohl(in->sin_addr.s_addr) >> 24) == 127)
                continue;
            char text[INET_ADDRSTRLEN] = {};
            if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) {
                const QString dotted = QString::fromLatin1(text);
                if (!addresses.contains(dotted))
                    addresses.append(dotted);
            }
        }
        ::freeifaddrs(interfaces);
    }
    return addresses;
}

bool IsHostAdministrator()
{
    if (::geteuid() == 0)
        return true;
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(size_t(std::max(count, 0)) + 1);
    const int read = count < 0 ? -1 : ::getgroups(count, groups.data());
    if (read < 0)
        throw EOSError(ErrorFromErrno(errno));
    groups.resize(size_t(read));
    groups.push_back(::getegid());
    for (const char *name : { "sudo", "admin", "wheel" }) {
        std::vector<char> buffer(1024);
        group entry {};
        group *found = nullptr;
        int error = 0;
        while ((error = ::getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found)) == ERANGE)
            buffer.resize(buffer.size() * 2);
        if (error == 0 && found && std::find(groups.begin(), groups.end(), found->gr_gid) != groups.end())
            return true;
    }
    return false;
}

uint32_t GetTickCount()
{
    {
        std::lock_guard guard(gSourceLock);
        if (gTickSource)
            return gTickSource();
    }
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms = uint64_t(now.tv_sec) * 1000ULL + uint64_t(now.tv_nsec) / 1000000ULL;
    return uint32_t(ms & 0xFFFFFFFFu);
}

void SetTickCountSource(std::function<uint32_t()> source)
{
    std::lock_guard guard(gSourceLock);
    gTickSource = std::move(source);
}

bool IsRemoteSession()
{
    std::lock_guard guard(gSourceLock);
    return gRemoteSession;
}

uint32_t CurrentSessionId()
{
    std::lock_guard guard(gSourceLock);
    return gSessionId;
}

void SetRemoteSessionForTests(bool remote, uint32_t sessionId)
{
    std::lock_guard guard(gSourceLock);
    gRemoteSession = remote;
    gSessionId = sessionId;
}

uint32_t GetCurrentProcessId()
{
    return uint32_t(::getpid());
}

uint16_t GetSystemDefaultLangID()
{
    // Wine takes the system locale from the host's locale settings.
    QString locale = qEnvironmentVariable("LC_ALL");
    if (locale.isEmpty())
        locale = qEnvironmentVariable("LC_CTYPE");
    if (locale.isEmpty())
        locale = qEnvironmentVariable("LANG");
    locale = locale.section(QLatin1Char('.'), 0, 0).section(QLatin1Char('@'), 0, 0);
    static const QList<QPair<QString, uint16_t>> table = {
        { QStringLiteral("en_US"), 0x0409 }, { QStringLiteral("en_GB"), 0x0809 },
        { QStringLiteral("it_IT"), 0x0410 }, { QStringLiteral("it_CH"), 0x0810 },
        { QStringLiteral("fr_FR"), 0x040C }, { QStringLiteral("fr_CH"), 0x100C },
        { QStringLiteral("fr_BE"), 0x080C }, { QStringLiteral("de_DE"), 0x0407 },
        { QStringLiteral("de_CH"), 0x0807 }, { QStringLiteral("de_AT"), 0x0C07 },
        { QStringLiteral("es_ES"), 0x0C0A }, { QStringLiteral("pt_PT"), 0x0816 },
        { QStringLiteral("nl_NL"), 0x0413 },
    };
    for (const auto &[name, id] : table)
        if (locale.compare(name, Qt::CaseInsensitive) == 0)
            return id;
    const QString language = locale.left(2).toLower();
    if (language == QLatin1String("it"))
        return 0x0410;
    if (language == QLatin1String("fr"))
        return 0x040C;
    if (language == QLatin1String("de"))
        return 0x0407;
    return 0x0409;
}

} // namespace Os
