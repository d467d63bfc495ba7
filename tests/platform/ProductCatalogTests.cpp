#include "HoldingProcess.h"
#include "support/QStringPrinter.h"
#include "support/TempPrefix.h"

#include "platform/ProductCatalog.h"
#include "oslayer/Registry.h"

#include <QFile>
#include <gtest/gtest.h>

using namespace Os;

namespace {

const QString Root = QStringLiteral("Software\\DREMLIX S.A.\\");

class Catalog : public ::testing::Test {
protected:
    void RegisterProgram(const QString &product, const QString &file)
    {
        FPrefix.SetRegString(RegRoot::CurrentUser, Root + product + QStringLiteral("\\Program"),
            QStringLiteral("Filename"), file);
    }
    void SetMachine(const QString &key, const QString &name, const QString &value)
    {
        FPrefix.SetRegString(RegRoot::LocalMachine, Root + key, name, value);
    }
    QString UserValue(const QString &key, const QString &name)
    {
        RegKey k;
        RegValue v;
        if (RegKey::Open(RegRoot::CurrentUser, Root + key, KEY_READ, k) != 0 || k.QueryValue(name, v) != 0)
            return QStringLiteral("<none>");
        return v.AsString();
    }
    TempPrefix FPrefix;
};

} // namespace

TEST(CatalogTables, FifteenRowsAndTheirCodes)
{
    ASSERT_EQ(ProductNames.size(), 16u);
    EXPECT_EQ(QString(ProductNames[1]), QStringLiteral("Orvanta"));
    EXPECT_EQ(QString(ProductNames[7]), QStringLiteral("Falcrest"));
    EXPECT_EQ(QString(ProductFolders[7]), QStringLiteral("Kestrin"));
    EXPECT_EQ(QString(ProductFolders[4]), QStringLiteral("Bruncet V 3.0"));
    EXPECT_EQ(ProductFolder(12), QString());
    EXPECT_EQ(ProductName(16), QString());
    for (TProductCode code = 1; code <= ProductCount; ++code)
        EXPECT_EQ(GetProductCode(ProductName(code)), code) << ProductName(code).toStdString();

    const struct {
        const char *Name;
        TProductCode Code;
    } cases[] = {
        {"orvanta", 1},        {"ORVANTA ZELMIC", 2}, {"ORV_PRO", 1},  {"orv_ing", 2}, {"OV_Vestrel", 3},
        {"Falcrest", 7},       {"Calvique", 15},      {"", 0},         {"Orvanta ", 0}, {"Kestrin", 0},
        {"Dremlix calvane", 9}, {"XTQ", 10},          {"ORV", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(GetProductCode(QString::fromUtf8(c.Name)), c.Code);
    }
    // Only ASCII letters fold: a dotless or dotted I of another alphabet is no match.
    EXPECT_EQ(GetProductCode(QStringLiteral("ORVANTA ZELMİC")), 0);
}

TEST_F(Catalog, ProgramFileBaseFolderSharedFolderAndNone)
{
    FPrefix.MakeFolder(QStringLiteral("C:\\W\\ORV\\Programs"));
    RegisterProgram(QStringLiteral("Orvanta"), QStringLiteral("C:\\W\\ORV\\Programs\\Orvanta.exe"));
    RegisterProgram(QStringLiteral("Falcrest"), QStringLiteral("C:\\W\\Kestrin\\Falcrest.exe"));
    RegisterProgram(QStringLiteral("Calvique"), QStringLiteral("C:\\W\\Calvique\\Calvique.exe"));
    RegisterProgram(QStringLiteral("ORV_PRO"), QStringLiteral("C:\\Alt\\Orv.exe"));
    FPrefix.SetRegString(RegRoot::CurrentUser, Root + QStringLiteral("Bruncet"), QStringLiteral("BaseFolder"),
        QStringLiteral("C:\\Bruncet V 3.0"));
    const struct {
        const char *Product;
        bool WithFile;
        const char *Expected;
    } cases[] = {
        {"Orvanta", true, "C:\\W\\ORV\\Programs\\Orvanta.exe"},
        {"Orvanta", false, "C:\\W\\ORV\\Programs\\"},
        {"ORVANTA", false, "C:\\W\\ORV\\Programs\\"},
        {"ORV_PRO", true, "C:\\Alt\\Orv.exe"},   // an alternate name is its own key
        {"Sorvane", true, ""},
        {"Bruncet", true, "C:\\Bruncet V 3.0"},
        {"Bruncet", false, "C:\\"},              // stored without its backslash: loses its last part
        {"Common", false, "C:\\W\\Common\\Programs\\"},
        {"Trevisk", true, "C:\\W\\Common\\Programs\\"},
        {"Falcrest", true, ""},
        {"Calvique", true, ""},
        {"Quillox", true, ""},
        {"Nothing", true, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.Product) + (c.WithFile ? " with file" : " folder"));
        EXPECT_EQ(GetProductPath(QLatin1String(c.Product), c.WithFile), QLatin1String(c.Expected));
    }
}

TEST_F(Catalog, SharedFolderIsEmptyWithoutARegisteredProduct)
{
    EXPECT_EQ(GetProductPath(QStringLiteral("Common"), false), QString());
    EXPECT_EQ(GetBaseFolder(), QString());
}

TEST_F(Catalog, BaseFolderUsesTheFirstRegisteredProductOfTheOrder)
{
    FPrefix.MakeFolder(QStringLiteral("C:\\WDremlix\\Sorvane\\Programs"));
    RegisterProgram(QStringLiteral("Sorvane"), QStringLiteral("C:\\WDremlix\\Sorvane\\Programs\\Sorvane.exe"));
    RegisterProgram(QStringLiteral("Lumivrax"), QStringLiteral("C:\\Other\\Lumivrax\\Programs\\L.exe"));
    EXPECT_EQ(GetBaseFolder(), QStringLiteral("C:\\WDremlix\\"));
    // Orvanta comes first; registered in a folder that is gone, that folder is the answer.
    RegisterProgram(QStringLiteral("Orvanta"), QStringLiteral("C:\\Gone\\ORV\\Programs\\Orvanta.exe"));
    EXPECT_EQ(GetBaseFolder(), QStringLiteral("C:\\Gone\\ORV\\Programs\\"));
    // Empty values do not count as registered.
    RegisterProgram(QStringLiteral("Orvanta"), QString());
    EXPECT_EQ(GetBaseFolder(), QStringLiteral("C:\\WDremlix\\"));
}

TEST_F(Catalog, SetProductPathWritesByRule)
{
    const struct {
        const char *Product;
        bool Written;
        const char *Key, *Value;
    } cases[] = {
        {"Orvanta", true, "Orvanta\\Program", "Filename"},
        {"Trevisk", true, "Trevisk\\Program", "Filename"},
        {"Bruncet", true, "Bruncet", "BaseFolder"},
        {"Common", false, "Common\\Program", "Filename"},
        {"Falcrest", false, "Falcrest\\Program", "Filename"},
        {"Nothing", false, "Nothing\\Program", "Filename"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Product);
        EXPECT_EQ(SetProductPath(QLatin1String(c.Product), QStringLiteral("C:\\X\\y.exe")), c.Written);
        EXPECT_EQ(UserValue(QLatin1String(c.Key), QLatin1String(c.Value)),
                  c.Written ? QStringLiteral("C:\\X\\y.exe") : QStringLiteral("<none>"));
    }
    FPrefix.MakeHiveReadOnly(RegRoot::CurrentUser);
    EXPECT_FALSE(SetProductPath(QStringLiteral("Sorvane"), QStringLiteral("C:\\S.exe")));
}

TEST_F(Catalog, DatabaseLocationsByRuleWithTheDefaultFallbacks)
{
    SetMachine(QStringLiteral("Orvanta\\Paths\\ORV_DatabaseName"), QStringLiteral("Path"), QStringLiteral("C:\\Data\\Orvanta.fdb"));
    SetMachine(QStringLiteral("Orvanta\\Rossi\\ORV_DatabaseName"), QStringLiteral("Path"), QStringLiteral("dbserver:D:\\Dati\\Rossi.fdb"));
    SetMachine(QStringLiteral("Vestrel\\Paths"), QStringLiteral("DatabaseName"), QStringLiteral("C:\\Data\\Vestrel.fdb"));
    SetMachine(QStringLiteral("Sorvane\\Default"), QStringLiteral("ConnectionString"), QStringLiteral("192.168.1.20:D:\\Data\\S.fdb"));
    SetMachine(QStringLiteral("Sorvane\\Paths"), QStringLiteral("ConnectionString"), QStringLiteral("C:\\never.fdb"));
    SetMachine(QStringLiteral("ZQV\\Bianchi"), QStringLiteral("ConnectionString"), QStringLiteral("D:\\Z\\z.fdb"));
    SetMachine(QStringLiteral("Bruncet\\Default"), QStringLiteral("ConnectionString"), QStringLiteral("C:\\b.fdb"));
    const struct {
        const char *Product, *Company;
        bool WithFile;
        const char *Expected;
    } cases[] = {
        {"Orvanta", "Default", true, "127.0.0.1:C:\\Data\\Orvanta.fdb"},
        {"Orvanta", "DEFAULT", false, "127.0.0.1:C:\\Data\\"},
        {"Orvanta", "Rossi", true, "dbserver:D:\\Dati\\Rossi.fdb"},
        {"Orvanta", "Verdi", true, ""},
        {"Vestrel", "default", true, "127.0.0.1:C:\\Data\\Vestrel.fdb"},
        {"Vestrel", "Rossi", true, ""},
        {"Sorvane", "Default", true, "192.168.1.20:D:\\Data\\S.fdb"},
        {"Sorvane", "Default", false, "192.168.1.20:D:\\Data\\"},
        {"ZQV", "Bianchi", true, "127.0.0.1:D:\\Z\\z.fdb"},
        {"ZQV", "Default", true, ""},
        {"Bruncet", "Default", true, ""},
        {"Falcrest", "Default", true, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.Product) + " / " + c.Company + (c.WithFile ? "" : " folder"));
        EXPECT_EQ(GetProductDatabaseName(QLatin1String(c.Product), QLatin1String(c.Company), c.WithFile),
                  QLatin1String(c.Expected));
    }
}

TEST(CatalogFixture, TheWine8PrefixReadsAsItsProductsWroteIt)
{
    TempPrefix::Options options;
    options.HivesFrom = QStringLiteral(DREMLIX_FIXTURES "/wine8-win64-prefix");
    TempPrefix prefix(options);
    EXPECT_EQ(GetProductPath(QStringLiteral("Orvanta"), true), QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe"));
    EXPECT_EQ(GetProductPath(QStringLiteral("Sorvane"), false), QStringLiteral("C:\\WDremlix\\Sorvane\\Programs\\"));
    EXPECT_EQ(GetProductPath(QStringLiteral("Bruncet"), true), QStringLiteral("C:\\Bruncet V 3.0\\"));
    EXPECT_EQ(GetProductDatabaseName(QStringLiteral("Orvanta"), QStringLiteral("Default"), true),
              QStringLiteral("127.0.0.1:C:\\WDremlix\\Data\\Default.fdb"));
    EXPECT_EQ(GetProductDatabaseName(QStringLiteral("Orvanta"), QStringLiteral("Società Rossi & Figli"), true),
              QStringLiteral("dbserver:D:\\Dati\\Rossi.fdb"));
    EXPECT_EQ(GetProductDatabaseName(QStringLiteral("Sorvane"), QStringLiteral("Default"), true),
              QStringLiteral("192.168.1.20:D:\\Data\\Sorvane.fdb"));
    EXPECT_EQ(GetProductDatabaseName(QStringLiteral("XTQ"), QStringLiteral("Default"), true),
              QStringLiteral("%SystemDrive%\\Data\\xtq.fdb"));
    // The programs' folders are not on the fixture's disk: the registered folder is the root.
    EXPECT_EQ(GetBaseFolder(), QStringLiteral("C:\\WDremlix\\ORV\\Programs\\"));
}

TEST(LocalHostPrefix, OnlyDriveLetterPathsOnVistaSevenAndEight)
{
    const struct {
        const char *Path, *OnSeven;
    } cases[] = {
        {"C:\\Data\\db.fdb", "127.0.0.1:C:\\Data\\db.fdb"},
        {"d:\\x.fdb", "127.0.0.1:d:\\x.fdb"},
        {"C:", "127.0.0.1:C:"},
        {"dbserver:D:\\Dati\\Rossi.fdb", "dbserver:D:\\Dati\\Rossi.fdb"},
        {"\\\\server\\d\\db.fdb", "\\\\server\\d\\db.fdb"},
        {"C", "C"},
        {"", ""},
        {"1:\\x", "1:\\x"},
        {"127.0.0.1:C:\\x", "127.0.0.1:C:\\x"},
    };
    for (const char *version : {"6.0", "6.1", "6.2", "5.1", "6.3"}) {
        TempPrefix::Options options;
        options.WindowsVersion = QLatin1String(version);
        TempPrefix prefix(options);
        const bool loopback = QLatin1String(version) == QLatin1String("6.0") || QLatin1String(version) == QLatin1String("6.1")
            || QLatin1String(version) == QLatin1String("6.2");
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(version) + " " + c.Path);
            EXPECT_EQ(AddLocalHostPrefix(QLatin1String(c.Path)), QLatin1String(loopback ? c.OnSeven : c.Path));
        }
    }
    TempPrefix::Options nine;
    nine.Windows9x = true;
    TempPrefix prefix(nine);
    EXPECT_EQ(AddLocalHostPrefix(QStringLiteral("C:\\a.fdb")), QStringLiteral("C:\\a.fdb"));
}

TEST(FileLockError, AbsentFreeAndHeldFiles)
{
    TempPrefix prefix;
    EXPECT_EQ(GetFileLockError(QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe")), 0u);
    prefix.WriteFile(QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe"), "program");
    EXPECT_EQ(GetFileLockError(QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe")), 0u);
    {
        HoldingProcess other(prefix.HostPath(QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe")));
        EXPECT_EQ(GetFileLockError(QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe")), 32u);
    }
    EXPECT_EQ(GetFileLockError(QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe")), 0u);
}
