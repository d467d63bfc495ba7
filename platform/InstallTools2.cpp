#include "platform/InstallTools2.h"

#include "platform/FileVersionInfo.h"
#include "platform/GeneralRoutines.h"
#include "platform/Messages.h"
#include "platform/PlatformTexts.h"
#include "platform/ShellLinkFormat.h"
#include "oslayer/Environment.h"
#include "oslayer/Exceptions.h"
#include "oslayer/Files.h"
#include "oslayer/Paths.h"
#include "oslayer/SystemInfo.h"
#include "oslayer/WinError.h"

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QtEndian>

#include <sys/vfs.h>

using namespace Os;

namespace {

const QString CrLf = QStringLiteral("\r\n");

bool IsNtVersion(uint32_t major, uint32_t minor)
{
    const WindowsVersion v = GetWindowsVersion();
    return v.Platform == VER_PLATFORM_WIN32_NT && v.Major == major && v.Minor == minor;
}

// One trailing backslash goes, unless it ends a drive root ("C:\").
QString WithoutTrailingBackslash(const QString &name)
{
    if (name.endsWith(QLatin1Char('\\')) && !(name.size() >= 2 && name.at(name.size() - 2) == QLatin1Char(':')))
        return name.left(name.size() - 1);
    return name;
}

QString StripLeadingBackslash(const QString &key)
{
    return key.startsWith(QLatin1Char('\\')) ? key.mid(1) : key;
}

bool KeyOpens(RegRoot root, const QString &key, uint32_t access)
{
    RegKey k;
    return RegKey::Open(root, StripLeadingBackslash(key), access, k) == ERROR_SUCCESS;
}

// The 32-bit view reads the shell folders Wine records for the user and the machine.
QString ShellFolderFromRegistry(RegRoot root, const QString &valueName)
{
    RegKey key;
    if (RegKey::Open(root, QStringLiteral("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders"),
                     KEY_READ, key)
        != ERROR_SUCCESS)
        return QString();
    RegValue value;
    if (key.QueryValue(valueName, value) != ERROR_SUCCESS)
        return QString();
    if (value.Type != REG_SZ && value.Type != REG_EXPAND_SZ)
        return QString();
    return value.AsString();
}

QString UsersFolder()
{
    // The parent of C:\users\<user>\.
    return GetParentFolder(ProfileFolder());
}

const QString SharedDllsKey = QStringLiteral("Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs");
const QString SessionManagerKey = QStringLiteral("System\\CurrentControlSet\\Control\\Session Manager");

RegKey OpenSharedDlls()
{
    RegKey key;
    if (RegKey::Create(RegRoot::LocalMachine, SharedDllsKey, KEY_QUERY_VALUE | KEY_SET_VALUE, key) != ERROR_SUCCESS)
        throw Exception(PlatformTexts::SharedDllsAccessError());
    return key;
}

// A shared count as stored, with its kind; `fallback` when the value is of no known kind.
void ReadSharedCount(const RegKey &key, const QString &name, uint32_t fallback, uint32_t &count, uint32_t &kind)
{
    count = fallback;
    kind = REG_DWORD;
    RegValue value;
    if (key.QueryValue(name, value) != ERROR_SUCCESS)
        return;
    switch (value.Type) {
    case REG_SZ: {
        bool ok = false;
        const QString text = value.AsString().trimmed();
        const qlonglong n = text.toLongLong(&ok, 10);
        if (ok && n >= 0 && n <= 0xFFFFFFFFLL) {
            count = static_cast<uint32_t>(n);
            kind = REG_SZ;
        }
        return;
    }
    case REG_BINARY:
        if (value.Data.size() >= 1 && value.Data.size() <= 4) {
            uint32_t n = 0;
            for (qsizetype i = value.Data.size() - 1; i >= 0; --i)
                n = (n << 8) | static_cast<uint8_t>(value.Data.at(i));
            count = n;
            kind = REG_BINARY;
        }
        return;
    case REG_DWORD:
        if (value.Data.size() == 4) {
            count = value.AsDword();
            kind = REG_DWORD;
        }
        return;
    default:
        return;
    }
}

uint32_t WriteSharedCount(RegKey &key, const QString &name, uint32_t count, uint32_t kind)
{
    if (kind == REG_SZ)
        return key.SetValue(name, RegValue::FromString(QString::number(count)));
    if (kind == REG_BINARY) {
        QByteArray bytes(4, '\0');
        qToLittleEndian(count, bytes.data());
        return key.SetValue(name, RegValue::FromBinary(bytes, REG_BINARY));
    }
    return key.SetValue(name, RegValue::FromDword(count));
}

// The strings of a REG_MULTI_SZ exactly as stored, empty ones included: the pending
// rename list uses an empty target to mean "delete".
QStringList RawMultiStrings(const QByteArray &data)
{
    QStringList items;
    QString current;
    const qsizetype count = data.size() / 2;
    for (qsizetype i = 0; i < count; ++i) {
        const char16_t c = qFromLittleEndian<uint16_t>(data.constData() + 2 * i);
        if (c == 0) {
            items.append(current);
            current.clear();
        } else {
            current += QChar(c);
        }
    }
    if (!current.isEmpty())
        items.append(current);
    return items;
}

QString Base32Name(uint32_t n)
{
    static const char alphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUV";
    QString text(5, QLatin1Char('0'));
    for (int i = 4; i >= 0; --i) {
        text[i] = QLatin1Char(alphabet[n & 31]);
        n >>= 5;
    }
    return text;
}

} // namespace

// ---- Session ---------------------------------------------------------------------------

bool GetProcessSessionId(uint32_t processId, uint32_t &sessionId)
{
    if (TWindowsInstaller::IsWindows9X()) {
        sessionId = 0;
        return false;
    }
    // Every process of the prefix runs in the session of the desktop that started it.
    Q_UNUSED(processId);
    sessionId = CurrentSessionId();
    return true;
}

// ---- Creation --------------------------------------------------------------------------

TWindowsInstaller::TWindowsInstaller(QString sourceToolsPath)
    : FToolsPath(std::move(sourceToolsPath))
{
}

TWindowsInstaller::~TWindowsInstaller() = default;

// ---- Folders of the system -------------------------------------------------------------

QString TWindowsInstaller::GetWinPath()
{
    return AddTrailingBackslash(WindowsFolder());
}

QString TWindowsInstaller::GetWinSystemPath()
{
    const QString windows = GetWinPath();
    QString system = SystemFolder();
    if (!system.startsWith(windows, Qt::CaseInsensitive)) {
        // A system folder outside the Windows folder is used only when it can be written.
        bool writable = false;
        try {
            const QString scratch = MakeTempName(system, QStringLiteral(".tmp"));
            writable = CreateNewFile(scratch) && DeleteFile(scratch);
        } catch (const Exception &) {
            writable = false;
        }
        if (!writable)
            system = windows;
    }
    return AddTrailingBackslash(system);
}

QString TWindowsInstaller::AddBackslash(const QString &s)
{
    return AddTrailingBackslash(s);
}

bool TWindowsInstaller::FileOrDirExists(const QString &name)
{
    return GetFileAttributes(WithoutTrailingBackslash(name)) != INVALID_FILE_ATTRIBUTES;
}

bool TWindowsInstaller::FileExists(const QString &name)
{
    const uint32_t attributes = GetFileAttributes(WithoutTrailingBackslash(name));
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void TWindowsInstaller::ExtractParentPath(const QString &aPath, QString &parentPath, QString &childItem)
{
    for (qsizetype i = aPath.size() - 2; i >= 0; --i) {
        if (aPath.at(i) == QLatin1Char('\\')) {
            parentPath = aPath.left(i + 1);
            childItem = aPath.mid(i + 1).left(255);
            return;
        }
    }
    parentPath.clear();
    childItem = aPath.left(255);
}

void TWindowsInstaller::RegDeleteKeyIfEmpty(RegRoot root, const QString &key)
{
    QString parent, child;
    ExtractParentPath(key, parent, child);
    if (parent.endsWith(QLatin1Char('\\')))
        parent.chop(1);
    if (child.endsWith(QLatin1Char('\\')))
        child.chop(1);

    RegKey parentKey;
    if (RegKey::Open(root, parent, 0x2001F, parentKey) != ERROR_SUCCESS)
        return;
    const QString fullKey = parent.isEmpty() ? child : parent + QLatin1Char('\\') + child;
    RegKey childKey;
    const uint32_t rc = RegKey::Open(root, fullKey, KEY_READ, childKey);
    bool empty = false;
    if (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND)
        empty = true;
    else if (rc == ERROR_SUCCESS)
        empty = childKey.SubKeyNames().isEmpty() && childKey.ValueNames().isEmpty();
    childKey.Close();
    if (empty && rc == ERROR_SUCCESS)
        RegKey::DeleteKey(root, fullKey);
}

// ---- The system ------------------------------------------------------------------------

bool TWindowsInstaller::IsWindows9X()
{
    return GetWindowsVersion().Platform == VER_PLATFORM_WIN32_WINDOWS;
}

bool TWindowsInstaller::IsWindowsNT4()
{
    return IsNtVersion(4, 0);
}

bool TWindowsInstaller::IsWindowsXP()
{
    return IsNtVersion(5, 1);
}

bool TWindowsInstaller::IsWindows2003()
{
    return IsNtVersion(5, 2);
}

bool TWindowsInstaller::IsWindowsVista()
{
    return IsNtVersion(6, 0);
}

bool TWindowsInstaller::IsWindowsSeven()
{
    return IsNtVersion(6, 1);
}

bool TWindowsInstaller::IsWindowsEight()
{
    return IsNtVersion(6, 2);
}

bool TWindowsInstaller::IsAdministrator() { return IsWindows9X() || IsHostAdministrator(); }

bool TWindowsInstaller::IsTSInstalled()
{
    RegKey key;
    if (RegKey::Open(RegRoot::LocalMachine, QStringLiteral("SYSTEM\\CurrentControlSet\\Control\\ProductOptions"),
                     KEY_READ, key)
        != ERROR_SUCCESS)
        return false;
    RegValue value;
    if (key.QueryValue(QStringLiteral("ProductSuite"), value) != ERROR_SUCCESS)
        return false;
    QString text;
    for (const char b : value.Data.left(128)) {
        if (b != 0)
            text += QLatin1Char(b);
    }
    return text.contains(QLatin1String("Terminal Server"));
}

bool TWindowsInstaller::IsOnNT4TS()
{
    const WindowsVersion v = GetWindowsVersion();
    return v.Platform == VER_PLATFORM_WIN32_NT && v.Major == 4 && IsTSInstalled();
}

bool TWindowsInstaller::IsRunningInsideTSSession()
{
    return !IsWindows9X() && IsTSInstalled() && IsRemoteSession();
}

uint32_t TWindowsInstaller::GetTSESessionID()
{
    if (!IsRunningInsideTSSession())
        return 0;
    uint32_t session = 0;
    GetProcessSessionId(GetCurrentProcessId(), session);
    return session;
}

bool TWindowsInstaller::IsAcroreadInstalled()
{
    return KeyOpens(RegRoot::LocalMachine, QStringLiteral("\\SOFTWARE\\Adobe\\Acrobat Reader"), KEY_READ)
        || KeyOpens(RegRoot::LocalMachine, QStringLiteral("\\SOFTWARE\\Adobe\\Acrobat"), KEY_READ);
}

bool TWindowsInstaller::NeedsVBRun60R5()
{
    struct Minimum {
        const char *File;
        uint16_t V[4];
    };
    static const Minimum minimums[] = {
        {"asycfilt.dll", {2, 40, 4275, 1}}, {"comcat.dll", {4, 71, 1460, 1}},
        {"msvbvm60.dll", {6, 0, 89, 64}},   {"oleaut32.dll", {2, 40, 4275, 1}},
        {"olepro32.dll", {5, 0, 4275, 1}},  {"stdole2.tlb", {2, 40, 4275, 1}},
    };
    for (const Minimum &m : minimums) {
        uint16_t v[4] = {0, 0, 0, 0};
        if (!GetFileVersion(QLatin1String(m.File), v[0], v[1], v[2], v[3]))
            return true;
        for (int i = 0; i < 4; ++i) {
            if (v[i] > m.V[i])
                break;
            if (v[i] < m.V[i])
                return true;
        }
    }
    return false;
}

bool TWindowsInstaller::IsNTFS(QChar volume)
{
    const QString root = QString(volume) + QStringLiteral(":\\");
    const uint32_t type = Os::GetDriveType(root);
    if (type == DRIVE_UNKNOWN || type == DRIVE_NO_ROOT_DIR)
        throw EOSError(ERROR_PATH_NOT_FOUND);
    const QString host = HostPath(root);
    struct statfs fs {};
    if (host.isEmpty() || statfs(QFile::encodeName(host).constData(), &fs) != 0)
        throw EOSError(ERROR_NOT_READY);
    // The environment names its volumes as Windows would: a CD file system, FAT for an
    // MS-DOS file system, NTFS for everything else.
    if (type == DRIVE_CDROM)
        return false;
    constexpr long MsdosMagic = 0x4d44;
    return fs.f_type != MsdosMagic;
}

void TWindowsInstaller::GetLocalDriveLetters(QStringList &driveList)
{
    driveList.clear();
    const uint32_t mask = LogicalDriveMask();
    for (int bit = 0; bit < 26; ++bit) {
        if (!(mask & (1u << bit)))
            continue;
        const QChar letter(u'a' + bit);
        if (Os::GetDriveType(QString(letter.toUpper()) + QStringLiteral(":\\")) == DRIVE_FIXED)
            driveList.append(QString(letter));
    }
}

bool TWindowsInstaller::FindCDRomLetter(const QString &fileToFind, QChar &driveLetter)
{
    for (int pass = 0; pass < 10; ++pass) {
        for (char16_t c = u'C'; c <= u'Z'; ++c) {
            const QString root = QString(QChar(c)) + QStringLiteral(":\\");
            if (Os::GetDriveType(root) == DRIVE_CDROM && FileExists(root + fileToFind)) {
                driveLetter = QChar(c);
                return true;
            }
        }
        WaitMilliseconds(-1000);
    }
    return false;
}

void TWindowsInstaller::GetLocalIPAddresses(QStringList &sl)
{
    const QStringList addresses = LocalIPv4Addresses();
    for (qsizetype i = 0; i < addresses.size() && i < 256; ++i)
        sl.append(addresses.at(i));
}

void TWindowsInstaller::CheckShellExResult(const QString &operationText, int32_t value)
{
    if (value > 32)
        return;
    QString message;
    switch (value) {
    case 0: message = QStringLiteral("The operating system is out of memory or resources."); break;
    case 2: message = QStringLiteral("The specified file was not found."); break;
    case 3: message = QStringLiteral("The specified path was not found."); break;
    case 5: message = QStringLiteral("The operating system denied access to the specified file."); break;
    case 8: message = QStringLiteral("There was not enough memory to complete the operation."); break;
    case 11: message = QStringLiteral("The .EXE file is invalid (non-Win32 .EXE or error in .EXE image)."); break;
    case 26: message = QStringLiteral("A sharing violation occurred."); break;
    case 27: message = QStringLiteral("The filename association is incomplete or invalid."); break;
    case 28:
        message = QStringLiteral("The DDE transaction could not be completed because the request timed out.");
        break;
    case 29: message = QStringLiteral("The DDE transaction failed."); break;
    case 30:
        message = QStringLiteral(
            "The DDE transaction could not be completed because other DDE transactions were being processed.");
        break;
    case 31: message = QStringLiteral("There is no application associated with the given filename extension."); break;
    case 32: message = QStringLiteral("The specified dynamic-link library was not found."); break;
    default: {
        const uint32_t last = GetLastError();
        throw EOSError(last != 0 ? last : static_cast<uint32_t>(value));
    }
    }
    throw Exception(operationText + CrLf + CrLf + message);
}

void TWindowsInstaller::RestartComputer()
{
    const QString wineboot = QStandardPaths::findExecutable(QStringLiteral("wineboot"));
    if (wineboot.isEmpty())
        throw Exception(PlatformTexts::NoWineboot());
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WINEPREFIX"), Environment::PrefixRoot());
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(wineboot, {QStringLiteral("-r")});
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        const QString output = QString::fromLocal8Bit(process.readAll()).trimmed();
        process.kill();
        throw Exception(PlatformTexts::WinebootFailed() + output);
    }
}

bool TWindowsInstaller::GetShellLinkInfo(const QString &linkFile, TShellLinkInfoRec &shellInfo)
{
    QByteArray bytes;
    if (!ReadWholeFile(linkFile, bytes))
        RaiseLastOSError();
    const std::optional<ShellLinkData> link = ParseShellLink(bytes);
    if (!link)
        throw Exception(PlatformTexts::ShellLinkUnreadable() + linkFile);
    // The prefix's file systems keep no short names: the long path is the short form.
    shellInfo.PathName = link->TargetPath().left(259);
    shellInfo.Arguments = link->Arguments.value_or(QString()).left(259);
    shellInfo.Description = link->Description.value_or(QString()).left(259);
    shellInfo.WorkingDirectory = link->WorkingDir.value_or(QString()).left(259);
    shellInfo.IconLocation = link->IconLocation.value_or(QString()).left(259);
    shellInfo.IconIndex = link->IconIndex;
    shellInfo.ShowCmd = static_cast<int32_t>(link->ShowCommand);
    shellInfo.HotKey = link->HotKey;
    return !shellInfo.PathName.isEmpty();
}

void TWindowsInstaller::SetShellLinkInfo(const QString &linkFile, const TShellLinkInfoRec &shellInfo)
{
    QByteArray bytes;
    if (!ReadWholeFile(linkFile, bytes))
        RaiseLastOSError();
    std::optional<ShellLinkData> link = ParseShellLink(bytes);
    if (!link)
        throw Exception(PlatformTexts::ShellLinkUnreadable() + linkFile);
    if (link->TargetPath().compare(shellInfo.PathName, Qt::CaseInsensitive) != 0 || !link->HasLinkInfo) {
        link->SetTargetPath(shellInfo.PathName, Os::GetDriveType(shellInfo.PathName));
        // The header describes the target as it is now.
        const uint32_t attributes = GetFileAttributes(shellInfo.PathName);
        link->FileAttributes = attributes == INVALID_FILE_ATTRIBUTES ? 0 : attributes;
        FileTime written = 0;
        link->WriteTime = GetFileLastWriteTime(shellInfo.PathName, written) ? written : 0;
        link->CreationTime = link->WriteTime;
        link->AccessTime = link->WriteTime;
        uint64_t size = 0;
        link->FileSize = GetFileSize(shellInfo.PathName, size) ? static_cast<uint32_t>(size) : 0;
    }
    auto optionalText = [](const QString &text) {
        return text.isEmpty() ? std::optional<QString>() : std::optional<QString>(text);
    };
    link->Arguments = optionalText(shellInfo.Arguments);
    link->Description = optionalText(shellInfo.Description);
    link->WorkingDir = optionalText(shellInfo.WorkingDirectory);
    link->IconLocation = optionalText(shellInfo.IconLocation);
    // An icon path with variables would override the one set here.
    link->ExtraData.removeIf([](const ShellLinkData::ExtraBlock &b) { return b.Signature == 0xA0000007; });
    link->IconIndex = shellInfo.IconIndex;
    link->ShowCommand = static_cast<uint32_t>(shellInfo.ShowCmd);
    link->HotKey = shellInfo.HotKey;
    // A link that could not be saved must not pass for updated.
    if (!WriteWholeFile(linkFile, SerializeShellLink(*link)))
        throw EOSError(GetLastError(), PlatformTexts::ShellLinkSaveFailed() + linkFile + CrLf
                                           + GetLastSysErrorText());
}

void TWindowsInstaller::GetIEVersion(uint16_t &v1, uint16_t &v2, uint16_t &v3, uint16_t &v4)
{
    QString text;
    RegKey key;
    if (RegKey::Open(RegRoot::LocalMachine, QStringLiteral("Software\\Microsoft\\Internet Explorer"), KEY_ALL_ACCESS,
                     key)
        == ERROR_SUCCESS) {
        RegValue value;
        if (key.QueryValue(QStringLiteral("Version"), value) == ERROR_SUCCESS)
            text = value.AsString();
        else
            text = QStringLiteral("0.0.0.0");
    }
    const QStringList parts = text.split(QLatin1Char('.'));
    uint16_t *targets[4] = {&v1, &v2, &v3, &v4};
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        const qlonglong n = i < parts.size() ? parts.at(i).toLongLong(&ok, 10) : 0;
        if (!ok) {
            *targets[i] = 0;
            continue;
        }
        if (n < 0 || n > 65535)
            throw Exception(QStringLiteral("Range check error"));
        *targets[i] = static_cast<uint16_t>(n);
    }
}

// ---- File versions ---------------------------------------------------------------------

bool TWindowsInstaller::GetFileVersion(const QString &fileName, uint16_t &v1, uint16_t &v2, uint16_t &v3,
                                       uint16_t &v4)
{
    uint32_t ms = 0, ls = 0;
    if (!GetFixedFileVersion(fileName, ms, ls))
        return false;
    v1 = static_cast<uint16_t>(ms >> 16);
    v2 = static_cast<uint16_t>(ms & 0xFFFF);
    v3 = static_cast<uint16_t>(ls >> 16);
    v4 = static_cast<uint16_t>(ls & 0xFFFF);
    return true;
}

QString TWindowsInstaller::GetFileVersion(const QString &fileName)
{
    uint16_t v1 = 0, v2 = 0, v3 = 0, v4 = 0;
    if (!GetFileVersion(fileName, v1, v2, v3, v4))
        return QStringLiteral("?");
    return QStringLiteral("%1.%2.%3.%4").arg(v1).arg(v2).arg(v3).arg(v4);
}

int32_t TWindowsInstaller::CompareFileVersion(const QString &currentFile, const QString &newFile) const
{
    if (!FileExists(newFile))
        throw Exception(PlatformTexts::FileNotFound() + newFile);
    if (!FileExists(currentFile))
        return 1;
    uint32_t currentMS = 0, currentLS = 0, newMS = 0, newLS = 0;
    if (GetFixedFileVersion(currentFile, currentMS, currentLS) && GetFixedFileVersion(newFile, newMS, newLS)) {
        if (currentMS != newMS)
            return currentMS < newMS ? 1 : -1;
        if (currentLS != newLS)
            return currentLS < newLS ? 1 : -1;
        return 0;
    }
    FileTime currentTime = 0, newTime = 0;
    if (GetFileLocalWriteTime(currentFile, currentTime) && GetFileLocalWriteTime(newFile, newTime)) {
        if (newTime > currentTime)
            return 1;
        return newTime == currentTime ? 0 : -1;
    }
    return 1;
}

bool TWindowsInstaller::IsFileNewer(const QString &currentFile, const QString &newFile) const
{
    return CompareFileVersion(currentFile, newFile) == 1;
}

// ---- Folders of the user ---------------------------------------------------------------

QString TWindowsInstaller::GetSpecialFolder(int32_t folder)
{
    const bool create = folder & CSIDL_FLAG_CREATE;
    const int32_t id = folder & 0xFF;
    QString path;
    switch (id) {
    case CSIDL_PERSONAL:
    case CSIDL_MYDOCUMENTS:
        path = ShellFolderFromRegistry(RegRoot::CurrentUser, QStringLiteral("Personal"));
        if (path.isEmpty())
            path = ProfileFolder() + QStringLiteral("Documents");
        break;
    case CSIDL_DESKTOPDIRECTORY:
        path = ShellFolderFromRegistry(RegRoot::CurrentUser, QStringLiteral("Desktop"));
        if (path.isEmpty())
            path = ProfileFolder() + QStringLiteral("Desktop");
        break;
    case CSIDL_FONTS:
        path = GetWinPath() + QStringLiteral("Fonts");
        break;
    case CSIDL_COMMON_DESKTOPDIRECTORY:
        path = ShellFolderFromRegistry(RegRoot::LocalMachine, QStringLiteral("Common Desktop"));
        if (path.isEmpty())
            path = UsersFolder() + QStringLiteral("Public\\Desktop");
        break;
    case CSIDL_APPDATA:
        path = ShellFolderFromRegistry(RegRoot::CurrentUser, QStringLiteral("AppData"));
        if (path.isEmpty())
            path = ProfileFolder() + QStringLiteral("AppData\\Roaming");
        break;
    case CSIDL_LOCAL_APPDATA:
        path = ShellFolderFromRegistry(RegRoot::CurrentUser, QStringLiteral("Local AppData"));
        if (path.isEmpty())
            path = ProfileFolder() + QStringLiteral("AppData\\Local");
        break;
    case CSIDL_COMMON_APPDATA:
        path = ShellFolderFromRegistry(RegRoot::LocalMachine, QStringLiteral("Common AppData"));
        if (path.isEmpty())
            path = QStringLiteral("C:\\ProgramData");
        break;
    case CSIDL_WINDOWS:
        path = WindowsFolder();
        break;
    case CSIDL_SYSTEM:
        path = SystemFolder();
        break;
    case CSIDL_PROGRAM_FILES:
        path = ProgramFilesFolder();
        break;
    case CSIDL_PROFILE:
        path = ProfileFolder();
        break;
    default:
        return QString();
    }
    path = WithoutTrailingBackslash(path);
    if (path.isEmpty())
        return path;
    if (!DirectoryExists(path)) {
        if (!create || !ForceDirectories(path))
            return QString();
    }
    return path;
}

QString TWindowsInstaller::GetTempPath()
{
    const QString folder = TempFolder();
    if (folder.isEmpty())
        RaiseLastOSError();
    return AddTrailingBackslash(folder);
}

QString TWindowsInstaller::GetCurrentProfilePath()
{
    if (IsWindowsNT4()) {
        const QString windows = GetWinPath();
        if (windows.isEmpty())
            return QString();
        return windows + QStringLiteral("profiles\\") + GetUsername() + QLatin1Char('\\');
    }
    return AddTrailingBackslash(GetSpecialFolder(CSIDL_PROFILE | CSIDL_FLAG_CREATE));
}

QString TWindowsInstaller::GetMyDocumentsPath()
{
    QString path = GetSpecialFolder(CSIDL_PERSONAL);
    if (path.isEmpty())
        path = GetSpecialFolder(CSIDL_MYDOCUMENTS | CSIDL_FLAG_CREATE);
    return AddTrailingBackslash(path);
}

QString TWindowsInstaller::GetLocalAppDataPath()
{
    return AddTrailingBackslash(GetSpecialFolder(CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE));
}

QString TWindowsInstaller::GetUserAppDataPath()
{
    return AddTrailingBackslash(GetSpecialFolder(CSIDL_APPDATA | CSIDL_FLAG_CREATE));
}

QString TWindowsInstaller::GetAllUsersAppDataPath()
{
    return AddTrailingBackslash(GetSpecialFolder(CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE));
}

QString TWindowsInstaller::GetCommonDesktopPath()
{
    return AddTrailingBackslash(GetSpecialFolder(CSIDL_COMMON_DESKTOPDIRECTORY | CSIDL_FLAG_CREATE));
}

QString TWindowsInstaller::GetDesktopPath()
{
    return AddTrailingBackslash(GetSpecialFolder(CSIDL_DESKTOPDIRECTORY | CSIDL_FLAG_CREATE));
}

QString TWindowsInstaller::GetProgramsPath()
{
    QString path = GetSpecialFolder(CSIDL_PROGRAM_FILES | CSIDL_FLAG_CREATE);
    if (path.isEmpty()) {
        RegKey key;
        if (RegKey::Open(RegRoot::LocalMachine, QStringLiteral("SOFTWARE\\Microsoft\\Windows\\CurrentVersion"),
                         KEY_READ, key)
            == ERROR_SUCCESS) {
            RegValue value;
            if (key.QueryValue(QStringLiteral("ProgramFilesDir"), value) == ERROR_SUCCESS
                && (value.Type == REG_SZ || value.Type == REG_EXPAND_SZ))
                path = value.AsString();
        }
    }
    if (path.isEmpty()) {
        const uint16_t lang = GetSystemDefaultLangID();
        const bool german = lang == 1031 || lang == 2055 || lang == 3079 || lang == 4103 || lang == 5127;
        const bool italian = lang == 1040 || lang == 2064;
        if (german) {
            path = QStringLiteral("C:\\Windows\\Programme");
            if (!DirectoryExists(path))
                path = QStringLiteral("C:\\WinNT\\Programme");
        } else if (italian) {
            path = QStringLiteral("C:\\Windows\\programmi");
            if (!DirectoryExists(path))
                path = QStringLiteral("C:\\WinNT\\programmi");
        }
        static const char *const fallbacks[] = {"C:\\Windows\\Program files", "C:\\WinNT\\Program files"};
        for (const char *fallback : fallbacks) {
            if (path.isEmpty() || !DirectoryExists(path))
                path = QLatin1String(fallback);
        }
        if (!DirectoryExists(path))
            path.clear();
    }
    return AddTrailingBackslash(path);
}

QString TWindowsInstaller::GetUsername()
{
    QString name;
    if (GetUserName(name))
        return name;
    const uint32_t error = GetLastError();
    if (error == ERROR_NOT_LOGGED_ON)
        return QStringLiteral("?");
    throw EOSError(error);
}

// ---- File installation -----------------------------------------------------------------

bool TWindowsInstaller::CopyOrReplaceFileIfNewer(const QString &sourceFileName, const QString &destDir,
                                                 const QString &backupDir, bool &mustReboot)
{
    mustReboot = false;
    if (!backupDir.isEmpty() && !DirectoryExists(WithoutTrailingBackslash(backupDir)))
        throw Exception(PlatformTexts::BackupDirMissing() + backupDir);
    const QString target = AddBackslash(destDir) + ExtractFileName(sourceFileName);
    if (CompareFileVersion(target, sourceFileName) != 1)
        return false;
    const QString backupFolder = backupDir.isEmpty() ? destDir : backupDir;
    if (FileExists(target)) {
        const QString first = AddBackslash(backupFolder) + ExtractFileName(target);
        QString backup = first;
        for (int i = 0; FileOrDirExists(backup); ++i)
            backup = first + QLatin1Char('_') + QString::number(i);
        if (!CopyFile(target, backup, true))
            ReportCopyError(target, backup, false);
    }
    ReplaceFile(sourceFileName, target, mustReboot);
    return true;
}

void TWindowsInstaller::ReplaceFile(const QString &source, const QString &target, bool &mustRestart)
{
    mustRestart = false;
    if (!FileExists(target)) {
        if (!CopyFile(source, target, true))
            ReportCopyError(source, target, false);
        if (!SetFileAttributes(target, FILE_ATTRIBUTE_NORMAL))
            ReportAttributeError(target, false);
        return;
    }
    const uint32_t attributes = GetFileAttributes(target);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        ReportAttributeError(target, false);
    if ((attributes & FILE_ATTRIBUTE_READONLY) && !SetFileAttributes(target, FILE_ATTRIBUTE_NORMAL))
        ReportAttributeError(target, false);

    // The installed file is never deleted before its replacement is complete: the copy
    // goes to a temporary file beside it that is renamed over it, so a failed copy leaves
    // the installed file as it was.
    uint32_t inUse = ExclusiveOpenError(target);
    if (inUse == ERROR_SUCCESS) {
        if (CopyFile(source, target, false)) {
            if (!SetFileAttributes(target, FILE_ATTRIBUTE_NORMAL))
                ReportAttributeError(target, false);
            return;
        }
        inUse = GetLastError();
        if (inUse != ERROR_ACCESS_DENIED && inUse != ERROR_SHARING_VIOLATION)
            ReportCopyError(source, target, false);
    } else if (inUse != ERROR_ACCESS_DENIED && inUse != ERROR_SHARING_VIOLATION) {
        SetLastError(inUse);
        ReportDeleteError(target, false);
    }

    // In use: the new copy waits beside it for the next restart of the environment.
    const QString numbered = MakeNumberedFileName(target);
    if (!CopyFile(source, numbered, true))
        ReportCopyError(source, numbered, false);
    if (!SetFileAttributes(numbered, FILE_ATTRIBUTE_NORMAL))
        ReportAttributeError(numbered, false);
    mustRestart = true;
    RenameOnReboot(numbered, target);
}

QString TWindowsInstaller::MakeNumberedFileName(const QString &path)
{
    const QString name = ExtractFileName(path);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString extension = dot < 0 ? QString() : name.mid(dot);
    const QString stem = path.left(path.size() - extension.size());
    for (int i = 0; i <= 999; ++i) {
        QString candidate = stem + QStringLiteral("%1").arg(i, 3, 10, QLatin1Char('0')) + extension;
        if (!FileExists(candidate))
            return candidate;
    }
    throw Exception(PlatformTexts::NoUniqueFileName() + path);
}

void TWindowsInstaller::RenameOnReboot(const QString &source, const QString &target)
{
    const QString failure = PlatformTexts::CannotMove() + source + PlatformTexts::CannotMoveTo() + CrLf + target;
    if (!IsWindows9X()) {
        // MoveFileEx(MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT): the pair is
        // appended to the list the environment works through at its next start; "!" marks
        // a target that may be replaced, an empty target a deletion.
        RegKey key;
        uint32_t rc = RegKey::Create(RegRoot::LocalMachine, SessionManagerKey, KEY_QUERY_VALUE | KEY_SET_VALUE, key);
        if (rc == ERROR_SUCCESS) {
            QStringList items;
            RegValue existing;
            if (key.QueryValue(QStringLiteral("PendingFileRenameOperations"), existing) == ERROR_SUCCESS
                && existing.Type == REG_MULTI_SZ) {
                const QStringList raw = RawMultiStrings(existing.Data);
                for (qsizetype i = 0; i + 1 < raw.size(); i += 2) {
                    if (raw.at(i).isEmpty())
                        break;
                    items.append(raw.at(i));
                    items.append(raw.at(i + 1));
                }
            }
            items.append(QStringLiteral("\\??\\") + source);
            items.append(target.isEmpty() ? QString() : QStringLiteral("!\\??\\") + target);
            QByteArray data;
            for (const QString &item : items) {
                for (const QChar c : item) {
                    char b[2];
                    qToLittleEndian<uint16_t>(c.unicode(), b);
                    data.append(b, 2);
                }
                data.append(2, '\0');
            }
            data.append(2, '\0');
            rc = key.SetValue(QStringLiteral("PendingFileRenameOperations"), RegValue::FromBinary(data, REG_MULTI_SZ));
        }
        if (rc != ERROR_SUCCESS) {
            SetLastError(rc);
            ShowLastError(failure, false);
        }
        return;
    }

    // 9x: an entry "target=source" in the [rename] section of WININIT.INI. The prefix's
    // file systems keep no short names, so the long paths are written.
    const QString ini = GetWinPath() + QStringLiteral("WININIT.INI");
    QStringList lines;
    QByteArray existing;
    const bool hadFile = Os::FileExists(ini);
    if (hadFile) {
        if (!ReadWholeFile(ini, existing))
            ShowLastError(failure, false);
        QString text = DecodeAnsi(existing);
        text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        lines = text.split(QLatin1Char('\n'));
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
    }
    const QString entry = (target.isEmpty() ? QStringLiteral("NUL") : target) + QLatin1Char('=') + source;
    QStringList out;
    qsizetype i = 0;
    bool sawRename = false;
    for (; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        if (sawRename && line.trimmed().startsWith(QLatin1Char('[')))
            break;
        out.append(line);
        if (!sawRename && line.compare(QLatin1String("[rename]"), Qt::CaseInsensitive) == 0)
            sawRename = true;
    }
    if (!sawRename)
        out.append(QStringLiteral("[rename]"));
    out.append(entry);
    for (; i < lines.size(); ++i)
        out.append(lines.at(i));
    QByteArray data;
    for (const QString &line : out)
        data += EncodeAnsi(line) + QByteArrayLiteral("\r\n");
    // The whole file is written beside the old one and renamed over it: the list is
    // never left half-written.
    if (!WriteWholeFile(ini, data))
        ShowLastError(failure, false);
}

QString TWindowsInstaller::MakeTempName(const QString &folder, const QString &extension)
{
    constexpr uint32_t Range = 0x2000000;
    const uint32_t start = QRandomGenerator::global()->bounded(Range);
    uint32_t n = start;
    for (;;) {
        n = (n + 1) % Range;
        QString candidate = AddBackslash(folder) + QStringLiteral("is-") + Base32Name(n) + extension;
        if (!FileOrDirExists(candidate))
            return candidate;
        if (n == start)
            throw Exception(PlatformTexts::TooManyFiles());
    }
}

void TWindowsInstaller::CopyOrReplaceFileIfNewer(const QString &sourceFileName, const QString &targetPath)
{
    const QString target = AddBackslash(targetPath) + ExtractFileName(sourceFileName);
    if (!FileExists(target)) {
        if (!CopyFile(sourceFileName, target, false))
            ReportCopyError(sourceFileName, target, false);
        return;
    }
    if (CompareFileVersion(target, sourceFileName) == 1) {
        SetFileAttributes(target, FILE_ATTRIBUTE_NORMAL);
        if (!CopyFile(sourceFileName, target, false))
            ReportCopyError(sourceFileName, target, false);
    }
}

void TWindowsInstaller::CopyToSystem(const QString &fileName)
{
    bool mustReboot = false;
    CopyOrReplaceFileIfNewer(fileName, SystemFolder(), QString(), mustReboot);
}

void TWindowsInstaller::CopyAndInstallFont(const QString &sourceFilename, const QString &fontName)
{
    const QString fontsKey = IsWindows9X() ? QStringLiteral("Software\\Microsoft\\Windows\\CurrentVersion\\Fonts")
                                           : QStringLiteral("Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts");
    {
        RegKey key;
        if (RegKey::Open(RegRoot::LocalMachine, fontsKey, KEY_READ, key) == ERROR_SUCCESS) {
            for (const QString &listed : key.ValueNames()) {
                if (listed.compare(fontName, Qt::CaseInsensitive) == 0)
                    return;
            }
        }
    }
    QString folder = GetSpecialFolder(CSIDL_FONTS | CSIDL_FLAG_CREATE);
    if (folder.isEmpty())
        folder = GetWinSystemPath();
    const QString target = AddBackslash(folder) + ExtractFileName(sourceFilename);
    if (!FileExists(target)) {
        if (!CopyFile(sourceFilename, target, true))
            RaiseLastOSError();
        SetFileAttributes(target, FILE_ATTRIBUTE_NORMAL);
    }
    // The environment picks up the fonts listed here at its next start; the fonts key
    // failing is no reason to fail the installation.
    RegKey key;
    if (RegKey::Open(RegRoot::LocalMachine, fontsKey, KEY_SET_VALUE, key) == ERROR_SUCCESS)
        key.SetValue(fontName, RegValue::FromString(ExtractFileName(target)));
}

void TWindowsInstaller::IncrementSharedCount(const QString &filename, bool)
{
    RegKey key = OpenSharedDlls();
    uint32_t count = 0, kind = REG_DWORD;
    ReadSharedCount(key, filename, 0, count, kind);
    if (static_cast<int32_t>(count) < 0)
        count = 0;
    if (WriteSharedCount(key, filename, count + 1, kind) != ERROR_SUCCESS)
        throw Exception(PlatformTexts::SharedDllsAccessError());
}

bool TWindowsInstaller::DecrementSharedCount(const QString &filename)
{
    RegKey key = OpenSharedDlls();
    if (!key.ValueExists(filename))
        return false;
    uint32_t count = 2, kind = REG_DWORD;
    ReadSharedCount(key, filename, 2, count, kind);
    count -= 1;
    if (count == 0) {
        key.DeleteValue(filename);
        return true;
    }
    if (WriteSharedCount(key, filename, count, kind) != ERROR_SUCCESS)
        throw Exception(PlatformTexts::SharedDllsAccessError());
    return false;
}

void TWindowsInstaller::RemoveSharedCount(const QString &filename)
{
    RegKey key = OpenSharedDlls();
    if (key.ValueExists(filename))
        key.DeleteValue(filename);
}

QString TWindowsInstaller::CreateUniqueDir(const QString &path, const QString &name)
{
    if (!DirectoryExists(WithoutTrailingBackslash(path)))
        throw Exception(PlatformTexts::DirectoryMissing() + path);
    for (int i = 0; i <= 999; ++i) {
        QString candidate = AddBackslash(path) + name + QStringLiteral("%1").arg(i, 3, 10, QLatin1Char('0'));
        if (DirectoryExists(candidate))
            continue;
        if (!CreateDirectory(candidate))
            ShowLastError(PlatformTexts::CannotCreateDirectory() + candidate, false);
        return candidate;
    }
    throw Exception(PlatformTexts::NoUniqueDirectory() + path);
}
