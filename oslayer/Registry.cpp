// The registry API over the prefix's hive files.
#include "oslayer/Registry.h"

#include "oslayer/Environment.h"
#include "oslayer/OsTexts.h"
#include "oslayer/RegistryHive.h"
#include "oslayer/WinError.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace Os {

using Detail::Hive;
using Detail::HiveNode;
using Detail::HiveSection;
using Detail::HiveValue;

namespace {

constexpr uint32_t WriteAccessMask = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | 0x00010000 /* DELETE */
    | 0x00040000 /* WRITE_DAC */ | 0x00080000 /* WRITE_OWNER */;

struct FileIdentity {
    bool Exists = false;
    dev_t Device = 0;
    ino_t Inode = 0;
    qint64 MTimeNs = 0;
    qint64 Size = 0;
    bool operator==(const FileIdentity &) const = default;
};

FileIdentity Identify(const QString &path)
{
    FileIdentity id;
    struct stat st {};
    const QByteArray native = QFile::encodeName(path);
    if (::stat(native.constData(), &st) != 0)
        return id;
    id.Exists = true;
    id.Device = st.st_dev;
    id.Inode = st.st_ino;
    id.MTimeNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    id.Size = st.st_size;
    return id;
}

struct CacheEntry {
    FileIdentity Identity;
    std::shared_ptr<Hive> Data;
};

std::mutex gCacheLock;
QHash<QString, CacheEntry> gCache;

std::shared_ptr<Hive> HiveFor(RegRoot root)
{
    const QString path = HiveFilePath(root);
    const FileIdentity identity = Identify(path);
    {
        std::lock_guard guard(gCacheLock);
        const auto it = gCache.constFind(path);
        if (it != gCache.constEnd() && it->Identity == identity)
            return it->Data;
    }
    std::shared_ptr<Hive> hive = Hive::Load(path, root == RegRoot::LocalMachine);
    std::lock_guard guard(gCacheLock);
    gCache.insert(path, CacheEntry { identity, hive });
    return hive;
}

void Forget(const QString &path)
{
    std::lock_guard guard(gCacheLock);
    gCache.remove(path);
}

// A hive without write bits is read-only for everyone, root included: a write open is
// then denied, as for a key whose rights forbid it.
bool HiveWritable(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::stat(native.constData(), &st) == 0) {
        if ((st.st_mode & 0222) == 0 || ::access(native.constData(), W_OK) != 0)
            return false;
    }
    const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
    if (::stat(dir.constData(), &st) != 0)
        return false;
    return (st.st_mode & 0222) != 0 && ::access(dir.constData(), W_OK | X_OK) == 0;
}

void RefuseWhileWineRuns(const QString &path)
{
    if (Environment::WineserverRunning())
        throw ERegistryError(Texts::RegistryWineserverRunning().arg(path, Environment::PrefixRoot()));
}

void WriteFully(int fd, const QByteArray &data)
{
    const char *p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw errno;
        }
        p += n;
        left -= n;
    }
}

// Temporary file beside the hive, fsync, rename over it: a crash leaves the old hive or
// the new one, never half of one.
void Save(Hive &hive)
{
    const QString path = hive.FilePath();
    const QByteArray text = hive.Serialize();
    const QByteArray native = QFile::encodeName(path);
    mode_t mode = 0644;
    struct stat st {};
    if (::stat(native.constData(), &st) == 0)
        mode = st.st_mode & 07777;
    QByteArray temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = native + ".dremlix-" + QByteArray::number(qint64(::getpid())) + '-'
            + QByteArray::number(attempt);
        fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    try {
        if (fd < 0)
            throw errno;
        WriteFully(fd, text);
        if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0)
            throw errno;
        const int closed = ::close(fd);
        fd = -1;
        if (closed != 0)
            throw errno;
        if (::rename(temp.constData(), native.constData()) != 0)
            throw errno;
    } catch (int err) {
        if (fd >= 0)
            ::close(fd);
        if (!temp.isEmpty())
            ::unlink(temp.constData());
        Forget(path);
        throw ERegistryError(Texts::RegistryWriteFailed().arg(path, SysErrorMessage(ErrorFromErrno(err))));
    }
    const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
    const int dirFd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    hive.MarkWritten();
    const FileIdentity identity = Identify(path);
    std::lock_guard guard(gCacheLock);
    auto it = gCache.find(path);
    if (it != gCache.end())
        it->Identity = identity;
}

QStringList SplitKeyPath(const QString &path)
{
    return path.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
}

// What a 32-bit program asks for, in the keys the file holds.
QStringList ViewPath(RegRoot root, const QStringList &components, uint32_t access, const Hive &hive)
{
    if (root != RegRoot::LocalMachine || !hive.IsWin64() || (access & KEY_WOW64_64KEY))
        return components;
    if (components.isEmpty() || components.at(0).compare(QLatin1String("Software"), Qt::CaseInsensitive) != 0)
        return components;
    if (components.size() >= 2
        && components.at(1).compare(QLatin1String("Wow6432Node"), Qt::CaseInsensitive) == 0)
        return components;
    QStringList redirected = components;
    redirected.insert(1, QStringLiteral("Wow6432Node"));
    return redirected;
}

struct Resolution {
    HiveNode *Node = nullptr;
    QStringList RealPath; // in the file, links followed; for a missing key, what would be created
};

Resolution Resolve(const Hive &hive, QStringList components)
{
    Resolution result;
    HiveNode *node = hive.Root();
    QStringList walked;
    int links = 0;
    for (qsizetype i = 0; i < components.size(); ++i) {
        HiveNode *child = node->Child(components.at(i));
        if (!child) {
            result.RealPath = walked + components.mid(i);
            return result;
        }
        node = child;
        walked.append(child->Name);
        const QStringList target = hive.LinkTarget(node);
        if (!target.isEmpty() && links < 16) {
            ++links;
            components = target + components.mid(i + 1);
            node = hive.Root();
            walked.clear();
            i = -1;
        }
    }
    result.Node = node;
    result.RealPath = walked;
    return result;
}

QString Utf16ToString(const QByteArray &data, qsizetype from, qsizetype *next)
{
    QString text;
    qsizetype i = from;
    for (; i + 1 < data.size(); i += 2) {
        const char16_t c = char16_t(uchar(data[i]) | (uchar(data[i + 1]) << 8));
        if (c == 0) {
            i += 2;
            break;
        }
        text += QChar(c);
    }
    if (next)
        *next = i;
    return text;
}

} // namespace

QString HiveFilePath(RegRoot root)
{
    return Environment::PrefixRoot()
        + (root == RegRoot::LocalMachine ? QStringLiteral("/system.reg") : QStringLiteral("/user.reg"));
}

void ClearRegistryCache()
{
    std::lock_guard guard(gCacheLock);
    gCache.clear();
}

// ---- RegValue ----

RegValue RegValue::FromString(const QString &text, uint32_t type)
{
    RegValue value;
    value.Type = type;
    value.Data.reserve((text.size() + 1) * 2);
    for (const QChar ch : text) {
        value.Data.append(char(ch.unicode() & 0xFF));
        value.Data.append(char(ch.unicode() >> 8));
    }
    value.Data.append(2, '\0');
    return value;
}

RegValue RegValue::FromDword(uint32_t dw)
{
    RegValue value;
    value.Type = REG_DWORD;
    value.Data = QByteArray(4, '\0');
    for (int i = 0; i < 4; ++i)
        value.Data[i] = char((dw >> (8 * i)) & 0xFF);
    return value;
}

RegValue RegValue::FromMultiString(const QStringList &items)
{
    RegValue value;
    value.Type = REG_MULTI_SZ;
    for (const QString &item : items) {
        for (const QChar ch : item) {
            value.Data.append(char(ch.unicode() & 0xFF));
            value.Data.append(char(ch.unicode() >> 8));
        }
        value.Data.append(2, '\0');
    }
    value.Data.append(2, '\0');
    return value;
}

RegValue RegValue::FromBinary(const QByteArray &bytes, uint32_t type)
{
    RegValue value;
    value.Type = type;
    value.Data = bytes;
    return value;
}

QString RegValue::AsString() const
{
    if (Type != REG_SZ && Type != REG_EXPAND_SZ && Type != REG_MULTI_SZ && Type != REG_LINK)
        return QString();
    return Utf16ToString(Data, 0, nullptr);
}

uint32_t RegValue::AsDword() const
{
    uint32_t dw = 0;
    const qsizetype n = std::min<qsizetype>(Data.size(), 4);
    for (qsizetype i = 0; i < n; ++i)
        dw |= uint32_t(uchar(Data[i])) << (8 * i);
    return dw;
}

QStringList RegValue::AsMultiString() const
{
    QStringList items;
    if (Type == REG_SZ || Type == REG_EXPAND_SZ) {
        items.append(AsString());
        return items;
    }
    if (Type != REG_MULTI_SZ)
        return items;
    qsizetype i = 0;
    while (i + 1 < Data.size()) {
        qsizetype next = i;
        const QString item = Utf16ToString(Data, i, &next);
        if (item.isEmpty())
            break; // the empty string that ends the list
        items.append(item);
        i = next;
    }
    return items;
}

// ---- RegKey ----

struct RegKey::Impl {
    RegRoot Root = RegRoot::CurrentUser;
    QStringList RealPath;
    uint32_t Access = 0;

    // The key in the current state of its hive; null when someone deleted it.
    std::pair<std::shared_ptr<Hive>, HiveNode *> Locate() const
    {
        std::shared_ptr<Hive> hive = HiveFor(Root);
        HiveNode *node = hive->Find(RealPath);
        return { hive, node };
    }
};

RegKey::RegKey() = default;
RegKey::~RegKey() = default;
RegKey::RegKey(RegKey &&) noexcept = default;
RegKey &RegKey::operator=(RegKey &&) noexcept = default;

uint32_t RegKey::Open(RegRoot root, const QString &path, uint32_t access, RegKey &key)
{
    key.Close();
    std::shared_ptr<Hive> hive = HiveFor(root);
    const Resolution found = Resolve(*hive, ViewPath(root, SplitKeyPath(path), access, *hive));
    if (!found.Node)
        return ERROR_FILE_NOT_FOUND;
    if ((access & WriteAccessMask) && !HiveWritable(hive->FilePath()))
        return ERROR_ACCESS_DENIED;
    key.d = std::make_unique<Impl>();
    key.d->Root = root;
    key.d->RealPath = found.RealPath;
    key.d->Access = access;
    return ERROR_SUCCESS;
}

uint32_t RegKey::Create(RegRoot root, const QString &path, uint32_t access, RegKey &key)
{
    key.Close();
    std::shared_ptr<Hive> hive = HiveFor(root);
    const Resolution found = Resolve(*hive, ViewPath(root, SplitKeyPath(path), access, *hive));
    if (found.Node)
        return Open(root, path, access, key);
    if (!HiveWritable(hive->FilePath()))
        return ERROR_ACCESS_DENIED;
    RefuseWhileWineRuns(hive->FilePath());
    hive->Ensure(found.RealPath);
    Save(*hive);
    if ((access & WriteAccessMask) == 0 || HiveWritable(hive->FilePath())) {
        key.d = std::make_unique<Impl>();
        key.d->Root = root;
        key.d->RealPath = found.RealPath;
        key.d->Access = access;
        return ERROR_SUCCESS;
    }
    return ERROR_ACCESS_DENIED;
}

uint32_t RegKey::DeleteKey(RegRoot root, const QString &path, uint32_t access)
{
    std::shared_ptr<Hive> hive = HiveFor(root);
    const Resolution found = Resolve(*hive, ViewPath(root, SplitKeyPath(path), access, *hive));
    if (!found.Node)
        return ERROR_FILE_NOT_FOUND;
    if (!found.Node->Parent || !found.Node->Children.empty() || !HiveWritable(hive->FilePath()))
        return ERROR_ACCESS_DENIED;
    RefuseWhileWineRuns(hive->FilePath());
    hive->RemoveNode(found.Node);
    Save(*hive);
    return ERROR_SUCCESS;
}

uint32_t RegKey::DeleteTree(RegRoot root, const QString &path, uint32_t access)
{
    std::shared_ptr<Hive> hive = HiveFor(root);
    const Resolution found = Resolve(*hive, ViewPath(root, SplitKeyPath(path), access, *hive));
    if (!found.Node)
        return ERROR_FILE_NOT_FOUND;
    if (!found.Node->Parent || !HiveWritable(hive->FilePath()))
        return ERROR_ACCESS_DENIED;
    RefuseWhileWineRuns(hive->FilePath());
    hive->RemoveNode(found.Node);
    Save(*hive);
    return ERROR_SUCCESS;
}

bool RegKey::IsOpen() const
{
    return d != nullptr;
}

uint32_t RegKey::Access() const
{
    return d ? d->Access : 0;
}

uint32_t RegKey::QueryValue(const QString &name, RegValue &value) const
{
    if (!d)
        return ERROR_INVALID_HANDLE;
    if (!(d->Access & KEY_QUERY_VALUE))
        return ERROR_ACCESS_DENIED;
    auto [hive, node] = d->Locate();
    if (!node)
        return ERROR_KEY_DELETED;
    if (!node->Section)
        return ERROR_FILE_NOT_FOUND;
    const HiveValue *found = node->Section->FindValue(name);
    if (!found)
        return ERROR_FILE_NOT_FOUND;
    value.Type = found->Type;
    value.Data = found->Data;
    return ERROR_SUCCESS;
}

bool RegKey::ValueExists(const QString &name) const
{
    RegValue ignored;
    return QueryValue(name, ignored) == ERROR_SUCCESS;
}

uint32_t RegKey::SetValue(const QString &name, const RegValue &value)
{
    if (!d)
        return ERROR_INVALID_HANDLE;
    if (!(d->Access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    auto [hive, node] = d->Locate();
    if (!node)
        return ERROR_KEY_DELETED;
    if (!HiveWritable(hive->FilePath()))
        return ERROR_ACCESS_DENIED;
    RefuseWhileWineRuns(hive->FilePath());
    HiveSection *section = hive->SectionFor(node);
    if (HiveValue *existing = section->FindValue(name)) {
        existing->Type = value.Type;
        existing->Data = value.Data;
        existing->Raw.clear();
    } else {
        HiveValue added;
        added.Name = name;
        added.Type = value.Type;
        added.Data = value.Data;
        // Wine keeps the values of a key in the order of their upper-cased names.
        const QString upper = name.toUpper();
        auto at = std::find_if(section->Values.begin(), section->Values.end(),
                               [&upper](const HiveValue &v) { return v.Name.toUpper() > upper; });
        section->Values.insert(at, std::move(added));
    }
    hive->Touch(section);
    Save(*hive);
    return ERROR_SUCCESS;
}

uint32_t RegKey::DeleteValue(const QString &name)
{
    if (!d)
        return ERROR_INVALID_HANDLE;
    if (!(d->Access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    auto [hive, node] = d->Locate();
    if (!node)
        return ERROR_KEY_DELETED;
    if (!node->Section || !node->Section->FindValue(name))
        return ERROR_FILE_NOT_FOUND;
    if (!HiveWritable(hive->FilePath()))
        return ERROR_ACCESS_DENIED;
    RefuseWhileWineRuns(hive->FilePath());
    HiveSection *section = node->Section;
    std::erase_if(section->Values,
                  [&name](const HiveValue &v) { return v.Name.compare(name, Qt::CaseInsensitive) == 0; });
    hive->Touch(section);
    Save(*hive);
    return ERROR_SUCCESS;
}

QStringList RegKey::SubKeyNames() const
{
    QStringList names;
    if (!d || !(d->Access & KEY_ENUMERATE_SUB_KEYS))
        return names;
    auto [hive, node] = d->Locate();
    if (!node)
        return names;
    for (const auto &child : node->Children)
        names.append(child.second->Name);
    return names;
}

QStringList RegKey::ValueNames() const
{
    QStringList names;
    if (!d || !(d->Access & KEY_QUERY_VALUE))
        return names;
    auto [hive, node] = d->Locate();
    if (!node || !node->Section)
        return names;
    for (const HiveValue &value : node->Section->Values)
        names.append(value.Name);
    return names;
}

void RegKey::Close()
{
    d.reset();
}

} // namespace Os
