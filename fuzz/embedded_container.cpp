// An embedded file's container: a zlib stream of a 16-byte header (size, time stamp) and
// the data. An input that starts like a zlib stream (0x78) is taken as a container as it
// stands; any other input is taken as what a container inflates to and is compressed
// first, so that the fuzzer reaches the header rules behind zlib's checks.
#include "FuzzSupport.h"
#include "oslayer/Exceptions.h"
#include "payload/EmbeddedFiles.h"
#include "payload/PayloadWriter.h"

#include <zlib.h>

namespace {

uint32_t Get32(const QByteArray &b, qsizetype at)
{
    const auto *p = reinterpret_cast<const unsigned char *>(b.constData() + at);
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

QByteArray Compress(const QByteArray &bytes)
{
    uLongf size = compressBound(uLong(bytes.size()));
    QByteArray out(qsizetype(size), Qt::Uninitialized);
    FUZZ_CHECK(compress2(reinterpret_cast<Bytef *>(out.data()), &size,
                   reinterpret_cast<const Bytef *>(bytes.constData()), uLong(bytes.size()), 1)
        == Z_OK);
    out.resize(qsizetype(size));
    return out;
}

// Whatever decodes is complete, agrees with the header and survives a round trip.
bool Decode(const QByteArray &container, QByteArray &data, Os::FileTime &time)
{
    try {
        DecodeEmbeddedContainer(container, data, time);
    } catch (const Os::Exception &) {
        FUZZ_CHECK(data.isEmpty());
        return false;
    }
    uint32_t size = 0;
    Os::FileTime peeked = 0;
    PeekEmbeddedHeader(container, size, peeked);
    FUZZ_CHECK(size == uint32_t(data.size()) && peeked == time);

    QByteArray again;
    Os::FileTime againTime = 0;
    DecodeEmbeddedContainer(BuildEmbeddedContainer(data, time), again, againTime);
    FUZZ_CHECK(again == data && againTime == time);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = Fuzz::Bytes(data, size);
    QByteArray decoded;
    Os::FileTime time = 0;
    if (!input.isEmpty() && uint8_t(input.at(0)) == 0x78) {
        Decode(input, decoded, time);
        return 0;
    }
    const bool ok = Decode(Compress(input), decoded, time);
    const bool complete = input.size() >= EmbeddedHeaderSize
        && Get32(input, 0) <= uint64_t(input.size() - EmbeddedHeaderSize);
    // A container whose data is shorter than its size field is an error; bytes after the
    // data are ignored.
    FUZZ_CHECK(ok == complete);
    if (ok) {
        FUZZ_CHECK(decoded == input.mid(EmbeddedHeaderSize, Get32(input, 0)));
        FUZZ_CHECK(time == (uint64_t(Get32(input, 8)) | uint64_t(Get32(input, 12)) << 32));
    }
    return 0;
}
