// Version information: a PE file's VS_VERSIONINFO block (an input that starts with "MZ" is
// a PE image, anything else the block itself), queried as the version readers query it.
// The fixed version, the first translation and its standard strings, written into a block
// of our own, must read back the same.
#include "FuzzSupport.h"
#include "oslayer/VersionResource.h"

#include <cstring>

namespace {

const char *const StandardNames[] = { "CompanyName", "FileDescription", "FileVersion", "InternalName",
    "LegalCopyright", "LegalTrademarks", "OriginalFilename", "ProductName", "ProductVersion", "Comments" };

QString TableName(Os::Translation t)
{
    return QStringLiteral("%1%2")
        .arg(t.Language, 4, 16, QLatin1Char('0'))
        .arg(t.CodePage, 4, 16, QLatin1Char('0'))
        .toUpper();
}

bool SameFixed(const Os::FixedFileInfo &a, const Os::FixedFileInfo &b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = Fuzz::Bytes(data, size);
    QByteArray block = input;
    if (input.startsWith("MZ")) {
        const std::optional<QByteArray> found = Os::VersionBlockOfPeImage(input);
        if (!found)
            return 0;
        // The block is bytes of the image, never more.
        FUZZ_CHECK(!found->isEmpty() && input.indexOf(*found) >= 0);
        block = *found;
    }
    const std::optional<Os::VersionInfo> info = Os::VersionInfo::Parse(block);
    if (!info)
        return 0;
    FUZZ_CHECK(info->Raw().size() <= block.size());
    const std::optional<Os::FixedFileInfo> fixed = info->Fixed();
    const QList<Os::Translation> translations = info->Translations();
    FUZZ_CHECK(translations.size() <= info->Raw().size() / 4);
    if (translations.isEmpty())
        return 0;
    const Os::Translation first = translations.first();
    QList<QPair<QString, QString>> strings;
    for (const char *name : StandardNames) {
        const std::optional<QString> value = info->String(TableName(first), QString::fromLatin1(name));
        if (!value)
            continue;
        FUZZ_CHECK(value->size() <= info->Raw().size() / 2);
        strings.append({ QString::fromLatin1(name), *value });
    }
    if (!fixed)
        return 0;

    const std::optional<Os::VersionInfo> rebuilt
        = Os::VersionInfo::Parse(Os::BuildVersionInfoBlock(*fixed, first, strings));
    FUZZ_CHECK(rebuilt.has_value());
    FUZZ_CHECK(rebuilt->Fixed().has_value() && SameFixed(*rebuilt->Fixed(), *fixed));
    const QList<Os::Translation> rebuiltTranslations = rebuilt->Translations();
    FUZZ_CHECK(rebuiltTranslations.size() == 1);
    FUZZ_CHECK(rebuiltTranslations.first().Language == first.Language
        && rebuiltTranslations.first().CodePage == first.CodePage);
    for (const auto &[name, value] : std::as_const(strings))
        FUZZ_CHECK(rebuilt->String(TableName(first), name) == value);
    return 0;
}
