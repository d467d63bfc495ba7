// Minimal valid PE32 and PE32+ files carrying a given version resource, for tests that need
// product programs and libraries of chosen versions (and for corrupting them on purpose).
//
//   WritePe(prefix.HostPath("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe"), 3, 2, 0, 14);
//   QByteArray dll = MakePeWithVersion(2, 5, 2, 26540, "WI-V2.5.2.26540");
#pragma once

#include "oslayer/VersionResource.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

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
