// Writes the smallest PE images Windows' own version functions accept.
#include "support/PeWriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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

} // namespace

QByteArray MakePe(const std::optional<QByteArray> &versionBlock, bool pe32plus, uint16_t language, PeLayout *layout)
{
    constexpr qsizetype FileAlignment = 0x200;
    constexpr uint32_t SectionAlignment = 0x1000;
    constexpr uint32_t ResourceRva = 0x1000;
    const uint16_t optionalSize = pe32plus ? 240 : 224;

    PeLayout l;
    l.PeHeader = 0x40;
    l.OptionalHeader = l.PeHeader + 4 + 20;
    l.ResourceDirectory = l.OptionalHeader + (pe32plus ? 112 : 96) + 2 * 8;
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
    rsrc.resize(data);
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
    rsrc.resize(AlignUp(rsrcSize, FileAlignment));
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

QByteArray MakePeWithVersion(uint16_t a, uint16_t b, uint16_t c, uint16_t d, const QString &fileVersionString,
                             bool pe32plus, Os::Translation translation)
{
    Os::FixedFileInfo fixed;
    fixed.FileVersionMS = (uint32_t(a) << 16) | b;
    fixed.FileVersionLS = (uint32_t(c) << 16) | d;
    fixed.ProductVersionMS = fixed.FileVersionMS;
    fixed.ProductVersionLS = fixed.FileVersionLS;
    const QString text = fileVersionString.isNull() ? QStringLiteral("%1.%2.%3.%4").arg(a).arg(b).arg(c).arg(d)
                                                    : fileVersionString;
    const QByteArray block = Os::BuildVersionInfoBlock(
        fixed, translation,
        { { QStringLiteral("CompanyName"), QStringLiteral("DREMLIX S.A.") },
          { QStringLiteral("FileDescription"), QStringLiteral("Test program") },
          { QStringLiteral("FileVersion"), text },
          { QStringLiteral("ProductVersion"), text } });
    return MakePe(block, pe32plus, translation.Language);
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
