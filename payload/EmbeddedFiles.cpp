// Reading and extracting the embedded files of the own executable.
#include "payload/EmbeddedFiles.h"

#include "oslayer/Environment.h"
#include "oslayer/Exceptions.h"
#include "oslayer/ExeResources.h"
#include "oslayer/Files.h"
#include "oslayer/Paths.h"
#include "oslayer/WinError.h"
#include "payload/PayloadTexts.h"

#include <QFile>
#include <QFileInfo>

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <random>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Deflate cannot expand data by more than about 1032 to 1: a size field beyond that is
// damage, and must fail before we allocate what it claims.
constexpr uint64_t MaxInflateRatio = 1032;
constexpr size_t InputChunk = size_t(256) * 1024;
constexpr size_t OutputChunk = size_t(1024) * 1024;
constexpr int64_t FileTimeUnixEpoch = 116444736000000000LL;

class CompressedSource {
public:
    explicit CompressedSource(uint64_t total) : FTotal(total) {}
    virtual ~CompressedSource() = default;
    // Fills at most max bytes; 0 at the end of the compressed bytes.
    virtual size_t Read(unsigned char *buffer, size_t max) = 0;
    uint64_t Total() const { return FTotal; }

protected:
    uint64_t FTotal;
};

class MemorySource final : public CompressedSource {
public:
    explicit MemorySource(const QByteArray &bytes) : CompressedSource(uint64_t(bytes.size())), FBytes(bytes) {}
    size_t Read(unsigned char *buffer, size_t max) override
    {
        const size_t n = std::min<uint64_t>(max, FTotal - FPos);
        std::memcpy(buffer, FBytes.constData() + FPos, n);
        FPos += n;
        return n;
    }

private:
    const QByteArray &FBytes;
    uint64_t FPos = 0;
};

// Streams the entry's bytes from the executable, so that only the inflated data is held
// in memory, never the compressed copy beside it.
class FileSource final : public CompressedSource {
public:
    explicit FileSource(const Os::ResourceLocation &loc) : CompressedSource(loc.Size), FLoc(loc)
    {
        FFd = ::open(QFile::encodeName(loc.HostPath).constData(), O_RDONLY | O_CLOEXEC);
        if (FFd < 0)
            throw Os::Exception(QStringLiteral("Cannot open %1: %2")
                                    .arg(loc.HostPath, QString::fromLocal8Bit(std::strerror(errno))));
        ::posix_fadvise(FFd, off_t(loc.Offset), off_t(loc.Size), POSIX_FADV_SEQUENTIAL);
    }
    ~FileSource() override { ::close(FFd); }
    FileSource(const FileSource &) = delete;
    FileSource &operator=(const FileSource &) = delete;

    size_t Read(unsigned char *buffer, size_t max) override
    {
        const size_t want = std::min<uint64_t>(max, FTotal - FPos);
        size_t got = 0;
        while (got < want) {
            const ssize_t n = ::pread(FFd, buffer + got, want - got, off_t(FLoc.Offset + FPos + got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw Os::Exception(QStringLiteral("Cannot read %1: %2")
                                        .arg(FLoc.HostPath, n < 0 ? QString::fromLocal8Bit(std::strerror(errno))
                                                                  : QStringLiteral("the file is shorter than its index says")));
            got += size_t(n);
        }
        FPos += got;
        return got;
    }

private:
    Os::ResourceLocation FLoc;
    int FFd = -1;
    uint64_t FPos = 0;
};

// Where the inflated data goes. Begin hands back a buffer of the data size to inflate
// into directly, or nullptr to receive the data in chunks through Write.
class ContainerSink {
public:
    virtual ~ContainerSink() = default;
    virtual char *Begin(uint32_t dataSize, Os::FileTime timeStamp) = 0;
    virtual void Write(const char *, size_t) {}
};

class Inflater {
public:
    Inflater(const QString &name, CompressedSource &source) : FName(name), FSource(source), FInput(InputChunk)
    {
        if (inflateInit(&FZ) != Z_OK)
            throw Os::Exception(PayloadTexts::Damaged(name, QStringLiteral("the decompressor cannot start")));
    }
    ~Inflater() { inflateEnd(&FZ); }
    Inflater(const Inflater &) = delete;
    Inflater &operator=(const Inflater &) = delete;

    // Inflates until out is full or the stream ends; the count of bytes still missing.
    size_t Fill(unsigned char *out, size_t size)
    {
        FZ.next_out = out;
        FZ.avail_out = uInt(size);
        while (FZ.avail_out > 0 && !FEnded) {
            if (FZ.avail_in == 0 && !FInputDone) {
                const size_t n = FSource.Read(FInput.data(), FInput.size());
                FZ.next_in = FInput.data();
                FZ.avail_in = uInt(n);
                FInputDone = n == 0;
            }
            const int rc = inflate(&FZ, Z_NO_FLUSH);
            if (rc == Z_STREAM_END) {
                FEnded = true;
            } else if (rc == Z_BUF_ERROR) {
                if (FInputDone && FZ.avail_in == 0)
                    break;
            } else if (rc != Z_OK) {
                throw Os::Exception(PayloadTexts::Damaged(
                    FName, FZ.msg ? QString::fromLatin1(FZ.msg) : QStringLiteral("zlib error %1").arg(rc)));
            }
        }
        return FZ.avail_out;
    }

    // Inflated bytes after the data are allowed, but the stream must still end cleanly:
    // only then has its Adler-32 check run.
    void Finish()
    {
        std::vector<unsigned char> scratch(size_t(64) * 1024);
        while (!FEnded) {
            Fill(scratch.data(), scratch.size());
            if (!FEnded && FInputDone && FZ.avail_in == 0)
                throw Os::Exception(PayloadTexts::Damaged(FName, QStringLiteral("the compressed stream is cut short")));
        }
    }

    bool InputDone() const { return FInputDone && FZ.avail_in == 0; }

private:
    QString FName;
    CompressedSource &FSource;
    std::vector<unsigned char> FInput;
    z_stream FZ{};
    bool FEnded = false;
    bool FInputDone = false;
};

uint32_t Get32(const unsigned char *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void InflateContainer(const QString &name, CompressedSource &source, ContainerSink &sink, bool headerOnly = false)
{
    Inflater z(name, source);
    unsigned char header[EmbeddedHeaderSize];
    if (z.Fill(header, sizeof header) != 0)
        throw Os::Exception(PayloadTexts::StreamReadError());
    const uint32_t size = Get32(header);
    const Os::FileTime timeStamp = uint64_t(Get32(header + 8)) | uint64_t(Get32(header + 12)) << 32;
    if (!headerOnly && (uint64_t(size) + EmbeddedHeaderSize) > source.Total() * MaxInflateRatio + 64)
        throw Os::Exception(PayloadTexts::Damaged(
            name, QStringLiteral("its size field says %1 bytes, more than its stream can hold").arg(size)));
    char *direct = sink.Begin(size, timeStamp);
    if (headerOnly)
        return;
    if (direct) {
        // Straight into the caller's buffer, in pieces that fit zlib's 32-bit counts.
        uint64_t left = size;
        auto *p = reinterpret_cast<unsigned char *>(direct);
        while (left > 0) {
            const size_t piece = size_t(std::min<uint64_t>(left, 1u << 30));
            const size_t missing = z.Fill(p, piece);
            if (missing != 0)
                throw Os::Exception(PayloadTexts::StreamReadError());
            p += piece;
            left -= piece;
        }
    } else {
        std::vector<unsigned char> chunk(OutputChunk);
        uint64_t left = size;
        while (left > 0) {
            const size_t piece = size_t(std::min<uint64_t>(left, chunk.size()));
            const size_t missing = z.Fill(chunk.data(), piece);
            if (missing != 0)
                throw Os::Exception(PayloadTexts::StreamReadError());
            sink.Write(reinterpret_cast<const char *>(chunk.data()), piece);
            left -= piece;
        }
    }
    z.Finish();
}

// Faults a large fresh buffer in with one call instead of one fault per page while zlib
// writes it; where memory is handed out lazily (virtual machines) that is most of the cost
// of reading a big file. Kernels without MADV_POPULATE_WRITE simply fault as usual.
void Prefault(char *data, qsizetype size)
{
#ifdef __linux__
    constexpr int PopulateWrite = 23; // MADV_POPULATE_WRITE, Linux 5.14
    const long page = ::sysconf(_SC_PAGESIZE);
    if (size < qsizetype(4) * 1024 * 1024 || page <= 0)
        return;
    const auto address = reinterpret_cast<uintptr_t>(data);
    const auto begin = (address + uintptr_t(page) - 1) & ~uintptr_t(page - 1);
    const auto end = (address + uintptr_t(size)) & ~uintptr_t(page - 1);
    if (end > begin)
        ::madvise(data + (begin - address), end - begin, PopulateWrite);
#else
    (void)data;
    (void)size;
#endif
}

class BufferSink final : public ContainerSink {
public:
    char *Begin(uint32_t dataSize, Os::FileTime timeStamp) override
    {
        TimeStamp = timeStamp;
        Size = dataSize;
        if (HeaderOnly)
            return nullptr;
        Data = QByteArray(qsizetype(dataSize), Qt::Uninitialized);
        Prefault(Data.data(), Data.size());
        return Data.data();
    }
    bool HeaderOnly = false;
    QByteArray Data;
    uint32_t Size = 0;
    Os::FileTime TimeStamp = 0;
};

struct timespec TimeSpecOf(Os::FileTime time)
{
    const int64_t ticks = int64_t(time) - FileTimeUnixEpoch;
    int64_t sec = ticks / 10000000;
    int64_t rest = ticks % 10000000;
    if (rest < 0) {
        rest += 10000000;
        --sec;
    }
    struct timespec ts {};
    ts.tv_sec = time_t(sec);
    ts.tv_nsec = long(rest * 100);
    return ts;
}

[[noreturn]] void RaiseErrno(int err)
{
    throw Os::EOSError(Os::ErrorFromErrno(err));
}

// Writes to a temporary file beside the target; the target is only replaced by Commit.
class FileSink final : public ContainerSink {
public:
    FileSink(const QString &hostTarget) : FTarget(QFile::encodeName(hostTarget))
    {
        const QFileInfo info(hostTarget);
        mode_t mode = 0666;
        struct stat st {};
        if (::stat(FTarget.constData(), &st) == 0) {
            // A folder, or a read-only file (no write bit at all), is refused as Windows
            // refuses to create a file over it, also when we could (as root).
            if (S_ISDIR(st.st_mode) || (st.st_mode & 0222) == 0)
                throw Os::EOSError(Os::ERROR_ACCESS_DENIED);
            // An installed program keeps the permissions it had.
            mode = st.st_mode & 0777;
        }
        const QByteArray dir = QFile::encodeName(info.absolutePath());
        struct stat dirStat {};
        if (::stat(dir.constData(), &dirStat) != 0 || !S_ISDIR(dirStat.st_mode))
            throw Os::EOSError(Os::ERROR_PATH_NOT_FOUND);
        std::mt19937 rng(std::random_device{}());
        for (int attempt = 0; attempt < 100 && FFd < 0; ++attempt) {
            FTemp = dir + "/." + QFile::encodeName(info.fileName()) + '.' + QByteArray::number(rng() % 100000000u)
                + ".part";
            FFd = ::open(FTemp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
            if (FFd < 0 && errno != EEXIST)
                RaiseErrno(errno);
        }
        if (FFd < 0)
            RaiseErrno(EEXIST);
    }
    ~FileSink() override
    {
        if (FFd >= 0)
            ::close(FFd);
        if (!FCommitted && !FTemp.isEmpty())
            ::unlink(FTemp.constData());
    }
    FileSink(const FileSink &) = delete;
    FileSink &operator=(const FileSink &) = delete;

    char *Begin(uint32_t, Os::FileTime timeStamp) override
    {
        FTimeStamp = timeStamp;
        return nullptr;
    }
    void Write(const char *p, size_t n) override
    {
        while (n > 0) {
            const ssize_t w = ::write(FFd, p, n);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                RaiseErrno(w < 0 ? errno : EIO);
            p += w;
            n -= size_t(w);
        }
    }
    // The time stamp goes on before the rename, so that the target never shows the
    // extraction time; the data reaches the disk before it replaces the old file.
    void Commit(bool durable)
    {
        const struct timespec times[2] = {{0, UTIME_OMIT}, TimeSpecOf(FTimeStamp)};
        ::futimens(FFd, times);
        if (durable && ::fsync(FFd) != 0)
            RaiseErrno(errno);
        const int fd = FFd;
        FFd = -1;
        if (::close(fd) != 0)
            RaiseErrno(errno);
        if (::rename(FTemp.constData(), FTarget.constData()) != 0)
            RaiseErrno(errno);
        FCommitted = true;
    }

private:
    QByteArray FTarget;
    QByteArray FTemp;
    int FFd = -1;
    bool FCommitted = false;
    Os::FileTime FTimeStamp = 0;
};

std::optional<Os::ResourceLocation> LocateEmbedded(const QString &name)
{
    const Os::ResourceBlock *block = Os::ResourceBlock::Own();
    if (!block)
        return std::nullopt;
    auto loc = block->Locate(Os::RT_RCDATA, name);
    if (loc && loc->Size == 0)
        throw Os::Exception(PayloadTexts::Damaged(name, QStringLiteral("its resource is empty")));
    return loc;
}

} // namespace

namespace {

// Where the ELF image ends: its section headers come last. Zero when the bytes are no ELF.
uint64_t ElfImageEnd(const QByteArray &head)
{
    if (head.size() < 64 || !head.startsWith("\x7f" "ELF"))
        return 0;
    const auto *p = reinterpret_cast<const unsigned char *>(head.constData());
    auto get = [p](int at, int bytes) {
        uint64_t value = 0;
        for (int i = bytes - 1; i >= 0; --i)
            value = (value << 8) | p[at + i];
        return value;
    };
    if (p[5] != 1) // little-endian only, as every target of the wizard
        return 0;
    if (p[4] == 2)
        return get(0x28, 8) + get(0x3A, 2) * get(0x3C, 2);
    if (p[4] == 1)
        return get(0x20, 4) + get(0x2E, 2) * get(0x30, 2);
    return 0;
}

} // namespace

void VerifyOwnContainer()
{
    const QString path = Os::Environment::OwnExecutableHostPath();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Os::Exception(QStringLiteral("Cannot read %1: %2").arg(path, file.errorString()));
    const uint64_t size = uint64_t(file.size());
    const uint64_t imageEnd = ElfImageEnd(file.read(64));
    file.close();
    if (imageEnd > size)
        throw Os::Exception(QStringLiteral("%1 is cut short: %2 bytes where its program alone has %3")
                                .arg(path).arg(size).arg(imageEnd));
    const Os::ResourceBlock *block = Os::ResourceBlock::Own();
    if (!block) {
        if (imageEnd != 0 && size > imageEnd)
            throw Os::Exception(QStringLiteral("%1 is cut short: its payload has lost its end").arg(path));
        return;
    }
    if (imageEnd != 0 && block->BlockOffset() < imageEnd)
        throw Os::Exception(QStringLiteral("%1: the payload begins inside the program").arg(path));
    for (const auto &entry : block->Index()) {
        if (entry.Type != Os::RT_RCDATA)
            continue;
        QByteArray data;
        Os::FileTime time{};
        ReadEmbeddedFile(entry.Name, data, time);
    }
}

bool ReadEmbeddedFile(const QString &name, QByteArray &data, Os::FileTime &timeStamp)
{
    data.clear();
    const auto loc = LocateEmbedded(name);
    if (!loc)
        return false;
    FileSource source(*loc);
    BufferSink sink;
    InflateContainer(name, source, sink);
    data = std::move(sink.Data);
    timeStamp = sink.TimeStamp;
    return true;
}

bool ReadEmbeddedToStream(const QString &name, QIODevice &stream)
{
    QByteArray data;
    Os::FileTime timeStamp = 0;
    if (!ReadEmbeddedFile(name, data, timeStamp))
        return false;
    if (stream.write(data) != data.size())
        throw Os::Exception(PayloadTexts::StreamWriteError());
    return true;
}

void ExtractEmbeddedFile(const QString &name, const QString &targetPath, QString &writtenPath, bool durable)
{
    writtenPath.clear();
    const auto loc = LocateEmbedded(name);
    if (!loc)
        return;
    const QString hostTarget = Os::HostPath(targetPath);
    if (hostTarget.isEmpty())
        Os::RaiseLastOSError();
    // No test for another process holding the target: the new file replaces the old one by
    // rename, so a holder keeps reading the old bytes and never sees a mix, and the test
    // (a scan of every process) costs more than the extraction of most files. Programs
    // that must not be replaced while running are tested by the procedures before.
    FileSource source(*loc);
    FileSink sink(hostTarget);
    InflateContainer(name, source, sink);
    sink.Commit(durable);
    writtenPath = targetPath;
}

bool SetFileTimeStamp(const QString &path, Os::FileTime time)
{
    const QString host = Os::HostPath(path);
    if (host.isEmpty())
        return false;
    // Opened for reading and writing as the system call needs: a read-only file or a
    // folder gives false.
    const int fd = ::open(QFile::encodeName(host).constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        Os::SetLastError(Os::ErrorFromErrno(errno));
        return false;
    }
    const struct timespec times[2] = {{0, UTIME_OMIT}, TimeSpecOf(time)};
    const bool ok = ::futimens(fd, times) == 0;
    if (!ok)
        Os::SetLastError(Os::ErrorFromErrno(errno));
    ::close(fd);
    return ok;
}

void DecodeEmbeddedContainer(const QByteArray &container, QByteArray &data, Os::FileTime &timeStamp,
                             const QString &nameForErrors)
{
    data.clear();
    MemorySource source(container);
    BufferSink sink;
    InflateContainer(nameForErrors, source, sink);
    data = std::move(sink.Data);
    timeStamp = sink.TimeStamp;
}

void PeekEmbeddedHeader(const QByteArray &container, uint32_t &dataSize, Os::FileTime &timeStamp)
{
    MemorySource source(container);
    BufferSink sink;
    sink.HeaderOnly = true;
    InflateContainer(QString(), source, sink, true);
    dataSize = sink.Size;
    timeStamp = sink.TimeStamp;
}
