// Building embedded files and wizards: the packing tool's side of the payload.
#include "payload/PayloadWriter.h"

#include "oslayer/Exceptions.h"
#include "oslayer/ExeResources.h"
#include "oslayer/VersionResource.h"
#include "payload/EmbeddedFiles.h"

#include <QSet>
#include <QStringList>

#include <zlib.h>

#include <limits>

namespace {

void Put32(unsigned char *p, uint32_t v)
{
    p[0] = v & 0xFF;
    p[1] = v >> 8 & 0xFF;
    p[2] = v >> 16 & 0xFF;
    p[3] = v >> 24 & 0xFF;
}

} // namespace

QByteArray BuildEmbeddedContainer(const QByteArray &data, Os::FileTime timeStamp)
{
    if (uint64_t(data.size()) > std::numeric_limits<uint32_t>::max())
        throw Os::Exception(QStringLiteral("A file of %1 bytes is too large to embed (at most 4 GiB - 1).").arg(data.size()));
    unsigned char header[EmbeddedHeaderSize];
    Put32(header, uint32_t(data.size()));
    Put32(header + 4, 0);
    Put32(header + 8, uint32_t(timeStamp));
    Put32(header + 12, uint32_t(timeStamp >> 32));

    z_stream z{};
    if (deflateInit(&z, Z_BEST_COMPRESSION) != Z_OK)
        throw Os::Exception(QStringLiteral("The compressor cannot start."));
    const uLong bound = deflateBound(&z, uLong(EmbeddedHeaderSize + data.size()));
    QByteArray out(qsizetype(bound), Qt::Uninitialized);
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = uInt(std::min<uLong>(bound, std::numeric_limits<uInt>::max()));

    // The header and the data go in as one stream without being copied together.
    auto feed = [&](const unsigned char *p, uint64_t n, bool last) {
        do {
            const uInt piece = uInt(std::min<uint64_t>(n, 1u << 30));
            z.next_in = const_cast<Bytef *>(p);
            z.avail_in = piece;
            const bool final = last && piece == n;
            int rc;
            do {
                if (z.avail_out == 0) {
                    const auto used = qsizetype(z.next_out - reinterpret_cast<Bytef *>(out.data()));
                    out.resize(used + (1 << 20));
                    z.next_out = reinterpret_cast<Bytef *>(out.data()) + used;
                    z.avail_out = 1 << 20;
                }
                rc = deflate(&z, final ? Z_FINISH : Z_NO_FLUSH);
            } while ((final && rc != Z_STREAM_END) || z.avail_in > 0);
            p += piece;
            n -= piece;
        } while (n > 0);
    };
    feed(header, EmbeddedHeaderSize, data.isEmpty());
    if (!data.isEmpty())
        feed(reinterpret_cast<const unsigned char *>(data.constData()), uint64_t(data.size()), true);
    out.resize(qsizetype(z.next_out - reinterpret_cast<Bytef *>(out.data())));
    deflateEnd(&z);
    return out;
}

QByteArray BuildWizardVersionBlock(const QString &fileVersion)
{
    const QStringList parts = fileVersion.split(u'.');
    uint32_t v[4] = {};
    bool ok = parts.size() == 4;
    for (int i = 0; ok && i < 4; ++i) {
        const uint n = parts[i].toUInt(&ok);
        ok = ok && n <= 0xFFFF && !parts[i].isEmpty() && parts[i].size() <= 5;
        v[i] = n;
    }
    if (!ok)
        throw Os::Exception(QStringLiteral("\"%1\" is not a file version of the form A.B.C.D (numbers 0 to 65535).")
                                .arg(fileVersion));
    const QString canonical = QStringLiteral("%1.%2.%3.%4").arg(v[0]).arg(v[1]).arg(v[2]).arg(v[3]);
    Os::FixedFileInfo fixed;
    fixed.FileVersionMS = v[0] << 16 | v[1];
    fixed.FileVersionLS = v[2] << 16 | v[3];
    fixed.ProductVersionMS = fixed.FileVersionMS;
    fixed.ProductVersionLS = fixed.FileVersionLS;
    const QList<QPair<QString, QString>> strings = {
        {QStringLiteral("CompanyName"), QStringLiteral("DREMLIX S.A.")},
        {QStringLiteral("FileDescription"), QStringLiteral("Dremlix update wizard")},
        {QStringLiteral("FileVersion"), canonical},
        {QStringLiteral("InternalName"), QStringLiteral("dremlix-update")},
        {QStringLiteral("ProductName"), QStringLiteral("Dremlix update wizard")},
        {QStringLiteral("ProductVersion"), canonical},
    };
    return Os::BuildVersionInfoBlock(fixed, Os::Translation{0x0410, 0x04E4}, strings);
}

void WriteWizard(const QString &stubHostPath, const QString &outHostPath, const QList<PayloadFile> &files,
                 const QString &fileVersion, const QList<Os::ResourceEntry> &extra)
{
    // Refused before the slow part: compressing everything only to fail at the end helps nobody.
    QSet<QString> names;
    for (const PayloadFile &f : files) {
        const QString upper = f.Name.toUpper();
        if (upper.isEmpty())
            throw Os::Exception(QStringLiteral("An embedded file needs a name."));
        if (names.contains(upper))
            throw Os::Exception(
                QStringLiteral("The name \"%1\" is given twice (names are compared without regard to case).").arg(f.Name));
        names.insert(upper);
    }
    const QByteArray version = BuildWizardVersionBlock(fileVersion);
    QList<Os::ResourceEntry> entries;
    entries.reserve(files.size() + 1 + extra.size());
    for (const PayloadFile &f : files)
        entries.append(Os::ResourceEntry{Os::RT_RCDATA, f.Name, BuildEmbeddedContainer(f.Data, f.TimeStamp)});
    entries.append(Os::ResourceEntry{Os::RT_VERSION, QString::fromLatin1(Os::VersionResourceName), version});
    entries.append(extra);
    Os::WriteExecutableWithResources(stubHostPath, outHostPath, entries);
}
