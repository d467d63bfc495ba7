// TWindowsInstaller: the installer's toolbox. It answers what the Windows environment
// is (version, rights, sessions, installed components), finds the system's and the
// user's folders in the prefix, compares file versions, reads and writes shell links,
// and installs files with backups, shared counts and replacement at the next restart.
#pragma once

#include "oslayer/Registry.h"

#include <QString>
#include <QStringList>
#include <cstdint>

// The description of a shell link (.lnk file).
struct TShellLinkInfoRec {
    QString PathName;          // target path
    QString Arguments;
    QString Description;
    QString WorkingDirectory;
    QString IconLocation;
    int32_t IconIndex = 0;
    int32_t ShowCmd = 1;       // SW_SHOWNORMAL
    uint16_t HotKey = 0;       // virtual key in the low byte, HOTKEYF_ flags in the high byte
};

// Shell special-folder numbers the installer asks for.
enum SpecialFolder : int32_t {
    CSIDL_PERSONAL = 0x05,
    CSIDL_MYDOCUMENTS = 0x0C,
    CSIDL_DESKTOPDIRECTORY = 0x10,
    CSIDL_FONTS = 0x14,
    CSIDL_COMMON_DESKTOPDIRECTORY = 0x19,
    CSIDL_APPDATA = 0x1A,
    CSIDL_LOCAL_APPDATA = 0x1C,
    CSIDL_COMMON_APPDATA = 0x23,
    CSIDL_WINDOWS = 0x24,
    CSIDL_SYSTEM = 0x25,
    CSIDL_PROGRAM_FILES = 0x26,
    CSIDL_PROFILE = 0x28,
    CSIDL_FLAG_CREATE = 0x8000,
};

// ProcessIdToSessionId: false on a 9x system (session 0).
bool GetProcessSessionId(uint32_t processId, uint32_t &sessionId);

class TWindowsInstaller {
public:
    // sourceToolsPath: the folder where the shell's folder library is looked for first
    // (the engine passes an empty string).
    explicit TWindowsInstaller(QString sourceToolsPath = QString());
    ~TWindowsInstaller();
    TWindowsInstaller(const TWindowsInstaller &) = delete;
    TWindowsInstaller &operator=(const TWindowsInstaller &) = delete;

    // ---- Folders of the system -------------------------------------------------------
    static QString GetWinPath();            // C:\windows\ of the prefix
    // The system folder; the Windows folder when a system folder outside it cannot be written.
    static QString GetWinSystemPath();
    static QString AddBackslash(const QString &s);
    // Existence tests; one trailing backslash (not after a drive colon) is ignored.
    static bool FileOrDirExists(const QString &name);
    static bool FileExists(const QString &name);   // directories do not count
    // Software\A\B gives Software\A\ and B; A\B\ gives A\ and B\.
    static void ExtractParentPath(const QString &aPath, QString &parentPath, QString &childItem);
    // Deletes key when it has neither subkeys nor values (or does not exist).
    static void RegDeleteKeyIfEmpty(Os::RegRoot root, const QString &key);

    // ---- The system ------------------------------------------------------------------
    static bool IsWindows9X();
    static bool IsWindowsNT4();
    static bool IsWindowsXP();
    static bool IsWindows2003();
    static bool IsWindowsVista();
    static bool IsWindowsSeven();
    static bool IsWindowsEight();
    // True on a 9x system; otherwise whether the process has an administrator's rights on
    // the host (Os::IsHostAdministrator). Raises Os::EOSError when that cannot be told.
    static bool IsAdministrator();
    static bool IsTSInstalled();
    static bool IsOnNT4TS();
    static bool IsRunningInsideTSSession();
    static uint32_t GetTSESessionID();
    static bool IsAcroreadInstalled();
    static bool NeedsVBRun60R5();
    // Raises Os::EOSError when the volume cannot be asked.
    static bool IsNTFS(QChar volume);
    // Fixed disks, lower-case letters ("c", "d").
    static void GetLocalDriveLetters(QStringList &driveList);
    // Up to 10 passes over the CD-ROM drives C to Z, one second apart.
    static bool FindCDRomLetter(const QString &fileToFind, QChar &driveLetter);
    static void GetLocalIPAddresses(QStringList &sl);
    // Raises for ShellExecute results of 32 or less.
    static void CheckShellExResult(const QString &operationText, int32_t value);
    // Never restarts the host: asks Wine to restart the prefix ("wineboot -r" with
    // WINEPREFIX); raises a clear error where wineboot is not installed or fails.
    static void RestartComputer();
    // Shell links in the .lnk format, on files of the prefix.
    static bool GetShellLinkInfo(const QString &linkFile, TShellLinkInfoRec &shellInfo);
    // Updates an existing link file (raises when it is missing or no shell link).
    static void SetShellLinkInfo(const QString &linkFile, const TShellLinkInfoRec &shellInfo);
    static void GetIEVersion(uint16_t &v1, uint16_t &v2, uint16_t &v3, uint16_t &v4);

    // ---- File versions ---------------------------------------------------------------
    // True when the file has a fixed version; the numbers stay unchanged otherwise.
    static bool GetFileVersion(const QString &fileName, uint16_t &v1, uint16_t &v2, uint16_t &v3,
                               uint16_t &v4);
    // "5.1.2600.0", or "?" without a fixed version.
    static QString GetFileVersion(const QString &fileName);
    // 1: newFile is newer or currentFile is missing; 0: the same; -1: currentFile is newer.
    // By fixed version when both have one, else by last-write time. Raises
    // "File not found : " + newFile when newFile is no file.
    int32_t CompareFileVersion(const QString &currentFile, const QString &newFile) const;
    bool IsFileNewer(const QString &currentFile, const QString &newFile) const;

    // ---- Folders of the user (trailing backslash, or empty) -------------------------
    QString GetTempPath();
    QString GetCurrentProfilePath();
    QString GetMyDocumentsPath();
    QString GetLocalAppDataPath();
    QString GetUserAppDataPath();
    QString GetAllUsersAppDataPath();
    QString GetCommonDesktopPath();
    QString GetDesktopPath();
    QString GetProgramsPath();
    // "?" when nobody is logged on; other failures raise Os::EOSError.
    QString GetUsername();
    // SHGetFolderPath of the prefix for a CSIDL number (with CSIDL_FLAG_CREATE the folder
    // is created); without a trailing backslash except at a drive root; empty when unknown.
    QString GetSpecialFolder(int32_t folder);

    // ---- File installation -----------------------------------------------------------
    // Copies sourceFileName into destDir when it is newer than the file there, after a
    // backup of that file into backupDir (destDir when empty) under its own name or
    // name_0, name_1 ...; a file in use is replaced at the next restart (mustReboot).
    bool CopyOrReplaceFileIfNewer(const QString &sourceFileName, const QString &destDir,
                                  const QString &backupDir, bool &mustReboot);
    // Without backup or deferred replacement.
    void CopyOrReplaceFileIfNewer(const QString &sourceFileName, const QString &targetPath);
    void CopyToSystem(const QString &fileName);
    void CopyAndInstallFont(const QString &sourceFilename, const QString &fontName);
    // Reference counts of shared files under HKLM\Software\Microsoft\Windows\CurrentVersion\SharedDLLs,
    // kept as REG_DWORD, REG_BINARY (1 to 4 bytes) or REG_SZ.
    static void IncrementSharedCount(const QString &filename, bool alreadyExisted = false);
    static bool DecrementSharedCount(const QString &filename);
    static void RemoveSharedCount(const QString &filename);
    // path\name000, name001 ... : the first that does not exist, created (no trailing backslash).
    static QString CreateUniqueDir(const QString &path, const QString &name);

    // Steps of the installation operations, open for their own tests.
    static void ReplaceFile(const QString &source, const QString &target, bool &mustRestart);
    // An empty target deletes source at the next restart.
    static void RenameOnReboot(const QString &source, const QString &target);
    static QString MakeNumberedFileName(const QString &path);
    static QString MakeTempName(const QString &folder, const QString &extension);

private:
    // Where the shell's folder library would be looked for first; the prefix's folders
    // are known without it.
    QString FToolsPath;
};
