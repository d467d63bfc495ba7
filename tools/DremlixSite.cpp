// The site tool of an administrator: sets up what a workstation of the database products
// needs before the first update, with the products' own creation code.
//
//   dremlix-site workstation --prefix PREFIX
//       the Firebird client library and the address-book component at the versions the
//       wizard's start-up check wants (stubs, only where no file is there yet)
//   dremlix-site company --prefix PREFIX --name NAME --database CONNECTION
//                        [--product Orvanta] [--create]
//       registers the company in the prefix (company list and the registry value that
//       names its database); with --create, first creates that database on the server:
//       the product's identity, the functions of ov_udf.dll, the stored procedures and
//       the print-list tables
//   dremlix-site pe-stub FILE A.B.C.D [VERSION-TEXT]
//       a program file that holds nothing but a version resource (for trying updates)
#include "dbaccess/DbAccess.h"
#include "oslayer/Environment.h"
#include "oslayer/Exceptions.h"
#include "oslayer/Paths.h"
#include "platform/GeneralRoutines.h"
#include "platform/ProductCatalog.h"
#include "schema/IBManagers.h"
#include "schema/MultiSte.h"
#include "support/PeWriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <cstdio>

namespace {

void Print(FILE *stream, const QString &text) { std::fputs(text.toLocal8Bit().constData(), stream); }

const char Usage[] = "usage: dremlix-site workstation --prefix PREFIX\n"
                     "       dremlix-site pe-stub FILE A.B.C.D [VERSION-TEXT]\n"
                     "       dremlix-site company --prefix PREFIX --name NAME --database CONNECTION\n"
                     "                            [--product Orvanta] [--create]\n";

struct TProductDatabase {
    const char *Product;
    const char *Identifier;
    int Version;
    const char *SubKey; // below "<product key>\<company>"
    const char *Value;
};

// The database each product's update connects to, and where the product records a
// company's database.
const TProductDatabase ProductDatabases[] = {
    { "Orvanta", "ORV_PRO", 2, "\\ORV_DatabaseName", "Path" },
    { "Orvanta Zelmic", "ORV_ING", 2, "\\ORV_DatabaseName", "Path" },
    { "Vestrel", "OV_Vestrel", 2, "", "DatabaseName" },
    { "Sorvane", "Sorvane", 1, "", "ConnectionString" },
    { "XTQ", "XTQ", 1, "", "ConnectionString" },
};

// The stub of a file the start-up check reads the version of; a real file stays.
void PlaceStub(const QString &windowsPath, const QByteArray &pe)
{
    const QString host = Os::HostPath(windowsPath);
    if (QFileInfo::exists(host)) {
        Print(stdout, QStringLiteral("kept     %1 (already there)\n").arg(windowsPath));
        return;
    }
    WriteBytesFile(host, pe);
    Print(stdout, QStringLiteral("written  %1\n").arg(windowsPath));
}

int Workstation()
{
    const QString system = Os::Environment::IsWin64Prefix() ? QStringLiteral("C:\\windows\\syswow64\\")
                                                             : QStringLiteral("C:\\windows\\system32\\");
    PlaceStub(system + QStringLiteral("gds32.dll"), MakePeWithVersion(2, 5, 2, 26540, QStringLiteral("WI-V2.5.2.26540")));
    PlaceStub(GetBaseFolder() + QStringLiteral("Vestrel\\Programs\\OVVestrel2.dll"),
        MakePeWithVersion(2, 0, 0, 0, QStringLiteral("2.0.0.0")));
    return 0;
}

void CreateCompanyDatabase(const QString &connection, const TProductDatabase &product)
{
    Db::TDatabase db;
    Db::TTransaction transaction(&db);
    TDatabaseManager manager;
    manager.SetName(QStringLiteral("SiteManager"));
    manager.SetDatabase(&db);
    manager.SetTransaction(&transaction);
    manager.SetConnectionString(connection);
    manager.SetDBIdentifier(QString::fromLatin1(product.Identifier));
    manager.SetDBVersionProperty(product.Version);
    manager.CreateDatabase();
    manager.RegisterUDF();
    manager.RegisterStoredProcs();
    // The print-list tables, with the columns of the print storage.
    Db::TStatement statement(&db, &transaction);
    transaction.Start();
    for (const char *sql : { "CREATE TABLE PRT_Params (pname VARCHAR(60) NOT NULL, d_text VARCHAR(90), "
                             "f_text VARCHAR(90), i_text VARCHAR(90), compat VARCHAR(30), "
                             "print_params BLOB SUB_TYPE 1 SEGMENT SIZE 80, PRIMARY KEY (pname))",
             "CREATE TABLE PRT_Images (image_name VARCHAR(30) NOT NULL, "
             "image_data BLOB SUB_TYPE 0 SEGMENT SIZE 1024, PRIMARY KEY (image_name))" }) {
        statement.SetSQL({ QString::fromLatin1(sql) });
        statement.Execute();
    }
    transaction.Commit();
    db.Close();
}

int Company(const QString &name, const QString &connection, const QString &productName, bool create)
{
    const TProductDatabase *product = nullptr;
    for (const TProductDatabase &p : ProductDatabases) {
        if (productName.compare(QString::fromLatin1(p.Product), Qt::CaseInsensitive) == 0)
            product = &p;
    }
    if (!product) {
        Print(stderr, QStringLiteral("dremlix-site: no database product \"%1\"\n").arg(productName));
        return 2;
    }
    if (create) {
        CreateCompanyDatabase(connection, *product);
        Print(stdout, QStringLiteral("created  %1 (%2, version %3)\n")
                          .arg(connection, QString::fromLatin1(product->Identifier))
                          .arg(product->Version));
    }
    const QString key = ProductsRegistryRoot() + QString::fromLatin1(product->Product) + QLatin1Char('\\') + name
        + QString::fromLatin1(product->SubKey);
    WriteRegistryString(Os::RegRoot::LocalMachine, key, QString::fromLatin1(product->Value), connection);
    Print(stdout, QStringLiteral("registry HKLM\\%1 \"%2\" = %3\n").arg(key, QString::fromLatin1(product->Value), connection));
    TFMultiSte::AddSociete(name);
    Print(stdout, QStringLiteral("company  %1 in %2\n").arg(name, TFMultiSte::GetMultisteFilename()));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty()) {
        Print(stderr, QString::fromLatin1(Usage));
        return 2;
    }
    const QString command = args.takeFirst();
    if (command == QLatin1String("pe-stub")) {
        const QStringList parts = args.value(1).split(QLatin1Char('.'));
        if (args.size() < 2 || args.size() > 3 || parts.size() != 4) {
            Print(stderr, QString::fromLatin1(Usage));
            return 2;
        }
        const QString text = args.size() == 3 ? args.at(2) : args.at(1);
        WriteBytesFile(args.at(0),
            MakePeWithVersion(uint16_t(parts.at(0).toUInt()), uint16_t(parts.at(1).toUInt()),
                uint16_t(parts.at(2).toUInt()), uint16_t(parts.at(3).toUInt()), text));
        return 0;
    }
    QString prefix, name, database, product = QStringLiteral("Orvanta");
    bool create = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        const auto value = [&]() -> QString { return i + 1 < args.size() ? args.at(++i) : QString(); };
        if (arg == QLatin1String("--prefix"))
            prefix = value();
        else if (arg == QLatin1String("--name"))
            name = value();
        else if (arg == QLatin1String("--database"))
            database = value();
        else if (arg == QLatin1String("--product"))
            product = value();
        else if (arg == QLatin1String("--create"))
            create = true;
        else {
            Print(stderr, QStringLiteral("dremlix-site: unknown argument %1\n").arg(arg) + QString::fromLatin1(Usage));
            return 2;
        }
    }
    if (prefix.isEmpty() || !QFileInfo(prefix + QStringLiteral("/system.reg")).exists()) {
        Print(stderr, QStringLiteral("dremlix-site: --prefix must name a prefix (a folder with system.reg)\n"));
        return 2;
    }
    Os::Environment::SetPrefixRoot(QFileInfo(prefix).absoluteFilePath());
    try {
        if (command == QLatin1String("workstation"))
            return Workstation();
        if (command == QLatin1String("company") && !name.isEmpty() && !database.isEmpty())
            return Company(name, database, product, create);
    } catch (const std::exception &e) {
        const auto *error = dynamic_cast<const Os::Exception *>(&e);
        Print(stderr, QStringLiteral("dremlix-site: %1\n").arg(error ? error->Message() : QString::fromUtf8(e.what())));
        return 1;
    }
    Print(stderr, QString::fromLatin1(Usage));
    return 2;
}
