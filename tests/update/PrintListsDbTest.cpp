// The print-list update of the database products against the private Firebird server:
// rows inserted then replaced, several companies with one unreachable, an import that
// breaks off.
#include "UpdateFixture.h"

#include "Common/Interbase/dmDBConnectionUnit.h"
#include "dbaccess/DbAccess.h"
#include "oslayer/Exceptions.h"
#include "schema/IBManagers.h"
#include "schema/MultiSte.h"
#include "support/FirebirdTestServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <fcntl.h>
#include <unistd.h>

namespace {

QString Env(const char *name) { return qEnvironmentVariable(name); }

std::unique_ptr<Db::TDatabase> AttachAsMaker(const QString &name)
{
    auto db = std::make_unique<Db::TDatabase>();
    db->SetDatabaseName(name);
    db->SetParams({ QStringLiteral("user_name=DREMLIX"), QStringLiteral("password=47219630"),
        QStringLiteral("lc_ctype=ISO8859_1") });
    db->Open();
    return db;
}

} // namespace

class PrintListsDbTest : public UpdateFixture {
protected:
    void SetUp() override
    {
        if (Env("DREMLIX_FB_ROOT").isEmpty() || Env("DREMLIX_FB_PORT").isEmpty())
            GTEST_SKIP() << "no test server: run through scripts/test (DREMLIX_FB_ROOT unset)";
        UpdateFixture::SetUp();
        static int counter = 0;
        FStem = QStringLiteral("u%1_%2").arg(QCoreApplication::applicationPid()).arg(++counter);
        FData = Env("DREMLIX_FB_DATA") + QLatin1Char('/') + FStem;
        QDir().mkpath(FData);
        AddDriveAt(QLatin1Char('y'), FData);
        // The server's free-space answer for drive Y: stays large for every test process.
        QFile free(Env("DREMLIX_FB_ROOT") + QStringLiteral("/udf-free-space-Y"));
        ASSERT_TRUE(free.open(QIODevice::WriteOnly | QIODevice::Truncate));
        free.write("10000000000");
        free.close();
        WriteFile(QStringLiteral("C:\\windows\\system32\\gds32.dll"),
            PeFile(2, 5, 9, 27139, QStringLiteral("WI-V2.5.9.27139")));
    }

    static QString ServerVersion()
    {
        static const QString version = [] {
            Db::TServicesClient client;
            client.SetProtocol(Db::TProtocol::TCP);
            client.SetServerName(QStringLiteral("127.0.0.1/") + Env("DREMLIX_FB_PORT"));
            client.SetLogin(QStringLiteral("DREMLIX"), QStringLiteral("47219630"));
            client.Attach();
            const QString v = client.ServerVersion();
            client.Detach();
            return v;
        }();
        return version;
    }

    // The released table plus the Debian test server: the version checks stay on.
    static TAcceptedVersionTable TableWithTestServer()
    {
        TAcceptedVersionTable table = DefaultAcceptedVersions();
        table.append({ TVersionPattern::StartingWith(QStringLiteral("WI-V2.5")),
            TVersionPattern::Exact(ServerVersion()), Firebird25 });
        return table;
    }

    // A company database with the products' bootstrap objects; its connection string.
    QString CreateCompanyDatabase(const QString &name, const QString &identifier, bool withPrintTables = true)
    {
        const QString file = FStem + QLatin1Char('_') + name + QStringLiteral(".fdb");
        const QString host = FData + QLatin1Char('/') + file;
        {
            Db::TDatabase db;
            Db::TTransaction transaction(&db);
            TDatabaseManager manager;
            manager.SetName(QStringLiteral("FixtureManager"));
            manager.SetDatabase(&db);
            manager.SetTransaction(&transaction);
            manager.SetConnectionString(host);
            manager.SetDBIdentifier(identifier);
            manager.SetDBVersionProperty(2);
            manager.CreateDatabase();
            // Each opens and commits a transaction level of its own.
            manager.RegisterUDF();
            manager.RegisterStoredProcs();
            if (withPrintTables) {
                Db::TStatement statement(&db, &transaction);
                transaction.Start();
                for (const char *sql :
                    { "CREATE TABLE PRT_Params (pname VARCHAR(60) NOT NULL, d_text VARCHAR(90), f_text "
                      "VARCHAR(90), "
                      "i_text VARCHAR(90), compat VARCHAR(30), print_params BLOB SUB_TYPE 1 SEGMENT SIZE 80, "
                      "PRIMARY KEY (pname))",
                        "CREATE TABLE PRT_Images (image_name VARCHAR(30) NOT NULL, image_data BLOB SUB_TYPE "
                        "0 "
                        "SEGMENT SIZE 1024, PRIMARY KEY (image_name))" }) {
                    statement.SetSQL({ QString::fromUtf8(sql) });
                    statement.Execute();
                }
                transaction.Commit();
            }
            db.Close();
        }
        const QString alias = QStringLiteral("Y:\\") + file;
        // The server re-reads its alias file only when its time stamp changes second; the
        // shared helper takes care of that for processes adding aliases side by side.
        FirebirdTestServer::AddAlias(alias, host);
        return TcpString(file);
    }

    QString TcpString(const QString &file) const
    {
        return QStringLiteral("127.0.0.1/") + Env("DREMLIX_FB_PORT") + QStringLiteral(":Y:\\") + file;
    }

    void RegisterCompany(const QString &company, const QString &location)
    {
        SetRegString(Os::RegRoot::LocalMachine,
            QStringLiteral("Software\\DREMLIX S.A.\\Orvanta\\") + company
                + QStringLiteral("\\ORV_DatabaseName"),
            QStringLiteral("Path"), location);
    }

    void WriteCompanyList(const QByteArray &bytes)
    {
        WriteFile(QStringLiteral("C:\\dremlix\\multiste.txt"), bytes);
    }

    void PayloadWithPrintLists(
        const QByteArray &groupText = "COM:ORVANTA\r\nDES:I:Gruppi di conti\r\nBAND 1\r\n")
    {
        FPayload
            .AddList(QStringLiteral("PrintLists.txt"),
                { QStringLiteral("OrvGro.lst"), QStringLiteral("OrvPre.LST"), QStringLiteral("Note.txt"),
                    QStringLiteral("Assente.lst") })
            .Add(QStringLiteral("OrvGro.lst"), groupText)
            .Add(QStringLiteral("OrvPre.LST"), "ORIENTATION=2\r\nCaff\xe8\r\n")
            .Add(QStringLiteral("Note.txt"), "not a print list");
    }

    void Start()
    {
        StartEngine(1, QString(), TableWithTestServer());
        FEngine->Connection()->DatabaseManager()->SetRetryPause([](int) {});
    }

    QList<QVariantList> Rows(const QString &location)
    {
        auto db = AttachAsMaker(location);
        Db::TTransaction transaction(db.get());
        transaction.Start();
        Db::TQuery query(db.get(), &transaction);
        query.SetSQL(
            { QStringLiteral("SELECT pname, i_text, compat, print_params FROM PRT_Params ORDER BY pname") });
        query.Open();
        QList<QVariantList> rows;
        while (query.HasCurrentRow()) {
            QVariantList row;
            for (int i = 0; i < query.FieldCount(); ++i)
                row << query.AsVariant(i);
            rows << row;
            query.Next();
        }
        query.Close();
        transaction.Commit();
        return rows;
    }

    QString FStem;
    QString FData;
};

TEST_F(PrintListsDbTest, PrintListsAreInsertedThenReplaced)
{
    const QString location = CreateCompanyDatabase(QStringLiteral("default"), QStringLiteral("ORV_PRO"));
    RegisterCompany(QStringLiteral("Default"), location);
    PayloadWithPrintLists();
    Start();

    EXPECT_EQ(FEngine->UpdatePrintLists(QString()), uoSuccess) << Dump().toStdString();
    EXPECT_EQ(Lines(),
        (QStringList { QString(), QStringLiteral("Aggiornamento di elenchi per la società Default"),
            QStringLiteral("I parametri di stampa : \"Gruppi di conti\" sono stati aggiunti."),
            QStringLiteral("I parametri di stampa : \"orvpre\" sono stati aggiunti.") }));
    EXPECT_FALSE(FEngine->Connection()->Connected());
    QList<QVariantList> rows = Rows(location);
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows.at(0).at(0).toString(), QStringLiteral("orvgro"));
    EXPECT_EQ(rows.at(0).at(1).toString(), QStringLiteral("Gruppi di conti"));
    EXPECT_EQ(rows.at(0).at(2).toString(), QStringLiteral("ORVANTA"));
    EXPECT_EQ(rows.at(1).at(0).toString(), QStringLiteral("orvpre"));
    EXPECT_EQ(rows.at(1).at(3).toString(), QStringLiteral("ORIENTATION=2\r\nCaffè\r\n"));

    // A second update with a changed list replaces the stored text and reports the name.
    FEngine.reset();
    ReleaseFMultiSte();
    FPayload = PayloadBuilder();
    PayloadWithPrintLists("COM:ORVANTA\r\nDES:I:Gruppi di conti\r\nBAND 2\r\n");
    Start();
    EXPECT_EQ(FEngine->UpdatePrintLists(QString()), uoSuccess) << Dump().toStdString();
    EXPECT_EQ(Lines(),
        (QStringList { QString(), QStringLiteral("Aggiornamento di elenchi per la società Default"),
            QStringLiteral("I parametri di stampa : \"orvgro\" sono aggiornamento."),
            QStringLiteral("I parametri di stampa : \"orvpre\" sono aggiornamento.") }));
    rows = Rows(location);
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(
        rows.at(0).at(3).toString(), QStringLiteral("COM:ORVANTA\r\nDES:I:Gruppi di conti\r\nBAND 2\r\n"));
}

TEST_F(PrintListsDbTest, EveryCompanyIsTriedAndAnUnreachableOneWarns)
{
    // Alfa's database answers only to the second identity of the product.
    const QString alfa = CreateCompanyDatabase(QStringLiteral("alfa"), QStringLiteral("ORV_DX"));
    const QString fallback = CreateCompanyDatabase(QStringLiteral("default"), QStringLiteral("ORV_PRO"));
    RegisterCompany(QStringLiteral("Alfa"), alfa);
    RegisterCompany(QStringLiteral("Beta"), TcpString(FStem + QStringLiteral("_nessuna.fdb")));
    RegisterCompany(QStringLiteral("Default"), fallback);
    // Gamma has no database registered at all; the empty line is the default company.
    WriteCompanyList("Alfa\r\nBeta\r\n\r\nGamma\r\n");
    PayloadWithPrintLists();
    Start();

    EXPECT_EQ(FEngine->UpdatePrintLists(QString()), uoWarnings);
    const QStringList added { QStringLiteral(
                                  "I parametri di stampa : \"Gruppi di conti\" sono stati aggiunti."),
        QStringLiteral("I parametri di stampa : \"orvpre\" sono stati aggiunti.") };
    const QStringList all
        = QStringList { QString(), QStringLiteral("Aggiornamento di elenchi per la società Alfa") } + added
        + QStringList { QString(), QStringLiteral("Aggiornamento di elenchi per la società Beta"),
              QStringLiteral("Fallimento di collegamento alla società Beta, aggiornamento "
                             "delle liste non effettuato."),
              QString(), QStringLiteral("Aggiornamento di elenchi per la società Default") }
        + added
        + QStringList { QString(), QStringLiteral("Aggiornamento di elenchi per la società Gamma"),
              QStringLiteral("Fallimento di collegamento alla società Gamma, aggiornamento "
                             "delle liste non effettuato.") };
    EXPECT_EQ(Lines(), all) << Dump().toStdString();
    EXPECT_EQ(Rows(alfa).size(), 2);
    EXPECT_EQ(Rows(fallback).size(), 2);
    EXPECT_EQ(FUi->Boxes().size(), 0);
    EXPECT_FALSE(FUi->WaitCursorOn);
}

TEST_F(PrintListsDbTest, AnImportErrorBreaksOffTheUpdate)
{
    const QString broken = CreateCompanyDatabase(QStringLiteral("broken"), QStringLiteral("ORV_PRO"), false);
    const QString later = CreateCompanyDatabase(QStringLiteral("later"), QStringLiteral("ORV_PRO"));
    RegisterCompany(QStringLiteral("Rotta"), broken);
    RegisterCompany(QStringLiteral("Dopo"), later);
    WriteCompanyList("Rotta\r\nDopo\r\n");
    PayloadWithPrintLists();
    Start();
    try {
        FEngine->UpdatePrintLists(QString());
        FAIL() << "the import went through without PRT_Params";
    } catch (const Os::Exception &e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Cannot import resource files"));
    }
    EXPECT_FALSE(FEngine->Connection()->Connected());
    EXPECT_EQ(Lines(),
        (QStringList { QString(), QStringLiteral("Aggiornamento di elenchi per la società Rotta") }));
    // The companies after the broken one are not touched.
    EXPECT_TRUE(Rows(later).isEmpty());
}

TEST_F(PrintListsDbTest, OrvantaReportsABrokenImportAsItsFailure)
{
    const QString broken = CreateCompanyDatabase(QStringLiteral("broken"), QStringLiteral("ORV_PRO"), false);
    RegisterCompany(QStringLiteral("Default"), broken);
    InstallOrvanta(5);
    PayloadWithPrintLists();
    FPayload.Add(QStringLiteral("Orvanta.exe"), PeFile(5, 1));
    Start();
    EXPECT_EQ(FEngine->UpdateOrvanta(), uoFailure);
    const QStringList lines = Lines();
    ASSERT_FALSE(lines.isEmpty());
    // The program stays replaced; the current name is empty, so the bare message is told.
    EXPECT_EQ(lines.last(), QStringLiteral("Cannot import resource files")) << Dump().toStdString();
    EXPECT_EQ(ReadFile(QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe")), PeFile(5, 1));
}
