// The temporary prefix of the platform tests: the shared TempPrefix with the few extra
// moves these tests make (Windows versions, read-only hives, file times, drives).
#pragma once

#include "TempPrefix.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <ostream>

// Readable QString values in failure messages.
inline void PrintTo(const QString &s, std::ostream *os)
{
    *os << '"' << s.toStdString() << '"';
}

class PlatformPrefix {
public:
    struct Options {
        // "6.1" plays Windows 7, "5.1" XP, "5.0" 2000; Nine: a 9x system.
        QString CurrentVersion = QStringLiteral("6.1");
        bool Nine = false;
        bool Win64 = true;
        // Hives copied from a folder instead of made up (the fixture prefix of Wine 8).
        QString HivesFrom;
    };

    PlatformPrefix();
    explicit PlatformPrefix(const Options &options);

    TempPrefix &Prefix() { return FPrefix; }
    QString Root() const { return FPrefix.Root(); }
    // Host path of a Windows path of the prefix.
    QString Host(const QString &windowsPath) const { return FPrefix.HostPath(windowsPath); }
    // Creates a file (and its folders) with the given bytes; returns the Windows path.
    QString WriteFile(const QString &windowsPath, const QByteArray &bytes = QByteArrayLiteral("x"));
    QString MakeFolder(const QString &windowsPath);
    // Adds drive <letter>: linked to a new folder; type as HKLM\Software\Wine\Drives says.
    QString AddDrive(QChar letter, const QString &type = QString());
    // Sets the last-write time of a file, in milliseconds since the epoch.
    void SetWriteTime(const QString &windowsPath, qint64 msecsSinceEpoch);
    // Makes a hive read-only for everyone (a denied key for every write).
    void MakeHiveReadOnly(bool machine);
    void SetVersion(const QString &version);

private:
    static TempPrefix::Options PrefixOptions(const Options &options);
    TempPrefix FPrefix;
};
