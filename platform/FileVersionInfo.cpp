#include "platform/FileVersionInfo.h"

#include "oslayer/Environment.h"
#include "oslayer/Paths.h"

using namespace Os;

namespace {

QString Hex4(uint16_t value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')).toUpper();
}

QString TranslationCode(const Translation &t)
{
    return Hex4(t.Language) + Hex4(t.CodePage);
}

} // namespace

QString QueryVersionString(const QString &fileName, const QString &valueName)
{
    const std::optional<VersionInfo> info = ReadFileVersionInfo(fileName);
    if (!info)
        return QString();
    const QList<Translation> translations = info->Translations();
    if (translations.isEmpty())
        return QString();
    QString code = TranslationCode(translations.first());
    if (valueName.isEmpty())
        return code;
    return info->String(code, valueName).value_or(QString());
}

TjdFileVersionInfo ReadVersionInfo(const QString &fileName)
{
    const QString file = fileName.isEmpty() ? WindowsPath(Environment::OwnExecutableHostPath()) : fileName;
    TjdFileVersionInfo result;
    const QString code = QueryVersionString(file, QString());
    result.LangId = code.left(4);
    result.CharSet = code.mid(4, 4);
    result.LangName = LanguageName(static_cast<uint16_t>(HexToInt(result.LangId))).left(80);
    result.CompanyName = QueryVersionString(file, QStringLiteral("CompanyName"));
    result.FileDescription = QueryVersionString(file, QStringLiteral("FileDescription"));
    result.FileVersion = QueryVersionString(file, QStringLiteral("FileVersion"));
    result.InternalName = QueryVersionString(file, QStringLiteral("InternalName"));
    result.LegalCopyRight = QueryVersionString(file, QStringLiteral("LegalCopyRight"));
    result.LegalTradeMark = QueryVersionString(file, QStringLiteral("LegalTrademarks"));
    result.OriginalFileName = QueryVersionString(file, QStringLiteral("OriginalFileName"));
    result.ProductName = QueryVersionString(file, QStringLiteral("ProductName"));
    result.ProductVersion = QueryVersionString(file, QStringLiteral("ProductVersion"));
    result.Comments = QueryVersionString(file, QStringLiteral("Comments"));
    return result;
}

int32_t HexToInt(const QString &text)
{
    if (text.isEmpty() || text.size() > 8)
        return 0;
    uint32_t value = 0;
    for (const QChar c : text.toLower()) {
        const char16_t u = c.unicode();
        if (u == u' ')
            continue;
        if (u >= u'0' && u <= u'9')
            value = value * 16 + (u - u'0');
        else if (u >= u'a' && u <= u'f')
            value = value * 16 + (u - u'a' + 10);
        else
            return 0;
    }
    return static_cast<int32_t>(value);
}

QString GetFileVersionString(const QString &fileName)
{
    const std::optional<VersionInfo> info = ReadFileVersionInfo(fileName);
    if (!info)
        return QStringLiteral("?");
    const QList<Translation> translations = info->Translations();
    // Without a translation table there is no block to ask; "?" tells the callers the
    // same as a file without version information.
    if (translations.isEmpty())
        return QStringLiteral("?");
    return info->String(TranslationCode(translations.first()), QStringLiteral("FileVersion")).value_or(QString());
}

bool GetFixedFileInfo(const QString &fileName, FixedFileInfo &fixed)
{
    const std::optional<VersionInfo> info = ReadFileVersionInfo(fileName);
    if (!info)
        return false;
    const std::optional<FixedFileInfo> root = info->Fixed();
    if (!root)
        return false;
    fixed = *root;
    return true;
}

bool GetFixedFileVersion(const QString &fileName, uint32_t &versionMS, uint32_t &versionLS)
{
    FixedFileInfo fixed;
    if (!GetFixedFileInfo(fileName, fixed))
        return false;
    versionMS = fixed.FileVersionMS;
    versionLS = fixed.FileVersionLS;
    return true;
}

bool GetFileWriteTime(const QString &fileName, FileTime &time)
{
    time = 0;
    const uint32_t attributes = GetFileAttributes(fileName);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    FileTime found = 0;
    if (!GetFileLastWriteTime(fileName, found))
        return false;
    time = found;
    return true;
}

bool GetFileLocalWriteTime(const QString &fileName, FileTime &time)
{
    if (!GetFileWriteTime(fileName, time))
        return false;
    time = LocalFileTime(time);
    return true;
}
