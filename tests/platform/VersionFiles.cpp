#include "VersionFiles.h"

#include <QtEndian>

namespace {

void U16(QByteArray &b, uint16_t v)
{
    char x[2];
    qToLittleEndian(v, x);
    b.append(x, 2);
}

void U32(QByteArray &b, uint32_t v)
{
    char x[4];
    qToLittleEndian(v, x);
    b.append(x, 4);
}

void SetU16(QByteArray &b, qsizetype at, uint16_t v)
{
    qToLittleEndian(v, b.data() + at);
}

void SetU32(QByteArray &b, qsizetype at, uint32_t v)
{
    qToLittleEndian(v, b.data() + at);
}

void Pad4(QByteArray &b)
{
    while (b.size() % 4)
        b.append('\0');
}

void WideZ(QByteArray &b, const QString &s)
{
    for (const QChar c : s)
        U16(b, c.unicode());
    U16(b, 0);
}

// One node of the block: length, value length, type, key, value, children.
QByteArray Node(const QString &key, const QByteArray &value, uint16_t valueLength, uint16_t type,
                const QByteArray &children)
{
    QByteArray b;
    U16(b, 0);
    U16(b, valueLength);
    U16(b, type);
    WideZ(b, key);
    Pad4(b);
    b.append(value);
    if (!children.isEmpty()) {
        Pad4(b);
        b.append(children);
    }
    SetU16(b, 0, static_cast<uint16_t>(b.size()));
    return b;
}

QString Hex4(uint16_t v)
{
    return QStringLiteral("%1").arg(v, 4, 16, QLatin1Char('0')).toUpper();
}

} // namespace

QByteArray BuildVersionBlock(const VersionSpec &wanted)
{
    QByteArray fixed;
    if (wanted.WithFixed) {
        U32(fixed, 0xFEEF04BD);
        U32(fixed, 0x00010000);
        U32(fixed, (uint32_t(wanted.V[0]) << 16) | wanted.V[1]);
        U32(fixed, (uint32_t(wanted.V[2]) << 16) | wanted.V[3]);
        U32(fixed, (uint32_t(wanted.V[0]) << 16) | wanted.V[1]);
        U32(fixed, (uint32_t(wanted.V[2]) << 16) | wanted.V[3]);
        U32(fixed, 0x3F);
        U32(fixed, 0);
        U32(fixed, 0x00040004);
        U32(fixed, 2);
        U32(fixed, 0);
        U32(fixed, 0);
        U32(fixed, 0);
    }
    QByteArray tables;
    QByteArray translations;
    for (const VersionStringTable &t : wanted.Tables) {
        QByteArray strings;
        for (const auto &kv : t.Strings) {
            QByteArray value;
            WideZ(value, kv.second);
            Pad4(strings);
            strings.append(Node(kv.first, value, static_cast<uint16_t>(kv.second.size() + 1), 1, QByteArray()));
        }
        Pad4(tables);
        tables.append(Node(Hex4(t.Language) + Hex4(t.CodePage), QByteArray(), 0, 1, strings));
        U16(translations, t.Language);
        U16(translations, t.CodePage);
    }
    QByteArray children;
    if (!wanted.Tables.isEmpty()) {
        children.append(Node(QStringLiteral("StringFileInfo"), QByteArray(), 0, 1, tables));
        Pad4(children);
        const QByteArray var = Node(QStringLiteral("Translation"), translations,
                                    static_cast<uint16_t>(translations.size()), 0, QByteArray());
        children.append(Node(QStringLiteral("VarFileInfo"), QByteArray(), 0, 1, var));
    }
    return Node(QStringLiteral("VS_VERSION_INFO"), fixed, static_cast<uint16_t>(fixed.size()), 0, children);
}

QByteArray BuildPeWithVersion(const VersionSpec &wanted, bool pe64)
{
    const QByteArray block = BuildVersionBlock(wanted);
    constexpr uint32_t rsrcRva = 0x1000;
    constexpr uint32_t rsrcFile = 0x200;

    // Resource tree: root (type 16) -> name 1 -> language 0x409 -> data entry -> data.
    QByteArray rsrc;
    auto dir = [&](uint32_t id, uint32_t target) {
        U32(rsrc, 0);
        U32(rsrc, 0);
        U16(rsrc, 4);
        U16(rsrc, 0);
        U16(rsrc, 0);
        U16(rsrc, 1);
        U32(rsrc, id);
        U32(rsrc, target);
    };
    dir(16, 0x80000000u | 24);
    dir(1, 0x80000000u | 48);
    dir(0x409, 72);
    U32(rsrc, rsrcRva + 88);
    U32(rsrc, static_cast<uint32_t>(block.size()));
    U32(rsrc, 0);
    U32(rsrc, 0);
    rsrc.append(block);
    const uint32_t rsrcSize = static_cast<uint32_t>(rsrc.size());
    const uint32_t rawSize = (rsrcSize + 0x1FF) & ~0x1FFu;
    rsrc.append(QByteArray(rawSize - rsrcSize, '\0'));

    QByteArray pe(0x40, '\0');
    pe[0] = 'M';
    pe[1] = 'Z';
    SetU32(pe, 0x3C, 0x40);
    pe.append("PE\0\0", 4);
    U16(pe, pe64 ? 0x8664 : 0x14C);
    U16(pe, 1);
    U32(pe, 0);
    U32(pe, 0);
    U32(pe, 0);
    const uint16_t optionalSize = pe64 ? 0xF0 : 0xE0;
    U16(pe, optionalSize);
    U16(pe, pe64 ? 0x2022 : 0x2102);

    const qsizetype optionalStart = pe.size();
    U16(pe, pe64 ? 0x20B : 0x10B);
    pe.append(2, '\0');          // linker version
    U32(pe, 0);                  // code size
    U32(pe, rawSize);            // initialised data
    U32(pe, 0);                  // uninitialised data
    U32(pe, 0);                  // entry point
    U32(pe, rsrcRva);            // base of code
    if (!pe64) {
        U32(pe, rsrcRva);        // base of data
        U32(pe, 0x10000000);     // image base
    } else {
        U32(pe, 0x80000000u);    // image base, low
        U32(pe, 1);              // image base, high
    }
    U32(pe, 0x1000);             // section alignment
    U32(pe, 0x200);              // file alignment
    U16(pe, 4); U16(pe, 0);      // OS version
    U16(pe, 0); U16(pe, 0);      // image version
    U16(pe, 4); U16(pe, 0);      // subsystem version
    U32(pe, 0);                  // Win32 version
    U32(pe, rsrcRva + ((rsrcSize + 0xFFF) & ~0xFFFu)); // size of image
    U32(pe, rsrcFile);           // size of headers
    U32(pe, 0);                  // checksum
    U16(pe, 2);                  // GUI subsystem
    U16(pe, 0);                  // DLL characteristics
    for (int i = 0; i < 4; ++i) {
        if (pe64) U32(pe, 0x100000), U32(pe, 0);
        else U32(pe, 0x100000);
    }
    U32(pe, 0);                  // loader flags
    U32(pe, 16);                 // data directories
    for (int i = 0; i < 16; ++i) {
        if (i == 2) {
            U32(pe, rsrcRva);
            U32(pe, rsrcSize);
        } else {
            U32(pe, 0);
            U32(pe, 0);
        }
    }
    Q_ASSERT(pe.size() - optionalStart == optionalSize);

    pe.append(".rsrc\0\0\0", 8);
    U32(pe, rsrcSize);
    U32(pe, rsrcRva);
    U32(pe, rawSize);
    U32(pe, rsrcFile);
    U32(pe, 0);
    U32(pe, 0);
    U16(pe, 0);
    U16(pe, 0);
    U32(pe, 0x40000040);
    pe.append(QByteArray(rsrcFile - pe.size(), '\0'));
    pe.append(rsrc);
    return pe;
}

QByteArray BuildPe(uint16_t v1, uint16_t v2, uint16_t v3, uint16_t v4)
{
    VersionSpec wanted;
    wanted.V[0] = v1;
    wanted.V[1] = v2;
    wanted.V[2] = v3;
    wanted.V[3] = v4;
    VersionStringTable table;
    table.Strings = {{QStringLiteral("CompanyName"), QStringLiteral("Dremlix S.A.")},
                     {QStringLiteral("FileVersion"), QStringLiteral("%1.%2.%3.%4").arg(v1).arg(v2).arg(v3).arg(v4)}};
    wanted.Tables = {table};
    return BuildPeWithVersion(wanted);
}
