// Drives of the prefix and the mapping between Windows paths and host paths.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

namespace Os {

enum DriveType : uint32_t {
    DRIVE_UNKNOWN = 0,
    DRIVE_NO_ROOT_DIR = 1,
    DRIVE_REMOVABLE = 2,
    DRIVE_FIXED = 3,
    DRIVE_REMOTE = 4,
    DRIVE_CDROM = 5,
    DRIVE_RAMDISK = 6,
};

// The logical drives, "C:\\" style, in letter order (GetLogicalDriveStrings).
QStringList LogicalDriveRoots();
// GetLogicalDrives: bit 0 = A:.
uint32_t LogicalDriveMask();
// GetDriveType of a root such as "C:\\" (also "C:" or a longer path: its first three characters count).
uint32_t GetDriveType(const QString &root);

// Maps a Windows path ("C:\\WDremlix\\ORV\\x.exe", "\\\\?\\unix\\tmp\\x") to the host path,
// matching each component without regard to case when the exact name does not exist;
// ".." never climbs above the drive root. A path on no drive gives an empty string
// and sets the last error (3 for a letter without a drive, 53 for a UNC path).
QString HostPath(const QString &windowsPath);
// The Windows path of a host path: the drive whose target is its longest prefix,
// else "\\\\?\\unix\\" + the host path.
QString WindowsPath(const QString &hostPath);

// C:\windows\, C:\windows\system32\ (syswow64 on a win64 prefix), with trailing backslash.
QString WindowsFolder();
QString SystemFolder();
// C:\Program Files\ (C:\Program Files (x86)\ on a win64 prefix).
QString ProgramFilesFolder();
// C:\users\<user>\ of the prefix.
QString ProfileFolder();
// HKCU\Environment TEMP of the prefix, mapped; else a per-user folder under
// $XDG_RUNTIME_DIR or /tmp/dremlix-<uid>, created 0700. Windows path, trailing backslash.
QString TempFolder();

} // namespace Os
