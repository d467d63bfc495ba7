// A Wine-style prefix in a temporary folder, made for one test and removed after it: the
// one prefix builder of every test program.
//
//   TempPrefix prefix;                                   // win64, Windows 7, user "dremlix"
//   TempPrefix xp({ .WindowsVersion = "5.1" });          // plays XP in both registry views
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
        // NT "major.minor" written into both registry views ("5.1" plays XP); empty keeps
        // the Windows 7 of the minimal hive.
        QString WindowsVersion;
        bool Windows9x = false;
        // Z: linked to the host root, as in a default prefix. Off where a test searches every
        // fixed disk or must not reach the host's files through a drive.
        bool HostRootDrive = true;
        // Registry text appended to the minimal user.reg as it stands there.
        QByteArray ExtraUserKeys;
    };

    TempPrefix();
    explicit TempPrefix(const Options &options);
    ~TempPrefix();
    TempPrefix(const TempPrefix &) = delete;
    TempPrefix &operator=(const TempPrefix &) = delete;

    bool IsValid() const { return FDir.isValid(); }
    // Host path of the prefix folder (the one holding dosdevices/ and the hives).
    QString Root() const { return FRoot; }
    // A host folder beside the prefix, on no drive of it, removed with it: for the files a
    // test keeps outside the prefix (a wizard, a PDF, a drive's target).
    QString Scratch() const { return FDir.path(); }
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
    // Sets the last-write time with the host's own call, not through the layer under test.
    void SetLastWriteTime(const QString &windowsPath, qint64 msecsSinceEpoch) const;

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
    // Makes a hive read-only for everyone: every write to it is denied.
    void MakeHiveReadOnly(Os::RegRoot root) const;

private:
    void Build(const Options &options);

    QTemporaryDir FDir;
    QString FRoot;
    QString FUser;
    QString FPreviousPrefix;
};
