// VS_VERSIONINFO blocks: read from a PE file's resource section (PE32 and PE32+)
// or from the VERSION entry of a wizard's resource block, and queried like
// GetFileVersionInfo / VerQueryValue.
#pragma once

#include <QByteArray>
#include <QString>
#include <QList>
#include <cstdint>
#include <optional>

namespace Os {

struct FixedFileInfo {          // VS_FIXEDFILEINFO, 52 bytes
    uint32_t Signature = 0xFEEF04BD;
    uint32_t StrucVersion = 0x00010000;
    uint32_t FileVersionMS = 0;
    uint32_t FileVersionLS = 0;
    uint32_t ProductVersionMS = 0;
    uint32_t ProductVersionLS = 0;
    uint32_t FileFlagsMask = 0x3F;
    uint32_t FileFlags = 0;
    uint32_t FileOS = 0x00040004;
    uint32_t FileType = 1;
    uint32_t FileSubtype = 0;
    uint32_t FileDateMS = 0;
    uint32_t FileDateLS = 0;
};

struct Translation {
    uint16_t Language = 0;
    uint16_t CodePage = 0;
};

// A parsed version block. Hostile input never reads out of bounds: what cannot
// be parsed is absent.
class VersionInfo {
public:
    static std::optional<VersionInfo> Parse(const QByteArray &block);

    const QByteArray &Raw() const { return FRaw; }
    std::optional<FixedFileInfo> Fixed() const;          // VerQueryValue "\"
    QList<Translation> Translations() const;              // "\VarFileInfo\Translation"
    // "\StringFileInfo\<block>\<name>", the block as 8 hex digits ("040904B0");
    // names compare without regard to case.
    std::optional<QString> String(const QString &blockName, const QString &name) const;

private:
    QByteArray FRaw;
};

// The VERSION resource of a PE file (PE32 or PE32+) held in memory: the bytes of the
// image's own VS_VERSIONINFO block, or nullopt when it has none or its resource tree is
// damaged.
std::optional<QByteArray> VersionBlockOfPeImage(const QByteArray &image);

// GetFileVersionInfo for a Windows path or a bare file name. A bare name ("gds32.dll")
// is looked for like the DLL search: the wizard's folder, the prefix's system folder,
// the Windows folder, then the folders of the prefix's PATH value. The own executable
// (or a wizard built by the packing tool) answers with its VERSION entry.
std::optional<VersionInfo> ReadFileVersionInfo(const QString &path);
// The Windows path the DLL search finds for a bare name; a path with a folder is returned
// as it is when the file exists. Empty when nothing is found.
QString SearchLibrary(const QString &name);

// VerLanguageName: the system's English name of a language ("Italian (Italy)"),
// "Language Neutral" for 0.
QString LanguageName(uint16_t langId);

// Builds a VS_VERSIONINFO block (one translation, its string table) as a resource
// compiler would; the packing tool writes it as the wizard's VERSION entry, and tests
// put it into PE files of their own.
QByteArray BuildVersionInfoBlock(const FixedFileInfo &fixed, Translation translation,
                                 const QList<QPair<QString, QString>> &strings);

} // namespace Os
