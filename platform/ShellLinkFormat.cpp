#include "platform/ShellLinkFormat.h"

#include <QtEndian>

namespace {

const uint8_t LinkClsid[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                               0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr uint32_t HeaderSize = 0x4C;
constexpr uint32_t EnvironmentBlock = 0xA0000001;
constexpr uint32_t SpecialFolderBlock = 0xA0000005;
constexpr uint32_t IconEnvironmentBlock = 0xA0000007;
constexpr uint32_t KnownFolderBlock = 0xA000000B;
constexpr uint32_t VistaIdListBlock = 0xA000000C;

// Characters 0x80 to 0x9F of Windows-1252; the rest is Latin-1. Unassigned bytes keep
// their value, as the system's conversion does.
const char16_t Cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// Reads little-endian fields; any read past the end marks the reader failed.
class Reader {
public:
    Reader(const QByteArray &bytes, qsizetype begin, qsizetype end) : FBytes(bytes), FPos(begin), FEnd(end) {}
    bool Ok() const { return FOk; }
    qsizetype Pos() const { return FPos; }
    bool Has(qsizetype n) const { return FOk && n >= 0 && FEnd - FPos >= n; }
    uint16_t U16()
    {
        if (!Has(2)) return Fail();
        const auto v = qFromLittleEndian<uint16_t>(FBytes.constData() + FPos);
        FPos += 2;
        return v;
    }
    uint32_t U32()
    {
        if (!Has(4)) return Fail();
        const auto v = qFromLittleEndian<uint32_t>(FBytes.constData() + FPos);
        FPos += 4;
        return v;
    }
    uint64_t U64()
    {
        const uint64_t lo = U32();
        const uint64_t hi = U32();
        return lo | (hi << 32);
    }
    QByteArray Bytes(qsizetype n)
    {
        if (!Has(n)) { Fail(); return QByteArray(); }
        QByteArray v = FBytes.mid(FPos, n);
        FPos += n;
        return v;
    }
    void Skip(qsizetype n)
    {
        if (!Has(n)) { Fail(); return; }
        FPos += n;
    }
    uint16_t Fail() { FOk = false; return 0; }

private:
    const QByteArray &FBytes;
    qsizetype FPos;
    qsizetype FEnd;
    bool FOk = true;
};

// A NUL-terminated string at an offset inside [begin, end).
std::optional<QString> CStringAt(const QByteArray &bytes, qsizetype begin, qsizetype end, uint32_t offset,
                                 bool unicode)
{
    qsizetype pos = begin + offset;
    if (offset == 0 || pos >= end || pos < begin)
        return std::nullopt;
    if (!unicode) {
        const qsizetype nul = bytes.indexOf('\0', pos);
        if (nul < 0 || nul >= end)
            return std::nullopt;
        return DecodeAnsi(bytes.mid(pos, nul - pos));
    }
    QString text;
    while (pos + 1 < end) {
        const char16_t c = qFromLittleEndian<uint16_t>(bytes.constData() + pos);
        if (c == 0)
            return text;
        text += QChar(c);
        pos += 2;
    }
    return std::nullopt;
}

void PutU16(QByteArray &out, uint16_t v)
{
    char b[2];
    qToLittleEndian(v, b);
    out.append(b, 2);
}

void PutU32(QByteArray &out, uint32_t v)
{
    char b[4];
    qToLittleEndian(v, b);
    out.append(b, 4);
}

void PutU64(QByteArray &out, uint64_t v)
{
    PutU32(out, static_cast<uint32_t>(v));
    PutU32(out, static_cast<uint32_t>(v >> 32));
}

QByteArray Utf16Z(const QString &text)
{
    QByteArray out;
    for (const QChar c : text)
        PutU16(out, c.unicode());
    PutU16(out, 0);
    return out;
}

QByteArray AnsiZ(const QString &text)
{
    QByteArray out = EncodeAnsi(text);
    out.append('\0');
    return out;
}

bool ParseLinkInfo(const QByteArray &bytes, qsizetype begin, qsizetype end, ShellLinkData &link)
{
    Reader r(bytes, begin, end);
    r.U32(); // size, checked by the caller
    const uint32_t headerSize = r.U32();
    const uint32_t flags = r.U32();
    const uint32_t volumeIdOffset = r.U32();
    const uint32_t localBasePathOffset = r.U32();
    const uint32_t networkOffset = r.U32();
    const uint32_t suffixOffset = r.U32();
    uint32_t localBasePathOffsetUnicode = 0;
    uint32_t suffixOffsetUnicode = 0;
    if (headerSize >= 0x24) {
        localBasePathOffsetUnicode = r.U32();
        suffixOffsetUnicode = r.U32();
    }
    if (!r.Ok() || headerSize < 0x1C)
        return false;
    link.HasLinkInfo = true;

    if (flags & 0x1) {
        const qsizetype vol = begin + volumeIdOffset;
        if (volumeIdOffset == 0 || vol >= end)
            return false;
        Reader v(bytes, vol, end);
        const uint32_t volumeSize = v.U32();
        link.DriveType = v.U32();
        link.DriveSerialNumber = v.U32();
        const uint32_t labelOffset = v.U32();
        uint32_t labelOffsetUnicode = 0;
        if (labelOffset == 0x14)
            labelOffsetUnicode = v.U32();
        if (!v.Ok() || volumeSize < 0x10 || volumeSize > static_cast<uint64_t>(end - vol))
            return false;
        const qsizetype volEnd = vol + volumeSize;
        if (labelOffsetUnicode)
            link.VolumeLabel = CStringAt(bytes, vol, volEnd, labelOffsetUnicode, true).value_or(QString());
        else
            link.VolumeLabel = CStringAt(bytes, vol, volEnd, labelOffset, false).value_or(QString());
        std::optional<QString> base;
        if (localBasePathOffsetUnicode)
            base = CStringAt(bytes, begin, end, localBasePathOffsetUnicode, true);
        if (!base)
            base = CStringAt(bytes, begin, end, localBasePathOffset, false);
        if (!base)
            return false;
        link.LocalBasePath = *base;
    }
    if (flags & 0x2) {
        const qsizetype net = begin + networkOffset;
        if (networkOffset == 0 || net >= end)
            return false;
        Reader n(bytes, net, end);
        const uint32_t netSize = n.U32();
        n.U32(); // flags
        const uint32_t netNameOffset = n.U32();
        n.U32(); // device name offset
        n.U32(); // provider type
        uint32_t netNameOffsetUnicode = 0;
        if (netNameOffset > 0x14)
            netNameOffsetUnicode = n.U32();
        if (!n.Ok() || netSize < 0x14 || netSize > static_cast<uint64_t>(end - net))
            return false;
        std::optional<QString> name;
        if (netNameOffsetUnicode)
            name = CStringAt(bytes, net, net + netSize, netNameOffsetUnicode, true);
        if (!name)
            name = CStringAt(bytes, net, net + netSize, netNameOffset, false);
        if (!name)
            return false;
        link.NetName = *name;
    }
    std::optional<QString> suffix;
    if (suffixOffsetUnicode)
        suffix = CStringAt(bytes, begin, end, suffixOffsetUnicode, true);
    if (!suffix && suffixOffset)
        suffix = CStringAt(bytes, begin, end, suffixOffset, false);
    link.CommonPathSuffix = suffix.value_or(QString());
    return true;
}

QByteArray SerializeLinkInfo(const ShellLinkData &link)
{
    // A link to a file on a mapped drive carries both parts: written with only its share,
    // it would point at the share instead of the path the shell shows.
    const bool network = !link.NetName.isEmpty();
    const bool local = !network || !link.LocalBasePath.isEmpty();
    constexpr uint32_t header = 0x24;
    QByteArray body;   // everything after the header, offsets relative to the link info start
    uint32_t volumeIdOffset = 0, localBaseOffset = 0, networkOffset = 0, suffixOffset = 0;
    uint32_t localBaseOffsetUnicode = 0, suffixOffsetUnicode = 0;
    auto offsetNow = [&]() { return static_cast<uint32_t>(header + body.size()); };

    if (local) {
        volumeIdOffset = offsetNow();
        QByteArray volume;
        const QByteArray label = AnsiZ(link.VolumeLabel);
        PutU32(volume, static_cast<uint32_t>(0x10 + label.size()));
        PutU32(volume, link.DriveType);
        PutU32(volume, link.DriveSerialNumber);
        PutU32(volume, 0x10);
        volume.append(label);
        body.append(volume);
        localBaseOffset = offsetNow();
        body.append(AnsiZ(link.LocalBasePath));
    }
    if (network) {
        networkOffset = offsetNow();
        QByteArray net;
        const QByteArray name = AnsiZ(link.NetName);
        const QByteArray nameUnicode = Utf16Z(link.NetName);
        constexpr uint32_t netHeader = 0x1C;
        PutU32(net, static_cast<uint32_t>(netHeader + name.size() + nameUnicode.size()));
        PutU32(net, 0);                // no device name, no provider type
        PutU32(net, netHeader);        // net name
        PutU32(net, 0);                // device name
        PutU32(net, 0);                // provider type
        PutU32(net, static_cast<uint32_t>(netHeader + name.size())); // net name, unicode
        PutU32(net, 0);                // device name, unicode
        net.append(name);
        net.append(nameUnicode);
        body.append(net);
    }
    suffixOffset = offsetNow();
    body.append(AnsiZ(link.CommonPathSuffix));
    if (local) {
        localBaseOffsetUnicode = offsetNow();
        body.append(Utf16Z(link.LocalBasePath));
    }
    suffixOffsetUnicode = offsetNow();
    body.append(Utf16Z(link.CommonPathSuffix));

    QByteArray out;
    PutU32(out, static_cast<uint32_t>(header + body.size()));
    PutU32(out, header);
    PutU32(out, (local ? 0x1 : 0) | (network ? 0x2 : 0));
    PutU32(out, volumeIdOffset);
    PutU32(out, localBaseOffset);
    PutU32(out, networkOffset);
    PutU32(out, suffixOffset);
    PutU32(out, localBaseOffsetUnicode);
    PutU32(out, suffixOffsetUnicode);
    out.append(body);
    return out;
}

} // namespace

QString DecodeAnsi(const QByteArray &bytes)
{
    QString text;
    text.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        text += QChar(b >= 0x80 && b <= 0x9F ? Cp1252High[b - 0x80] : char16_t(b));
    }
    return text;
}

QByteArray EncodeAnsi(const QString &text)
{
    QByteArray out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
            out.append(static_cast<char>(u));
            continue;
        }
        char mapped = '?';
        for (int i = 0; i < 32; ++i) {
            if (Cp1252High[i] == u) {
                mapped = static_cast<char>(0x80 + i);
                break;
            }
        }
        out.append(mapped);
    }
    return out;
}

QString ShellLinkData::TargetPath() const
{
    if (HasLinkInfo) {
        if (!LocalBasePath.isEmpty())
            return LocalBasePath + CommonPathSuffix;
        if (!NetName.isEmpty()) {
            if (CommonPathSuffix.isEmpty())
                return NetName;
            return NetName + QLatin1Char('\\') + CommonPathSuffix;
        }
    }
    for (const ExtraBlock &block : ExtraData) {
        // The target with environment variables: 260 ANSI bytes, then 520 bytes of UTF-16.
        if (block.Signature == EnvironmentBlock && block.Data.size() >= 8 + 260 + 520) {
            QString target;
            for (qsizetype pos = 8 + 260; pos + 1 < 8 + 260 + 520; pos += 2) {
                const char16_t c = qFromLittleEndian<uint16_t>(block.Data.constData() + pos);
                if (c == 0)
                    break;
                target += QChar(c);
            }
            if (!target.isEmpty())
                return target;
        }
    }
    return QString();
}

void ShellLinkData::SetTargetPath(const QString &path, uint32_t driveType)
{
    // The item-id list and the blocks that point into it or hold another target would
    // contradict the new one; the link info alone names the target.
    IdList.clear();
    LinkFlags &= ~static_cast<uint32_t>(SLF_HAS_ID_LIST | SLF_HAS_EXP_STRING | SLF_FORCE_NO_LINK_INFO);
    QList<ExtraBlock> kept;
    for (const ExtraBlock &block : ExtraData) {
        if (block.Signature != EnvironmentBlock && block.Signature != SpecialFolderBlock
            && block.Signature != KnownFolderBlock && block.Signature != VistaIdListBlock)
            kept.append(block);
    }
    ExtraData = kept;

    LocalBasePath.clear();
    NetName.clear();
    CommonPathSuffix.clear();
    VolumeLabel.clear();
    DriveSerialNumber = 0;
    DriveType = driveType;
    HasLinkInfo = !path.isEmpty();
    if (path.startsWith(QLatin1String("\\\\"))) {
        // \\server\share is the net name, the rest the suffix.
        const qsizetype shareEnd = path.indexOf(QLatin1Char('\\'), path.indexOf(QLatin1Char('\\'), 2) + 1);
        if (shareEnd < 0) {
            NetName = path;
        } else {
            NetName = path.left(shareEnd);
            CommonPathSuffix = path.mid(shareEnd + 1);
        }
    } else {
        LocalBasePath = path;
    }
    if (HasLinkInfo)
        LinkFlags |= SLF_HAS_LINK_INFO;
    else
        LinkFlags &= ~static_cast<uint32_t>(SLF_HAS_LINK_INFO);
}

std::optional<ShellLinkData> ParseShellLink(const QByteArray &bytes)
{
    const qsizetype end = bytes.size();
    Reader r(bytes, 0, end);
    if (r.U32() != HeaderSize)
        return std::nullopt;
    const QByteArray clsid = r.Bytes(16);
    if (!r.Ok() || memcmp(clsid.constData(), LinkClsid, 16) != 0)
        return std::nullopt;
    ShellLinkData link;
    link.LinkFlags = r.U32();
    link.FileAttributes = r.U32();
    link.CreationTime = r.U64();
    link.AccessTime = r.U64();
    link.WriteTime = r.U64();
    link.FileSize = r.U32();
    link.IconIndex = static_cast<int32_t>(r.U32());
    link.ShowCommand = r.U32();
    link.HotKey = r.U16();
    r.Skip(10);
    if (!r.Ok())
        return std::nullopt;

    if (link.LinkFlags & SLF_HAS_ID_LIST) {
        const uint16_t size = r.U16();
        link.IdList = r.Bytes(size);
        if (!r.Ok())
            return std::nullopt;
    }
    if ((link.LinkFlags & SLF_HAS_LINK_INFO) && !(link.LinkFlags & SLF_FORCE_NO_LINK_INFO)) {
        const qsizetype begin = r.Pos();
        const uint32_t size = r.U32();
        if (!r.Ok() || size < 0x1C || size > static_cast<uint64_t>(end - begin))
            return std::nullopt;
        if (!ParseLinkInfo(bytes, begin, begin + size, link))
            return std::nullopt;
        r.Skip(static_cast<qsizetype>(size) - 4);
    } else if (link.LinkFlags & SLF_HAS_LINK_INFO) {
        const qsizetype begin = r.Pos();
        const uint32_t size = r.U32();
        if (!r.Ok() || size < 4 || size > static_cast<uint64_t>(end - begin))
            return std::nullopt;
        r.Skip(static_cast<qsizetype>(size) - 4);
    }

    const bool unicode = link.LinkFlags & SLF_IS_UNICODE;
    auto readString = [&](uint32_t flag, std::optional<QString> &field) {
        if (!(link.LinkFlags & flag))
            return;
        const uint16_t count = r.U16();
        if (unicode) {
            const QByteArray raw = r.Bytes(qsizetype(count) * 2);
            if (!r.Ok())
                return;
            QString text;
            for (qsizetype i = 0; i < count; ++i)
                text += QChar(qFromLittleEndian<uint16_t>(raw.constData() + 2 * i));
            field = text;
        } else {
            const QByteArray raw = r.Bytes(count);
            if (r.Ok())
                field = DecodeAnsi(raw);
        }
    };
    readString(SLF_HAS_NAME, link.Description);
    readString(SLF_HAS_RELATIVE_PATH, link.RelativePath);
    readString(SLF_HAS_WORKING_DIR, link.WorkingDir);
    readString(SLF_HAS_ARGUMENTS, link.Arguments);
    readString(SLF_HAS_ICON_LOCATION, link.IconLocation);
    if (!r.Ok())
        return std::nullopt;

    // Extra data: blocks until the terminal block (size below 4) or the end of the file.
    while (r.Has(4)) {
        const qsizetype begin = r.Pos();
        const uint32_t size = r.U32();
        if (size < 4)
            break;
        if (size < 8 || size > static_cast<uint64_t>(end - begin))
            break; // a damaged tail is dropped, the link itself is sound
        const uint32_t signature = r.U32();
        r.Skip(static_cast<qsizetype>(size) - 8);
        link.ExtraData.append({signature, bytes.mid(begin, size)});
    }
    return link;
}

QByteArray SerializeShellLink(const ShellLinkData &source)
{
    ShellLinkData link = source;
    uint32_t flags = link.LinkFlags | SLF_IS_UNICODE;
    auto setFlag = [&](uint32_t flag, bool on) { flags = on ? (flags | flag) : (flags & ~flag); };
    setFlag(SLF_HAS_ID_LIST, !link.IdList.isEmpty());
    setFlag(SLF_HAS_LINK_INFO, link.HasLinkInfo);
    setFlag(SLF_FORCE_NO_LINK_INFO, false);
    setFlag(SLF_HAS_NAME, link.Description.has_value());
    setFlag(SLF_HAS_RELATIVE_PATH, link.RelativePath.has_value());
    setFlag(SLF_HAS_WORKING_DIR, link.WorkingDir.has_value());
    setFlag(SLF_HAS_ARGUMENTS, link.Arguments.has_value());
    setFlag(SLF_HAS_ICON_LOCATION, link.IconLocation.has_value());
    bool hasEnvBlock = false, hasIconEnvBlock = false;
    for (const ShellLinkData::ExtraBlock &block : link.ExtraData) {
        hasEnvBlock |= block.Signature == EnvironmentBlock;
        hasIconEnvBlock |= block.Signature == IconEnvironmentBlock;
    }
    setFlag(SLF_HAS_EXP_STRING, hasEnvBlock);
    setFlag(SLF_HAS_EXP_ICON, hasIconEnvBlock);

    QByteArray out;
    PutU32(out, HeaderSize);
    out.append(reinterpret_cast<const char *>(LinkClsid), 16);
    PutU32(out, flags);
    PutU32(out, link.FileAttributes);
    PutU64(out, link.CreationTime);
    PutU64(out, link.AccessTime);
    PutU64(out, link.WriteTime);
    PutU32(out, link.FileSize);
    PutU32(out, static_cast<uint32_t>(link.IconIndex));
    PutU32(out, link.ShowCommand);
    PutU16(out, link.HotKey);
    out.append(QByteArray(10, '\0'));
    if (!link.IdList.isEmpty()) {
        PutU16(out, static_cast<uint16_t>(link.IdList.size()));
        out.append(link.IdList);
    }
    if (link.HasLinkInfo)
        out.append(SerializeLinkInfo(link));
    auto writeString = [&](const std::optional<QString> &field) {
        if (!field)
            return;
        const QString text = field->left(0xFFFF);
        PutU16(out, static_cast<uint16_t>(text.size()));
        for (const QChar c : text)
            PutU16(out, c.unicode());
    };
    writeString(link.Description);
    writeString(link.RelativePath);
    writeString(link.WorkingDir);
    writeString(link.Arguments);
    writeString(link.IconLocation);
    for (const ShellLinkData::ExtraBlock &block : link.ExtraData)
        out.append(block.Data);
    PutU32(out, 0);
    return out;
}
