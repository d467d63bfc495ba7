// The resource block appended to the wizard's executable (layout in docs/resource-block.md).
#include "oslayer/ExeResources.h"

#include "oslayer/Environment.h"
#include "oslayer/Exceptions.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Os {

namespace {

constexpr char Magic[8] = {'D', 'R', 'M', 'X', 'R', 'E', 'S', '1'};
constexpr uint32_t FormatVersion = 1;
constexpr uint64_t TrailerSize = 40;
// An index this large is never written (a few hundred entries take kilobytes);
// anything bigger is damage, and must not make us allocate it.
constexpr uint64_t MaxIndexSize = uint64_t(16) * 1024 * 1024;
constexpr uint64_t IndexEntryFixedSize = 4 + 4 + 8 + 8 + 4;

uint32_t Get32(const unsigned char *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t Get64(const unsigned char *p)
{
    return uint64_t(Get32(p)) | uint64_t(Get32(p + 4)) << 32;
}

void Put32(QByteArray &out, uint32_t v)
{
    const char b[4] = {char(v & 0xFF), char(v >> 8 & 0xFF), char(v >> 16 & 0xFF), char(v >> 24 & 0xFF)};
    out.append(b, 4);
}

void Put64(QByteArray &out, uint64_t v)
{
    Put32(out, uint32_t(v));
    Put32(out, uint32_t(v >> 32));
}

uint32_t Crc32(const char *data, uint64_t size)
{
    uLong crc = crc32(0L, Z_NULL, 0);
    while (size > 0) {
        const uInt chunk = size > (1u << 30) ? (1u << 30) : uInt(size);
        crc = crc32(crc, reinterpret_cast<const Bytef *>(data), chunk);
        data += chunk;
        size -= chunk;
    }
    return uint32_t(crc);
}

QString ErrnoText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

[[noreturn]] void Damaged(const QString &path, const QString &what)
{
    throw Exception(QStringLiteral("The resource block of %1 is damaged: %2.").arg(path, what));
}

// A file descriptor closed on every way out.
class Fd {
public:
    explicit Fd(int fd) : FFd(fd) {}
    ~Fd()
    {
        if (FFd >= 0)
            ::close(FFd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int Get() const { return FFd; }
    int Release()
    {
        const int fd = FFd;
        FFd = -1;
        return fd;
    }

private:
    int FFd;
};

bool ReadExactly(int fd, char *buffer, uint64_t size, uint64_t offset)
{
    while (size > 0) {
        const ssize_t n = ::pread(fd, buffer, size > (1u << 30) ? (1u << 30) : size_t(size), off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buffer += n;
        size -= uint64_t(n);
        offset += uint64_t(n);
    }
    return true;
}

bool WriteAll(int fd, const char *data, uint64_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size > (1u << 30) ? (1u << 30) : size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        data += n;
        size -= uint64_t(n);
    }
    return true;
}

QByteArray Utf16LeBytes(const QString &name)
{
    QByteArray out;
    out.reserve(name.size() * 2);
    for (const QChar c : name) {
        out.append(char(c.unicode() & 0xFF));
        out.append(char(c.unicode() >> 8));
    }
    return out;
}

struct ParsedBlock {
    uint64_t BlockOffset = 0;
    QList<ResourceBlock::IndexEntry> Index;
};

// Reads and checks trailer and index. nullopt when the file carries no block at all.
std::optional<ParsedBlock> ParseBlock(int fd, uint64_t fileSize, const QString &path)
{
    if (fileSize < TrailerSize)
        return std::nullopt;
    unsigned char trailer[TrailerSize];
    if (!ReadExactly(fd, reinterpret_cast<char *>(trailer), TrailerSize, fileSize - TrailerSize))
        throw Exception(QStringLiteral("Cannot read %1: %2").arg(path, ErrnoText(errno ? errno : EIO)));
    if (std::memcmp(trailer + 32, Magic, sizeof Magic) != 0)
        return std::nullopt;

    if (Crc32(reinterpret_cast<const char *>(trailer), 28) != Get32(trailer + 28))
        Damaged(path, QStringLiteral("the trailer fails its check"));
    const uint64_t blockOffset = Get64(trailer);
    const uint64_t indexOffset = Get64(trailer + 8);
    const uint64_t indexSize = Get32(trailer + 16);
    const uint32_t indexCrc = Get32(trailer + 20);
    if (Get32(trailer + 24) != FormatVersion)
        Damaged(path, QStringLiteral("unknown format version %1").arg(Get32(trailer + 24)));
    const uint64_t indexEnd = fileSize - TrailerSize;
    if (indexSize < 4 || indexSize > MaxIndexSize || indexOffset > indexEnd || indexSize > indexEnd - indexOffset
        || indexOffset + indexSize != indexEnd || blockOffset > indexOffset)
        Damaged(path, QStringLiteral("the index lies outside the file"));

    QByteArray index(qsizetype(indexSize), Qt::Uninitialized);
    if (!ReadExactly(fd, index.data(), indexSize, indexOffset))
        throw Exception(QStringLiteral("Cannot read %1: %2").arg(path, ErrnoText(errno ? errno : EIO)));
    if (Crc32(index.constData(), indexSize) != indexCrc)
        Damaged(path, QStringLiteral("the index fails its check"));

    ParsedBlock parsed;
    parsed.BlockOffset = blockOffset;
    const auto *p = reinterpret_cast<const unsigned char *>(index.constData());
    const uint64_t count = Get32(p);
    uint64_t pos = 4;
    if (count > (indexSize - 4) / IndexEntryFixedSize)
        Damaged(path, QStringLiteral("the index counts more entries than it holds"));
    QSet<QPair<uint32_t, QString>> seen;
    for (uint64_t i = 0; i < count; ++i) {
        if (indexSize - pos < IndexEntryFixedSize)
            Damaged(path, QStringLiteral("the index ends inside entry %1").arg(i));
        ResourceBlock::IndexEntry e;
        e.Type = Get32(p + pos);
        e.Offset = Get64(p + pos + 8);
        e.Size = Get64(p + pos + 16);
        const uint64_t nameBytes = Get32(p + pos + 24);
        pos += IndexEntryFixedSize;
        if (nameBytes == 0 || nameBytes % 2 != 0 || nameBytes > indexSize - pos)
            Damaged(path, QStringLiteral("entry %1 has a bad name").arg(i));
        e.Name = QString(reinterpret_cast<const QChar *>(p + pos), qsizetype(nameBytes / 2));
        // The QChar constructor above reads host order; the block is little-endian.
        if constexpr (Q_BYTE_ORDER == Q_BIG_ENDIAN) {
            for (QChar &c : e.Name)
                c = QChar(char16_t((c.unicode() >> 8) | (c.unicode() << 8)));
        }
        pos += (nameBytes + 3) & ~uint64_t(3);
        if (pos > indexSize)
            Damaged(path, QStringLiteral("entry %1 has a bad name").arg(i));
        if (e.Offset < blockOffset || e.Offset > indexOffset || e.Size > indexOffset - e.Offset)
            Damaged(path, QStringLiteral("the data of entry \"%1\" lies outside the block").arg(e.Name));
        e.Name = e.Name.toUpper();
        if (seen.contains({e.Type, e.Name}))
            Damaged(path, QStringLiteral("entry \"%1\" is there twice").arg(e.Name));
        seen.insert({e.Type, e.Name});
        parsed.Index.append(e);
    }
    if (pos != indexSize)
        Damaged(path, QStringLiteral("the index has bytes after its last entry"));
    return parsed;
}

struct FileKey {
    QString Path;
    dev_t Dev = 0;
    ino_t Ino = 0;
    off_t Size = 0;
    int64_t MTimeNs = 0;
    bool operator==(const FileKey &) const = default;
};

FileKey KeyOf(const QString &path)
{
    FileKey key;
    key.Path = path;
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) == 0) {
        key.Dev = st.st_dev;
        key.Ino = st.st_ino;
        key.Size = st.st_size;
        key.MTimeNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    }
    return key;
}

struct OwnCache {
    bool Loaded = false;
    FileKey Key;
    std::unique_ptr<ResourceBlock> Block;
    // Blocks handed out before a reload stay alive: callers may still hold the pointer.
    std::vector<std::unique_ptr<ResourceBlock>> Retired;
};

OwnCache &Cache()
{
    static OwnCache cache;
    return cache;
}

} // namespace

std::optional<ResourceBlock> ResourceBlock::Load(const QString &hostPath)
{
    Fd fd(::open(QFile::encodeName(hostPath).constData(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0)
        throw Exception(QStringLiteral("Cannot open %1: %2").arg(hostPath, ErrnoText(errno)));
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0)
        throw Exception(QStringLiteral("Cannot open %1: %2").arg(hostPath, ErrnoText(errno)));
    auto parsed = ParseBlock(fd.Get(), uint64_t(st.st_size), hostPath);
    if (!parsed)
        return std::nullopt;
    ResourceBlock block;
    block.FPath = hostPath;
    block.FBlockOffset = parsed->BlockOffset;
    block.FIndex = std::move(parsed->Index);
    return block;
}

const ResourceBlock *ResourceBlock::Own()
{
    OwnCache &cache = Cache();
    const FileKey key = KeyOf(Environment::OwnExecutableHostPath());
    if (cache.Loaded && cache.Key == key)
        return cache.Block.get();
    if (cache.Block)
        cache.Retired.push_back(std::move(cache.Block));
    cache.Loaded = false;
    auto loaded = Load(key.Path);
    if (loaded)
        cache.Block = std::make_unique<ResourceBlock>(std::move(*loaded));
    cache.Key = key;
    cache.Loaded = true;
    return cache.Block.get();
}

void ResourceBlock::ResetOwnForTests()
{
    OwnCache &cache = Cache();
    if (cache.Block)
        cache.Retired.push_back(std::move(cache.Block));
    cache.Loaded = false;
}

std::optional<ResourceLocation> ResourceBlock::Locate(uint32_t type, const QString &name) const
{
    const QString wanted = name.toUpper();
    for (const IndexEntry &e : FIndex) {
        if (e.Type == type && e.Name == wanted)
            return ResourceLocation{FPath, e.Offset, e.Size};
    }
    return std::nullopt;
}

namespace {

QByteArray ReadLocation(const ResourceLocation &loc)
{
    Fd fd(::open(QFile::encodeName(loc.HostPath).constData(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0)
        throw Exception(QStringLiteral("Cannot open %1: %2").arg(loc.HostPath, ErrnoText(errno)));
    if (loc.Size > uint64_t(std::numeric_limits<qsizetype>::max()) / 2)
        throw Exception(QStringLiteral("A resource of %1 is too large to load.").arg(loc.HostPath));
    QByteArray data(qsizetype(loc.Size), Qt::Uninitialized);
    errno = 0;
    if (!ReadExactly(fd.Get(), data.data(), loc.Size, loc.Offset))
        throw Exception(QStringLiteral("Cannot read a resource of %1: %2")
                            .arg(loc.HostPath, errno ? ErrnoText(errno) : QStringLiteral("the file is shorter than its index says")));
    return data;
}

} // namespace

std::optional<QByteArray> ResourceBlock::Find(uint32_t type, const QString &name) const
{
    const auto loc = Locate(type, name);
    if (!loc)
        return std::nullopt;
    return ReadLocation(*loc);
}

std::optional<QByteArray> ResourceBlock::FirstOfType(uint32_t type) const
{
    for (const IndexEntry &e : FIndex) {
        if (e.Type == type)
            return ReadLocation(ResourceLocation{FPath, e.Offset, e.Size});
    }
    return std::nullopt;
}

QList<ResourceEntry> ResourceBlock::Entries() const
{
    QList<ResourceEntry> out;
    out.reserve(FIndex.size());
    for (const IndexEntry &e : FIndex)
        out.append(ResourceEntry{e.Type, e.Name, ReadLocation(ResourceLocation{FPath, e.Offset, e.Size})});
    return out;
}

void WriteExecutableWithResources(const QString &stubHostPath, const QString &outHostPath,
                                  const QList<ResourceEntry> &entries)
{
    QSet<QPair<uint32_t, QString>> names;
    for (const ResourceEntry &e : entries) {
        const QString upper = e.Name.toUpper();
        if (upper.isEmpty())
            throw Exception(QStringLiteral("A resource needs a name."));
        if (names.contains({e.Type, upper}))
            throw Exception(QStringLiteral("The resource name \"%1\" is given twice (names are compared without regard to case).")
                                .arg(e.Name));
        names.insert({e.Type, upper});
    }

    Fd stub(::open(QFile::encodeName(stubHostPath).constData(), O_RDONLY | O_CLOEXEC));
    if (stub.Get() < 0)
        throw Exception(QStringLiteral("Cannot open %1: %2").arg(stubHostPath, ErrnoText(errno)));
    struct stat stubStat {};
    if (::fstat(stub.Get(), &stubStat) != 0 || !S_ISREG(stubStat.st_mode))
        throw Exception(QStringLiteral("%1 is not a file.").arg(stubHostPath));
    // A stub that is itself a built wizard gives its executable part only.
    const auto old = ParseBlock(stub.Get(), uint64_t(stubStat.st_size), stubHostPath);
    const uint64_t stubSize = old ? old->BlockOffset : uint64_t(stubStat.st_size);

    const QFileInfo outInfo(outHostPath);
    const QString dir = outInfo.absolutePath();
    std::mt19937_64 rng(std::random_device{}());
    QString tempPath;
    int rawFd = -1;
    for (int attempt = 0; attempt < 100 && rawFd < 0; ++attempt) {
        tempPath = dir + QStringLiteral("/.") + outInfo.fileName() + QStringLiteral(".%1.tmp").arg(rng() % 1000000000);
        rawFd = ::open(QFile::encodeName(tempPath).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (rawFd < 0 && errno != EEXIST)
            break;
    }
    if (rawFd < 0)
        throw Exception(QStringLiteral("Cannot create %1: %2").arg(outHostPath, ErrnoText(errno)));
    Fd out(rawFd);
    bool committed = false;
    const QByteArray tempName = QFile::encodeName(tempPath);
    struct Cleanup {
        const QByteArray &Name;
        const bool &Committed;
        ~Cleanup()
        {
            if (!Committed)
                ::unlink(Name.constData());
        }
    } cleanup{tempName, committed};

    auto fail = [&](const QString &what) {
        throw Exception(QStringLiteral("Cannot write %1: %2").arg(outHostPath, what));
    };

    std::vector<char> buffer(1 << 20);
    for (uint64_t done = 0; done < stubSize;) {
        const uint64_t n = std::min<uint64_t>(buffer.size(), stubSize - done);
        if (!ReadExactly(stub.Get(), buffer.data(), n, done))
            throw Exception(QStringLiteral("Cannot read %1: %2").arg(stubHostPath, ErrnoText(errno ? errno : EIO)));
        if (!WriteAll(out.Get(), buffer.data(), n))
            fail(ErrnoText(errno));
        done += n;
    }

    // Entry data starts on an 8-byte boundary, so that a reader may map it as it pleases.
    uint64_t pos = stubSize;
    auto pad = [&]() {
        static const char zeros[8] = {};
        const uint64_t n = (8 - pos % 8) % 8;
        if (n && !WriteAll(out.Get(), zeros, n))
            fail(ErrnoText(errno));
        pos += n;
    };
    pad();
    const uint64_t blockOffset = pos;
    QByteArray index;
    Put32(index, uint32_t(entries.size()));
    for (const ResourceEntry &e : entries) {
        pad();
        Put32(index, e.Type);
        Put32(index, 0); // language neutral
        Put64(index, pos);
        Put64(index, uint64_t(e.Data.size()));
        const QByteArray name = Utf16LeBytes(e.Name.toUpper());
        Put32(index, uint32_t(name.size()));
        index.append(name);
        while (index.size() % 4)
            index.append('\0');
        if (!WriteAll(out.Get(), e.Data.constData(), uint64_t(e.Data.size())))
            fail(ErrnoText(errno));
        pos += uint64_t(e.Data.size());
    }
    pad();
    if (uint64_t(index.size()) > MaxIndexSize)
        throw Exception(QStringLiteral("Too many resources for one executable."));
    QByteArray trailer;
    Put64(trailer, blockOffset);
    Put64(trailer, pos);
    Put32(trailer, uint32_t(index.size()));
    Put32(trailer, Crc32(index.constData(), uint64_t(index.size())));
    Put32(trailer, FormatVersion);
    Put32(trailer, Crc32(trailer.constData(), 28));
    trailer.append(Magic, sizeof Magic);
    if (!WriteAll(out.Get(), index.constData(), uint64_t(index.size()))
        || !WriteAll(out.Get(), trailer.constData(), uint64_t(trailer.size())))
        fail(ErrnoText(errno));

    // The stub's permissions, and execute wherever it may be read: the wizard must run
    // as it comes out of the tool.
    const mode_t mode = (stubStat.st_mode & 07777) | ((stubStat.st_mode & 0444) >> 2);
    if (::fchmod(out.Get(), mode & ~mode_t(06000)) != 0 || ::fsync(out.Get()) != 0)
        fail(ErrnoText(errno));
    if (::close(out.Release()) != 0)
        fail(ErrnoText(errno));
    if (::rename(tempName.constData(), QFile::encodeName(outHostPath).constData()) != 0)
        fail(ErrnoText(errno));
    committed = true;
}

} // namespace Os
