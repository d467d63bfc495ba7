// The product catalogue of the software house and where the installed products say,
// in the registry, their program file, their base folder and each company's database are.
// Install paths live in HKEY_CURRENT_USER, database locations in HKEY_LOCAL_MACHINE,
// all under "SOFTWARE\DREMLIX S.A.\" + the product name.
#pragma once

#include <QLatin1String>
#include <QString>
#include <array>
#include <cstdint>

// 1 to 15 name a catalogue row; 0 is no product of the catalogue.
using TProductCode = uint8_t;

enum ProductCodes : TProductCode {
    PC_NONE = 0,
    PC_ORVANTA = 1,
    PC_ORVANTA_ZELMIC = 2,
    PC_VESTREL = 3,
    PC_BRUNCET = 4,
    PC_QUILLOX = 5,
    PC_SORVANE = 6,
    PC_FALCREST = 7,
    PC_NIMBREL = 8,
    PC_DREMLIX_CALVANE = 9,
    PC_XTQ = 10,
    PC_LUMIVRAX = 11,
    PC_COMMON = 12,
    PC_TREVISK = 13,
    PC_ZQV = 14,
    PC_CALVIQUE = 15,
};

constexpr TProductCode ProductCount = 15;

// Indexed by product code; entry 0 is empty. The name is also the product's registry key.
inline constexpr std::array<QLatin1String, 16> ProductNames{
    QLatin1String(""),        QLatin1String("Orvanta"), QLatin1String("Orvanta Zelmic"),
    QLatin1String("Vestrel"), QLatin1String("Bruncet"), QLatin1String("Quillox"),
    QLatin1String("Sorvane"), QLatin1String("Falcrest"), QLatin1String("Nimbrel"),
    QLatin1String("Dremlix Calvane"), QLatin1String("XTQ"), QLatin1String("Lumivrax"),
    QLatin1String("Common"),  QLatin1String("Trevisk"), QLatin1String("ZQV"),
    QLatin1String("Calvique"),
};

// The product's own folder under the products' root folder; empty where it has none.
inline constexpr std::array<QLatin1String, 16> ProductFolders{
    QLatin1String(""),        QLatin1String("ORV"),     QLatin1String("ORZ"),
    QLatin1String("Vestrel"), QLatin1String("Bruncet V 3.0"), QLatin1String(""),
    QLatin1String("Sorvane"), QLatin1String("Kestrin"), QLatin1String("Nimbrel"),
    QLatin1String(""),        QLatin1String("XTQ"),     QLatin1String("Lumivrax"),
    QLatin1String(""),        QLatin1String(""),        QLatin1String("ZQV"),
    QLatin1String("Calvique"),
};

// Further names of codes 1, 2, 3 (they are also those products' database identifiers).
struct TAlternateProductCode {
    QLatin1String Name;
    TProductCode Code;
};
inline constexpr std::array<TAlternateProductCode, 3> AlternateProductCodes{{
    {QLatin1String("ORV_PRO"), PC_ORVANTA},
    {QLatin1String("ORV_ING"), PC_ORVANTA_ZELMIC},
    {QLatin1String("OV_Vestrel"), PC_VESTREL},
}};

// "SOFTWARE\DREMLIX S.A.\"
QString ProductsRegistryRoot();
// The catalogue name of a code ("" for 0 and codes above 15).
QString ProductName(TProductCode code);
QString ProductFolder(TProductCode code);

// Catalogue names first, then the alternate names; ASCII letters without regard to case.
TProductCode GetProductCode(const QString &name);
// The registered program file (withFileName) or its folder with a trailing backslash;
// codes 12 and 13: the root folder + "Common\Programs\"; empty when nothing is registered.
QString GetProductPath(const QString &productName, bool withFileName);
// True when the value was written ("Filename" or, for code 4, "BaseFolder").
bool SetProductPath(const QString &productName, const QString &value);
// The products' root folder (C:\WDremlix\ for C:\WDremlix\ORV\Programs\Orvanta.exe),
// the registered folder itself when it does not exist, or empty.
QString GetBaseFolder();
// The database location of a company (through AddLocalHostPrefix), or its folder part.
QString GetProductDatabaseName(const QString &productName, const QString &company, bool withFileName);
// "127.0.0.1:" + path for a drive-letter path on Windows Vista, 7 and 8.
QString AddLocalHostPrefix(const QString &path);
// 0 when the file is absent or not locked; else the system error (32 in use, 5 denied).
uint32_t GetFileLockError(const QString &fileName);
