// VS_VERSIONINFO blocks: building, parsing with bounds on every read, and finding them in
// PE files and in the resource block of a wizard.
#include "oslayer/VersionResource.h"

#include "oslayer/Environment.h"
#include "oslayer/ExeResources.h"
#include "oslayer/Files.h"
#include "oslayer/Paths.h"
#include "oslayer/Registry.h"
#include "oslayer/WinError.h"

#include <QFile>
#include <QFileInfo>

#include <cstring>

namespace Os {

namespace {

constexpr uint32_t FixedSignature = 0xFEEF04BD;
constexpr qsizetype FixedSize = 52;
// No version resource comes near this; a bigger claim is a damaged or hostile file.
constexpr qsizetype MaxVersionBlock = 1 << 20;

qsizetype Align4(qsizetype n)
{
    return (n + 3) & ~qsizetype(3);
}

uint16_t U16(const QByteArray &b, qsizetype at)
{
    return uint16_t(uchar(b[at]) | (uchar(b[at + 1]) << 8));
}

uint32_t U32(const QByteArray &b, qsizetype at)
{
    return uint32_t(uchar(b[at])) | (uint32_t(uchar(b[at + 1])) << 8) | (uint32_t(uchar(b[at + 2])) << 16)
        | (uint32_t(uchar(b[at + 3])) << 24);
}

void PutU16(QByteArray &b, uint16_t v)
{
    b.append(char(v & 0xFF));
    b.append(char(v >> 8));
}

void PutU32(QByteArray &b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.append(char((v >> (8 * i)) & 0xFF));
}

void PutUtf16z(QByteArray &b, const QString &text)
{
    for (const QChar c : text)
        PutU16(b, c.unicode());
    PutU16(b, 0);
}

void Pad4(QByteArray &b)
{
    while (b.size() % 4)
        b.append('\0');
}

// One node of the tree: header, key, value, children.
struct Node {
    QString Key;
    uint16_t Type = 0;       // 0 binary value, 1 text value
    qsizetype ValueStart = 0;
    qsizetype ValueBytes = 0;
    qsizetype ChildrenStart = 0;
    qsizetype End = 0;
};

// Reads the node at offset inside [offset, limit); false for anything that does not fit.
bool ReadNode(const QByteArray &raw, qsizetype offset, qsizetype limit, Node &node)
{
    if (offset < 0 || limit > raw.size() || offset + 6 > limit)
        return false;
    const qsizetype length = U16(raw, offset);
    const qsizetype valueLength = U16(raw, offset + 2);
    node.Type = U16(raw, offset + 4);
    if (length < 6 || offset + length > limit)
        return false;
    node.End = offset + length;
    node.Key.clear();
    qsizetype p = offset + 6;
    for (;;) {
        if (p + 2 > node.End)
            return false; // a key without its NUL
        const uint16_t c = U16(raw, p);
        p += 2;
        if (c == 0)
            break;
        node.Key += QChar(char16_t(c));
    }
    node.ValueStart = std::min(Align4(p), node.End);
    qsizetype bytes = node.Type == 1 ? valueLength * 2 : valueLength;
    if (node.ValueStart + bytes > node.End) {
        // Some compilers count text values in bytes, or round them: the node's end bounds it.
        if (node.Type != 1)
            return false;
        bytes = node.End - node.ValueStart;
    }
    node.ValueBytes = bytes;
    node.ChildrenStart = std::min(Align4(node.ValueStart + bytes), node.End);
    return true;
}

QList<Node> Children(const QByteArray &raw, const Node &parent)
{
    QList<Node> children;
    qsizetype p = parent.ChildrenStart;
    while (p + 6 <= parent.End) {
        Node child;
        if (!ReadNode(raw, p, parent.End, child))
            break;
        children.append(child);
        p = Align4(child.End); // every node is at least 6 bytes long: this always moves on
    }
    return children;
}

std::optional<Node> Child(const QByteArray &raw, const Node &parent, const QString &key)
{
    for (const Node &child : Children(raw, parent))
        if (child.Key.compare(key, Qt::CaseInsensitive) == 0)
            return child;
    return std::nullopt;
}

QString TextValue(const QByteArray &raw, const Node &node)
{
    QString text;
    for (qsizetype p = node.ValueStart; p + 2 <= node.ValueStart + node.ValueBytes; p += 2) {
        const uint16_t c = U16(raw, p);
        if (c == 0)
            break;
        text += QChar(char16_t(c));
    }
    return text;
}

QByteArray Encode(const QString &key, uint16_t type, const QByteArray &value, uint16_t valueLength,
                  const QList<QByteArray> &children)
{
    QByteArray b;
    PutU16(b, 0); // length, set below
    PutU16(b, valueLength);
    PutU16(b, type);
    PutUtf16z(b, key);
    Pad4(b);
    b += value;
    for (const QByteArray &child : children) {
        Pad4(b);
        b += child;
    }
    b[0] = char(b.size() & 0xFF);
    b[1] = char((b.size() >> 8) & 0xFF);
    return b;
}

QByteArray TextBytes(const QString &text)
{
    QByteArray b;
    PutUtf16z(b, text);
    return b;
}

// ---- PE files ----

struct Section {
    uint32_t VirtualAddress;
    uint32_t VirtualSize;
    uint32_t RawSize;
    uint32_t RawPointer;
};

class PeImage {
public:
    explicit PeImage(const QByteArray &file) : FFile(file) {}

    bool Parse()
    {
        const QByteArray &f = FFile;
        if (f.size() < 0x40 || f[0] != 'M' || f[1] != 'Z')
            return false;
        const qsizetype pe = U32(f, 0x3C);
        if (pe < 0x40 || pe > f.size() - 24 || std::memcmp(f.constData() + pe, "PE\0\0", 4) != 0)
            return false;
        const qsizetype coff = pe + 4;
        const uint16_t sections = U16(f, coff + 2);
        const uint16_t optionalSize = U16(f, coff + 16);
        const qsizetype optional = coff + 20;
        if (optional + optionalSize > f.size() || optionalSize < 2)
            return false;
        const uint16_t magic = U16(f, optional);
        qsizetype countAt;
        qsizetype directories;
        if (magic == 0x10B) {
            countAt = 92;
            directories = 96;
        } else if (magic == 0x20B) {
            countAt = 108;
            directories = 112;
        } else {
            return false;
        }
        if (countAt + 4 > optionalSize)
            return false;
        const uint32_t count = U32(f, optional + countAt);
        if (count < 3 || directories + qsizetype(3) * 8 > optionalSize)
            return false;
        FResourceRva = U32(f, optional + directories + 16);
        FResourceSize = U32(f, optional + directories + 20);
        const qsizetype table = optional + optionalSize;
        if (table + qsizetype(sections) * 40 > f.size())
            return false;
        for (uint16_t i = 0; i < sections; ++i) {
            const qsizetype s = table + qsizetype(i) * 40;
            FSections.append({ U32(f, s + 12), U32(f, s + 8), U32(f, s + 16), U32(f, s + 20) });
        }
        return FResourceRva != 0 && FResourceSize != 0;
    }

    // The file offset of an RVA and how many bytes of the section follow it there.
    bool Offset(uint32_t rva, qsizetype &offset, qsizetype &available) const
    {
        for (const Section &s : FSections) {
            const uint64_t span = std::max(s.VirtualSize, s.RawSize);
            if (rva >= s.VirtualAddress && uint64_t(rva) < uint64_t(s.VirtualAddress) + span) {
                const uint64_t delta = rva - s.VirtualAddress;
                if (delta >= s.RawSize)
                    return false;
                const uint64_t at = uint64_t(s.RawPointer) + delta;
                if (at >= uint64_t(FFile.size()))
                    return false;
                offset = qsizetype(at);
                available = qsizetype(std::min<uint64_t>(s.RawSize - delta, uint64_t(FFile.size()) - at));
                return true;
            }
        }
        return false;
    }

    std::optional<QByteArray> VersionBlock() const
    {
        qsizetype base = 0;
        qsizetype available = 0;
        if (!Offset(FResourceRva, base, available))
            return std::nullopt;
        const qsizetype size = std::min<qsizetype>(available, qsizetype(FResourceSize));
        // Three levels: type, name, language. Each step must land on the kind of entry its
        // level expects, so a tree that points back at itself ends here.
        uint32_t entry = 0;
        if (!FindEntry(base, size, 0, true, uint32_t(RT_VERSION), entry) || !(entry & 0x80000000u))
            return std::nullopt;
        if (!FindEntry(base, size, entry & 0x7FFFFFFFu, false, 0, entry) || !(entry & 0x80000000u))
            return std::nullopt;
        if (!FindEntry(base, size, entry & 0x7FFFFFFFu, false, 0, entry) || (entry & 0x80000000u))
            return std::nullopt;
        if (qsizetype(entry) + 16 > size)
            return std::nullopt;
        const uint32_t dataRva = U32(FFile, base + entry);
        const uint32_t dataSize = U32(FFile, base + entry + 4);
        qsizetype dataOffset = 0;
        qsizetype dataAvailable = 0;
        if (dataSize == 0 || dataSize > MaxVersionBlock || !Offset(dataRva, dataOffset, dataAvailable)
            || qsizetype(dataSize) > dataAvailable)
            return std::nullopt;
        return FFile.mid(dataOffset, dataSize);
    }

private:
    // The entry of a directory: the one with the given id, or the first one.
    bool FindEntry(qsizetype base, qsizetype size, uint32_t directory, bool byId, uint32_t id,
                   uint32_t &result) const
    {
        if (qsizetype(directory) + 16 > size)
            return false;
        const qsizetype d = base + directory;
        const qsizetype named = U16(FFile, d + 12);
        const qsizetype ids = U16(FFile, d + 14);
        const qsizetype total = named + ids;
        if (total == 0 || qsizetype(directory) + 16 + total * 8 > size)
            return false;
        for (qsizetype i = 0; i < total; ++i) {
            const qsizetype e = d + 16 + i * 8;
            const uint32_t name = U32(FFile, e);
            if (!byId || (!(name & 0x80000000u) && name == id)) {
                result = U32(FFile, e + 4);
                return true;
            }
        }
        return false;
    }

    const QByteArray &FFile;
    QList<Section> FSections;
    uint32_t FResourceRva = 0;
    uint32_t FResourceSize = 0;
};

bool IsBareName(const QString &name)
{
    return !name.contains(QLatin1Char('\\')) && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char(':'));
}

QString WithBackslash(const QString &folder)
{
    return folder.endsWith(QLatin1Char('\\')) ? folder : folder + QLatin1Char('\\');
}

QString ExpandFolder(QString folder)
{
    const QList<QPair<QString, QString>> variables = {
        { QStringLiteral("%SystemRoot%"), QStringLiteral("C:\\windows") },
        { QStringLiteral("%windir%"), QStringLiteral("C:\\windows") },
        { QStringLiteral("%SystemDrive%"), QStringLiteral("C:") },
        { QStringLiteral("%ProgramFiles%"), ProgramFilesFolder().chopped(1) },
    };
    for (const auto &[name, value] : variables)
        folder.replace(name, value, Qt::CaseInsensitive);
    return folder.trimmed();
}

QStringList PathFolders()
{
    QStringList folders;
    auto add = [&folders](RegRoot root, const QString &key) {
        RegKey handle;
        if (RegKey::Open(root, key, KEY_READ, handle) != ERROR_SUCCESS)
            return;
        RegValue value;
        if (handle.QueryValue(QStringLiteral("PATH"), value) != ERROR_SUCCESS)
            return;
        for (const QString &part : value.AsString().split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            const QString folder = ExpandFolder(part);
            if (!folder.isEmpty())
                folders.append(folder);
        }
    };
    try {
        add(RegRoot::LocalMachine, QStringLiteral("System\\CurrentControlSet\\Control\\Session Manager\\Environment"));
        add(RegRoot::CurrentUser, QStringLiteral("Environment"));
    } catch (const ERegistryError &) {
        // An unreadable hive adds no folders; the fixed ones were searched already.
    }
    return folders;
}

std::optional<QByteArray> VersionBlockOfFile(const QString &hostPath)
{
    QFile file(hostPath);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    char magic[2] = {};
    if (file.peek(magic, 2) == 2 && magic[0] == 'M' && magic[1] == 'Z') {
        // Mapped, not read: product programs run to tens of megabytes.
        const qint64 size = file.size();
        if (size <= 0)
            return std::nullopt;
        uchar *map = file.map(0, size);
        QByteArray content = map ? QByteArray::fromRawData(reinterpret_cast<const char *>(map), qsizetype(size))
                                 : file.readAll();
        std::optional<QByteArray> block = VersionBlockOfPeImage(content);
        if (block)
            block = QByteArray(block->constData(), block->size()); // own the bytes before unmapping
        if (map)
            file.unmap(map);
        return block;
    }
    file.close();
    try {
        const std::optional<ResourceBlock> resources = ResourceBlock::Load(hostPath);
        if (resources)
            return resources->FirstOfType(RT_VERSION);
    } catch (const Exception &) {
        // A damaged resource block carries no version information.
    }
    return std::nullopt;
}

struct LanguageRow {
    uint16_t Id;
    const char *Name;
};

const LanguageRow Languages[] = {
    { 0x0000, "Language Neutral" },
    { 0x007F, "Invariant Language (Invariant Country)" },
    { 0x0401, "Arabic (Saudi Arabia)" },
    { 0x0402, "Bulgarian (Bulgaria)" },
    { 0x0403, "Catalan (Catalan)" },
    { 0x0404, "Chinese (Traditional, Taiwan)" },
    { 0x0405, "Czech (Czech Republic)" },
    { 0x0406, "Danish (Denmark)" },
    { 0x0407, "German (Germany)" },
    { 0x0408, "Greek (Greece)" },
    { 0x0409, "English (United States)" },
    { 0x040A, "Spanish (Spain, Traditional Sort)" },
    { 0x040B, "Finnish (Finland)" },
    { 0x040C, "French (France)" },
    { 0x040D, "Hebrew (Israel)" },
    { 0x040E, "Hungarian (Hungary)" },
    { 0x0410, "Italian (Italy)" },
    { 0x0411, "Japanese (Japan)" },
    { 0x0412, "Korean (Korea)" },
    { 0x0413, "Dutch (Netherlands)" },
    { 0x0414, "Norwegian, Bokm\xc3\xa5l (Norway)" },
    { 0x0415, "Polish (Poland)" },
    { 0x0416, "Portuguese (Brazil)" },
    { 0x0418, "Romanian (Romania)" },
    { 0x0419, "Russian (Russia)" },
    { 0x041A, "Croatian (Croatia)" },
    { 0x041B, "Slovak (Slovakia)" },
    { 0x041D, "Swedish (Sweden)" },
    { 0x041F, "Turkish (Turkey)" },
    { 0x0424, "Slovenian (Slovenia)" },
    { 0x0804, "Chinese (Simplified, PRC)" },
    { 0x0807, "German (Switzerland)" },
    { 0x0809, "English (United Kingdom)" },
    { 0x080A, "Spanish (Mexico)" },
    { 0x080C, "French (Belgium)" },
    { 0x0810, "Italian (Switzerland)" },
    { 0x0813, "Dutch (Belgium)" },
    { 0x0816, "Portuguese (Portugal)" },
    { 0x0C07, "German (Austria)" },
    { 0x0C09, "English (Australia)" },
    { 0x0C0A, "Spanish (Spain, International Sort)" },
    { 0x0C0C, "French (Canada)" },
    { 0x1007, "German (Luxembourg)" },
    { 0x1009, "English (Canada)" },
    { 0x100C, "French (Switzerland)" },
    { 0x140C, "French (Luxembourg)" },
    { 0x1809, "English (Ireland)" },
};

// A language without its country (SUBLANG_NEUTRAL) or with one not listed above.
const LanguageRow PrimaryLanguages[] = {
    { 0x01, "Arabic" },  { 0x02, "Bulgarian" }, { 0x03, "Catalan" },   { 0x04, "Chinese" },
    { 0x05, "Czech" },   { 0x06, "Danish" },    { 0x07, "German" },    { 0x08, "Greek" },
    { 0x09, "English" }, { 0x0A, "Spanish" },   { 0x0B, "Finnish" },   { 0x0C, "French" },
    { 0x0D, "Hebrew" },  { 0x0E, "Hungarian" }, { 0x10, "Italian" },   { 0x11, "Japanese" },
    { 0x12, "Korean" },  { 0x13, "Dutch" },     { 0x14, "Norwegian" }, { 0x15, "Polish" },
    { 0x16, "Portuguese" }, { 0x18, "Romanian" }, { 0x19, "Russian" }, { 0x1D, "Swedish" },
    { 0x1F, "Turkish" },
};

} // namespace

std::optional<QByteArray> VersionBlockOfPeImage(const QByteArray &image)
{
    PeImage pe(image);
    if (!pe.Parse())
        return std::nullopt;
    return pe.VersionBlock();
}

std::optional<VersionInfo> VersionInfo::Parse(const QByteArray &block)
{
    if (block.size() > MaxVersionBlock)
        return std::nullopt;
    Node root;
    if (!ReadNode(block, 0, block.size(), root))
        return std::nullopt;
    if (root.Key != QLatin1String("VS_VERSION_INFO"))
        return std::nullopt;
    VersionInfo info;
    info.FRaw = block.left(root.End);
    return info;
}

std::optional<FixedFileInfo> VersionInfo::Fixed() const
{
    Node root;
    if (!ReadNode(FRaw, 0, FRaw.size(), root) || root.Type != 0 || root.ValueBytes < FixedSize)
        return std::nullopt;
    const qsizetype v = root.ValueStart;
    if (U32(FRaw, v) != FixedSignature)
        return std::nullopt;
    FixedFileInfo fixed;
    uint32_t *fields[] = { &fixed.Signature,       &fixed.StrucVersion,  &fixed.FileVersionMS, &fixed.FileVersionLS,
                           &fixed.ProductVersionMS, &fixed.ProductVersionLS, &fixed.FileFlagsMask, &fixed.FileFlags,
                           &fixed.FileOS,          &fixed.FileType,      &fixed.FileSubtype,   &fixed.FileDateMS,
                           &fixed.FileDateLS };
    for (qsizetype i = 0; i < 13; ++i)
        *fields[i] = U32(FRaw, v + 4 * i);
    return fixed;
}

QList<Translation> VersionInfo::Translations() const
{
    QList<Translation> result;
    Node root;
    if (!ReadNode(FRaw, 0, FRaw.size(), root))
        return result;
    const std::optional<Node> var = Child(FRaw, root, QStringLiteral("VarFileInfo"));
    if (!var)
        return result;
    const std::optional<Node> table = Child(FRaw, *var, QStringLiteral("Translation"));
    if (!table)
        return result;
    // Some compilers mark the table as text although it is binary: its length is in bytes.
    qsizetype bytes = table->ValueBytes;
    for (qsizetype p = table->ValueStart; p + 4 <= table->ValueStart + bytes; p += 4)
        result.append({ U16(FRaw, p), U16(FRaw, p + 2) });
    return result;
}

std::optional<QString> VersionInfo::String(const QString &blockName, const QString &name) const
{
    Node root;
    if (!ReadNode(FRaw, 0, FRaw.size(), root))
        return std::nullopt;
    const std::optional<Node> strings = Child(FRaw, root, QStringLiteral("StringFileInfo"));
    if (!strings)
        return std::nullopt;
    const std::optional<Node> table = Child(FRaw, *strings, blockName);
    if (!table)
        return std::nullopt;
    const std::optional<Node> value = Child(FRaw, *table, name);
    if (!value)
        return std::nullopt;
    return TextValue(FRaw, *value);
}

QString SearchLibrary(const QString &name)
{
    if (name.isEmpty())
        return QString();
    if (!IsBareName(name))
        return FileExists(name) ? name : QString();
    QStringList folders;
    const QString own = Environment::OwnExecutableHostPath();
    if (!own.isEmpty())
        folders.append(WindowsPath(QFileInfo(own).absolutePath()));
    folders.append(SystemFolder());
    folders.append(WindowsFolder());
    folders += PathFolders();
    for (const QString &folder : folders) {
        QString candidate = WithBackslash(folder) + name;
        if (FileExists(candidate))
            return candidate;
    }
    return QString();
}

std::optional<VersionInfo> ReadFileVersionInfo(const QString &path)
{
    QString host;
    if (path.isEmpty()) {
        host = Environment::OwnExecutableHostPath();
    } else {
        const QString found = SearchLibrary(path);
        if (found.isEmpty()) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return std::nullopt;
        }
        host = HostPath(found);
    }
    if (host.isEmpty())
        return std::nullopt;
    const std::optional<QByteArray> block = VersionBlockOfFile(host);
    if (!block) {
        SetLastError(1813); // ERROR_RESOURCE_TYPE_NOT_FOUND
        return std::nullopt;
    }
    std::optional<VersionInfo> info = VersionInfo::Parse(*block);
    SetLastError(info ? uint32_t(ERROR_SUCCESS) : 1813u);
    return info;
}

QString LanguageName(uint16_t langId)
{
    for (const LanguageRow &row : Languages)
        if (row.Id == langId)
            return QString::fromUtf8(row.Name);
    const uint16_t primary = langId & 0x3FF;
    for (const LanguageRow &row : PrimaryLanguages)
        if (row.Id == primary)
            return QString::fromUtf8(row.Name);
    return QStringLiteral("Language Neutral");
}

QByteArray BuildVersionInfoBlock(const FixedFileInfo &fixed, Translation translation,
                                 const QList<QPair<QString, QString>> &strings)
{
    QByteArray fixedBytes;
    for (const uint32_t v : { fixed.Signature, fixed.StrucVersion, fixed.FileVersionMS, fixed.FileVersionLS,
                              fixed.ProductVersionMS, fixed.ProductVersionLS, fixed.FileFlagsMask, fixed.FileFlags,
                              fixed.FileOS, fixed.FileType, fixed.FileSubtype, fixed.FileDateMS, fixed.FileDateLS })
        PutU32(fixedBytes, v);

    QList<QByteArray> stringNodes;
    for (const auto &[name, text] : strings)
        stringNodes.append(Encode(name, 1, TextBytes(text), uint16_t(text.size() + 1), {}));
    const QString tableName = QStringLiteral("%1%2")
                                  .arg(translation.Language, 4, 16, QLatin1Char('0'))
                                  .arg(translation.CodePage, 4, 16, QLatin1Char('0'))
                                  .toUpper();
    const QByteArray table = Encode(tableName, 1, {}, 0, stringNodes);
    const QByteArray stringInfo = Encode(QStringLiteral("StringFileInfo"), 1, {}, 0, { table });

    QByteArray translationBytes;
    PutU16(translationBytes, translation.Language);
    PutU16(translationBytes, translation.CodePage);
    const QByteArray var = Encode(QStringLiteral("Translation"), 0, translationBytes, 4, {});
    const QByteArray varInfo = Encode(QStringLiteral("VarFileInfo"), 1, {}, 0, { var });

    return Encode(QStringLiteral("VS_VERSION_INFO"), 0, fixedBytes, uint16_t(FixedSize), { stringInfo, varInfo });
}

} // namespace Os
