#include "platform/ProductCatalog.h"

#include "platform/GeneralRoutines.h"
#include "platform/InstallTools2.h"
#include "oslayer/Files.h"
#include "oslayer/Registry.h"

using namespace Os;

namespace {

// ASCII letters only, so that a name never matches through a locale's case rules.
bool SameTextAscii(const QString &a, QLatin1String b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        char16_t x = a.at(i).unicode();
        char16_t y = static_cast<unsigned char>(b.at(i).toLatin1());
        if (x >= u'a' && x <= u'z')
            x = static_cast<char16_t>(x - 32);
        if (y >= u'a' && y <= u'z')
            y = static_cast<char16_t>(y - 32);
        if (x != y)
            return false;
    }
    return true;
}

QString ReadText(RegRoot root, const QString &key, const QString &valueName)
{
    return RegistryValueText(ReadRegistryValue(root, key, valueName, KEY_READ, QString(), false));
}

QString ProductKey(const QString &productName)
{
    return ProductsRegistryRoot() + productName;
}

bool UsesProgramFile(TProductCode code)
{
    switch (code) {
    case PC_ORVANTA:
    case PC_ORVANTA_ZELMIC:
    case PC_VESTREL:
    case PC_SORVANE:
    case PC_NIMBREL:
    case PC_DREMLIX_CALVANE:
    case PC_XTQ:
    case PC_LUMIVRAX:
    case PC_ZQV:
        return true;
    default:
        return false;
    }
}

} // namespace

QString ProductsRegistryRoot()
{
    return QStringLiteral("SOFTWARE\\DREMLIX S.A.\\");
}

QString ProductName(TProductCode code)
{
    return code <= ProductCount ? QString(ProductNames[code]) : QString();
}

QString ProductFolder(TProductCode code)
{
    return code <= ProductCount ? QString(ProductFolders[code]) : QString();
}

TProductCode GetProductCode(const QString &name)
{
    if (name.isEmpty())
        return PC_NONE;
    for (TProductCode code = 1; code <= ProductCount; ++code) {
        if (SameTextAscii(name, ProductNames[code]))
            return code;
    }
    for (const TAlternateProductCode &alternate : AlternateProductCodes) {
        if (SameTextAscii(name, alternate.Name))
            return alternate.Code;
    }
    return PC_NONE;
}

QString GetProductPath(const QString &productName, bool withFileName)
{
    const TProductCode code = GetProductCode(productName);
    if (UsesProgramFile(code)) {
        const QString file = ReadText(RegRoot::CurrentUser, ProductKey(productName) + QStringLiteral("\\Program"),
                                      QStringLiteral("Filename"));
        return withFileName ? file : ExtractFilePath(file);
    }
    if (code == PC_BRUNCET) {
        const QString folder = ReadText(RegRoot::CurrentUser, ProductKey(productName), QStringLiteral("BaseFolder"));
        return withFileName ? folder : ExtractFilePath(folder);
    }
    if (code == PC_COMMON || code == PC_TREVISK) {
        const QString root = GetBaseFolder();
        if (root.isEmpty())
            return QString();
        return root + QStringLiteral("Common\\") + QStringLiteral("Programs\\");
    }
    return QString();
}

bool SetProductPath(const QString &productName, const QString &value)
{
    const TProductCode code = GetProductCode(productName);
    if (code == PC_BRUNCET)
        return WriteRegistryValue(RegRoot::CurrentUser, ProductKey(productName), QStringLiteral("BaseFolder"),
                                  QVariant(value), true);
    if (UsesProgramFile(code) || code == PC_TREVISK)
        return WriteRegistryValue(RegRoot::CurrentUser, ProductKey(productName) + QStringLiteral("\\Program"),
                                  QStringLiteral("Filename"), QVariant(value), true);
    return false;
}

QString GetBaseFolder()
{
    static constexpr TProductCode order[] = {PC_ORVANTA, PC_ORVANTA_ZELMIC, PC_SORVANE,
                                             PC_VESTREL, PC_XTQ,     PC_LUMIVRAX};
    QString result;
    for (const TProductCode code : order) {
        result = GetProductPath(ProductName(code), false);
        if (!result.isEmpty())
            break;
    }
    if (result.isEmpty())
        return result;
    QString folder = result;
    if (folder.size() > 3 && folder.endsWith(QLatin1Char('\\')))
        folder.chop(1);
    if (DirectoryExists(folder))
        result = GetParentFolder(GetParentFolder(result));
    return result;
}

QString GetProductDatabaseName(const QString &productName, const QString &company, bool withFileName)
{
    QString result;
    const TProductCode code = GetProductCode(productName);
    const QString key = ProductKey(productName);
    const bool isDefault = company.compare(QLatin1String("Default"), Qt::CaseInsensitive) == 0;
    switch (code) {
    case PC_ORVANTA:
    case PC_ORVANTA_ZELMIC:
        result = ReadText(RegRoot::LocalMachine, key + QLatin1Char('\\') + company + QStringLiteral("\\ORV_DatabaseName"),
                          QStringLiteral("Path"));
        if (result.isEmpty() && isDefault)
            result = ReadText(RegRoot::LocalMachine, key + QStringLiteral("\\Paths\\ORV_DatabaseName"),
                              QStringLiteral("Path"));
        break;
    case PC_VESTREL:
        result = ReadText(RegRoot::LocalMachine, key + QLatin1Char('\\') + company, QStringLiteral("DatabaseName"));
        if (result.isEmpty() && isDefault)
            result = ReadText(RegRoot::LocalMachine, key + QStringLiteral("\\Paths"), QStringLiteral("DatabaseName"));
        break;
    case PC_SORVANE:
    case PC_NIMBREL:
    case PC_XTQ:
    case PC_LUMIVRAX:
    case PC_ZQV:
        result = ReadText(RegRoot::LocalMachine, key + QLatin1Char('\\') + company, QStringLiteral("ConnectionString"));
        break;
    default:
        return result;
    }
    result = AddLocalHostPrefix(result);
    if (!withFileName && !result.isEmpty())
        result = ExtractFilePath(result);
    return result;
}

QString AddLocalHostPrefix(const QString &path)
{
    if (!(TWindowsInstaller::IsWindowsVista() || TWindowsInstaller::IsWindowsSeven()
          || TWindowsInstaller::IsWindowsEight()))
        return path;
    if (path.size() < 2)
        return path;
    const char16_t first = path.at(0).unicode();
    const bool letter = (first >= u'A' && first <= u'Z') || (first >= u'a' && first <= u'z');
    if (!letter || path.at(1) != QLatin1Char(':'))
        return path;
    return QStringLiteral("127.0.0.1:") + path;
}

uint32_t GetFileLockError(const QString &fileName)
{
    if (!FileExists(fileName))
        return 0;
    return ExclusiveOpenError(fileName);
}
