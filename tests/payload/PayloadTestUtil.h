// Helpers of the payload tests: raw zlib streams and resource blocks built by hand, so
// that damaged containers and indexes can be made byte by byte.
#pragma once

#include "oslayer/ExeResources.h"
#include "oslayer/Files.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <zlib.h>

namespace PayloadTest {

inline QByteArray Le32(uint32_t v)
{
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = char(v >> (8 * i) & 0xFF);
    return b;
}

inline uint32_t Get32(const QByteArray &b, qsizetype at)
{
    const auto *p = reinterpret_cast<const unsigned char *>(b.constData() + at);
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint64_t Get64(const QByteArray &b, qsizetype at)
{
    return uint64_t(Get32(b, at)) | uint64_t(Get32(b, at + 4)) << 32;
}

inline void Set32(QByteArray &b, qsizetype at, uint32_t v)
{
    b.replace(at, 4, Le32(v));
}

inline void Set64(QByteArray &b, qsizetype at, uint64_t v)
{
    Set32(b, at, uint32_t(v));
    Set32(b, at + 4, uint32_t(v >> 32));
}

inline uint32_t Crc(const QByteArray &b)
{
    return uint32_t(crc32(0L, reinterpret_cast<const Bytef *>(b.constData()), uInt(b.size())));
}

// The 16-byte container header.
inline QByteArray Header(uint32_t size, Os::FileTime time)
{
    return Le32(size) + Le32(0) + Le32(uint32_t(time)) + Le32(uint32_t(time >> 32));
}

// A zlib stream of any bytes at level 9.
inline QByteArray Zlib(const QByteArray &raw)
{
    uLongf size = compressBound(uLong(raw.size()));
    QByteArray out(qsizetype(size), '\0');
    compress2(reinterpret_cast<Bytef *>(out.data()), &size, reinterpret_cast<const Bytef *>(raw.constData()),
              uLong(raw.size()), 9);
    out.resize(qsizetype(size));
    return out;
}

inline QByteArray ReadAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline void WriteAll(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(bytes);
}

// The trailer's index checks made right again after a test changed index bytes, so that
// the damage under test is the only one.
inline void ResealIndex(QByteArray &file)
{
    const qsizetype t = file.size() - 40;
    const uint64_t indexOffset = Get64(file, t + 8);
    const uint32_t indexSize = Get32(file, t + 16);
    Set32(file, t + 20, Crc(file.mid(qsizetype(indexOffset), indexSize)));
    Set32(file, t + 28, Crc(file.mid(t, 28)));
}

inline void ResealTrailer(QByteArray &file)
{
    const qsizetype t = file.size() - 40;
    Set32(file, t + 28, Crc(file.mid(t, 28)));
}

} // namespace PayloadTest
