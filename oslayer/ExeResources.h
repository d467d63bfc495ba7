// The resources of the own executable: a resource block appended to the Linux
// executable (format in docs/resource-block.md), with RCDATA and VERSION entries.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>
#include <optional>

namespace Os {

enum ResourceType : uint32_t {
    RT_RCDATA = 10,
    RT_VERSION = 16,
    // Not a Windows type: the libraries a self-contained wizard carries for its launcher
    // (one entry, named "BUNDLE"; format in docs/resource-block.md).
    RT_BUNDLE = 256,
};

struct ResourceEntry {
    uint32_t Type = RT_RCDATA;
    QString Name;        // stored upper-cased
    QByteArray Data;
};

// Where an entry's bytes lie in the file, for readers that stream them instead of
// loading them whole.
struct ResourceLocation {
    QString HostPath;
    uint64_t Offset = 0;
    uint64_t Size = 0;
};

// The name under which the packing tool stores the VERSION entry (MAKEINTRESOURCE(1)).
inline constexpr const char *VersionResourceName = "1";


// Reads the block of a file. A file without a block has no resources (nullopt is not an
// error); a block whose trailer or index is damaged raises Os::Exception naming the fault.
class ResourceBlock {
public:
    static std::optional<ResourceBlock> Load(const QString &hostPath);
    // The block of the running executable (Environment::OwnExecutableHostPath), loaded
    // once and loaded again only when that path or the file itself changes; nullptr when
    // the executable carries no block. A damaged block raises on every call.
    static const ResourceBlock *Own();
    static void ResetOwnForTests();

    // FindResource + SizeofResource + LoadResource: names compare without regard to case.
    // A read that falls short (the file changed under us) raises Os::Exception.
    std::optional<QByteArray> Find(uint32_t type, const QString &name) const;
    std::optional<ResourceLocation> Locate(uint32_t type, const QString &name) const;
    // The first entry of a type (the VERSION entry), whatever its name.
    std::optional<QByteArray> FirstOfType(uint32_t type) const;
    // Every entry with its bytes, in the order of the index.
    QList<ResourceEntry> Entries() const;
    // Types, names and places only, without reading the bytes.
    struct IndexEntry { uint32_t Type; QString Name; uint64_t Offset; uint64_t Size; };
    const QList<IndexEntry> &Index() const { return FIndex; }
    const QString &HostPath() const { return FPath; }
    // Where the executable ends and the block begins.
    uint64_t BlockOffset() const { return FBlockOffset; }

private:
    QString FPath;
    uint64_t FBlockOffset = 0;
    QList<IndexEntry> FIndex;
};

// Writes stub + block: the packing tool's side. Names equal without regard to case
// are refused (Os::Exception). A stub that already carries a block is taken without it.
// The output is written atomically and keeps the stub's permissions, executable bits
// included, so that a built wizard runs as it is.
void WriteExecutableWithResources(const QString &stubHostPath, const QString &outHostPath,
                                  const QList<ResourceEntry> &entries);

} // namespace Os
