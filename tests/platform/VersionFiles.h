// PE files with version resources of given numbers, string tables and translations, laid
// out as a linker and a resource compiler lay them out, for the version tests.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <cstdint>

struct VersionStringTable {
    uint16_t Language = 0x0409;
    uint16_t CodePage = 0x04B0;
    QList<QPair<QString, QString>> Strings;
};

struct VersionSpec {
    uint16_t V[4] = {1, 0, 0, 0};
    bool WithFixed = true;
    // In the order of the Translation value; each has its string table.
    QList<VersionStringTable> Tables;
};

// A VS_VERSIONINFO block.
QByteArray BuildVersionBlock(const VersionSpec &wanted);
// A PE32 (or PE32+) DLL with the block as its only resource (VERSION, id 1).
QByteArray BuildPeWithVersion(const VersionSpec &wanted, bool pe64 = false);
// The usual case: one table 0409/04B0 with FileVersion "a.b.c.d".
QByteArray BuildPe(uint16_t v1, uint16_t v2, uint16_t v3, uint16_t v4);
