// Manifest lists as text.
#include "payload/ManifestText.h"

#include "payload/CodePages.h"

namespace {

QString DecodeUtf16(const QByteArray &bytes, qsizetype start, bool bigEndian)
{
    // An odd last byte is half a character: dropped.
    const qsizetype units = (bytes.size() - start) / 2;
    QString out(units, Qt::Uninitialized);
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData() + start);
    for (qsizetype i = 0; i < units; ++i) {
        const char16_t hi = bigEndian ? p[2 * i] : p[2 * i + 1];
        const char16_t lo = bigEndian ? p[2 * i + 1] : p[2 * i];
        out[i] = QChar(char16_t(hi << 8 | lo));
    }
    return out;
}

} // namespace

QStringList DecodeManifestLines(const QByteArray &bytes)
{
    QString text;
    if (bytes.startsWith("\xEF\xBB\xBF"))
        text = QString::fromUtf8(bytes.constData() + 3, bytes.size() - 3);
    else if (bytes.startsWith("\xFF\xFE"))
        text = DecodeUtf16(bytes, 2, false);
    else if (bytes.startsWith("\xFE\xFF"))
        text = DecodeUtf16(bytes, 2, true);
    else
        text = CodePages::FromWindows1252(bytes);

    QStringList lines;
    qsizetype start = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text.at(i);
        if (c != u'\r' && c != u'\n')
            continue;
        lines.append(text.mid(start, i - start));
        if (c == u'\r' && i + 1 < n && text.at(i + 1) == u'\n')
            ++i;
        start = i + 1;
    }
    if (start < n)
        lines.append(text.mid(start));
    return lines;
}
