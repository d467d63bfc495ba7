// The shared routines of every part of the program: error reports with the system's
// explanation, the message-processing wait, path rules, names, registry values,
// the shell's file operation and folder browser, the drive letters.
#pragma once

#include "oslayer/Registry.h"

#include <QString>
#include <QVariant>
#include <cstdint>

// ---- System error texts and error reports -------------------------------------------

// The system's text for a code; "code : " + the number when the system has none.
QString GetSysErrorText(uint32_t code);
// The same for the thread's last error (Os::GetLastError).
QString GetLastSysErrorText();

// text + CR LF + the last error's text in an error box; then, unless continueAfter,
// the silent abort (Os::EAbort).
void ShowLastError(const QString &text, bool continueAfter);
// "Copia archivio impossibile :" ... with the last error's text: shown when showOnly,
// otherwise raised as Os::Exception (nothing shown here).
void ReportCopyError(const QString &source, const QString &target, bool showOnly);
// "l'archivio non può essere eliminato!" ...: shown when showOnly, otherwise raised.
void ReportDeleteError(const QString &path, bool showOnly);
// "Non può modificare gli attributi dell'archivio: " ...: always shown; then, unless
// continueAfter, the silent abort.
void ReportAttributeError(const QString &path, bool continueAfter);

// ---- Waiting --------------------------------------------------------------------------

// Waits |ms| milliseconds of the 32-bit tick count (Os::GetTickCount, replaceable by
// tests), across its wrap-around. A positive count sleeps in the thread's event loop,
// which handles the events that come meanwhile; a negative one sleeps without handling
// anything. Either ends at once when the application is asked to terminate (the UI
// services' flag, or a quit of the application such as its last window closing). Where no
// window is shown (the unattended run) a positive wait returns at once.
void WaitMilliseconds(int32_t ms);

// ---- Random numbers -------------------------------------------------------------------

// The program's random generator, the one the temporary file names draw from. It starts
// from the system's entropy, so that two runs never share a sequence even when nothing
// seeds it; the main window seeds it again, once, when it is first shown.
void Randomize();
// Seeds it with a known value (tests).
void RandSeed(uint64_t seed);
// A number from 0 to range - 1 (range above 0).
uint32_t Random(uint32_t range);

// ---- Paths and names ------------------------------------------------------------------

// Empty stays empty; otherwise one backslash at the end.
QString AddTrailingBackslash(const QString &path);
void AddTrailingBackslashInPlace(QString &path);
// C:\A\B\ and C:\A\B give C:\A\; without an inner backslash, the first three characters.
QString GetParentFolder(const QString &path);
// The folder part: up to and including the last backslash or drive colon; empty for
// an empty path or a bare name (ExtractFilePath).
QString ExtractFilePath(const QString &path);
// What follows the folder part (ExtractFileName).
QString ExtractFileName(const QString &path);
// The prefix's Windows folder with a trailing backslash, or empty.
QString GetWindowsFolder();
// The computer name; "?" when nobody is logged on; any other failure shows the error and
// raises the silent abort.
QString GetComputerNameText();
// The user name; "?" when nobody is logged on; empty when it cannot be read.
QString GetUserNameText();

// ---- Registry values ------------------------------------------------------------------

// Access mask meaning "the registry layer's default" (full access).
constexpr uint32_t RegDefaultAccess = 0xFFFFFFFFu;

// The value of valueName under key: a QVariant holding an int (REG_DWORD) or a QString
// (any other value read as text; empty when the value is missing). When the key cannot
// be opened: the string defaultText, or the int 0 when defaultText is "0".
// A value that is neither text nor a number (REG_BINARY) raises Os::ERegistryError.
QVariant ReadRegistryValue(Os::RegRoot root, const QString &key, const QString &valueName,
                           uint32_t access, const QString &defaultText, bool createKey);
// The same result as text: an int becomes its decimal text.
QString RegistryValueText(const QVariant &value);
// False for an empty key or a key that cannot be opened (or created, with createKey).
// Over an existing REG_DWORD value the value is written as the decimal number its text
// gives (Os::EConvertError when it is no number); otherwise as REG_SZ text.
bool WriteRegistryValue(Os::RegRoot root, const QString &key, const QString &valueName,
                        const QVariant &value, bool createKey);
// Empty for a missing key or value; raises "Lettura di un valore di registro umpossibile"
// when the key exists but cannot be opened for reading.
QString ReadRegistryString(Os::RegRoot root, const QString &key, const QString &valueName);
// Creates the key when missing; raises "Scrittura di un valore di registro umpossibile"
// when it cannot be opened or created.
void WriteRegistryString(Os::RegRoot root, const QString &key, const QString &valueName,
                         const QString &text);

// ---- Shell file operation -------------------------------------------------------------

enum ShellFileOp : uint32_t { FO_MOVE = 1, FO_COPY = 2, FO_DELETE = 3, FO_RENAME = 4 };

enum ShellFileOpFlag : uint32_t {
    FOF_MULTIDESTFILES = 0x0001,
    FOF_SILENT = 0x0004,
    FOF_RENAMEONCOLLISION = 0x0008,
    FOF_NOCONFIRMATION = 0x0010,
    FOF_ALLOWUNDO = 0x0040,
    FOF_FILESONLY = 0x0080,
    FOF_SIMPLEPROGRESS = 0x0100,
    FOF_NOCONFIRMMKDIR = 0x0200,
    FOF_NOERRORUI = 0x0400,
};

// SHFileOperation on Windows paths of the prefix. `from` (and `to` with
// FOF_MULTIDESTFILES) may hold several names separated by NUL characters; the names of
// `from` may end in a mask with * and ? (FO_DELETE of "C:\Temp\Update*.tmp").
// A non-empty progressTitle replaces the flags by FOF_SIMPLEPROGRESS.
// Result: 0 on success, -1 when the user declined a confirmation, otherwise the Windows
// error code of the first failure (the operation stops there); 0x76 (the shell's
// DE_DESTSUBTREE) for a folder copied or moved into itself.
int32_t ShellFileOperation(uint32_t operation, const QString &from, const QString &to,
                           const QString &progressTitle, uint32_t flags, quintptr ownerWindow = 0);

// ---- Folder browser and drives --------------------------------------------------------

enum BrowseFlag : uint32_t {
    BIF_RETURNONLYFSDIRS = 0x0001,
    BIF_STATUSTEXT = 0x0004,
    BIF_VALIDATE = 0x0020,
    BIF_NEWDIALOGSTYLE = 0x0040,
};

// The folder browser of the UI services (flags with BIF_NEWDIALOGSTYLE added), starting
// at path; on a choice path becomes the chosen folder and the result is true.
bool BrowseForFolder(const QString &title, quintptr ownerWindow, QString &path, uint32_t flags,
                     const QString &rootPath);

// The letters of the existing drives, upper-case, in order ("CDZ"), at most 26.
QString GetDriveLetters();
