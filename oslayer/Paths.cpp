// Drives of the prefix (dosdevices/ links) and the mapping of Windows paths to host paths.
#include "oslayer/Paths.h"

#include "oslayer/Environment.h"
#include "oslayer/Registry.h"
#include "oslayer/SystemInfo.h"
#include "oslayer/WinError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Os {

namespace {

bool IsAsciiLetter(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'));
}

int LetterIndex(QChar c)
{
    return c.toLower().unicode() - 'a';
}

// The host folder a drive letter stands for, with its links resolved; empty without a drive.
QString DriveTarget(int index)
{
    if (index < 0 || index > 25)
        return QString();
    const QString link = Environment::PrefixRoot() + QStringLiteral("/dosdevices/") + QChar(u'a' + index)
        + QLatin1Char(':');
    const QFileInfo info(link);
    if (!info.exists() || !info.isDir())
        return QString();
    return info.canonicalFilePath();
}

bool IsSeparator(QChar c)
{
    return c == QLatin1Char('\\') || c == QLatin1Char('/');
}

// Windows drops trailing dots and spaces of a path component ("Programs. " is "Programs").
QString TrimComponent(const QString &component)
{
    if (component == QLatin1String(".") || component == QLatin1String(".."))
        return component;
    qsizetype end = component.size();
    while (end > 0 && (component.at(end - 1) == QLatin1Char('.') || component.at(end - 1) == QLatin1Char(' ')))
        --end;
    return component.left(end);
}

bool HasInvalidCharacter(const QString &component)
{
    for (const QChar c : component) {
        if (c == QLatin1Char('<') || c == QLatin1Char('>') || c == QLatin1Char(':') || c == QLatin1Char('"')
            || c == QLatin1Char('|') || c.unicode() < 32)
            return true;
    }
    return false;
}

// The entry of a folder whose name equals the component without regard to case.
QString MatchEntry(const QString &folder, const QString &component)
{
    const QString exact = folder + QLatin1Char('/') + component;
    struct stat st {};
    if (::lstat(QFile::encodeName(exact).constData(), &st) == 0)
        return component;
    // A name that is not there as written is looked for among the entries as they come:
    // installing many new files into one folder asks for such names again and again.
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return QString();
    QString match;
    while (const dirent *entry = ::readdir(dir)) {
        const QLatin1String raw(entry->d_name);
        if (raw == QLatin1String(".") || raw == QLatin1String(".."))
            continue;
        // Most names are plain ASCII, which compares as it stands, without decoding.
        const bool ascii = std::all_of(raw.begin(), raw.end(), [](char c) { return uchar(c) < 0x80; });
        const bool same = ascii
            ? component.compare(raw, Qt::CaseInsensitive) == 0
            : QFile::decodeName(entry->d_name).compare(component, Qt::CaseInsensitive) == 0;
        if (same) {
            match = QFile::decodeName(entry->d_name);
            break;
        }
    }
    ::closedir(dir);
    return match;
}

QString JoinHost(const QString &base, const QString &name)
{
    return base.endsWith(QLatin1Char('/')) ? QString(base + name) : QString(base + QLatin1Char('/') + name);
}

// The absolute, cleaned host path, with the links of its longest existing part resolved.
QString CanonicalHost(const QString &hostPath)
{
    QString absolute = QDir::cleanPath(QDir::current().absoluteFilePath(hostPath));
    QString existing = absolute;
    QString rest;
    while (!existing.isEmpty() && !QFileInfo::exists(existing)) {
        const qsizetype slash = existing.lastIndexOf(QLatin1Char('/'));
        if (slash < 0) {
            existing.clear();
            break;
        }
        rest = existing.mid(slash) + rest;
        existing = slash == 0 ? QStringLiteral("/") : existing.left(slash);
        if (existing == QLatin1String("/"))
            break;
    }
    const QString canonical = QFileInfo(existing).canonicalFilePath();
    if (canonical.isEmpty())
        return absolute;
    return canonical == QLatin1String("/") && rest.startsWith(QLatin1Char('/')) ? rest : QString(canonical + rest);
}

QString ExpandPrefixVariables(QString text)
{
    // The variables Wine sets for every program; the hives name them in expandable strings.
    const QString profile = ProfileFolder();
    const QList<QPair<QString, QString>> variables = {
        { QStringLiteral("%USERPROFILE%"), profile.left(profile.size() - 1) },
        { QStringLiteral("%SystemDrive%"), QStringLiteral("C:") },
        { QStringLiteral("%SystemRoot%"), QStringLiteral("C:\\windows") },
        { QStringLiteral("%windir%"), QStringLiteral("C:\\windows") },
        { QStringLiteral("%HOMEDRIVE%"), QStringLiteral("C:") },
        { QStringLiteral("%HOMEPATH%"), profile.mid(2, profile.size() - 3) },
        { QStringLiteral("%ProgramFiles%"), ProgramFilesFolder().chopped(1) },
    };
    for (const auto &[name, value] : variables)
        text.replace(name, value, Qt::CaseInsensitive);
    return text;
}

QString EnsurePrivateFolder(const QString &folder)
{
    const QByteArray native = QFile::encodeName(folder);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return QString();
    struct stat st {};
    // Someone else's folder or a link planted in /tmp is not ours to write temporary files in.
    if (::lstat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
        return QString();
    if ((st.st_mode & 077) != 0 && ::chmod(native.constData(), 0700) != 0)
        return QString();
    return folder;
}

} // namespace

QStringList LogicalDriveRoots()
{
    QStringList roots;
    for (int i = 0; i < 26; ++i)
        if (!DriveTarget(i).isEmpty())
            roots.append(QString(QChar(u'A' + i)) + QStringLiteral(":\\"));
    return roots;
}

uint32_t LogicalDriveMask()
{
    uint32_t mask = 0;
    for (int i = 0; i < 26; ++i)
        if (!DriveTarget(i).isEmpty())
            mask |= 1u << i;
    return mask;
}

uint32_t GetDriveType(const QString &root)
{
    if (root.size() >= 2 && IsSeparator(root.at(0)) && IsSeparator(root.at(1)))
        return DRIVE_NO_ROOT_DIR;
    if (root.size() < 2 || !IsAsciiLetter(root.at(0)) || root.at(1) != QLatin1Char(':'))
        return DRIVE_NO_ROOT_DIR;
    const int index = LetterIndex(root.at(0));
    if (DriveTarget(index).isEmpty())
        return DRIVE_NO_ROOT_DIR;
    QString type;
    try {
        RegKey key;
        if (RegKey::Open(RegRoot::LocalMachine, QStringLiteral("Software\\Wine\\Drives"),
                         KEY_READ | KEY_WOW64_64KEY, key)
            == ERROR_SUCCESS) {
            RegValue value;
            if (key.QueryValue(QString(QChar(u'a' + index)) + QLatin1Char(':'), value) == ERROR_SUCCESS)
                type = value.AsString().trimmed().toLower();
        }
    } catch (const ERegistryError &) {
        // A hive that does not parse says nothing about drives: they count as fixed disks.
    }
    if (type == QLatin1String("cdrom"))
        return DRIVE_CDROM;
    if (type == QLatin1String("floppy"))
        return DRIVE_REMOVABLE;
    if (type == QLatin1String("network"))
        return DRIVE_REMOTE;
    if (type == QLatin1String("ramdisk"))
        return DRIVE_RAMDISK;
    return DRIVE_FIXED;
}

QString HostPath(const QString &windowsPath)
{
    QString path = windowsPath;
    static const QString unixPrefix = QStringLiteral("\\\\?\\unix\\");
    if (path.startsWith(unixPrefix, Qt::CaseInsensitive)) {
        QString host = path.mid(unixPrefix.size() - 1);
        host.replace(QLatin1Char('\\'), QLatin1Char('/'));
        SetLastError(ERROR_SUCCESS);
        return host;
    }
    if (path.startsWith(QLatin1String("\\\\?\\")) && path.size() >= 6 && IsAsciiLetter(path.at(4))
        && path.at(5) == QLatin1Char(':'))
        path = path.mid(4);
    if (path.isEmpty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return QString();
    }
    if (path.size() >= 2 && IsSeparator(path.at(0)) && IsSeparator(path.at(1))) {
        // UNC names and devices reach no file of the prefix.
        SetLastError(ERROR_BAD_NETPATH);
        return QString();
    }

    int drive;
    QString rest;
    if (path.size() >= 2 && path.at(1) == QLatin1Char(':')) {
        if (!IsAsciiLetter(path.at(0))) {
            SetLastError(ERROR_INVALID_NAME);
            return QString();
        }
        drive = LetterIndex(path.at(0));
        rest = path.mid(2);
    } else if (IsSeparator(path.at(0))) {
        drive = 2; // the current drive of a Windows program is C:
        rest = path;
    } else {
        // Relative to the current folder, as Windows does.
        const QString current = WindowsPath(QDir::currentPath());
        if (current.size() < 2 || current.at(1) != QLatin1Char(':')) {
            QString host = JoinHost(QDir::currentPath(), path);
            host.replace(QLatin1Char('\\'), QLatin1Char('/'));
            SetLastError(ERROR_SUCCESS);
            return host;
        }
        drive = LetterIndex(current.at(0));
        rest = current.mid(2) + QLatin1Char('\\') + path;
    }
    const QString root = DriveTarget(drive);
    if (root.isEmpty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return QString();
    }

    // ".." is resolved on the names, before the disk is asked: it stops at the drive root.
    QStringList parts;
    static const QRegularExpression separators(QStringLiteral("[\\\\/]"));
    const QStringList raw = rest.split(separators, Qt::SkipEmptyParts);
    for (const QString &component : raw) {
        const QString part = TrimComponent(component);
        if (part.isEmpty() || part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (!parts.isEmpty())
                parts.removeLast();
            continue;
        }
        if (HasInvalidCharacter(part)) {
            SetLastError(ERROR_INVALID_NAME);
            return QString();
        }
        parts.append(part);
    }

    // A 32-bit program on a win64 prefix finds its system folder in syswow64.
    if (drive == 2 && parts.size() >= 2 && parts.at(0).compare(QLatin1String("windows"), Qt::CaseInsensitive) == 0
        && parts.at(1).compare(QLatin1String("system32"), Qt::CaseInsensitive) == 0 && Environment::IsWin64Prefix())
        parts[1] = QStringLiteral("syswow64");

    QString host = root;
    bool onDisk = true;
    for (const QString &part : parts) {
        if (onDisk) {
            const QString match = MatchEntry(host, part);
            if (!match.isEmpty()) {
                host = JoinHost(host, match);
                continue;
            }
            onDisk = false;
        }
        host = JoinHost(host, part);
    }
    if (!parts.isEmpty() && IsSeparator(path.back()))
        host += QLatin1Char('/');
    SetLastError(ERROR_SUCCESS);
    return host;
}

QString WindowsPath(const QString &hostPath)
{
    if (hostPath.isEmpty())
        return QString();
    const QString host = CanonicalHost(hostPath);
    int best = -1;
    qsizetype bestLength = -1;
    for (int i = 0; i < 26; ++i) {
        const QString target = DriveTarget(i);
        if (target.isEmpty())
            continue;
        const bool under = target == QLatin1String("/") || host == target
            || host.startsWith(target + QLatin1Char('/'));
        if (under && target.size() > bestLength) {
            best = i;
            bestLength = target.size();
        }
    }
    QString result;
    if (best < 0) {
        result = QStringLiteral("\\\\?\\unix") + host;
    } else {
        const QString target = DriveTarget(best);
        QString rest = target == QLatin1String("/") ? host.mid(1) : host.mid(target.size() + 1);
        result = QString(QChar(u'A' + best)) + QStringLiteral(":\\") + rest;
    }
    result.replace(QLatin1Char('/'), QLatin1Char('\\'));
    if (hostPath.endsWith(QLatin1Char('/')) && !result.endsWith(QLatin1Char('\\')))
        result += QLatin1Char('\\');
    return result;
}

QString WindowsFolder()
{
    return QStringLiteral("C:\\windows\\");
}

QString SystemFolder()
{
    return Environment::IsWin64Prefix() ? QStringLiteral("C:\\windows\\syswow64\\")
                                        : QStringLiteral("C:\\windows\\system32\\");
}

QString ProgramFilesFolder()
{
    return Environment::IsWin64Prefix() ? QStringLiteral("C:\\Program Files (x86)\\")
                                        : QStringLiteral("C:\\Program Files\\");
}

QString ProfileFolder()
{
    QString user;
    if (!GetUserName(user) || user.isEmpty())
        user = QStringLiteral("Public");
    return QStringLiteral("C:\\users\\") + user + QLatin1Char('\\');
}

QString TempFolder()
{
    QString configured;
    try {
        RegKey key;
        if (RegKey::Open(RegRoot::CurrentUser, QStringLiteral("Environment"), KEY_READ, key) == ERROR_SUCCESS) {
            RegValue value;
            if (key.QueryValue(QStringLiteral("TEMP"), value) == ERROR_SUCCESS)
                configured = value.AsString().trimmed();
        }
    } catch (const ERegistryError &) {
        configured.clear();
    }
    if (!configured.isEmpty()) {
        configured = ExpandPrefixVariables(configured);
        const QString host = HostPath(configured);
        if (!host.isEmpty() && QDir().mkpath(host)) {
            QString folder = WindowsPath(host);
            if (!folder.endsWith(QLatin1Char('\\')))
                folder += QLatin1Char('\\');
            SetLastError(ERROR_SUCCESS);
            return folder;
        }
    }

    QString base;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        base = EnsurePrivateFolder(runtime + QStringLiteral("/dremlix"));
    if (base.isEmpty())
        base = EnsurePrivateFolder(QStringLiteral("/tmp/dremlix-%1").arg(::getuid()));
    if (base.isEmpty()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return QString();
    }
    QString folder = WindowsPath(base);
    if (!folder.endsWith(QLatin1Char('\\')))
        folder += QLatin1Char('\\');
    SetLastError(ERROR_SUCCESS);
    return folder;
}

} // namespace Os
