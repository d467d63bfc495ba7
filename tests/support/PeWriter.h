// Minimal valid PE32 and PE32+ files carrying a version resource, for every test that needs
// product programs and libraries of chosen versions (and for damaging them on purpose).
// The version block is written here from the format itself, not by the host layer's own
// writer, so that a test of the reader never checks the code against itself.
//
//   WritePe(prefix.HostPath("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe"), 3, 2, 0, 14);
//   QByteArray dll = MakePeWithVersion(2, 5, 2, 26540, "WI-V2.5.2.26540");
//   VersionContent two;                    // several string tables, or none, or no fixed part
//   two.Tables = { { 0x0409, 0x04B0, { { "FileVersion", "WI-V2.5.2.26540" } } },
//                  { 0x0410, 0x04E4, { { "FileVersion", "altro" } } } };
//   QByteArray gds = BuildPeWithVersion(two);
#pragma once

#include "oslayer/VersionResource.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <cstdint>
#include <optional>

struct VersionStringTable {
    uint16_t Language = 0x0409;
    uint16_t CodePage = 0x04B0;
    QList<QPair<QString, QString>> Strings;
};

struct VersionContent {
    uint16_t V[4] = { 1, 0, 0, 0 };
    bool WithFixed = true;
    uint32_t FileType = 1; // VFT_APP; 2 is VFT_DLL
    // In the order of the Translation value; each has its string table.
    QList<VersionStringTable> Tables;
};

// A VS_VERSIONINFO block laid out as a resource compiler lays it out.
QByteArray BuildVersionBlock(const VersionContent &wanted);

// Where the parts of a written image lie, as file offsets, for tests that damage them.
struct PeLayout {
    qsizetype PeHeader = 0;          // "PE\0\0"
    qsizetype OptionalHeader = 0;
    qsizetype ResourceDirectory = 0; // the data-directory entry (RVA, size) of the resources
    qsizetype SectionTable = 0;
    qsizetype ResourceSection = 0;   // start of .rsrc in the file
    uint32_t ResourceRva = 0;
    qsizetype TypeDirectory = 0;     // the three directory levels and the data entry
    qsizetype NameDirectory = 0;
    qsizetype LanguageDirectory = 0;
    qsizetype DataEntry = 0;
    qsizetype VersionData = 0;
};

// An image whose resource section holds versionBlock as RT_VERSION 1 in the given language;
// without a block the section holds an RCDATA entry only.
QByteArray MakePe(const std::optional<QByteArray> &versionBlock, bool pe32plus = false, uint16_t language = 0x0409,
                  PeLayout *layout = nullptr);

// An image with BuildVersionBlock(wanted), in the language of its first table.
QByteArray BuildPeWithVersion(const VersionContent &wanted, bool pe32plus = false);

// A program of version a.b.c.d whose "FileVersion" string is fileVersionString (the four
// numbers joined by "." when null), with one translation and its string table.
QByteArray MakePeWithVersion(uint16_t a, uint16_t b, uint16_t c, uint16_t d,
                             const QString &fileVersionString = QString(), bool pe32plus = false,
                             Os::Translation translation = { 0x0409, 0x04B0 });

// Writes MakePeWithVersion(...) to a host path, making its folders; throws on failure.
void WritePe(const QString &hostPath, uint16_t a, uint16_t b, uint16_t c, uint16_t d,
             const QString &fileVersionString = QString(), bool pe32plus = false,
             Os::Translation translation = { 0x0409, 0x04B0 });
void WriteBytesFile(const QString &hostPath, const QByteArray &bytes);
