// A print-list file: decoded into lines as the print-list update decodes it, its header
// read ("COM:", "DES:<letter>:") and its text made as it is stored.
#include "FuzzSupport.h"
#include "Common/Impression/PrintListHeader.h"
#include "payload/ManifestText.h"

namespace {

constexpr qsizetype MaxHeaderValue = 255;
const QString DefaultText = QStringLiteral("falcrestgro");

// Stripped: no comment and no blank or control character at either end.
bool IsStripped(const QString &text)
{
    return !text.contains(QStringLiteral("/*"))
        && (text.isEmpty() || (text.front().unicode() > 0x20 && text.back().unicode() > 0x20));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QStringList lines = DecodeManifestLines(Fuzz::Bytes(data, size));
    const TPrintListHeader header = PrintListHeader::Read(lines, DefaultText);

    FUZZ_CHECK(header.Compat.size() <= MaxHeaderValue && IsStripped(header.Compat));
    if (PrintListHeader::FindCompatLine(lines) < 0)
        FUZZ_CHECK(header.Compat.isEmpty());
    const bool hasX = PrintListHeader::FindDescriptionLine(lines, QLatin1Char('X')) >= 0;
    const std::pair<QChar, QString> descriptions[]
        = { { u'D', header.DescD }, { u'F', header.DescF }, { u'I', header.DescI } };
    for (const auto &[letter, text] : descriptions) {
        FUZZ_CHECK(text.size() <= MaxHeaderValue && IsStripped(text));
        FUZZ_CHECK(PrintListHeader::StripComment(text) == text);
        // Without a line of its own or a common one, a description is the default text.
        if (PrintListHeader::FindDescriptionLine(lines, letter) < 0 && !hasX)
            FUZZ_CHECK(text == DefaultText);
    }

    // The stored text: every line ended by CR LF, and it reads back as the same lines.
    const QString text = PrintListHeader::LinesText(lines);
    qsizetype expected = 0;
    for (const QString &line : lines)
        expected += line.size() + 2;
    FUZZ_CHECK(text.size() == expected);
    FUZZ_CHECK(lines.isEmpty() || text.endsWith(QStringLiteral("\r\n")));
    QByteArray utf8("\xEF\xBB\xBF");
    utf8 += text.toUtf8();
    // UTF-8 cannot carry a lone surrogate: only texts without one read back exactly.
    if (QString::fromUtf8(text.toUtf8()) == text)
        FUZZ_CHECK(DecodeManifestLines(utf8) == lines);
    return 0;
}
