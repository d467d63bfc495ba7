// Files on the prefix's drives, called with Windows paths, in the manner of Win32:
// a bool result with the reason in the thread's last error (Os::GetLastError).
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>

namespace Os {

enum FileAttribute : uint32_t {
    FILE_ATTRIBUTE_READONLY = 0x01,
    FILE_ATTRIBUTE_HIDDEN = 0x02,
    FILE_ATTRIBUTE_SYSTEM = 0x04,
    FILE_ATTRIBUTE_DIRECTORY = 0x10,
    FILE_ATTRIBUTE_ARCHIVE = 0x20,
    FILE_ATTRIBUTE_NORMAL = 0x80,
    FILE_ATTRIBUTE_COMPRESSED = 0x800,
    INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF,
};

// 100-nanosecond ticks since 1 January 1601, UTC.
using FileTime = uint64_t;
FileTime FileTimeFromMSecsSinceEpoch(qint64 msecs);
qint64 MSecsSinceEpochFromFileTime(FileTime ft);
// FileTimeToLocalFileTime.
FileTime LocalFileTime(FileTime utc);

uint32_t GetFileAttributes(const QString &path);
bool SetFileAttributes(const QString &path, uint32_t attributes);
bool FileExists(const QString &path);        // a file, not a folder
bool DirectoryExists(const QString &path);

// Copies keeping the last-write time. Over an existing target the bytes go to a
// temporary file beside it that is renamed over the target, so an interrupted copy
// never leaves a half-written file: the bytes reach the disk before the rename (the
// folder entry is left to the journal). A target that another process has open or
// mapped fails with 32.
bool CopyFile(const QString &source, const QString &target, bool failIfExists);
// Puts a file that nobody reads again in the target's place, replacing an existing target
// with CopyFile's refusals and errors. On the target's own file system the file itself is
// renamed over the target, so its bytes are written once: its data is forced to the disk
// first, unless dataDurable says FlushFiles already did since it was last written. Elsewhere
// it is copied as CopyFile does and stays where it was.
bool MoveFileOver(const QString &source, const QString &target, bool dataDurable);
// Forces the data and names of the files to the disk with one flush per file system (which
// also takes whatever else of that file system was waiting), where a flush per file would
// commit the journal once for each.
bool FlushFiles(const QStringList &paths);
bool DeleteFile(const QString &path);
bool MoveFile(const QString &source, const QString &target);
bool CreateDirectory(const QString &path);
bool ForceDirectories(const QString &path);  // with every missing parent
bool RemoveDirectory(const QString &path);

bool GetFileLastWriteTime(const QString &path, FileTime &time);
bool SetFileLastWriteTime(const QString &path, FileTime time);
bool GetFileSize(const QString &path, uint64_t &size);

// Writes a whole file atomically (temporary file beside it, then rename), replacing
// an existing one; on failure the target is untouched and no temporary file stays.
bool WriteWholeFile(const QString &path, const QByteArray &data);
bool ReadWholeFile(const QString &path, QByteArray &data);
// Creates a new empty file exclusively (O_EXCL | O_NOFOLLOW); fails with 80 when it exists.
bool CreateNewFile(const QString &path);

// The exclusive-open test: 0 when the file is absent or could be opened for reading
// and writing with no sharing, otherwise the error (32 in use by another process,
// 5 access denied).
uint32_t ExclusiveOpenError(const QString &path);

// Names (not paths) of the entries of a folder matching a mask with * and ?,
// compared without regard to case.
QStringList FindFiles(const QString &folder, const QString &mask, bool includeDirectories = false);
// The mask rule of FindFiles ("*.*" is every name), for callers that filter names themselves.
bool MatchesMask(const QString &name, const QString &mask);

// Whether a process other than this one has the host file open or mapped. The kernel is
// asked first (a write lease is granted only while nobody else holds the file); only when
// it refuses or cannot tell are the processes of /proc searched.
bool HostFileInUse(const QString &hostPath);

// Makes writes of file data fail with the errno value err once afterBytes bytes have been
// written by CopyFile or WriteWholeFile (a full disk, a pulled stick); a negative count
// switches it off. Only for tests of the paths that must leave the target untouched.
void SetWriteFailureForTests(qint64 afterBytes, int err);

} // namespace Os
