// The resources of the own executable: a resource block appended to the Linux
// executable (format in docs/resource-block.md), with RCDATA and VERSION entries.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>
#include <optional>

namespace Os {

enum ResourceType : uint32_t { RT_RCDATA = 10, RT_VERSION = 16 };

struct ResourceEntry {
    uint32_t Type = RT_RCDATA;
    QString Name;        // stored upper-cased
    QByteArray Data;
};


// Reads the block of a file. A file without a block has no resources (nullopt is not an
// error); a block whose trailer or index is damaged raises Os::Exception naming the fault.
class ResourceBlock {
public:
    static std::optional<ResourceBlock> Load(const QString &hostPath);
    // The block of the running executable, loaded once.
    static const ResourceBlock *Own();
    static void ResetOwnForTests();

    // FindResource + SizeofResource + LoadResource: names compare without regard to case.
    std::optional<QByteArray> Find(uint32_t type, const QString &name) const;
    QList<ResourceEntry> Entries() const;

private:
    QString FPath;
    struct IndexEntry { uint32_t Type; QString Name; uint64_t Offset; uint64_t Size; };
    QList<IndexEntry> FIndex;
};

// Writes stub + block: the packing tool's side. Names equal without regard to case
// are refused (Os::Exception).
void WriteExecutableWithResources(const QString &stubHostPath, const QString &outHostPath,
                                  const QList<ResourceEntry> &entries);

} // namespace Os
