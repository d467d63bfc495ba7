// Writes the smallest PE images Windows' own version functions accept.
#include "support/PeWriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstring>
#include <stdexcept>

namespace {

void Put16(QByteArray &b, qsizetype at, uint16_t v)
{
    b[at] = char(v & 0xFF);
    b[at + 1] = char(v >> 8);
}

void Put32(QByteArray &b, qsizetype at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = char((v >> (8 * i)) & 0xFF);
}

void Put64(QByteArray &b, qsizetype at, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        b[at + i] = char((v >> (8 * i)) & 0xFF);
}

qsizetype AlignUp(qsizetype n, qsizetype a)
{
    return (n + a - 1) / a * a;
}

void Append16(QByteArray &b, uint16_t v)
{
    b.append(char(v & 0xFF));
    b.append(char(v >> 8));
}

void Append32(QByteArray &b, uint32_t v)
{
    Append16(b, uint16_t(v & 0xFFFF));
    Append16(b, uint16_t(v >> 16));
}

void Pad4(QByteArray &b)
{
    while (b.size() % 4)
        b.append('\0');
}

void AppendWideZ(QByteArray &b, const QString &s)
{
    for (const QChar c : s)
        Append16(b, c.unicode());
    Append16(b, 0);
}

// One node of the block: length, value length, type, key, value, children, each part
// starting on a 32-bit boundary.
QByteArray Node(const QString &key, const QByteArray &value, uint16_t valueLength, uint16_t type,
    const QByteArray &children)
{
    QByteArray b;
    Append16(b, 0);
    Append16(b, valueLength);
    Append16(b, type);
    AppendWideZ(b, key);
    Pad4(b);
    b.append(value);
    if (!children.isEmpty()) {
        Pad4(b);
        b.append(children);
    }
    Put16(b, 0, uint16_t(b.size()));
    return b;
}

QString Hex4(uint16_t v) { return QStringLiteral("%1").arg(v, 4, 16, QLatin1Char('0')).toUpper(); }

} // namespace

QByteArray BuildVersionBlock(const VersionContent &wanted)
{
    QByteArray fixed;
    if (wanted.WithFixed) {
        const uint32_t ms = (uint32_t(wanted.V[0]) << 16) | wanted.V[1];
        const uint32_t ls = (uint32_t(wanted.V[2]) << 16) | wanted.V[3];
        for (const uint32_t v :
            { 0xFEEF04BDu, 0x00010000u, ms, ls, ms, ls, 0x3Fu, 0u, 0x00040004u, wanted.FileType, 0u, 0u, 0u })
            Append32(fixed, v);
    }
    QByteArray tables;
    QByteArray translations;
    for (const VersionStringTable &t : wanted.Tables) {
        QByteArray strings;
        for (const auto &[name, text] : t.Strings) {
            QByteArray value;
            AppendWideZ(value, text);
            Pad4(strings);
            strings.append(Node(name, value, uint16_t(text.size() + 1), 1, QByteArray()));
        }
        Pad4(tables);
        tables.append(Node(Hex4(t.Language) + Hex4(t.CodePage), QByteArray(), 0, 1, strings));
        Append16(translations, t.Language);
        Append16(translations, t.CodePage);
    }
    QByteArray children;
    if (!wanted.Tables.isEmpty()) {
        children.append(Node(QStringLiteral("StringFileInfo"), QByteArray(), 0, 1, tables));
        Pad4(children);
        const QByteArray var = Node(
            QStringLiteral("Translation"), translations, uint16_t(translations.size()), 0, QByteArray());
        children.append(Node(QStringLiteral("VarFileInfo"), QByteArray(), 0, 1, var));
    }
    return Node(QStringLiteral("VS_VERSION_INFO"), fixed, uint16_t(fixed.size()), 0, children);
}

QByteArray MakePe(const std::optional<QByteArray> &versionBlock, bool pe32plus, uint16_t language, PeLayout *layout)
{
    constexpr qsizetype FileAlignment = 0x200;
    constexpr uint32_t SectionAlignment = 0x1000;
    constexpr uint32_t ResourceRva = 0x1000;
    const uint16_t optionalSize = pe32plus ? 240 : 224;

    PeLayout l;
    l.PeHeader = 0x40;
    l.OptionalHeader = l.PeHeader + 4 + 20;
    l.ResourceDirectory = l.OptionalHeader + (pe32plus ? 112 : 96) + qsizetype(2) * 8;
    l.SectionTable = l.OptionalHeader + optionalSize;
    l.ResourceSection = FileAlignment;
    l.ResourceRva = ResourceRva;

    // The resource tree: type, name and language directories with one entry each.
    const QByteArray payload = versionBlock ? *versionBlock : QByteArray("no version here");
    const uint32_t type = versionBlock ? 16 : 10;
    QByteArray rsrc(16 + 8 + 16 + 8 + 16 + 8 + 16, '\0');
    const qsizetype typeDir = 0;
    const qsizetype nameDir = 24;
    const qsizetype langDir = 48;
    const qsizetype dataEntry = 72;
    const qsizetype data = AlignUp(88, 8);
    rsrc.resize(data, '\0');
    Put16(rsrc, typeDir + 14, 1);
    Put32(rsrc, typeDir + 16, type);
    Put32(rsrc, typeDir + 20, 0x80000000u | uint32_t(nameDir));
    Put16(rsrc, nameDir + 14, 1);
    Put32(rsrc, nameDir + 16, 1);
    Put32(rsrc, nameDir + 20, 0x80000000u | uint32_t(langDir));
    Put16(rsrc, langDir + 14, 1);
    Put32(rsrc, langDir + 16, language);
    Put32(rsrc, langDir + 20, uint32_t(dataEntry));
    Put32(rsrc, dataEntry, ResourceRva + uint32_t(data));
    Put32(rsrc, dataEntry + 4, uint32_t(payload.size()));
    rsrc += payload;
    const qsizetype rsrcSize = rsrc.size();
    rsrc.resize(AlignUp(rsrcSize, FileAlignment), '\0');
    l.TypeDirectory = l.ResourceSection + typeDir;
    l.NameDirectory = l.ResourceSection + nameDir;
    l.LanguageDirectory = l.ResourceSection + langDir;
    l.DataEntry = l.ResourceSection + dataEntry;
    l.VersionData = l.ResourceSection + data;

    QByteArray image(FileAlignment, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    Put32(image, 0x3C, uint32_t(l.PeHeader));
    image[l.PeHeader] = 'P';
    image[l.PeHeader + 1] = 'E';
    const qsizetype coff = l.PeHeader + 4;
    Put16(image, coff, pe32plus ? 0x8664 : 0x014C);
    Put16(image, coff + 2, 1);
    Put16(image, coff + 16, optionalSize);
    Put16(image, coff + 18, pe32plus ? 0x0022 : 0x0102);

    const qsizetype o = l.OptionalHeader;
    const uint32_t imageSize = ResourceRva + uint32_t(AlignUp(rsrcSize, SectionAlignment));
    Put16(image, o, pe32plus ? 0x20B : 0x10B);
    image[o + 2] = 2;
    Put32(image, o + 8, uint32_t(rsrc.size()));
    if (pe32plus) {
        Put64(image, o + 24, 0x140000000ULL);
    } else {
        Put32(image, o + 28, 0x400000);
    }
    Put32(image, o + 32, SectionAlignment);
    Put32(image, o + 36, uint32_t(FileAlignment));
    Put16(image, o + 40, 4);
    Put16(image, o + 48, 4);
    Put32(image, o + 56, imageSize);
    Put32(image, o + 60, uint32_t(FileAlignment));
    Put16(image, o + 68, 2);
    if (pe32plus) {
        Put64(image, o + 72, 0x100000);
        Put64(image, o + 80, 0x1000);
        Put64(image, o + 88, 0x100000);
        Put64(image, o + 96, 0x1000);
        Put32(image, o + 108, 16);
    } else {
        Put32(image, o + 72, 0x100000);
        Put32(image, o + 76, 0x1000);
        Put32(image, o + 80, 0x100000);
        Put32(image, o + 84, 0x1000);
        Put32(image, o + 92, 16);
    }
    Put32(image, l.ResourceDirectory, ResourceRva);
    Put32(image, l.ResourceDirectory + 4, uint32_t(rsrcSize));

    const qsizetype s = l.SectionTable;
    std::memcpy(image.data() + s, ".rsrc\0\0\0", 8);
    Put32(image, s + 8, uint32_t(rsrcSize));
    Put32(image, s + 12, ResourceRva);
    Put32(image, s + 16, uint32_t(rsrc.size()));
    Put32(image, s + 20, uint32_t(l.ResourceSection));
    Put32(image, s + 36, 0x40000040u);

    image += rsrc;
    if (layout)
        *layout = l;
    return image;
}

QByteArray BuildPeWithVersion(const VersionContent &wanted, bool pe32plus)
{
    const uint16_t language = wanted.Tables.isEmpty() ? 0x0409 : wanted.Tables.first().Language;
    return MakePe(BuildVersionBlock(wanted), pe32plus, language);
}

QByteArray MakePeWithVersion(uint16_t a, uint16_t b, uint16_t c, uint16_t d, const QString &fileVersionString,
                             bool pe32plus, Os::Translation translation)
{
    const QString text = fileVersionString.isNull() ? QStringLiteral("%1.%2.%3.%4").arg(a).arg(b).arg(c).arg(d)
                                                    : fileVersionString;
    VersionContent wanted;
    wanted.V[0] = a;
    wanted.V[1] = b;
    wanted.V[2] = c;
    wanted.V[3] = d;
    wanted.Tables = { VersionStringTable { translation.Language, translation.CodePage,
        { { QStringLiteral("CompanyName"), QStringLiteral("DREMLIX S.A.") },
            { QStringLiteral("FileDescription"), QStringLiteral("Test program") },
            { QStringLiteral("FileVersion"), text }, { QStringLiteral("ProductVersion"), text } } } };
    return BuildPeWithVersion(wanted, pe32plus);
}

void WriteBytesFile(const QString &hostPath, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(hostPath).absolutePath());
    QFile file(hostPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write " + hostPath.toStdString());
}

void WritePe(const QString &hostPath, uint16_t a, uint16_t b, uint16_t c, uint16_t d,
             const QString &fileVersionString, bool pe32plus, Os::Translation translation)
{
    WriteBytesFile(hostPath, MakePeWithVersion(a, b, c, d, fileVersionString, pe32plus, translation));
}
