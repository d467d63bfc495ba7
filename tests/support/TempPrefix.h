// A Wine-style prefix in a temporary folder, made for one test and removed after it.
//
//   TempPrefix prefix;                                   // win64, Windows 7, user "dremlix"
//   prefix.WriteFile("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe", bytes, mtime);
//   prefix.SetRegString(Os::RegRoot::CurrentUser, "Software\\DREMLIX S.A.\\Orvanta\\Program",
//                       "Filename", "C:\\WDremlix\\ORV\\Programs\\Orvanta.exe");
//   prefix.AddDrive('D', {}, "cdrom");
//
// The host layer is pointed at it (Os::Environment::SetPrefixRoot) for the object's life;
// the previous prefix comes back on destruction.
#pragma once

#include "oslayer/Registry.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QTemporaryDir>
#include <cstdint>
#include <optional>

class TempPrefix {
public:
    enum class Arch { Win32, Win64 };

    struct Options {
        Arch Architecture = Arch::Win64;
        QString User = QStringLiteral("dremlix");
        // Host folder whose system.reg, user.reg and userdef.reg are copied instead of the
        // minimal hives (for example the Wine 8 fixture).
        QString HivesFrom;
    };

    TempPrefix();
    explicit TempPrefix(const Options &options);
    ~TempPrefix();
    TempPrefix(const TempPrefix &) = delete;
    TempPrefix &operator=(const TempPrefix &) = delete;

    bool IsValid() const { return FDir.isValid(); }
    // Host path of the prefix folder (the one holding dosdevices/ and the hives).
    QString Root() const { return FRoot; }
    QString User() const { return FUser; }
    QString SystemHive() const { return FRoot + QStringLiteral("/system.reg"); }
    QString UserHive() const { return FRoot + QStringLiteral("/user.reg"); }

    // The host path of a Windows path, through the host layer.
    QString HostPath(const QString &windowsPath) const;
    // Writes a file with its missing folders; with a time, that becomes its last-write time.
    // Returns the host path.
    QString WriteFile(const QString &windowsPath, const QByteArray &bytes,
                      std::optional<QDateTime> lastWrite = std::nullopt) const;
    QString MakeFolder(const QString &windowsPath) const;

    // Registry values through Os::RegKey, creating the key: HKLM\Software is seen as a 32-bit
    // program sees it (Wow6432Node on win64), as the products write it.
    void SetRegString(Os::RegRoot root, const QString &key, const QString &name, const QString &value,
                      uint32_t type = Os::REG_SZ) const;
    void SetRegDword(Os::RegRoot root, const QString &key, const QString &name, uint32_t value) const;
    void SetRegValue(Os::RegRoot root, const QString &key, const QString &name, const Os::RegValue &value,
                     uint32_t extraAccess = 0) const;

    // A drive letter linked in dosdevices/ to hostFolder (a new folder inside the prefix when
    // empty), with its Wine drive type ("cdrom", "floppy", "network", "ramdisk", "hd";
    // empty: none written, a fixed disk). Returns the host folder.
    QString AddDrive(QChar letter, const QString &hostFolder = QString(), const QString &type = QString()) const;
    void RemoveDrive(QChar letter) const;

    // Plays another Windows: NT major.minor in both registry views, or a 9x system.
    void SetWindowsVersion(uint32_t major, uint32_t minor) const;
    void SetWindows9x(const QString &versionNumber = QStringLiteral("4.10")) const;

private:
    void Build(const Options &options);

    QTemporaryDir FDir;
    QString FRoot;
    QString FUser;
    QString FPreviousPrefix;
};
