// The resource block appended to a wizard: trailer, index and entries, read from a file as
// the wizard reads its own executable. The target repairs the two CRC-32 checks of an input
// that ends in the block's magic, so that the fuzzer explores what lies behind them. What
// loads must lie within the file, and written again by the packing tool's writer it must
// load the same.
#include "FuzzSupport.h"
#include "oslayer/Exceptions.h"
#include "oslayer/ExeResources.h"

#include <zlib.h>

namespace {

constexpr qsizetype TrailerSize = 40;
const QByteArray Magic("DRMXRES1");

uint64_t Get(const QByteArray &b, qsizetype at, int bytes)
{
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | uchar(b.at(at + i));
    return v;
}

void Put32(QByteArray &b, qsizetype at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = char(v >> (8 * i) & 0xFF);
}

uint32_t Crc(const QByteArray &b, qsizetype at, qsizetype size)
{
    return uint32_t(crc32(0, reinterpret_cast<const Bytef *>(b.constData() + at), uInt(size)));
}

void RepairChecks(QByteArray &file)
{
    const qsizetype trailer = file.size() - TrailerSize;
    const uint64_t indexOffset = Get(file, trailer + 8, 8);
    const uint64_t indexSize = Get(file, trailer + 16, 4);
    if (indexOffset <= uint64_t(trailer) && indexSize == uint64_t(trailer) - indexOffset)
        Put32(file, trailer + 20, Crc(file, qsizetype(indexOffset), qsizetype(indexSize)));
    Put32(file, trailer + 28, Crc(file, trailer, 28));
}

bool SameEntries(const QList<Os::ResourceEntry> &a, const QList<Os::ResourceEntry> &b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i)
        if (a[i].Type != b[i].Type || a[i].Name != b[i].Name || a[i].Data != b[i].Data)
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray file(reinterpret_cast<const char *>(data), qsizetype(size));
    const bool hasMagic = file.size() >= TrailerSize && file.endsWith(Magic);
    if (hasMagic)
        RepairChecks(file);
    const QString path = Fuzz::ScratchPath("wizard");
    Fuzz::WriteScratch(path, file);

    std::optional<Os::ResourceBlock> block;
    try {
        block = Os::ResourceBlock::Load(path);
    } catch (const Os::Exception &) {
        FUZZ_CHECK(hasMagic);
        return 0;
    }
    // Only a file without the magic has no block.
    FUZZ_CHECK(block.has_value() == hasMagic);
    if (!block)
        return 0;

    const uint64_t indexOffset = Get(file, file.size() - TrailerSize + 8, 8);
    FUZZ_CHECK(block->BlockOffset() <= indexOffset);
    for (const auto &e : block->Index()) {
        FUZZ_CHECK(
            e.Offset >= block->BlockOffset() && e.Offset <= indexOffset && e.Size <= indexOffset - e.Offset);
        FUZZ_CHECK(!e.Name.isEmpty() && e.Name == e.Name.toUpper());
    }
    const QList<Os::ResourceEntry> entries = block->Entries();
    FUZZ_CHECK(entries.size() == block->Index().size());
    for (const Os::ResourceEntry &e : entries) {
        // Found with the bytes the index gives; a plain ASCII name by any letter case.
        const std::optional<QByteArray> found = block->Find(e.Type, e.Name);
        FUZZ_CHECK(found.has_value() && *found == e.Data);
        bool ascii = true;
        for (const QChar c : e.Name)
            ascii = ascii && c.unicode() < 0x80;
        if (ascii)
            FUZZ_CHECK(block->Locate(e.Type, e.Name.toLower()).has_value());
    }

    // A stub that carries a block of its own is cut by the writer; that is its own case.
    const QByteArray stub = file.left(qsizetype(block->BlockOffset()));
    if (stub.endsWith(Magic))
        return 0;
    const QString stubPath = Fuzz::ScratchPath("stub");
    const QString rewritten = Fuzz::ScratchPath("rewritten");
    Fuzz::WriteScratch(stubPath, stub);
    Os::WriteExecutableWithResources(stubPath, rewritten, entries);
    const std::optional<Os::ResourceBlock> again = Os::ResourceBlock::Load(rewritten);
    FUZZ_CHECK(again.has_value() && SameEntries(again->Entries(), entries));
    return 0;
}
