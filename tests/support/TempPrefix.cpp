// A temporary Wine-style prefix for tests.
#include "support/TempPrefix.h"

#include "oslayer/Environment.h"
#include "oslayer/Files.h"
#include "oslayer/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void WriteText(const QString &path, const QByteArray &text)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size())
        throw std::runtime_error("cannot write " + path.toStdString());
}

void MakeLink(const QString &target, const QString &link)
{
    QFile::remove(link);
    if (::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()) != 0)
        throw std::runtime_error("cannot link " + link.toStdString());
}

void Check(uint32_t code, const char *what)
{
    if (code != 0)
        throw std::runtime_error(std::string(what) + " failed with " + std::to_string(code));
}

} // namespace

TempPrefix::TempPrefix() : TempPrefix(Options {}) {}

TempPrefix::TempPrefix(const Options &options)
{
    FPreviousPrefix = Os::Environment::ExplicitPrefixRoot();
    if (!FDir.isValid())
        throw std::runtime_error("cannot make a temporary folder");
    FRoot = QFileInfo(FDir.path()).canonicalFilePath() + QStringLiteral("/prefix");
    FUser = options.User;
    Build(options);
    Os::Environment::SetPrefixRoot(FRoot);
    if (options.Windows9x)
        SetWindows9x();
    else if (!options.WindowsVersion.isEmpty())
        SetWindowsVersion(options.WindowsVersion.section(QLatin1Char('.'), 0, 0).toUInt(),
            options.WindowsVersion.section(QLatin1Char('.'), 1, 1).toUInt());
}

TempPrefix::~TempPrefix()
{
    Os::Environment::SetPrefixRoot(FPreviousPrefix);
    Os::ClearRegistryCache();
    // Read-only files and folders made by a test must not stop the clean-up.
    const QString root = FDir.path();
    QDir(root).removeRecursively();
    ::chmod(QFile::encodeName(root).constData(), 0700);
}

void TempPrefix::Build(const Options &options)
{
    const bool win64 = options.Architecture == Arch::Win64;
    QDir dir;
    const QStringList folders = {
        QStringLiteral("/dosdevices"),
        QStringLiteral("/drive_c/windows/system32"),
        QStringLiteral("/drive_c/users/Public"),
        QStringLiteral("/drive_c/users/") + FUser + QStringLiteral("/Temp"),
        QStringLiteral("/drive_c/Program Files"),
    };
    for (const QString &folder : folders)
        if (!dir.mkpath(FRoot + folder))
            throw std::runtime_error("cannot make " + folder.toStdString());
    if (win64) {
        dir.mkpath(FRoot + QStringLiteral("/drive_c/windows/syswow64"));
        dir.mkpath(FRoot + QStringLiteral("/drive_c/Program Files (x86)"));
    }
    MakeLink(QStringLiteral("../drive_c"), FRoot + QStringLiteral("/dosdevices/c:"));
    if (options.HostRootDrive)
        MakeLink(QStringLiteral("/"), FRoot + QStringLiteral("/dosdevices/z:"));

    if (!options.HivesFrom.isEmpty()) {
        for (const char *name : { "system.reg", "user.reg", "userdef.reg" }) {
            const QString from = options.HivesFrom + QLatin1Char('/') + QLatin1String(name);
            const QString to = FRoot + QLatin1Char('/') + QLatin1String(name);
            if (QFile::exists(from)) {
                if (!QFile::copy(from, to))
                    throw std::runtime_error("cannot copy " + from.toStdString());
                QFile::setPermissions(to, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                          | QFileDevice::ReadOther);
            }
        }
        return;
    }

    const QByteArray arch = win64 ? "#arch=win64\n" : "#arch=win32\n";
    const QByteArray user = FUser.toUtf8();
    WriteText(SystemHive(),
              "WINE REGISTRY Version 2\n"
              ";; All keys relative to REGISTRY\\\\Machine\n\n"
                  + arch
                  + "\n"
                    "[Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion] 1796898673\n"
                    "#time=1dd88919474382a\n"
                    "\"CSDVersion\"=\"Service Pack 1\"\n"
                    "\"CurrentBuild\"=\"7601\"\n"
                    "\"CurrentBuildNumber\"=\"7601\"\n"
                    "\"CurrentVersion\"=\"6.1\"\n"
                    "\"ProductName\"=\"Microsoft Windows 7\"\n"
                    "\n"
                    "[Software\\\\Wine\\\\Drives] 1796898673\n"
                    "#time=1dd889194a9aa6e\n");
    WriteText(UserHive(),
        "WINE REGISTRY Version 2\n"
        ";; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n\n"
            + arch
            + "\n"
              "[Environment] 1796898654\n"
              "#time=1dd88918954fde4\n"
              "\"TEMP\"=\"C:\\\\users\\\\"
            + user + "\\\\Temp\"\n\"TMP\"=\"C:\\\\users\\\\" + user + "\\\\Temp\"\n"
            + (options.ExtraUserKeys.isEmpty() ? QByteArray() : "\n" + options.ExtraUserKeys));
}

QString TempPrefix::HostPath(const QString &windowsPath) const
{
    return Os::HostPath(windowsPath);
}

QString TempPrefix::WriteFile(const QString &windowsPath, const QByteArray &bytes,
                              std::optional<QDateTime> lastWrite) const
{
    QString host = Os::HostPath(windowsPath);
    if (host.isEmpty())
        throw std::runtime_error("no host path for " + windowsPath.toStdString());
    QDir().mkpath(QFileInfo(host).absolutePath());
    QFile file(host);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write " + host.toStdString());
    file.close();
    if (lastWrite)
        SetLastWriteTime(windowsPath, lastWrite->toMSecsSinceEpoch());
    return host;
}

void TempPrefix::SetLastWriteTime(const QString &windowsPath, qint64 msecsSinceEpoch) const
{
    struct timespec times[2];
    times[0].tv_sec = msecsSinceEpoch / 1000;
    times[0].tv_nsec = (msecsSinceEpoch % 1000) * 1000000;
    times[1] = times[0];
    const QString host = Os::HostPath(windowsPath);
    if (host.isEmpty() || ::utimensat(AT_FDCWD, QFile::encodeName(host).constData(), times, 0) != 0)
        throw std::runtime_error("cannot set the time of " + windowsPath.toStdString());
}

QString TempPrefix::MakeFolder(const QString &windowsPath) const
{
    QString host = Os::HostPath(windowsPath);
    if (host.isEmpty() || !QDir().mkpath(host))
        throw std::runtime_error("cannot make " + windowsPath.toStdString());
    return host;
}

void TempPrefix::SetRegValue(Os::RegRoot root, const QString &key, const QString &name, const Os::RegValue &value,
                             uint32_t extraAccess) const
{
    Os::RegKey handle;
    Check(Os::RegKey::Create(root, key, Os::KEY_ALL_ACCESS | extraAccess, handle), "RegCreateKey");
    Check(handle.SetValue(name, value), "RegSetValue");
}

void TempPrefix::SetRegString(Os::RegRoot root, const QString &key, const QString &name, const QString &value,
                              uint32_t type) const
{
    SetRegValue(root, key, name, Os::RegValue::FromString(value, type));
}

void TempPrefix::SetRegDword(Os::RegRoot root, const QString &key, const QString &name, uint32_t value) const
{
    SetRegValue(root, key, name, Os::RegValue::FromDword(value));
}

QString TempPrefix::AddDrive(QChar letter, const QString &hostFolder, const QString &type) const
{
    const QChar lower = letter.toLower();
    QString folder = hostFolder;
    if (folder.isEmpty()) {
        folder = FRoot + QStringLiteral("/drive_") + lower;
        QDir().mkpath(folder);
    }
    MakeLink(folder, FRoot + QStringLiteral("/dosdevices/") + lower + QLatin1Char(':'));
    if (!type.isEmpty())
        SetRegValue(Os::RegRoot::LocalMachine, QStringLiteral("Software\\Wine\\Drives"), QString(lower) + QLatin1Char(':'),
                    Os::RegValue::FromString(type), Os::KEY_WOW64_64KEY);
    return folder;
}

void TempPrefix::RemoveDrive(QChar letter) const
{
    QFile::remove(FRoot + QStringLiteral("/dosdevices/") + letter.toLower() + QLatin1Char(':'));
}

void TempPrefix::SetWindowsVersion(uint32_t major, uint32_t minor) const
{
    const QString key = QStringLiteral("Software\\Microsoft\\Windows NT\\CurrentVersion");
    const QString text = QStringLiteral("%1.%2").arg(major).arg(minor);
    for (const uint32_t view : { 0u, uint32_t(Os::KEY_WOW64_64KEY) }) {
        SetRegValue(Os::RegRoot::LocalMachine, key, QStringLiteral("CurrentVersion"), Os::RegValue::FromString(text),
                    view);
        Os::RegKey handle;
        if (Os::RegKey::Open(Os::RegRoot::LocalMachine, key, Os::KEY_ALL_ACCESS | view, handle) == 0) {
            // Windows 10 and later carry the numbers; older ones only the text.
            if (major >= 10) {
                handle.SetValue(QStringLiteral("CurrentMajorVersionNumber"), Os::RegValue::FromDword(major));
                handle.SetValue(QStringLiteral("CurrentMinorVersionNumber"), Os::RegValue::FromDword(minor));
            } else {
                handle.DeleteValue(QStringLiteral("CurrentMajorVersionNumber"));
                handle.DeleteValue(QStringLiteral("CurrentMinorVersionNumber"));
            }
        }
    }
}

void TempPrefix::SetWindows9x(const QString &versionNumber) const
{
    for (const uint32_t view : { 0u, uint32_t(Os::KEY_WOW64_64KEY) })
        Os::RegKey::DeleteTree(Os::RegRoot::LocalMachine, QStringLiteral("Software\\Microsoft\\Windows NT\\CurrentVersion"),
                               view);
    SetRegValue(Os::RegRoot::LocalMachine, QStringLiteral("Software\\Microsoft\\Windows\\CurrentVersion"),
                QStringLiteral("VersionNumber"), Os::RegValue::FromString(versionNumber));
}

void TempPrefix::MakeHiveReadOnly(Os::RegRoot root) const
{
    const QString hive = root == Os::RegRoot::LocalMachine ? SystemHive() : UserHive();
    if (::chmod(QFile::encodeName(hive).constData(), 0444) != 0)
        throw std::runtime_error("cannot make " + hive.toStdString() + " read-only");
}
