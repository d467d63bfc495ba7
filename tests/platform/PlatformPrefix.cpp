#include "PlatformPrefix.h"

#include <QFile>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

PlatformPrefix::PlatformPrefix() : PlatformPrefix(Options()) {}

TempPrefix::Options PlatformPrefix::PrefixOptions(const Options &options)
{
    TempPrefix::Options o;
    o.Architecture = options.Win64 ? TempPrefix::Arch::Win64 : TempPrefix::Arch::Win32;
    o.HivesFrom = options.HivesFrom;
    return o;
}

PlatformPrefix::PlatformPrefix(const Options &options) : FPrefix(PrefixOptions(options))
{
    if (!options.HivesFrom.isEmpty())
        return;
    if (options.Nine)
        FPrefix.SetWindows9x();
    else
        SetVersion(options.CurrentVersion);
}

void PlatformPrefix::SetVersion(const QString &version)
{
    FPrefix.SetWindowsVersion(version.section(QLatin1Char('.'), 0, 0).toUInt(),
                              version.section(QLatin1Char('.'), 1, 1).toUInt());
}

QString PlatformPrefix::WriteFile(const QString &windowsPath, const QByteArray &bytes)
{
    FPrefix.WriteFile(windowsPath, bytes);
    return windowsPath;
}

QString PlatformPrefix::MakeFolder(const QString &windowsPath)
{
    FPrefix.MakeFolder(windowsPath);
    return windowsPath;
}

QString PlatformPrefix::AddDrive(QChar letter, const QString &type)
{
    return FPrefix.AddDrive(letter, QString(), type);
}

void PlatformPrefix::SetWriteTime(const QString &windowsPath, qint64 msecsSinceEpoch)
{
    struct timespec times[2];
    times[0].tv_sec = msecsSinceEpoch / 1000;
    times[0].tv_nsec = (msecsSinceEpoch % 1000) * 1000000;
    times[1] = times[0];
    if (::utimensat(AT_FDCWD, QFile::encodeName(Host(windowsPath)).constData(), times, 0) != 0)
        ADD_FAILURE() << "cannot set the time of " << windowsPath.toStdString();
}

void PlatformPrefix::MakeHiveReadOnly(bool machine)
{
    const QString hive = machine ? FPrefix.SystemHive() : FPrefix.UserHive();
    ::chmod(QFile::encodeName(hive).constData(), 0444);
}
