// Drives and the mapping of Windows paths: nothing is reached but through a drive, and a
// path maps back to the drive a person would name.
#include "support/TempPrefix.h"

#include "oslayer/Environment.h"
#include "oslayer/Paths.h"
#include "oslayer/WinError.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace Os;

TEST(Paths, ComponentsMatchWithoutRegardToCase)
{
    TempPrefix prefix;
    const QString host = prefix.WriteFile(QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe"), "x");
    const QString c = prefix.Root() + QStringLiteral("/drive_c");
    struct Row {
        const char *Windows;
        QString Host;
    };
    const Row rows[] = {
        { "C:\\WDremlix\\ORV\\Programs\\Orvanta.exe", host },
        { "c:\\wdremlix\\orv\\PROGRAMS\\orvanta.EXE", host },
        { "c:/WDREMLIX/orv/programs/Orvanta.exe", host },
        { "C:\\WDremlix\\.\\ORV\\Data\\..\\Programs\\Orvanta.exe", host },
        { "C:\\WDremlix\\ORV\\Programs.\\Orvanta.exe", host },     // trailing dots go, as on Windows
        { "C:\\WDremlix\\orv\\New\\file.TXT", c + QStringLiteral("/WDremlix/ORV/New/file.TXT") },
        { "C:\\", c },
        { "C:\\wdremlix\\", c + QStringLiteral("/WDremlix/") },
        { "\\WDremlix\\ORV", c + QStringLiteral("/WDremlix/ORV") }, // the current drive is C:
        // ".." stops at the drive root, whatever the host has above it.
        { "C:\\..\\..\\..\\etc\\passwd", c + QStringLiteral("/etc/passwd") },
        { "C:\\WDremlix\\..\\..\\..\\x", c + QStringLiteral("/x") },
        { "\\\\?\\unix\\tmp\\x y", QStringLiteral("/tmp/x y") },
        { "\\\\?\\C:\\WDremlix", c + QStringLiteral("/WDremlix") },
    };
    for (const Row &row : rows) {
        SetLastError(99);
        EXPECT_EQ(HostPath(QString::fromUtf8(row.Windows)), row.Host) << row.Windows;
        EXPECT_EQ(GetLastError(), 0u) << row.Windows;
    }
}

TEST(Paths, PathsOnNoDriveAreRefused)
{
    TempPrefix prefix;
    const std::pair<const char *, uint32_t> rows[] = {
        { "\\\\server\\share\\file.txt", ERROR_BAD_NETPATH },
        { "\\\\server", ERROR_BAD_NETPATH },
        { "Q:\\file.txt", ERROR_PATH_NOT_FOUND },
        { "", ERROR_PATH_NOT_FOUND },
        { "1:\\x", ERROR_INVALID_NAME },
        { "C:\\a<b", ERROR_INVALID_NAME },
        { "C:\\a\\b:c", ERROR_INVALID_NAME },
    };
    for (const auto &[path, code] : rows) {
        EXPECT_TRUE(HostPath(QString::fromUtf8(path)).isEmpty()) << path;
        EXPECT_EQ(GetLastError(), code) << path;
    }
}

TEST(Paths, HostPathsMapBackToTheDriveWithTheLongestTarget)
{
    TempPrefix prefix;
    const QString d = prefix.AddDrive(QLatin1Char('D'));
    QTemporaryDir outside;
    const QString out = QFileInfo(outside.path()).canonicalFilePath();
    EXPECT_EQ(WindowsPath(prefix.Root() + QStringLiteral("/drive_c/WDremlix/x.exe")),
              QStringLiteral("C:\\WDremlix\\x.exe"));
    EXPECT_EQ(WindowsPath(prefix.Root() + QStringLiteral("/drive_c")), QStringLiteral("C:\\"));
    EXPECT_EQ(WindowsPath(d + QStringLiteral("/Dati/Rossi.fdb")), QStringLiteral("D:\\Dati\\Rossi.fdb"));
    EXPECT_EQ(WindowsPath(out + QStringLiteral("/f")), QStringLiteral("Z:") + QString(out).replace(QLatin1Char('/'), QLatin1Char('\\')) + QStringLiteral("\\f"));
    // Through a link to the prefix the drive is still found.
    const QString link = out + QStringLiteral("/link");
    ASSERT_EQ(::symlink(QFile::encodeName(prefix.Root() + QStringLiteral("/drive_c")).constData(),
                        QFile::encodeName(link).constData()),
              0);
    EXPECT_EQ(WindowsPath(link + QStringLiteral("/new.txt")), QStringLiteral("C:\\new.txt"));

    // Without z: a host path outside the drives is written as Wine writes it, and maps back.
    prefix.RemoveDrive(QLatin1Char('Z'));
    const QString unixPath = WindowsPath(out + QStringLiteral("/f"));
    EXPECT_EQ(unixPath, QStringLiteral("\\\\?\\unix") + QString(out).replace(QLatin1Char('/'), QLatin1Char('\\')) + QStringLiteral("\\f"));
    EXPECT_EQ(HostPath(unixPath), out + QStringLiteral("/f"));
}

TEST(Paths, LogicalDrivesAndTheirTypes)
{
    TempPrefix prefix;
    prefix.AddDrive(QLatin1Char('A'), {}, QStringLiteral("floppy"));
    prefix.AddDrive(QLatin1Char('D'), {}, QStringLiteral("cdrom"));
    prefix.AddDrive(QLatin1Char('N'), {}, QStringLiteral("network"));
    prefix.AddDrive(QLatin1Char('R'), {}, QStringLiteral("ramdisk"));
    prefix.AddDrive(QLatin1Char('H'), {}, QStringLiteral("hd"));
    prefix.AddDrive(QLatin1Char('E'));
    // A link whose target is gone is no drive.
    prefix.AddDrive(QLatin1Char('G'), prefix.Root() + QStringLiteral("/nowhere"));

    EXPECT_EQ(LogicalDriveRoots(), QStringLiteral("A:\\|C:\\|D:\\|E:\\|H:\\|N:\\|R:\\|Z:\\").split(QLatin1Char('|')));
    EXPECT_EQ(LogicalDriveMask(), (1u << 0) | (1u << 2) | (1u << 3) | (1u << 4) | (1u << 7) | (1u << 13) | (1u << 17)
                                      | (1u << 25));
    const std::pair<const char *, uint32_t> rows[] = {
        { "A:\\", DRIVE_REMOVABLE }, { "c:\\", DRIVE_FIXED },      { "D:", DRIVE_CDROM },
        { "D:\\Dati\\x", DRIVE_CDROM }, { "E:\\", DRIVE_FIXED },   { "H:\\", DRIVE_FIXED },
        { "N:\\", DRIVE_REMOTE },    { "R:\\", DRIVE_RAMDISK },    { "Z:\\", DRIVE_FIXED },
        { "G:\\", DRIVE_NO_ROOT_DIR }, { "Q:\\", DRIVE_NO_ROOT_DIR }, { "\\\\server\\share\\", DRIVE_NO_ROOT_DIR },
        { "", DRIVE_NO_ROOT_DIR },
    };
    for (const auto &[root, type] : rows)
        EXPECT_EQ(GetDriveType(QString::fromUtf8(root)), type) << root;
}

TEST(Paths, TheWineFixtureSaysDIsACdrom)
{
    TempPrefix::Options options;
    options.HivesFrom = QStringLiteral(DREMLIX_FIXTURE_PREFIX);
    TempPrefix prefix(options);
    prefix.AddDrive(QLatin1Char('D'));
    EXPECT_EQ(GetDriveType(QStringLiteral("D:\\")), DRIVE_CDROM);
    EXPECT_EQ(GetDriveType(QStringLiteral("C:\\")), DRIVE_FIXED);
}

TEST(Paths, SystemFoldersFollowTheArchitecture)
{
    for (const auto arch : { TempPrefix::Arch::Win64, TempPrefix::Arch::Win32 }) {
        TempPrefix::Options options;
        options.Architecture = arch;
        TempPrefix prefix(options);
        const bool win64 = arch == TempPrefix::Arch::Win64;
        EXPECT_EQ(WindowsFolder(), QStringLiteral("C:\\windows\\"));
        EXPECT_EQ(SystemFolder(), win64 ? QStringLiteral("C:\\windows\\syswow64\\") : QStringLiteral("C:\\windows\\system32\\"));
        EXPECT_EQ(ProgramFilesFolder(), win64 ? QStringLiteral("C:\\Program Files (x86)\\") : QStringLiteral("C:\\Program Files\\"));
        EXPECT_EQ(ProfileFolder(), QStringLiteral("C:\\users\\dremlix\\"));
        // What a 32-bit program calls system32 is syswow64 on a win64 prefix.
        EXPECT_EQ(HostPath(QStringLiteral("C:\\Windows\\System32\\gds32.dll")),
                  prefix.Root() + (win64 ? QStringLiteral("/drive_c/windows/syswow64/gds32.dll")
                                         : QStringLiteral("/drive_c/windows/system32/gds32.dll")));
    }
}

TEST(Paths, TempFolderComesFromThePrefixElseAPrivateFolder)
{
    TempPrefix prefix;
    EXPECT_EQ(TempFolder(), QStringLiteral("C:\\users\\dremlix\\Temp\\"));
    prefix.SetRegString(Os::RegRoot::CurrentUser, QStringLiteral("Environment"), QStringLiteral("TEMP"),
                        QStringLiteral("%USERPROFILE%\\AppData\\Local\\Temp"), Os::REG_EXPAND_SZ);
    EXPECT_EQ(TempFolder(), QStringLiteral("C:\\users\\dremlix\\AppData\\Local\\Temp\\"));
    EXPECT_TRUE(QFileInfo(prefix.Root() + QStringLiteral("/drive_c/users/dremlix/AppData/Local/Temp")).isDir());

    // A TEMP on no drive falls back to a folder of this user only.
    prefix.SetRegString(Os::RegRoot::CurrentUser, QStringLiteral("Environment"), QStringLiteral("TEMP"),
                        QStringLiteral("Q:\\Temp"));
    QTemporaryDir runtime;
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    const QString folder = TempFolder();
    qputenv("XDG_RUNTIME_DIR", saved);
    const QString host = HostPath(folder);
    EXPECT_TRUE(folder.endsWith(QLatin1Char('\\')));
    EXPECT_EQ(QFileInfo(host).canonicalFilePath(), QFileInfo(runtime.path() + QStringLiteral("/dremlix")).canonicalFilePath());
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(host).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}
