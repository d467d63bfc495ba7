// Files on the prefix's drives with Win32's rules: last error, sharing, read-only.
#include "oslayer/Files.h"

#include "oslayer/Paths.h"
#include "oslayer/WinError.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <atomic>
#include <functional>
#include <cerrno>
#include <cstdio>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace Os {

namespace {

constexpr qint64 EpochDifferenceMs = 11644473600000LL; // 1601-01-01 to 1970-01-01
const char DosAttribName[] = "user.DOSATTRIB";

std::atomic<qint64> gFailAfter { -1 };
std::atomic<int> gFailErrno { ENOSPC };

bool Fail(uint32_t code)
{
    SetLastError(code);
    return false;
}

bool Succeed()
{
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool Map(const QString &windowsPath, QByteArray &native)
{
    const QString host = HostPath(windowsPath);
    if (host.isEmpty())
        return false; // HostPath has set the reason
    native = QFile::encodeName(host);
    while (native.size() > 1 && native.endsWith('/'))
        native.chop(1);
    return true;
}

QByteArray ParentOf(const QByteArray &native)
{
    const qsizetype slash = native.lastIndexOf('/');
    if (slash <= 0)
        return QByteArray("/");
    return native.left(slash);
}

// ENOENT means 2 when the folder exists and 3 when it does not, as on Windows.
uint32_t MissingError(const QByteArray &native)
{
    struct stat st {};
    const QByteArray parent = ParentOf(native);
    if (::stat(parent.constData(), &st) == 0 && S_ISDIR(st.st_mode))
        return ERROR_FILE_NOT_FOUND;
    return ERROR_PATH_NOT_FOUND;
}

uint32_t ErrorOf(int err, const QByteArray &native)
{
    if (err == ENOENT)
        return MissingError(native);
    return ErrorFromErrno(err);
}

// Maps the path and reads what it names; false with Windows' reason when it names nothing.
bool MapAndStat(const QString &path, QByteArray &native, struct stat &st)
{
    if (!Map(path, native))
        return false;
    if (::stat(native.constData(), &st) != 0)
        return Fail(ErrorOf(errno, native));
    return true;
}

// A Windows path opened for reading, with the status of what it names; closed when the
// handle goes out of scope, whichever way the function is left.
class ReadHandle {
public:
    ReadHandle() = default;
    ~ReadHandle()
    {
        if (FFd >= 0)
            ::close(FFd);
    }
    ReadHandle(const ReadHandle &) = delete;
    ReadHandle &operator=(const ReadHandle &) = delete;

    // False with Windows' reason when it cannot be opened.
    bool Open(const QString &path)
    {
        if (!Map(path, FNative))
            return false;
        FFd = ::open(FNative.constData(), O_RDONLY | O_CLOEXEC);
        if (FFd < 0)
            return Fail(ErrorOf(errno, FNative));
        if (::fstat(FFd, &FStatus) != 0)
            return Fail(ErrorFromErrno(errno));
        return true;
    }
    int Fd() const { return FFd; }
    const struct stat &Status() const { return FStatus; }
    const QByteArray &Native() const { return FNative; }

private:
    QByteArray FNative;
    int FFd = -1;
    struct stat FStatus {};
};

bool ReadOnlyMode(mode_t mode)
{
    return (mode & 0222) == 0;
}

uint32_t ReadDosAttributes(const QByteArray &native)
{
    char buffer[64];
    const ssize_t n = ::getxattr(native.constData(), DosAttribName, buffer, sizeof buffer - 1);
    if (n <= 2)
        return 0;
    buffer[n] = '\0';
    if (buffer[0] != '0' || (buffer[1] != 'x' && buffer[1] != 'X'))
        return 0;
    return uint32_t(std::strtoul(buffer + 2, nullptr, 16)) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
}

// Wine keeps hidden and system as "0x%x" text; file systems without user attributes lose them.
void WriteDosAttributes(int fd, const QByteArray &native, uint32_t attributes)
{
    attributes &= FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (attributes) {
        char buffer[16];
        const int n = std::snprintf(buffer, sizeof buffer, "0x%x", unsigned(attributes));
        if (fd >= 0)
            ::fsetxattr(fd, DosAttribName, buffer, size_t(n), 0);
        else
            ::setxattr(native.constData(), DosAttribName, buffer, size_t(n), 0);
    } else {
        if (fd >= 0)
            ::fremovexattr(fd, DosAttribName);
        else
            ::removexattr(native.constData(), DosAttribName);
    }
}

struct FileId {
    dev_t Device;
    ino_t Inode;
};

bool ScanMapsFor(const QString &mapsPath, const FileId &id, const QByteArray &path)
{
    QFile maps(mapsPath);
    if (!maps.open(QIODevice::ReadOnly))
        return false;
    const QByteArray content = maps.readAll();
    for (const QByteArray &line : content.split('\n')) {
        // address perms offset dev inode path
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 6)
            continue;
        const qulonglong inode = fields.at(4).toULongLong();
        if (inode == 0)
            continue;
        const QList<QByteArray> dev = fields.at(3).split(':');
        bool okMajor = false;
        bool okMinor = false;
        const unsigned major = dev.size() == 2 ? dev.at(0).toUInt(&okMajor, 16) : 0;
        const unsigned minor = dev.size() == 2 ? dev.at(1).toUInt(&okMinor, 16) : 0;
        if (okMajor && okMinor && inode == id.Inode && makedev(major, minor) == id.Device)
            return true;
        // Overlay file systems show another device in maps: the name then tells.
        const qsizetype pathStart = line.indexOf('/');
        if (pathStart >= 0 && inode == id.Inode && line.mid(pathStart) == path)
            return true;
    }
    return false;
}

enum class LeaseAnswer { NobodyElse, SomeoneHolds, Unknown };

// The lease break that another process's open would cause during the few microseconds
// the lease is held is told by a signal; SIGIO, the default, would end the program, so
// the notice goes to a signal that is ignored unless someone has taken it over.
bool LeaseSignalIsHarmless()
{
    struct sigaction current {};
    if (::sigaction(SIGURG, nullptr, &current) != 0)
        return false;
    return !(current.sa_flags & SA_SIGINFO) && (current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN);
}

// The kernel grants a write lease only while no other open file description of the inode
// exists, in any process, a mapping included (it keeps its file open after the descriptor
// is closed). A grant therefore proves that nobody else holds the file, for the price of
// one open instead of a walk through every process of /proc. A refusal may come from our
// own handles, and the file systems without leases give no answer: both then take the walk.
LeaseAnswer AskByLease(const QByteArray &native, const FileId &id)
{
    if (!LeaseSignalIsHarmless())
        return LeaseAnswer::Unknown;
    // Without O_NONBLOCK an open would wait for the break of a lease someone else holds.
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return LeaseAnswer::Unknown;
    LeaseAnswer answer = LeaseAnswer::Unknown;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == id.Device && st.st_ino == id.Inode
        && ::fcntl(fd, F_SETSIG, SIGURG) == 0) {
        if (::fcntl(fd, F_SETLEASE, F_WRLCK) == 0) {
            answer = LeaseAnswer::NobodyElse;
            ::fcntl(fd, F_SETLEASE, F_UNLCK);
        } else if (errno == EAGAIN) {
            answer = LeaseAnswer::SomeoneHolds;
        }
    }
    ::close(fd);
    return answer;
}

// Whether the process whose /proc folder is given has the file open (any descriptor) or
// mapped. A folder we may not read shows nothing.
bool ProcessHolds(const QByteArray &procFolder, const FileId &id, const QByteArray &canonical)
{
    const QByteArray fdFolder = procFolder + "/fd";
    if (DIR *fds = ::opendir(fdFolder.constData())) {
        bool found = false;
        while (const dirent *fdEntry = ::readdir(fds)) {
            if (fdEntry->d_name[0] == '.')
                continue;
            const QByteArray fdPath = fdFolder + '/' + fdEntry->d_name;
            struct stat st {};
            if (::stat(fdPath.constData(), &st) == 0 && st.st_ino == id.Inode && st.st_dev == id.Device) {
                found = true;
                break;
            }
        }
        ::closedir(fds);
        if (found)
            return true;
    }
    return ScanMapsFor(QString::fromLatin1(procFolder + "/maps"), id, canonical);
}

bool InUseByOthers(const QByteArray &native)
{
    struct stat target {};
    if (::stat(native.constData(), &target) != 0)
        return false;
    const FileId id { target.st_dev, target.st_ino };
    const LeaseAnswer lease = S_ISREG(target.st_mode) ? AskByLease(native, id) : LeaseAnswer::Unknown;
    if (lease == LeaseAnswer::NobodyElse)
        return false;
    const QByteArray canonical = QFile::encodeName(QFileInfo(QFile::decodeName(native)).canonicalFilePath());
    // A refused lease while we hold nothing of the file ourselves can only mean another
    // holder, also one whose /proc entries we may not read (a process of another user): the
    // walk below would miss that one and call the file free.
    if (lease == LeaseAnswer::SomeoneHolds && !ProcessHolds(QByteArrayLiteral("/proc/self"), id, canonical))
        return true;

    const pid_t self = ::getpid();
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return false;
    bool found = false;
    while (!found) {
        const dirent *entry = ::readdir(proc);
        if (!entry)
            break;
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (!end || *end != '\0' || pid <= 0 || pid == self)
            continue;
        found = ProcessHolds(QByteArray("/proc/") + entry->d_name, id, canonical);
    }
    ::closedir(proc);
    return found;
}

// Writes all bytes, honouring the test switch that plays a full disk.
bool WriteAll(int fd, const char *data, qsizetype size, qint64 &written)
{
    while (size > 0) {
        qsizetype chunk = size;
        const qint64 failAfter = gFailAfter.load();
        if (failAfter >= 0) {
            if (written >= failAfter) {
                errno = gFailErrno.load();
                return false;
            }
            chunk = std::min<qsizetype>(chunk, qsizetype(failAfter - written));
        }
        const ssize_t n = ::write(fd, data, size_t(chunk));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= n;
        written += n;
    }
    return true;
}

// The kernel copies between the page caches itself, without the bytes passing through
// us. False when it cannot for this pair before a byte was copied (another file system,
// an old kernel): the caller then copies by buffer.
bool CopyInKernel(int in, int out, qint64 &written, int &err)
{
    for (;;) {
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, size_t(1) << 30, 0);
        if (n > 0) {
            written += n;
            continue;
        }
        if (n == 0)
            return true;
        if (errno == EINTR)
            continue;
        if (written == 0
            && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EPERM
                || errno == EBADF))
            return false;
        err = errno;
        return true;
    }
}

void CopyByBuffer(int in, int out, qint64 &written, int &err)
{
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            err = errno;
            return;
        }
        if (n == 0)
            return;
        if (!WriteAll(out, buffer, n, written)) {
            err = errno;
            return;
        }
    }
}

// A temporary file beside the target, created exclusively and without following links.
int CreateSibling(const QByteArray &target, mode_t mode, QByteArray &tempPath)
{
    const QByteArray folder = ParentOf(target);
    const QByteArray name = target.mid(target.lastIndexOf('/') + 1);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        tempPath = folder + "/." + name + ".dremlix-" + QByteArray::number(qint64(::getpid())) + '-'
            + QByteArray::number(attempt);
        const int fd = ::open(tempPath.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

void SyncFolder(const QByteArray &native)
{
    const int fd = ::open(ParentOf(native).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Puts the temporary file in the target's place; without replace an existing target stays.
bool Publish(const QByteArray &temp, const QByteArray &target, bool replace)
{
    if (replace)
        return ::rename(temp.constData(), target.constData()) == 0;
    if (::link(temp.constData(), target.constData()) != 0)
        return false;
    ::unlink(temp.constData());
    return true;
}

// Why a new file may not take the target's place, as Windows refuses it; 0 when it may.
// A target that is the source itself is in use by the copy. existing receives the status of
// a target that is there (st_nlink 0 when there is none).
uint32_t ReplaceRefusal(
    const QByteArray &target, const struct stat *source, bool failIfExists, struct stat &existing)
{
    existing = {};
    if (::stat(target.constData(), &existing) == 0) {
        if (S_ISDIR(existing.st_mode) || ReadOnlyMode(existing.st_mode))
            return ERROR_ACCESS_DENIED;
        if (failIfExists)
            return ERROR_FILE_EXISTS;
        if (source && existing.st_dev == source->st_dev && existing.st_ino == source->st_ino)
            return ERROR_SHARING_VIOLATION;
        if (InUseByOthers(target))
            return ERROR_SHARING_VIOLATION;
        return ERROR_SUCCESS;
    }
    const int err = errno;
    existing = {};
    if (err != ENOENT)
        return ErrorFromErrno(err);
    struct stat folder {};
    if (::stat(ParentOf(target).constData(), &folder) != 0 || !S_ISDIR(folder.st_mode))
        return ERROR_PATH_NOT_FOUND;
    return ERROR_SUCCESS;
}

// Writes a new file beside the target through fill (0 or the errno value that stopped it),
// forces it to the disk and only then puts it in the target's place, so that the name shows
// the old file or the new one, each whole. Nothing of a failed attempt stays behind.
uint32_t WriteBeside(const QByteArray &target, bool replace, const std::function<int(int)> &fill)
{
    QByteArray temp;
    const int fd = CreateSibling(target, 0600, temp);
    if (fd < 0)
        return ErrorOf(errno, target);
    int err = fill(fd);
    if (!err && ::fsync(fd) != 0)
        err = errno;
    if (::close(fd) != 0 && !err)
        err = errno;
    if (!err && !Publish(temp, target, replace))
        err = errno;
    if (!err)
        return ERROR_SUCCESS;
    ::unlink(temp.constData());
    return err == EEXIST ? ERROR_FILE_EXISTS : ErrorFromErrno(err);
}

} // namespace

FileTime FileTimeFromMSecsSinceEpoch(qint64 msecs)
{
    return FileTime(msecs + EpochDifferenceMs) * 10000ULL;
}

qint64 MSecsSinceEpochFromFileTime(FileTime ft)
{
    return qint64(ft / 10000ULL) - EpochDifferenceMs;
}

FileTime LocalFileTime(FileTime utc)
{
    // Windows applies the bias in force now, not the one of the file's date.
    const qint64 offsetSeconds = QDateTime::currentDateTime().offsetFromUtc();
    return FileTime(qint64(utc) + offsetSeconds * 10000000LL);
}

uint32_t GetFileAttributes(const QString &path)
{
    QByteArray native;
    struct stat st {};
    if (!MapAndStat(path, native, st))
        return INVALID_FILE_ATTRIBUTES;
    if (!S_ISDIR(st.st_mode) && HostPath(path).endsWith(QLatin1Char('/'))) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_FILE_ATTRIBUTES;
    }
    uint32_t attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (ReadOnlyMode(st.st_mode))
        attributes |= FILE_ATTRIBUTE_READONLY;
    attributes |= ReadDosAttributes(native);
    SetLastError(ERROR_SUCCESS);
    return attributes;
}

bool SetFileAttributes(const QString &path, uint32_t attributes)
{
    QByteArray native;
    struct stat st {};
    if (!MapAndStat(path, native, st))
        return false;
    mode_t mode = st.st_mode & 07777;
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        mode &= ~mode_t(0222);
    } else if (ReadOnlyMode(mode)) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode |= mode_t(((mode & 0444) >> 1) & ~mask) | S_IWUSR;
    }
    if (mode != (st.st_mode & 07777) && ::chmod(native.constData(), mode) != 0)
        return Fail(ErrorFromErrno(errno));
    WriteDosAttributes(-1, native, attributes);
    return Succeed();
}

bool FileExists(const QString &path)
{
    const uint32_t attributes = GetFileAttributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const QString &path)
{
    const uint32_t attributes = GetFileAttributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool HostFileInUse(const QString &hostPath)
{
    return InUseByOthers(QFile::encodeName(hostPath));
}

bool CopyFile(const QString &source, const QString &target, bool failIfExists)
{
    ReadHandle in;
    QByteArray to;
    if (!in.Open(source) || !Map(target, to))
        return false;
    const struct stat &sourceStat = in.Status();
    if (S_ISDIR(sourceStat.st_mode))
        return Fail(ERROR_ACCESS_DENIED);
    struct stat existing {};
    if (const uint32_t refusal = ReplaceRefusal(to, &sourceStat, failIfExists, existing))
        return Fail(refusal);

    const uint32_t result = WriteBeside(to, !failIfExists, [&](int out) {
        int err = 0;
        qint64 written = 0;
        // The played full disk counts bytes as they pass through us, so it takes the buffer.
        const bool inKernel = S_ISREG(sourceStat.st_mode) && gFailAfter.load() < 0
            && CopyInKernel(in.Fd(), out, written, err);
        if (!inKernel)
            CopyByBuffer(in.Fd(), out, written, err);
        if (err)
            return err;
        const timespec times[2] = { { 0, UTIME_NOW }, sourceStat.st_mtim };
        WriteDosAttributes(out, to, ReadDosAttributes(in.Native()));
        if (::fchmod(out, sourceStat.st_mode & 07777) != 0 || ::futimens(out, times) != 0)
            return errno;
        return 0;
    });
    // The folder is not forced to the disk: the data was, before the rename, so after a
    // crash the name shows the old file or the new one, each whole. Only the new name may
    // be lost, and the journal commits it within seconds anyway; a flush of the folder per
    // copy doubled the cost of installing many small files.
    return result == ERROR_SUCCESS ? Succeed() : Fail(result);
}

bool MoveFileOver(const QString &source, const QString &target, bool dataDurable)
{
    ReadHandle in;
    QByteArray to;
    if (!in.Open(source) || !Map(target, to))
        return false;
    const struct stat &sourceStat = in.Status();
    struct stat folder {};
    // Only a plain file on the target's own file system moves; anything else is copied.
    if (!S_ISREG(sourceStat.st_mode) || ::stat(ParentOf(to).constData(), &folder) != 0
        || folder.st_dev != sourceStat.st_dev)
        return CopyFile(source, target, false);
    struct stat existing {};
    if (const uint32_t refusal = ReplaceRefusal(to, &sourceStat, false, existing))
        return Fail(refusal);
    if (!dataDurable && ::fsync(in.Fd()) != 0)
        return Fail(ErrorFromErrno(errno));
    if (::rename(in.Native().constData(), to.constData()) != 0) {
        const int err = errno;
        if (err == EXDEV) // a bind mount between them
            return CopyFile(source, target, false);
        return Fail(ErrorOf(err, to));
    }
    return Succeed();
}

bool FlushFiles(const QStringList &paths)
{
    // One flush per file system: the journal then commits once for all the files, where a
    // flush per file commits once each.
    QList<dev_t> flushed;
    for (const QString &path : paths) {
        ReadHandle file;
        if (!file.Open(path))
            return false;
        if (flushed.contains(file.Status().st_dev))
            continue;
        if (::syncfs(file.Fd()) != 0)
            return Fail(ErrorFromErrno(errno));
        flushed.append(file.Status().st_dev);
    }
    return Succeed();
}

bool DeleteFile(const QString &path)
{
    QByteArray native;
    if (!Map(path, native))
        return false;
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0)
        return Fail(ErrorOf(errno, native));
    if (S_ISDIR(st.st_mode))
        return Fail(ERROR_ACCESS_DENIED);
    if (!S_ISLNK(st.st_mode)) {
        if (ReadOnlyMode(st.st_mode))
            return Fail(ERROR_ACCESS_DENIED);
        if (InUseByOthers(native))
            return Fail(ERROR_SHARING_VIOLATION);
    }
    if (::unlink(native.constData()) != 0)
        return Fail(ErrorOf(errno, native));
    return Succeed();
}

bool MoveFile(const QString &source, const QString &target)
{
    QByteArray from;
    QByteArray to;
    if (!Map(source, from) || !Map(target, to))
        return false;
    struct stat st {};
    if (::lstat(from.constData(), &st) != 0)
        return Fail(ErrorOf(errno, from));
    struct stat existing {};
    if (::lstat(to.constData(), &existing) == 0)
        return Fail(ERROR_ALREADY_EXISTS);
    if (S_ISREG(st.st_mode) && InUseByOthers(from))
        return Fail(ERROR_SHARING_VIOLATION);
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return Succeed();
    const int err = errno;
    if (err == EEXIST)
        return Fail(ERROR_ALREADY_EXISTS);
    if (err == EXDEV && S_ISREG(st.st_mode)) {
        // Another drive: a file moves as a copy that keeps its time, then the original goes.
        if (!CopyFile(source, target, true))
            return false;
        // The original may go only once the copy's name is on the other disk for good.
        SyncFolder(to);
        if (::unlink(from.constData()) != 0) {
            const int unlinkErr = errno;
            ::unlink(to.constData());
            return Fail(ErrorFromErrno(unlinkErr));
        }
        return Succeed();
    }
    if (err == ENOENT)
        return Fail(ERROR_PATH_NOT_FOUND);
    return Fail(ErrorFromErrno(err));
}

bool CreateDirectory(const QString &path)
{
    QByteArray native;
    if (!Map(path, native))
        return false;
    if (::mkdir(native.constData(), 0777) != 0) {
        const int err = errno;
        if (err == EEXIST)
            return Fail(ERROR_ALREADY_EXISTS);
        if (err == ENOENT || err == ENOTDIR)
            return Fail(ERROR_PATH_NOT_FOUND);
        return Fail(ErrorFromErrno(err));
    }
    return Succeed();
}

bool ForceDirectories(const QString &path)
{
    QByteArray native;
    if (!Map(path, native))
        return false;
    struct stat st {};
    if (::stat(native.constData(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return Succeed();
        return Fail(ERROR_ALREADY_EXISTS);
    }
    // Each missing folder from the top, so that a file in the way is told, not overwritten.
    QByteArray built;
    const QList<QByteArray> parts = native.split('/');
    for (const QByteArray &part : parts) {
        if (part.isEmpty()) {
            if (built.isEmpty())
                built = "/";
            continue;
        }
        built += (built.endsWith('/') ? "" : "/") + part;
        if (::mkdir(built.constData(), 0777) != 0 && errno != EEXIST)
            return Fail(ErrorFromErrno(errno));
        if (::stat(built.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
            return Fail(ERROR_PATH_NOT_FOUND);
    }
    return Succeed();
}

bool RemoveDirectory(const QString &path)
{
    QByteArray native;
    if (!Map(path, native))
        return false;
    if (::rmdir(native.constData()) != 0) {
        const int err = errno;
        if (err == ENOTEMPTY || err == EEXIST)
            return Fail(ERROR_DIR_NOT_EMPTY);
        if (err == ENOTDIR)
            return Fail(ERROR_DIRECTORY);
        return Fail(ErrorOf(err, native));
    }
    return Succeed();
}

bool GetFileLastWriteTime(const QString &path, FileTime &time)
{
    QByteArray native;
    struct stat st {};
    if (!MapAndStat(path, native, st))
        return false;
    const qint64 ticks = (qint64(st.st_mtim.tv_sec) * 10000000LL) + st.st_mtim.tv_nsec / 100;
    time = FileTime(ticks + EpochDifferenceMs * 10000LL);
    return Succeed();
}

bool SetFileLastWriteTime(const QString &path, FileTime time)
{
    QByteArray native;
    if (!Map(path, native))
        return false;
    const qint64 ticks = qint64(time) - EpochDifferenceMs * 10000LL;
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = time_t(ticks >= 0 ? ticks / 10000000LL : (ticks - 9999999) / 10000000LL);
    times[1].tv_nsec = long((ticks - qint64(times[1].tv_sec) * 10000000LL) * 100);
    if (::utimensat(AT_FDCWD, native.constData(), times, 0) != 0)
        return Fail(ErrorOf(errno, native));
    return Succeed();
}

bool GetFileSize(const QString &path, uint64_t &size)
{
    QByteArray native;
    struct stat st {};
    if (!MapAndStat(path, native, st))
        return false;
    size = uint64_t(st.st_size);
    return Succeed();
}

bool WriteWholeFile(const QString &path, const QByteArray &data)
{
    QByteArray native;
    if (!Map(path, native))
        return false;
    struct stat existing {};
    if (const uint32_t refusal = ReplaceRefusal(native, nullptr, false, existing))
        return Fail(refusal);
    // A new file gets what the process's mask allows; a replaced one keeps its permissions.
    const mode_t mode = existing.st_nlink ? mode_t(existing.st_mode & 07777) : mode_t(0666 & ~[] {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        return mask;
    }());
    const uint32_t result = WriteBeside(native, true, [&](int fd) {
        qint64 written = 0;
        if (!WriteAll(fd, data.constData(), data.size(), written) || ::fchmod(fd, mode) != 0)
            return errno;
        return 0;
    });
    if (result != ERROR_SUCCESS)
        return Fail(result);
    SyncFolder(native);
    return Succeed();
}

bool ReadWholeFile(const QString &path, QByteArray &data)
{
    ReadHandle file;
    if (!file.Open(path))
        return false;
    if (S_ISDIR(file.Status().st_mode))
        return Fail(ERROR_ACCESS_DENIED);
    QByteArray content;
    content.reserve(qsizetype(file.Status().st_size));
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(file.Fd(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Fail(ErrorFromErrno(errno));
        }
        if (n == 0)
            break;
        content.append(buffer, n);
    }
    data = content;
    return Succeed();
}

bool CreateNewFile(const QString &path)
{
    QByteArray native;
    if (!Map(path, native))
        return false;
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return Fail(errno == EEXIST ? ERROR_FILE_EXISTS : ErrorOf(errno, native));
    ::close(fd);
    return Succeed();
}

uint32_t ExclusiveOpenError(const QString &path)
{
    QByteArray native;
    if (!Map(path, native))
        return ERROR_SUCCESS; // a name on no drive names no file, so nothing holds it
    struct stat st {};
    if (::stat(native.constData(), &st) != 0)
        return ERROR_SUCCESS;
    if (S_ISDIR(st.st_mode) || ReadOnlyMode(st.st_mode))
        return ERROR_ACCESS_DENIED;
    const int fd = ::open(native.constData(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return ErrorOf(errno, native);
    ::close(fd);
    if (InUseByOthers(native))
        return ERROR_SHARING_VIOLATION;
    return ERROR_SUCCESS;
}

bool MatchesMask(const QString &name, const QString &mask)
{
    QString pattern = mask;
    if (pattern.isEmpty() || pattern == QLatin1String("*.*"))
        pattern = QStringLiteral("*");
    // Iterative wildcard match: '*' any run, '?' one character, without regard to case.
    qsizetype n = 0;
    qsizetype p = 0;
    qsizetype star = -1;
    qsizetype mark = 0;
    while (n < name.size()) {
        if (p < pattern.size()
            && (pattern.at(p) == QLatin1Char('?') || pattern.at(p).toCaseFolded() == name.at(n).toCaseFolded())) {
            ++n;
            ++p;
        } else if (p < pattern.size() && pattern.at(p) == QLatin1Char('*')) {
            star = p++;
            mark = n;
        } else if (star >= 0) {
            p = star + 1;
            n = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern.at(p) == QLatin1Char('*'))
        ++p;
    return p == pattern.size();
}

QStringList FindFiles(const QString &folder, const QString &mask, bool includeDirectories)
{
    QStringList names;
    QByteArray native;
    if (!Map(folder, native))
        return names;
    DIR *dir = ::opendir(native.constData());
    if (!dir) {
        SetLastError(ErrorOf(errno, native));
        return names;
    }
    while (const dirent *entry = ::readdir(dir)) {
        const QString name = QFile::decodeName(entry->d_name);
        if (name == QLatin1String(".") || name == QLatin1String(".."))
            continue;
        if (!MatchesMask(name, mask))
            continue;
        struct stat st {};
        const QByteArray full = native + '/' + entry->d_name;
        if (::stat(full.constData(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode) && !includeDirectories)
            continue;
        names.append(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end(),
              [](const QString &a, const QString &b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    SetLastError(names.isEmpty() ? ERROR_NO_MORE_FILES : ERROR_SUCCESS);
    return names;
}

void SetWriteFailureForTests(qint64 afterBytes, int err)
{
    gFailErrno.store(err);
    gFailAfter.store(afterBytes);
}

} // namespace Os
