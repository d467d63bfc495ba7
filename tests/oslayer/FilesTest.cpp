// Files with Win32's rules: copies that never leave half a file, sharing violations for
// files other programs hold, read-only and hidden attributes.
#include "ChildProcess.h"
#include "support/TempPrefix.h"

#include "oslayer/Files.h"
#include "oslayer/Paths.h"
#include "oslayer/WinError.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <vector>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/mman.h>
#include <thread>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace Os;

namespace {

QByteArray Content(const QString &windowsPath)
{
    QByteArray data;
    EXPECT_TRUE(ReadWholeFile(windowsPath, data)) << windowsPath.toStdString();
    return data;
}

QStringList Leftovers(const TempPrefix &prefix, const QString &folder)
{
    return QDir(prefix.HostPath(folder)).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral("dremlix"));
}

const QDateTime Monday = QDateTime(QDate(2024, 3, 4), QTime(10, 20, 30, 400), Qt::UTC);

} // namespace

TEST(Files, FileTimesCountFrom1601)
{
    EXPECT_EQ(FileTimeFromMSecsSinceEpoch(0), 116444736000000000ULL);
    EXPECT_EQ(MSecsSinceEpochFromFileTime(116444736000000000ULL), 0);
    EXPECT_EQ(MSecsSinceEpochFromFileTime(FileTimeFromMSecsSinceEpoch(Monday.toMSecsSinceEpoch())),
              Monday.toMSecsSinceEpoch());
    const qint64 offset = QDateTime::currentDateTime().offsetFromUtc();
    EXPECT_EQ(LocalFileTime(116444736000000000ULL), FileTime(116444736000000000LL + offset * 10000000LL));
}

TEST(Files, CopyKeepsTheLastWriteTimeAndReplacesAtomically)
{
    TempPrefix prefix;
    prefix.WriteFile(QStringLiteral("C:\\New\\Orvanta.exe"), "new program", Monday);
    prefix.WriteFile(QStringLiteral("C:\\ORV\\Orvanta.exe"), "old");
    ASSERT_TRUE(CopyFile(QStringLiteral("C:\\new\\orvanta.exe"), QStringLiteral("C:\\ORV\\ORVANTA.EXE"), false));
    EXPECT_EQ(Content(QStringLiteral("C:\\ORV\\Orvanta.exe")), QByteArray("new program"));
    FileTime time = 0;
    ASSERT_TRUE(GetFileLastWriteTime(QStringLiteral("C:\\ORV\\Orvanta.exe"), time));
    EXPECT_EQ(MSecsSinceEpochFromFileTime(time), Monday.toMSecsSinceEpoch());
    EXPECT_EQ(QDir(prefix.HostPath(QStringLiteral("C:\\ORV"))).entryList(QDir::Files | QDir::Hidden),
              QStringList({ QStringLiteral("Orvanta.exe") }))
        << "the existing name is replaced, no second file beside it";
    ASSERT_TRUE(CopyFile(QStringLiteral("C:\\New\\Orvanta.exe"), QStringLiteral("C:\\ORV\\Copy.exe"), true));
    uint64_t size = 0;
    EXPECT_TRUE(GetFileSize(QStringLiteral("C:\\ORV\\Copy.exe"), size));
    EXPECT_EQ(size, 11u);
}

TEST(Files, CopyRefusals)
{
    TempPrefix prefix;
    prefix.WriteFile(QStringLiteral("C:\\A\\src.txt"), "source");
    prefix.WriteFile(QStringLiteral("C:\\A\\existing.txt"), "kept");
    prefix.WriteFile(QStringLiteral("C:\\A\\readonly.txt"), "kept");
    ASSERT_TRUE(SetFileAttributes(QStringLiteral("C:\\A\\readonly.txt"), FILE_ATTRIBUTE_READONLY));
    prefix.MakeFolder(QStringLiteral("C:\\A\\folder"));
    struct Row {
        const char *Source;
        const char *Target;
        bool FailIfExists;
        uint32_t Error;
    };
    const Row rows[] = {
        { "C:\\A\\missing.txt", "C:\\A\\t.txt", false, ERROR_FILE_NOT_FOUND },
        { "C:\\Nowhere\\src.txt", "C:\\A\\t.txt", false, ERROR_PATH_NOT_FOUND },
        { "C:\\A\\src.txt", "C:\\Nowhere\\t.txt", false, ERROR_PATH_NOT_FOUND },
        { "C:\\A\\src.txt", "C:\\A\\existing.txt", true, ERROR_FILE_EXISTS },
        { "C:\\A\\src.txt", "C:\\A\\readonly.txt", false, ERROR_ACCESS_DENIED },
        { "C:\\A\\src.txt", "C:\\A\\folder", false, ERROR_ACCESS_DENIED },
        { "C:\\A\\folder", "C:\\A\\t.txt", false, ERROR_ACCESS_DENIED },
        { "C:\\A\\src.txt", "C:\\A\\SRC.TXT", false, ERROR_SHARING_VIOLATION },
        { "C:\\A\\src.txt", "Q:\\t.txt", false, ERROR_PATH_NOT_FOUND },
        { "C:\\A\\src.txt", "\\\\server\\share\\t.txt", false, ERROR_BAD_NETPATH },
    };
    for (const Row &row : rows) {
        EXPECT_FALSE(CopyFile(QString::fromUtf8(row.Source), QString::fromUtf8(row.Target), row.FailIfExists))
            << row.Source << " -> " << row.Target;
        EXPECT_EQ(GetLastError(), row.Error) << row.Source << " -> " << row.Target;
        // A move over the target is refused for the same reasons with the same codes.
        if (row.FailIfExists)
            continue;
        EXPECT_FALSE(MoveFileOver(QString::fromUtf8(row.Source), QString::fromUtf8(row.Target), false))
            << "move " << row.Source << " -> " << row.Target;
        EXPECT_EQ(GetLastError(), row.Error) << "move " << row.Source << " -> " << row.Target;
    }
    EXPECT_EQ(Content(QStringLiteral("C:\\A\\existing.txt")), QByteArray("kept"));
    EXPECT_EQ(Content(QStringLiteral("C:\\A\\readonly.txt")), QByteArray("kept"));
    EXPECT_EQ(Content(QStringLiteral("C:\\A\\src.txt")), QByteArray("source"));
    EXPECT_TRUE(Leftovers(prefix, QStringLiteral("C:\\A")).isEmpty());
}

TEST(Files, MoveOverPutsTheFileItselfInPlaceAndCopiesOnlyAcrossFileSystems)
{
    TempPrefix prefix;
    const QString shm = QStringLiteral("/dev/shm");
    QTemporaryDir other(shm + QStringLiteral("/dremlix-move-XXXXXX"));
    const bool otherFileSystem = QFileInfo(shm).isDir() && other.isValid();
    if (otherFileSystem)
        prefix.AddDrive(QLatin1Char('R'), other.path());
    for (const bool durable : { false, true }) {
        SCOPED_TRACE(durable ? "flushed before" : "flushed by the move");
        const QString scratch
            = prefix.WriteFile(QStringLiteral("C:\\temp\\Update1.tmp"), "new program", Monday);
        const QString installed = prefix.WriteFile(QStringLiteral("C:\\ORV\\Orvanta.exe"), "old");
        struct stat extracted {};
        ASSERT_EQ(::stat(QFile::encodeName(scratch).constData(), &extracted), 0);
        if (durable) {
            ASSERT_TRUE(FlushFiles({ QStringLiteral("C:\\temp\\Update1.tmp") }));
        }
        ASSERT_TRUE(MoveFileOver(
            QStringLiteral("C:\\temp\\Update1.tmp"), QStringLiteral("c:\\orv\\ORVANTA.EXE"), durable));
        EXPECT_EQ(Content(QStringLiteral("C:\\ORV\\Orvanta.exe")), QByteArray("new program"));
        FileTime time = 0;
        ASSERT_TRUE(GetFileLastWriteTime(QStringLiteral("C:\\ORV\\Orvanta.exe"), time));
        EXPECT_EQ(MSecsSinceEpochFromFileTime(time), Monday.toMSecsSinceEpoch());
        // The bytes were written once: the installed file is the extracted one.
        struct stat placed {};
        ASSERT_EQ(::stat(QFile::encodeName(installed).constData(), &placed), 0);
        EXPECT_EQ(placed.st_ino, extracted.st_ino);
        EXPECT_FALSE(FileExists(QStringLiteral("C:\\temp\\Update1.tmp")));
        EXPECT_EQ(QDir(prefix.HostPath(QStringLiteral("C:\\ORV"))).entryList(QDir::Files | QDir::Hidden),
            QStringList({ QStringLiteral("Orvanta.exe") }));
    }
    if (!otherFileSystem)
        GTEST_SKIP() << "no second file system (/dev/shm) for the move across file systems";
    prefix.WriteFile(QStringLiteral("C:\\temp\\Update2.tmp"), "new library", Monday);
    ASSERT_TRUE(MoveFileOver(QStringLiteral("C:\\temp\\Update2.tmp"), QStringLiteral("R:\\lib.dll"), false));
    EXPECT_EQ(Content(QStringLiteral("R:\\lib.dll")), QByteArray("new library"));
    FileTime time = 0;
    ASSERT_TRUE(GetFileLastWriteTime(QStringLiteral("R:\\lib.dll"), time));
    EXPECT_EQ(MSecsSinceEpochFromFileTime(time), Monday.toMSecsSinceEpoch());
    EXPECT_EQ(Content(QStringLiteral("C:\\temp\\Update2.tmp")), QByteArray("new library"))
        << "copied, not moved";
}

TEST(Files, FlushFilesNamesAFileItCannotReach)
{
    TempPrefix prefix;
    prefix.WriteFile(QStringLiteral("C:\\A\\one.dat"), "1");
    prefix.WriteFile(QStringLiteral("C:\\A\\two.dat"), "2");
    EXPECT_TRUE(FlushFiles({ QStringLiteral("C:\\A\\one.dat"), QStringLiteral("C:\\A\\two.dat") }));
    EXPECT_TRUE(FlushFiles({}));
    EXPECT_FALSE(FlushFiles({ QStringLiteral("C:\\A\\one.dat"), QStringLiteral("C:\\A\\missing.dat") }));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(Files, AFailedCopyLeavesTheInstalledFileAsItWas)
{
    TempPrefix prefix;
    prefix.WriteFile(QStringLiteral("C:\\New\\big.dll"), QByteArray(300000, 'n'));
    prefix.WriteFile(QStringLiteral("C:\\ORV\\big.dll"), "installed", Monday);
    for (const auto &[err, code] : { std::pair<int, uint32_t> { ENOSPC, ERROR_DISK_FULL }, std::pair<int, uint32_t> { EIO, 1117u } }) {
        SetWriteFailureForTests(100000, err);
        const bool copied = CopyFile(QStringLiteral("C:\\New\\big.dll"), QStringLiteral("C:\\ORV\\big.dll"), false);
        SetWriteFailureForTests(-1, 0);
        EXPECT_FALSE(copied);
        EXPECT_EQ(GetLastError(), code);
        EXPECT_EQ(Content(QStringLiteral("C:\\ORV\\big.dll")), QByteArray("installed"));
        EXPECT_TRUE(Leftovers(prefix, QStringLiteral("C:\\ORV")).isEmpty());
    }
    SetWriteFailureForTests(10, ENOSPC);
    EXPECT_FALSE(WriteWholeFile(QStringLiteral("C:\\ORV\\big.dll"), QByteArray(1000, 'w')));
    SetWriteFailureForTests(-1, 0);
    EXPECT_EQ(Content(QStringLiteral("C:\\ORV\\big.dll")), QByteArray("installed"));
}

TEST(Files, ACopyKilledHalfWayLeavesTheInstalledFileAsItWas)
{
    TempPrefix prefix;
    prefix.WriteFile(QStringLiteral("C:\\ORV\\Orvanta.exe"), "installed");
    // The source is a pipe: the copier gets some bytes, then waits for more and is killed.
    const QString fifo = prefix.HostPath(QStringLiteral("C:\\New\\stream"));
    QDir().mkpath(QFileInfo(fifo).absolutePath());
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    ChildProcess copier(QStringLiteral("--copy"),
                        { QStringLiteral("\\\\?\\unix") + QString(fifo).replace(QLatin1Char('/'), QLatin1Char('\\')),
                          QStringLiteral("\\\\?\\unix")
                              + prefix.HostPath(QStringLiteral("C:\\ORV\\Orvanta.exe")).replace(QLatin1Char('/'), QLatin1Char('\\')) });
    ASSERT_TRUE(copier.Ready());
    const int writer = ::open(QFile::encodeName(fifo).constData(), O_WRONLY);
    ASSERT_GE(writer, 0);
    const QByteArray half(100000, 'h');
    ASSERT_EQ(::write(writer, half.constData(), size_t(half.size())), half.size());
    ::usleep(200000);
    copier.Kill();
    ::close(writer);
    EXPECT_EQ(Content(QStringLiteral("C:\\ORV\\Orvanta.exe")), QByteArray("installed"));
}

TEST(Files, FilesOtherProgramsHoldAreInUse)
{
    TempPrefix prefix;
    const QString open = prefix.WriteFile(QStringLiteral("C:\\ORV\\open.dll"), "held open");
    const QString mapped = prefix.WriteFile(QStringLiteral("C:\\ORV\\Orvanta.exe"), "a running program");
    prefix.WriteFile(QStringLiteral("C:\\ORV\\free.dll"), "free");
    prefix.WriteFile(QStringLiteral("C:\\ORV\\readonly.dll"), "ro");
    prefix.WriteFile(QStringLiteral("C:\\New\\x"), "new");
    SetFileAttributes(QStringLiteral("C:\\ORV\\readonly.dll"), FILE_ATTRIBUTE_READONLY);

    EXPECT_EQ(ExclusiveOpenError(QStringLiteral("C:\\ORV\\missing.dll")), 0u);
    EXPECT_EQ(ExclusiveOpenError(QStringLiteral("C:\\ORV\\free.dll")), 0u);
    EXPECT_EQ(ExclusiveOpenError(QStringLiteral("C:\\ORV\\readonly.dll")), ERROR_ACCESS_DENIED);
    {
        QFile own(open);
        ASSERT_TRUE(own.open(QIODevice::ReadOnly));
        EXPECT_EQ(ExclusiveOpenError(QStringLiteral("C:\\ORV\\open.dll")), 0u) << "our own handles do not count";
    }
    {
        ChildProcess holder(QStringLiteral("--hold-open"), { open });
        ChildProcess runner(QStringLiteral("--hold-mapped"), { mapped });
        ASSERT_TRUE(holder.Ready());
        ASSERT_TRUE(runner.Ready());
        for (const char *path : { "C:\\ORV\\open.dll", "c:\\orv\\ORVANTA.EXE" }) {
            SCOPED_TRACE(path);
            EXPECT_EQ(ExclusiveOpenError(QString::fromUtf8(path)), ERROR_SHARING_VIOLATION);
            EXPECT_FALSE(CopyFile(QStringLiteral("C:\\New\\x"), QString::fromUtf8(path), false));
            EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
            EXPECT_FALSE(DeleteFile(QString::fromUtf8(path)));
            EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
            EXPECT_FALSE(WriteWholeFile(QString::fromUtf8(path), "w"));
            EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
        }
        EXPECT_EQ(Content(QStringLiteral("C:\\ORV\\Orvanta.exe")), QByteArray("a running program"));
        EXPECT_EQ(ExclusiveOpenError(QStringLiteral("C:\\ORV\\free.dll")), 0u);
    }
    EXPECT_EQ(ExclusiveOpenError(QStringLiteral("C:\\ORV\\Orvanta.exe")), 0u) << "free once the program ended";
    EXPECT_TRUE(CopyFile(QStringLiteral("C:\\New\\x"), QStringLiteral("C:\\ORV\\Orvanta.exe"), false));
}

TEST(Files, Attributes)
{
    TempPrefix prefix;
    prefix.WriteFile(QStringLiteral("C:\\A\\f.txt"), "x");
    EXPECT_EQ(GetFileAttributes(QStringLiteral("C:\\A\\f.txt")), uint32_t(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(GetFileAttributes(QStringLiteral("C:\\A")), uint32_t(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetFileAttributes(QStringLiteral("C:\\A\\missing")), uint32_t(INVALID_FILE_ATTRIBUTES));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetFileAttributes(QStringLiteral("C:\\B\\missing")), uint32_t(INVALID_FILE_ATTRIBUTES));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(FileExists(QStringLiteral("c:\\a\\F.TXT")));
    EXPECT_FALSE(FileExists(QStringLiteral("C:\\A")));
    EXPECT_TRUE(DirectoryExists(QStringLiteral("C:\\A\\")));
    EXPECT_FALSE(DirectoryExists(QStringLiteral("C:\\A\\f.txt")));

    // Read-only is the absence of every write bit, and comes off again.
    ASSERT_TRUE(SetFileAttributes(QStringLiteral("C:\\A\\f.txt"), FILE_ATTRIBUTE_READONLY));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(prefix.HostPath(QStringLiteral("C:\\A\\f.txt"))).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);
    EXPECT_TRUE(GetFileAttributes(QStringLiteral("C:\\A\\f.txt")) & FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(DeleteFile(QStringLiteral("C:\\A\\f.txt")));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(SetFileAttributes(QStringLiteral("C:\\A\\f.txt"), FILE_ATTRIBUTE_NORMAL));
    EXPECT_FALSE(GetFileAttributes(QStringLiteral("C:\\A\\f.txt")) & FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(DeleteFile(QStringLiteral("C:\\A\\f.txt")));
}

TEST(Files, HiddenAndSystemLiveInTheDosAttribute)
{
    TempPrefix prefix;
    const QString host = prefix.WriteFile(QStringLiteral("C:\\A\\h.sys"), "x");
    if (::setxattr(QFile::encodeName(host).constData(), "user.probe", "1", 1, 0) != 0)
        GTEST_SKIP() << "the file system of the temporary folder keeps no user attributes";
    ASSERT_TRUE(SetFileAttributes(QStringLiteral("C:\\A\\h.sys"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    EXPECT_EQ(GetFileAttributes(QStringLiteral("C:\\A\\h.sys")),
              uint32_t(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    char value[16] = {};
    EXPECT_EQ(::getxattr(QFile::encodeName(host).constData(), "user.DOSATTRIB", value, sizeof value - 1), 3);
    EXPECT_STREQ(value, "0x6");
    ASSERT_TRUE(CopyFile(QStringLiteral("C:\\A\\h.sys"), QStringLiteral("C:\\A\\copy.sys"), true));
    EXPECT_TRUE(GetFileAttributes(QStringLiteral("C:\\A\\copy.sys")) & FILE_ATTRIBUTE_HIDDEN);
    ASSERT_TRUE(SetFileAttributes(QStringLiteral("C:\\A\\h.sys"), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributes(QStringLiteral("C:\\A\\h.sys")), uint32_t(FILE_ATTRIBUTE_ARCHIVE));
}

TEST(Files, FoldersMovesAndDeletes)
{
    TempPrefix prefix;
    EXPECT_TRUE(CreateDirectory(QStringLiteral("C:\\D1")));
    EXPECT_FALSE(CreateDirectory(QStringLiteral("C:\\D1")));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectory(QStringLiteral("C:\\X\\Y")));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(ForceDirectories(QStringLiteral("C:\\X\\Y\\Z\\")));
    EXPECT_TRUE(DirectoryExists(QStringLiteral("C:\\X\\Y\\Z")));
    EXPECT_TRUE(ForceDirectories(QStringLiteral("c:\\x\\y")));
    prefix.WriteFile(QStringLiteral("C:\\X\\file"), "f");
    EXPECT_FALSE(ForceDirectories(QStringLiteral("C:\\X\\file\\sub")));
    EXPECT_FALSE(RemoveDirectory(QStringLiteral("C:\\X\\Y")));
    EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
    EXPECT_TRUE(RemoveDirectory(QStringLiteral("C:\\X\\Y\\Z")));
    EXPECT_FALSE(RemoveDirectory(QStringLiteral("C:\\X\\file")));
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);

    prefix.WriteFile(QStringLiteral("C:\\M\\a.txt"), "a", Monday);
    prefix.WriteFile(QStringLiteral("C:\\M\\b.txt"), "b");
    EXPECT_FALSE(MoveFile(QStringLiteral("C:\\M\\a.txt"), QStringLiteral("C:\\M\\B.TXT")));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(MoveFile(QStringLiteral("C:\\M\\none.txt"), QStringLiteral("C:\\M\\c.txt")));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(MoveFile(QStringLiteral("C:\\M\\a.txt"), QStringLiteral("C:\\M\\c.txt")));
    EXPECT_FALSE(FileExists(QStringLiteral("C:\\M\\a.txt")));
    // Onto another drive (another file system here) a file moves by copy and keeps its time.
    const QString shm = QStringLiteral("/dev/shm");
    if (QFileInfo(shm).isDir() && QFileInfo(shm).isWritable()) {
        QTemporaryDir other(shm + QStringLiteral("/dremlix-move-XXXXXX"));
        prefix.AddDrive(QLatin1Char('R'), other.path());
        EXPECT_TRUE(MoveFile(QStringLiteral("C:\\M\\c.txt"), QStringLiteral("R:\\c.txt")));
        EXPECT_FALSE(FileExists(QStringLiteral("C:\\M\\c.txt")));
        FileTime time = 0;
        EXPECT_TRUE(GetFileLastWriteTime(QStringLiteral("R:\\c.txt"), time));
        EXPECT_EQ(MSecsSinceEpochFromFileTime(time), Monday.toMSecsSinceEpoch());
    }
    EXPECT_FALSE(DeleteFile(QStringLiteral("C:\\M\\none.txt")));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(DeleteFile(QStringLiteral("C:\\M")));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(DeleteFile(QStringLiteral("C:\\M\\b.txt")));
}

TEST(Files, NewFilesAreCreatedExclusively)
{
    TempPrefix prefix;
    EXPECT_TRUE(CreateNewFile(QStringLiteral("C:\\users\\dremlix\\Temp\\Update1.tmp")));
    EXPECT_FALSE(CreateNewFile(QStringLiteral("C:\\users\\dremlix\\Temp\\UPDATE1.TMP")));
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    // A link planted under the name is not followed.
    const QString link = prefix.HostPath(QStringLiteral("C:\\users\\dremlix\\Temp\\Update2.tmp"));
    const QString victim = prefix.Root() + QStringLiteral("/victim");
    ASSERT_EQ(::symlink(QFile::encodeName(victim).constData(), QFile::encodeName(link).constData()), 0);
    EXPECT_FALSE(CreateNewFile(QStringLiteral("C:\\users\\dremlix\\Temp\\Update2.tmp")));
    EXPECT_FALSE(QFile::exists(victim));
}

TEST(Files, FindFilesMatchesMasksWithoutRegardToCase)
{
    TempPrefix prefix;
    for (const char *name : { "Update1.tmp", "update22.TMP", "Update.txt", "other.tmp", "noext" })
        prefix.WriteFile(QStringLiteral("C:\\T\\") + QString::fromUtf8(name), "x");
    prefix.MakeFolder(QStringLiteral("C:\\T\\UpdateDir.tmp"));
    struct Row {
        const char *Mask;
        bool Folders;
        std::vector<const char *> Names;
    };
    const Row rows[] = {
        { "Update*.tmp", false, { "Update1.tmp", "update22.TMP" } },
        { "Update*.tmp", true, { "Update1.tmp", "update22.TMP", "UpdateDir.tmp" } },
        { "update?.tmp", false, { "Update1.tmp" } },
        { "*.*", false, { "noext", "other.tmp", "Update.txt", "Update1.tmp", "update22.TMP" } },
        { "*", false, { "noext", "other.tmp", "Update.txt", "Update1.tmp", "update22.TMP" } },
        { "*.doc", false, {} },
    };
    for (const Row &row : rows) {
        QStringList expected;
        for (const char *name : row.Names)
            expected.append(QString::fromUtf8(name));
        EXPECT_EQ(FindFiles(QStringLiteral("C:\\t"), QString::fromUtf8(row.Mask), row.Folders), expected) << row.Mask;
    }
}

namespace {

// Every kind of holder another process can be, and the handles of our own that must not count.
void ExpectHoldersSeen(const TempPrefix &prefix)
{
    struct Holder {
        const char *Role;
        const char *Path;
    };
    const Holder holders[] = {
        { "--hold-open", "C:\\P\\read.dat" },
        { "--hold-open-write", "C:\\P\\written.dat" },
        { "--hold-mapped", "C:\\P\\mapped.dat" },
    };
    for (const Holder &holder : holders) {
        SCOPED_TRACE(holder.Role);
        const QString path = QString::fromUtf8(holder.Path);
        const QString host = prefix.HostPath(path);
        {
            ChildProcess child(QString::fromUtf8(holder.Role), { host });
            ASSERT_TRUE(child.Ready());
            EXPECT_TRUE(HostFileInUse(host));
            EXPECT_FALSE(CopyFile(QStringLiteral("C:\\New\\x"), path, false));
            EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
            EXPECT_FALSE(MoveFileOver(QStringLiteral("C:\\New\\x"), path, false));
            EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
            EXPECT_EQ(Content(path), QByteArray("held"));
            EXPECT_EQ(Content(QStringLiteral("C:\\New\\x")), QByteArray("new"));
        }
        EXPECT_FALSE(HostFileInUse(host)) << "free once the holder ended";
    }

    const QString own = prefix.HostPath(QStringLiteral("C:\\P\\own.dat"));
    const int reader = ::open(QFile::encodeName(own).constData(), O_RDONLY);
    const int writer = ::open(QFile::encodeName(own).constData(), O_WRONLY);
    ASSERT_GE(reader, 0);
    ASSERT_GE(writer, 0);
    void *map = ::mmap(nullptr, 4, PROT_READ, MAP_SHARED, reader, 0);
    ASSERT_NE(map, MAP_FAILED);
    EXPECT_FALSE(HostFileInUse(own)) << "our own handles and mappings do not count";
    EXPECT_TRUE(CopyFile(QStringLiteral("C:\\New\\x"), QStringLiteral("C:\\P\\own.dat"), false));
    ::munmap(map, 4);
    ::close(writer);
    ::close(reader);
    EXPECT_FALSE(HostFileInUse(prefix.HostPath(QStringLiteral("C:\\P\\missing.dat"))));
}

void IgnoreSignal(int) {}

} // namespace

TEST(Files, InUseTestSeesOpenWrittenAndMappedFilesOfOtherProcesses)
{
    TempPrefix prefix;
    for (const char *name : { "read.dat", "written.dat", "mapped.dat", "own.dat" })
        prefix.WriteFile(QStringLiteral("C:\\P\\") + QString::fromUtf8(name), "held");
    prefix.WriteFile(QStringLiteral("C:\\New\\x"), "new");
    ExpectHoldersSeen(prefix);
}

TEST(Files, InUseTestGivesTheSameAnswersWhenTheLeaseSignalIsTaken)
{
    // A program that handles SIGURG itself must not receive the notices of our probe: the
    // test then walks /proc and must come to the same answers.
    struct sigaction handler {};
    struct sigaction previous {};
    handler.sa_handler = IgnoreSignal;
    ASSERT_EQ(::sigaction(SIGURG, &handler, &previous), 0);
    TempPrefix prefix;
    for (const char *name : { "read.dat", "written.dat", "mapped.dat", "own.dat" })
        prefix.WriteFile(QStringLiteral("C:\\P\\") + QString::fromUtf8(name), "held");
    prefix.WriteFile(QStringLiteral("C:\\New\\x"), "new");
    ExpectHoldersSeen(prefix);
    ::sigaction(SIGURG, &previous, nullptr);
}

TEST(Files, AHolderOfAnotherUserCountsThoughProcDoesNotShowIt)
{
    // The one looking runs as one unprivileged user, the holder as another: the holder's
    // descriptors and mappings are closed to the first in /proc, only the kernel's lease
    // test can tell.
    if (::geteuid() != 0)
        GTEST_SKIP() << "playing two other users (the holder and the one who looks) needs root";
    const QString looker = QStringLiteral("65534"); // nobody
    const QString holderUser = QStringLiteral("65533");
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
    const QString file = dir.path() + QStringLiteral("/held.dat");
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("held");
    }
    // Leases are granted only to the file's owner: the one who looks owns it.
    ASSERT_EQ(::chown(QFile::encodeName(file).constData(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(file).constData(), 0644), 0);
    {
        ChildProcess holder(QStringLiteral("--as-user"), { holderUser, QStringLiteral("--hold-open"), file });
        ASSERT_TRUE(holder.Ready()) << "the holder could not open the file as user "
                                    << holderUser.toStdString();
        ChildProcess look(QStringLiteral("--as-user"), { looker, QStringLiteral("--in-use"), file });
        EXPECT_EQ(look.Wait(), 1) << "a file another user holds open is in use";
    }
    ChildProcess look(QStringLiteral("--as-user"), { looker, QStringLiteral("--in-use"), file });
    EXPECT_EQ(look.Wait(), 0) << "free once the holder ended";
}

TEST(Files, CopiesOfLargeFilesAndOfPipesAreWhole)
{
    TempPrefix prefix;
    QByteArray big(5 * 1024 * 1024 + 123, '\0');
    for (qsizetype i = 0; i < big.size(); ++i)
        big[i] = char((i * 2654435761u) >> 13);
    prefix.WriteFile(QStringLiteral("C:\\New\\big.bin"), big, Monday);
    prefix.WriteFile(QStringLiteral("C:\\ORV\\big.bin"), "old");
    ASSERT_TRUE(CopyFile(QStringLiteral("C:\\New\\big.bin"), QStringLiteral("C:\\ORV\\big.bin"), false));
    EXPECT_TRUE(Content(QStringLiteral("C:\\ORV\\big.bin")) == big);
    FileTime time = 0;
    ASSERT_TRUE(GetFileLastWriteTime(QStringLiteral("C:\\ORV\\big.bin"), time));
    EXPECT_EQ(MSecsSinceEpochFromFileTime(time), Monday.toMSecsSinceEpoch());
    ASSERT_TRUE(CopyFile(QStringLiteral("C:\\New\\big.bin"), QStringLiteral("C:\\ORV\\fresh.bin"), true));
    EXPECT_TRUE(Content(QStringLiteral("C:\\ORV\\fresh.bin")) == big);

    // A pipe cannot be copied by the kernel's file-to-file copy: its bytes still all arrive.
    const QString fifo = prefix.HostPath(QStringLiteral("C:\\New\\stream"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QByteArray streamed = big.left(300000);
    std::thread writer([&] {
        const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY);
        if (fd < 0)
            return;
        qsizetype done = 0;
        while (done < streamed.size()) {
            const ssize_t n = ::write(fd, streamed.constData() + done, size_t(streamed.size() - done));
            if (n <= 0)
                break;
            done += n;
        }
        ::close(fd);
    });
    const bool copied = CopyFile(QStringLiteral("C:\\New\\stream"), QStringLiteral("C:\\ORV\\streamed.bin"), false);
    writer.join();
    ASSERT_TRUE(copied);
    EXPECT_TRUE(Content(QStringLiteral("C:\\ORV\\streamed.bin")) == streamed);
    EXPECT_TRUE(Leftovers(prefix, QStringLiteral("C:\\ORV")).isEmpty());
}
