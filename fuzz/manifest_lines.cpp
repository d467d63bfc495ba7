// The manifest lists ("Updates.txt", "FileNames.txt" ...) and the company list: text in
// UTF-8, UTF-16 or Windows-1252, split into lines.
#include "FuzzSupport.h"
#include "payload/ManifestText.h"

namespace {

// The lines written back as UTF-16 LE with its mark, each ended by CR LF.
QByteArray Utf16Text(const QStringList &lines)
{
    QByteArray out("\xFF\xFE");
    for (const QString &line : lines) {
        for (const QChar c : QString(line + QStringLiteral("\r\n"))) {
            out.append(char(c.unicode() & 0xFF));
            out.append(char(c.unicode() >> 8));
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = Fuzz::Bytes(data, size);
    const QStringList lines = DecodeManifestLines(bytes);
    // Never more characters than bytes, counting a break after every line but the last.
    qsizetype characters = qMax<qsizetype>(0, lines.size() - 1);
    for (const QString &line : lines) {
        FUZZ_CHECK(!line.contains(u'\r') && !line.contains(u'\n'));
        characters += line.size();
    }
    FUZZ_CHECK(characters <= qsizetype(size));
    // Lines read back from what they are are the same lines.
    FUZZ_CHECK(DecodeManifestLines(Utf16Text(lines)) == lines);
    return 0;
}
