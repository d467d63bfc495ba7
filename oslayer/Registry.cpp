// The registry API over the prefix's hive files.
#include "oslayer/Registry.h"

#include "oslayer/Environment.h"
#include "oslayer/OsTexts.h"
#include "oslayer/RegistryHive.h"
#include "oslayer/WineRegistry.h"
#include "oslayer/WinError.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace Os {

using Detail::Hive;
using Detail::HiveKey;
using Detail::HiveNode;
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

struct HiveCache {
    std::mutex Lock;
    QHash<QString, CacheEntry> Entries;
};

// Made once and never destroyed: the process does not pay for tearing parsed hives down
// at exit.
HiveCache &Cache()
{
    static auto *cache = new HiveCache;
    return *cache;
}

std::shared_ptr<Hive> FileHive(RegRoot root)
{
    const QString path = HiveFilePath(root);
    const FileIdentity identity = Identify(path);
    HiveCache &cache = Cache();
    {
        std::lock_guard guard(cache.Lock);
        const auto it = cache.Entries.constFind(path);
        if (it != cache.Entries.constEnd() && it->Identity == identity)
            return it->Data;
    }
    std::shared_ptr<Hive> hive = Hive::Load(path, root == RegRoot::LocalMachine);
    std::lock_guard guard(cache.Lock);
    cache.Entries.insert(path, CacheEntry { identity, hive });
    return hive;
}

void Forget(const QString &path)
{
    std::lock_guard guard(Cache().Lock);
    Cache().Entries.remove(path);
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
void WriteAtomically(const QString &path, const QByteArray &text)
{
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
        throw ERegistryError(Texts::RegistryWriteFailed().arg(path, SysErrorMessage(ErrorFromErrno(err))));
    }
    const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
    const int dirFd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

// Writes the changed hive. When that fails the change is forgotten with the cached hive, so
// that the next call reads the file as it is.
void Save(Hive &hive)
{
    const QString path = hive.FilePath();
    try {
        WriteAtomically(path, hive.Serialize());
    } catch (...) {
        Forget(path);
        throw;
    }
    hive.MarkWritten();
    const FileIdentity identity = Identify(path);
    std::lock_guard guard(Cache().Lock);
    auto it = Cache().Entries.find(path);
    if (it != Cache().Entries.end())
        it->Identity = identity;
}

QStringList SplitKeyPath(const QString &path) { return path.split(QLatin1Char('\\'), Qt::SkipEmptyParts); }

// ---- while a wineserver runs ----
//
// The server holds the registry in memory and writes the hive files only now and then, so
// they may be stale, and it would overwrite a change made in them. Reads then go to
// exports made by Wine (one export per key first needed, the keys every run reads in the
// first one), writes go through Wine and are checked by the export that follows them in
// the same call. When the server ends, the files are current again: the writes made
// through Wine are checked there, and made there again if the server could not save them.

using Detail::WineChange;
using Detail::WineKey;

struct WineSubtree {
    RegRoot Root = RegRoot::CurrentUser;
    QStringList Path;
    std::shared_ptr<Hive> Keys;
};

struct WineView {
    std::recursive_mutex Lock;
    QString Prefix;
    bool Active = false;
    bool Checked = false;
    QElapsedTimer SinceCheck;
    std::vector<WineSubtree> Subtrees;
    std::vector<WineChange> Written;
};

WineView &View()
{
    static auto *view = new WineView;
    return *view;
}

// Reads look for a server at most this often; writes always do.
constexpr qint64 ServerCheckIntervalMs = 2000;

bool Covers(const QStringList &outer, const QStringList &inner)
{
    if (outer.size() > inner.size())
        return false;
    for (qsizetype i = 0; i < outer.size(); ++i)
        if (outer.at(i).compare(inner.at(i), Qt::CaseInsensitive) != 0)
            return false;
    return true;
}

std::shared_ptr<Hive> EmptyHive(RegRoot root)
{
    const bool machine = root == RegRoot::LocalMachine;
    return Hive::Parse(Detail::HiveTextFromRegFile(QByteArray(), machine, machine && Environment::IsWin64Prefix()),
        QStringLiteral("Wine"), machine);
}

// A change made in the hive file, unless the file shows it already.
void ApplyToFiles(const WineChange &change)
{
    const std::shared_ptr<Hive> hive = FileHive(change.Key.Root);
    if (Detail::ChangeHolds(change, hive.get()))
        return;
    if (!HiveWritable(hive->FilePath()))
        throw ERegistryError(Texts::RegistryWriteFailed().arg(hive->FilePath(), SysErrorMessage(ERROR_ACCESS_DENIED)));
    RefuseWhileWineRuns(hive->FilePath());
    hive->DecodeAll();
    switch (change.What) {
    case WineChange::SetValue: {
        HiveNode *node = hive->Ensure(change.Key.Path);
        HiveValue &value = hive->KeyFor(node)->PutValue(change.Name);
        value.Type = change.Value.Type;
        value.Data = change.Value.Data;
        value.Raw.clear();
        hive->Touch(node);
        break;
    }
    case WineChange::DeleteValue: {
        HiveNode *node = hive->Find(change.Key.Path);
        if (HiveKey *key = node ? hive->Values(node) : nullptr)
            key->RemoveValue(change.Name);
        if (node)
            hive->Touch(node);
        break;
    }
    case WineChange::CreateKey:
        hive->Ensure(change.Key.Path);
        break;
    case WineChange::DeleteTree:
        if (HiveNode *node = hive->Find(change.Key.Path))
            hive->RemoveNode(node);
        break;
    }
    Save(*hive);
}

// Back to the files, with every write made through Wine in them.
void LeaveWine(WineView &view)
{
    view.Active = false;
    view.Subtrees.clear();
    std::vector<WineChange> written;
    written.swap(view.Written);
    for (const WineChange &change : written)
        ApplyToFiles(change);
}

void ResetView(WineView &view)
{
    view.Prefix = Environment::PrefixRoot();
    view.Active = false;
    view.Checked = false;
    view.Subtrees.clear();
    view.Written.clear();
}

// Whether the registry goes through Wine now. A write asks the prefix afresh.
bool ThroughWine(bool forWrite)
{
    WineView &view = View();
    std::lock_guard guard(view.Lock);
    if (view.Prefix != Environment::PrefixRoot())
        ResetView(view);
    if (!forWrite && view.Checked && view.SinceCheck.elapsed() < ServerCheckIntervalMs)
        return view.Active;
    // Without Wine there is no way in but the files: reads go on, writes are refused.
    const bool running = Environment::WineserverRunning() && !Wine::Program().isEmpty();
    view.Checked = true;
    view.SinceCheck.start();
    if (running) {
        view.Active = true;
        return true;
    }
    if (view.Active)
        LeaveWine(view);
    return false;
}

// The keys every run reads, exported with the first key asked.
QList<WineKey> FirstExport()
{
    const bool win64 = Environment::IsWin64Prefix();
    const QString software = win64 ? QStringLiteral("Software\\Wow6432Node") : QStringLiteral("Software");
    QList<WineKey> keys { { RegRoot::CurrentUser, {} } };
    const QStringList machineKeys { QStringLiteral("Software\\Wine\\Drives"),
        software + QStringLiteral("\\Microsoft\\Windows NT\\CurrentVersion"),
        QStringLiteral("System\\CurrentControlSet\\Control\\Session Manager\\Environment") };
    for (const QString &path : machineKeys)
        keys.append({ RegRoot::LocalMachine, SplitKeyPath(path) });
    return keys;
}

// The keys at path (a real path) as Wine sees them: from an export made earlier in the run
// that holds them, else from a new one.
std::shared_ptr<Hive> WineHive(RegRoot root, const QStringList &path)
{
    WineView &view = View();
    std::lock_guard guard(view.Lock);
    const auto find = [&]() -> WineSubtree * {
        for (WineSubtree &subtree : view.Subtrees)
            if (subtree.Root == root && Covers(subtree.Path, path))
                return &subtree;
        return nullptr;
    };
    if (WineSubtree *known = find())
        return known->Keys;
    QList<WineKey> keys;
    if (view.Subtrees.empty())
        keys = FirstExport();
    if (std::none_of(keys.cbegin(), keys.cend(),
            [&](const WineKey &key) { return key.Root == root && Covers(key.Path, path); }))
        keys.append({ root, path });
    for (const Detail::WineExported &exported : Detail::WineExport(keys)) {
        std::erase_if(view.Subtrees, [&](const WineSubtree &old) {
            return old.Root == exported.Key.Root && Covers(exported.Key.Path, old.Path);
        });
        view.Subtrees.push_back(
            { exported.Key.Root, exported.Key.Path, exported.Keys ? exported.Keys : EmptyHive(exported.Key.Root) });
    }
    return find()->Keys;
}

// The hive that holds the key at path (a real path) now: the file, or what Wine sees.
std::shared_ptr<Hive> HiveFor(RegRoot root, const QStringList &path)
{
    return ThroughWine(false) ? WineHive(root, path) : FileHive(root);
}

// Makes the change that the hive shows in memory: into the file, or through Wine.
void Commit(RegRoot root, Hive &hive, bool throughWine, WineChange::Kind what, const QStringList &path,
    const QString &name = QString(), const RegValue &value = RegValue())
{
    if (!throughWine) {
        Save(hive);
        return;
    }
    const WineChange change { what, { root, path }, name, value };
    WineView &view = View();
    std::lock_guard guard(view.Lock);
    QString failed;
    try {
        failed = Detail::WineApply(change);
    } catch (const ERegistryError &error) {
        failed = error.Message();
    }
    if (failed.isEmpty()) {
        view.Written.push_back(change);
        return;
    }
    // The server ended meanwhile: the files hold what it saved, and this change goes there.
    if (!Environment::WineserverRunning()) {
        view.Checked = false;
        LeaveWine(view);
        ApplyToFiles(change);
        return;
    }
    view.Subtrees.clear(); // what Wine holds is read again
    const QString key = (root == RegRoot::LocalMachine ? QStringLiteral("HKEY_LOCAL_MACHINE\\")
                                                       : QStringLiteral("HKEY_CURRENT_USER\\"))
        + path.join(QLatin1Char('\\'));
    throw ERegistryError(Texts::RegistryWineWriteFailed().arg(key, Environment::PrefixRoot(), failed));
}

// What every change checks before it touches the hive in memory: the right to write the
// file, no wineserver owning it, and every line of it readable (a hive that does not parse
// is never rewritten).
uint32_t MayChange(RegRoot root, Hive &hive, bool throughWine)
{
    if (!HiveWritable(HiveFilePath(root)))
        return ERROR_ACCESS_DENIED;
    if (!throughWine)
        RefuseWhileWineRuns(hive.FilePath());
    hive.DecodeAll();
    return ERROR_SUCCESS;
}

// What a 32-bit program asks for, in the keys the file holds.
QStringList ViewPath(RegRoot root, const QStringList &components, uint32_t access, bool win64)
{
    if (root != RegRoot::LocalMachine || !win64 || (access & KEY_WOW64_64KEY))
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

Resolution Resolve(Hive &hive, QStringList components)
{
    Resolution result;
    HiveNode *node = hive.Root();
    QStringList walked;
    int links = 0;
    for (qsizetype i = 0; i < components.size(); ++i) {
        HiveNode *child = hive.Child(node, components.at(i));
        if (!child) {
            result.RealPath = walked + components.mid(i);
            return result;
        }
        node = child;
        walked.append(child->Name.ToString());
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

// The key a path names in the hive of its root, seen as the access mask asks.
struct Located {
    std::shared_ptr<Hive> In;
    Resolution Key;
};

Located Locate(RegRoot root, const QString &path, uint32_t access)
{
    Located found;
    if (ThroughWine(false)) {
        const QStringList view = ViewPath(root, SplitKeyPath(path), access, Environment::IsWin64Prefix());
        found.In = WineHive(root, view);
        found.Key = Resolve(*found.In, view);
    } else {
        found.In = FileHive(root);
        found.Key = Resolve(*found.In, ViewPath(root, SplitKeyPath(path), access, found.In->IsWin64()));
    }
    return found;
}

void AppendUtf16(QByteArray &data, const QString &text)
{
    for (const QChar ch : text) {
        data.append(char(ch.unicode() & 0xFF));
        data.append(char(ch.unicode() >> 8));
    }
    data.append(2, '\0');
}

} // namespace

QString HiveFilePath(RegRoot root)
{
    return Environment::PrefixRoot()
        + (root == RegRoot::LocalMachine ? QStringLiteral("/system.reg") : QStringLiteral("/user.reg"));
}

void ClearRegistryCache()
{
    {
        std::lock_guard guard(View().Lock);
        ResetView(View());
    }
    std::lock_guard guard(Cache().Lock);
    Cache().Entries.clear();
}

// ---- RegValue ----

RegValue RegValue::FromString(const QString &text, uint32_t type)
{
    RegValue value;
    value.Type = type;
    value.Data.reserve((text.size() + 1) * 2);
    AppendUtf16(value.Data, text);
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
    for (const QString &item : items)
        AppendUtf16(value.Data, item);
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
    return Detail::Utf16Text(Data);
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
        const QString item = Detail::Utf16Text(Data, i, &next);
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

    // The key of a handle in the current state of its hive, for work that needs the access
    // right given: 0, or the error of a closed or denied handle or of a deleted key.
    static uint32_t Reach(const Impl *d, uint32_t right, std::shared_ptr<Hive> &hive, HiveNode *&node)
    {
        if (!d)
            return ERROR_INVALID_HANDLE;
        if (!(d->Access & right))
            return ERROR_ACCESS_DENIED;
        hive = HiveFor(d->Root, d->RealPath);
        node = hive->Find(d->RealPath);
        return node ? ERROR_SUCCESS : ERROR_KEY_DELETED;
    }
};

namespace {

// RegDeleteKey and RegDeleteTree: without subkeysToo a key with subkeys stays.
// Start-ups delete keys of older versions that most prefixes never had: for a hive not
// read yet, a file that cannot name the key says so without indexing its thousands of keys.
bool NeverNamed(RegRoot root, const QString &path)
{
    const QStringList components = SplitKeyPath(path);
    if (components.isEmpty() || ThroughWine(false))
        return false;
    const QString file = HiveFilePath(root);
    const FileIdentity identity = Identify(file);
    if (!identity.Exists)
        return false;
    {
        std::lock_guard guard(Cache().Lock);
        const auto it = Cache().Entries.constFind(file);
        if (it != Cache().Entries.constEnd() && it->Identity == identity)
            return false;
    }
    QFile hive(file);
    if (!hive.open(QIODevice::ReadOnly))
        return false;
    return Detail::TextCannotNameKey(hive.readAll(), components.last());
}

uint32_t RemoveKey(RegRoot root, const QString &path, uint32_t access, bool subkeysToo)
{
    const bool wine = ThroughWine(true);
    if (NeverNamed(root, path))
        return ERROR_FILE_NOT_FOUND;
    const Located found = Locate(root, path, access);
    HiveNode *node = found.Key.Node;
    if (!node)
        return ERROR_FILE_NOT_FOUND;
    if (!node->Parent || (!subkeysToo && node->HasChildren()))
        return ERROR_ACCESS_DENIED;
    if (const uint32_t rc = MayChange(root, *found.In, wine))
        return rc;
    found.In->RemoveNode(node);
    Commit(root, *found.In, wine, WineChange::DeleteTree, found.Key.RealPath);
    return ERROR_SUCCESS;
}

} // namespace

RegKey::RegKey() = default;
RegKey::~RegKey() = default;
RegKey::RegKey(RegKey &&) noexcept = default;
RegKey &RegKey::operator=(RegKey &&) noexcept = default;

uint32_t RegKey::Open(RegRoot root, const QString &path, uint32_t access, RegKey &key)
{
    key.Close();
    const Located found = Locate(root, path, access);
    if (!found.Key.Node)
        return ERROR_FILE_NOT_FOUND;
    if ((access & WriteAccessMask) && !HiveWritable(HiveFilePath(root)))
        return ERROR_ACCESS_DENIED;
    // The key's values are read now, so that a line of it that does not parse is told here.
    found.In->Values(found.Key.Node);
    key.d = std::make_unique<Impl>(Impl { root, found.Key.RealPath, access });
    return ERROR_SUCCESS;
}

uint32_t RegKey::Create(RegRoot root, const QString &path, uint32_t access, RegKey &key)
{
    key.Close();
    const bool wine = ThroughWine(true);
    const Located found = Locate(root, path, access);
    if (found.Key.Node)
        return Open(root, path, access, key);
    // Windows refuses such a key; written, it would make the hive one that does not parse.
    if (found.Key.RealPath.size() > Detail::MaxKeyDepth)
        return ERROR_INVALID_PARAMETER;
    if (const uint32_t rc = MayChange(root, *found.In, wine))
        return rc;
    found.In->Ensure(found.Key.RealPath);
    Commit(root, *found.In, wine, WineChange::CreateKey, found.Key.RealPath);
    if ((access & WriteAccessMask) && !HiveWritable(HiveFilePath(root)))
        return ERROR_ACCESS_DENIED;
    key.d = std::make_unique<Impl>(Impl { root, found.Key.RealPath, access });
    return ERROR_SUCCESS;
}

uint32_t RegKey::DeleteKey(RegRoot root, const QString &path, uint32_t access)
{
    return RemoveKey(root, path, access, false);
}

uint32_t RegKey::DeleteTree(RegRoot root, const QString &path, uint32_t access)
{
    return RemoveKey(root, path, access, true);
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
    std::shared_ptr<Hive> hive;
    HiveNode *node = nullptr;
    if (const uint32_t rc = Impl::Reach(d.get(), KEY_QUERY_VALUE, hive, node))
        return rc;
    HiveKey *key = hive->Values(node);
    const HiveValue *found = key ? key->FindValue(name) : nullptr;
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
    std::shared_ptr<Hive> hive;
    HiveNode *node = nullptr;
    const bool wine = d && ThroughWine(true);
    if (const uint32_t rc = Impl::Reach(d.get(), KEY_SET_VALUE, hive, node))
        return rc;
    if (const uint32_t rc = MayChange(d->Root, *hive, wine))
        return rc;
    HiveValue &changed = hive->KeyFor(node)->PutValue(name);
    changed.Type = value.Type;
    changed.Data = value.Data;
    changed.Raw.clear();
    hive->Touch(node);
    Commit(d->Root, *hive, wine, WineChange::SetValue, d->RealPath, name, value);
    return ERROR_SUCCESS;
}

uint32_t RegKey::DeleteValue(const QString &name)
{
    std::shared_ptr<Hive> hive;
    HiveNode *node = nullptr;
    const bool wine = d && ThroughWine(true);
    if (const uint32_t rc = Impl::Reach(d.get(), KEY_SET_VALUE, hive, node))
        return rc;
    HiveKey *key = hive->Values(node);
    if (!key || !key->FindValue(name))
        return ERROR_FILE_NOT_FOUND;
    if (const uint32_t rc = MayChange(d->Root, *hive, wine))
        return rc;
    key->RemoveValue(name);
    hive->Touch(node);
    Commit(d->Root, *hive, wine, WineChange::DeleteValue, d->RealPath, name);
    return ERROR_SUCCESS;
}

QStringList RegKey::SubKeyNames() const
{
    QStringList names;
    std::shared_ptr<Hive> hive;
    HiveNode *node = nullptr;
    if (Impl::Reach(d.get(), KEY_ENUMERATE_SUB_KEYS, hive, node) == ERROR_SUCCESS)
        for (const HiveNode *child : hive->Children(node))
            names.append(child->Name.ToString());
    return names;
}

QStringList RegKey::ValueNames() const
{
    QStringList names;
    std::shared_ptr<Hive> hive;
    HiveNode *node = nullptr;
    if (Impl::Reach(d.get(), KEY_QUERY_VALUE, hive, node) != ERROR_SUCCESS)
        return names;
    if (const HiveKey *key = hive->Values(node))
        for (const HiveValue &value : key->Values)
            names.append(value.Name);
    return names;
}

void RegKey::Close()
{
    d.reset();
}

} // namespace Os
