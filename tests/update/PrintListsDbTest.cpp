// The print-list update of the database products against the private Firebird server:
// rows inserted then replaced, several companies with one unreachable, an import that
// breaks off, eight workstations importing the same lists at once, and a server killed
// while a list is being written.
#include "UpdateFixture.h"

#include "Common/Interbase/dmDBConnectionUnit.h"
#include "dbaccess/DbAccess.h"
#include "oslayer/Exceptions.h"
#include "platform/ProductCatalog.h"
#include "schema/IBManagers.h"
#include "schema/MultiSte.h"
#include "support/FirebirdTestServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {

QString Env(const char *name) { return qEnvironmentVariable(name); }

// Set for a process of this program started as one workstation of the concurrent
// imports: "<worker number>|<connection string of the company database>".
constexpr char WorkerJob[] = "DREMLIX_IMPORT_WORKER";
constexpr int ConcurrentLists = 30;
constexpr int ConcurrentWorkers = 8;

QString ListName(int list) { return QStringLiteral("Lista%1").arg(list, 2, 10, QLatin1Char('0')); }

// What one workstation imports as a list: a text of its own, long enough that writing
// it takes the server a moment.
QByteArray ListText(int worker, int list)
{
    QByteArray text = "COM:ORVANTA\r\nDES:I:" + ListName(list).toLatin1() + "\r\n";
    for (int line = 0; line < 200; ++line)
        text += "BAND " + QByteArray::number(line) + " of workstation " + QByteArray::number(worker) + "\r\n";
    return text;
}

// A second server of the test's own in a temporary root, which the test may kill
// without disturbing the server every other test uses; stopped at the end in any case.
class TPrivateServer {
public:
    TPrivateServer()
    {
        FRoot = FFolder.path() + QStringLiteral("/fb");
        Run(QStringLiteral("start"));
        QFile conf(FRoot + QStringLiteral("/firebird.conf"));
        if (conf.open(QIODevice::ReadOnly)) {
            for (const QByteArray &line : conf.readAll().split('\n')) {
                if (line.startsWith("RemoteServicePort = "))
                    FPort = line.mid(20).trimmed().toInt();
            }
        }
        FirebirdTestServer::SetFreeDiskSpace(10000000000, QLatin1Char('Y'), FRoot);
    }
    ~TPrivateServer() { Run(QStringLiteral("stop")); }

    bool Running() const { return FPort > 0; }
    int Port() const { return FPort; }
    const QString &Root() const { return FRoot; }
    // As a crash ends it: no chance to close anything.
    void Kill() const
    {
        QFile pid(FRoot + QStringLiteral("/firebird.pid"));
        if (pid.open(QIODevice::ReadOnly))
            ::kill(static_cast<pid_t>(pid.readAll().trimmed().toLongLong()), SIGKILL);
    }
    void Restart() { Run(QStringLiteral("restart")); }
    void Stop() { Run(QStringLiteral("stop")); }

private:
    void Run(const QString &command) const
    {
        QProcess script;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // The project's function module, which the shared server has too; the server
        // compares the folder of its restriction by name, so without "..".
        if (!environment.contains(QStringLiteral("DREMLIX_UDF_DIR")))
            environment.insert(QStringLiteral("DREMLIX_UDF_DIR"),
                QFileInfo(FirebirdTestServer::Root() + QStringLiteral("/../udf")).canonicalFilePath());
        script.setProcessEnvironment(environment);
        script.setProcessChannelMode(QProcess::ForwardedChannels);
        script.start(QStringLiteral(DREMLIX_SOURCE_DIR "/tests/firebird/fbserver.sh"), { command, FRoot });
        script.waitForFinished(120000);
    }

    QTemporaryDir FFolder;
    QString FRoot;
    int FPort = 0;
};

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
        // The server's free-space answer for drive Y: stays large for every test process;
        // the workers of one test find it written, and must not empty it while the
        // others read it.
        if (Env(WorkerJob).isEmpty())
            FirebirdTestServer::SetFreeDiskSpace(10000000000, QLatin1Char('Y'));
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
            QString v = client.ServerVersion();
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
    QString CreateCompanyDatabase(const QString &name, const QString &identifier, bool withPrintTables = true,
        const TPrivateServer *server = nullptr)
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
        FirebirdTestServer::AddAlias(alias, host, server ? server->Root() : FirebirdTestServer::Root());
        return TcpString(file, server);
    }

    QString TcpString(const QString &file, const TPrivateServer *server = nullptr) const
    {
        const QString port = server ? QString::number(server->Port()) : Env("DREMLIX_FB_PORT");
        return QStringLiteral("127.0.0.1/") + port + QStringLiteral(":Y:\\") + file;
    }

    static void ExecAsMaker(const QString &location, const QStringList &statements)
    {
        auto db = AttachAsMaker(location);
        Db::TTransaction transaction(db.get());
        transaction.Start();
        Db::TStatement statement(db.get(), &transaction);
        statement.SetParamCheck(false);
        for (const QString &sql : statements) {
            statement.SetSQLText(sql);
            statement.Execute();
        }
        transaction.Commit();
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

    // "PrintLists.txt" naming Lista01.lst, Lista02.lst ... and each list with its text.
    void PayloadWithLists(int count, const std::function<QByteArray(int list)> &text)
    {
        QStringList names;
        for (int list = 1; list <= count; ++list)
            names << ListName(list) + QStringLiteral(".lst");
        FPayload.AddList(QStringLiteral("PrintLists.txt"), names);
        for (int list = 1; list <= count; ++list)
            FPayload.Add(names.at(list - 1), text(list));
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
              // The server's own reason, as a failed copy gives it.
              QStringLiteral("Error: unavailable database"), QString(),
              QStringLiteral("Aggiornamento di elenchi per la società Default") }
        + added
        + QStringList { QString(), QStringLiteral("Aggiornamento di elenchi per la società Gamma"),
              QStringLiteral("Fallimento di collegamento alla società Gamma, aggiornamento "
                             "delle liste non effettuato."),
              QString(),
              QStringLiteral("Elenchi non aggiornati per le società : Beta, Gamma. Eseguire di nuovo questo "
                             "aggiornamento per completarli.") };
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
    // The company, the list and the server's error are named, then the companies left.
    const QStringList lines = Lines();
    ASSERT_GE(lines.size(), 6) << Dump().toStdString();
    EXPECT_EQ(lines.mid(0, 4),
        (QStringList { QString(), QStringLiteral("Aggiornamento di elenchi per la società Rotta"),
            QStringLiteral("Un errore si è prodotto durante l'aggiornamento di \"OrvGro.lst\" della società Rotta"),
            QStringLiteral("Error: Dynamic SQL Error") }))
        << Dump().toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("Table unknown"))) << Dump().toStdString();
    EXPECT_EQ(lines.mid(lines.size() - 2),
        (QStringList { QString(),
            QStringLiteral("Elenchi non aggiornati per le società : Rotta, Dopo. Eseguire di nuovo questo "
                           "aggiornamento per completarli.") }))
        << Dump().toStdString();
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

// ---- Many workstations, one database ---------------------------------------------------

// One workstation of ConcurrentImportsOfTheSameLists...: the whole print-list update of
// the product, with the real pauses between its retries.
TEST_F(PrintListsDbTest, WorkerOfConcurrentImports)
{
    const QStringList job = Env(WorkerJob).split(QLatin1Char('|'));
    if (job.size() != 2)
        GTEST_SKIP() << "runs only as a workstation of ConcurrentImportsOfTheSameListsAllSucceed...";
    const int worker = job.at(0).toInt();
    RegisterCompany(QStringLiteral("Default"), job.at(1));
    PayloadWithLists(ConcurrentLists, [worker](int list) { return ListText(worker, list); });
    StartEngine(1, QString(), TableWithTestServer());

    EXPECT_EQ(FEngine->UpdatePrintLists(QString()), uoSuccess) << Dump().toStdString();
    EXPECT_EQ(Lines().size(), 2 + ConcurrentLists) << Dump().toStdString();
    // The lines of the lists go to the test that started this workstation, which checks
    // their words across all of them.
    for (const QString &line : Lines().mid(2))
        std::printf("REPORT %s\n", line.toUtf8().constData());
    for (const auto &box : FUi->Boxes())
        ADD_FAILURE() << "box: " << box.Caption.toStdString() << ": " << box.Text.toStdString();
}

TEST_F(PrintListsDbTest, ConcurrentImportsOfTheSameListsAllSucceedAndLeaveEachListOneWholeRow)
{
    const QString location = CreateCompanyDatabase(QStringLiteral("shared"), QStringLiteral("ORV_PRO"));
    std::vector<std::unique_ptr<QProcess>> workers;
    for (int worker = 0; worker < ConcurrentWorkers; ++worker) {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(WorkerJob), QStringLiteral("%1|%2").arg(worker).arg(location));
        process->setProcessEnvironment(environment);
        process->setProcessChannelMode(QProcess::MergedChannels);
        process->start(QCoreApplication::applicationFilePath(),
            { QStringLiteral("--gtest_filter=PrintListsDbTest.WorkerOfConcurrentImports") });
        workers.push_back(std::move(process));
    }
    QMap<QString, int> added;
    for (int worker = 0; worker < ConcurrentWorkers; ++worker) {
        QProcess &process = *workers[worker];
        ASSERT_TRUE(process.waitForFinished(600000)) << "workstation " << worker << " did not end";
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        const QByteArray output = process.readAll();
        EXPECT_EQ(process.exitCode(), 0) << "workstation " << worker << ":\n" << output.toStdString();
        // Each list line says what happened to the row: added under its description by the
        // one workstation whose insert stood, replaced under its name by every other one
        // (also one whose insert met the row of another).
        for (const QByteArray &raw : output.split('\n')) {
            if (!raw.startsWith("REPORT "))
                continue;
            const QString line = QString::fromUtf8(raw.mid(7)).trimmed();
            bool known = false;
            for (int list = 1; list <= ConcurrentLists; ++list) {
                if (line == QStringLiteral("I parametri di stampa : \"%1\" sono stati aggiunti.").arg(ListName(list))) {
                    ++added[ListName(list)];
                    known = true;
                }
                known = known
                    || line
                        == QStringLiteral("I parametri di stampa : \"%1\" sono aggiornamento.")
                               .arg(ListName(list).toLower());
            }
            EXPECT_TRUE(known) << line.toStdString();
        }
    }
    for (int list = 1; list <= ConcurrentLists; ++list)
        EXPECT_EQ(added.value(ListName(list)), 1) << ListName(list).toStdString();

    const QList<QVariantList> rows = Rows(location);
    ASSERT_EQ(rows.size(), ConcurrentLists);
    for (int list = 1; list <= ConcurrentLists; ++list) {
        const QVariantList &row = rows.at(list - 1);
        EXPECT_EQ(row.at(0).toString(), ListName(list).toLower());
        // Whole, and from one workstation: no mixture, nothing cut.
        bool whole = false;
        for (int worker = 0; worker < ConcurrentWorkers; ++worker)
            whole = whole || row.at(3).toString() == QString::fromLatin1(ListText(worker, list));
        EXPECT_TRUE(whole) << ListName(list).toStdString();
    }
}

// ---- A server that goes away -----------------------------------------------------------

TEST_F(PrintListsDbTest, ServerKilledMidImportLeavesTheCompanyUntouchedAndAPlainRerunCompletesEveryCompany)
{
    TPrivateServer server;
    ASSERT_TRUE(server.Running());
    const QString location
        = CreateCompanyDatabase(QStringLiteral("ferma"), QStringLiteral("ORV_PRO"), true, &server);
    constexpr int Lists = 5;
    const auto text = [](int list, int run) -> QByteArray {
        return QByteArray("COM:ORVANTA\r\nDES:I:") + ListName(list).toLatin1() + "\r\nRUN "
            + QByteArray::number(run) + "\r\n";
    };
    // List 3 is stored already; the server dies while its new text is being written: a
    // trigger holds the write once, after telling the test through a transaction of
    // its own that commits at once.
    ExecAsMaker(location,
        { QStringLiteral("INSERT INTO PRT_Params (pname, print_params) VALUES ('lista03', '")
                + QString::fromLatin1(text(3, 0)) + QStringLiteral("')"),
            QStringLiteral("CREATE TABLE KillPoint (pname VARCHAR(60))") });
    ExecAsMaker(location,
        { QStringLiteral("CREATE TRIGGER HOLD_THE_WRITE FOR PRT_Params ACTIVE BEFORE INSERT OR UPDATE AS "
                         "DECLARE started TIMESTAMP; "
                         "BEGIN "
                         "  IF (NEW.pname = 'lista03' AND NOT EXISTS (SELECT * FROM KillPoint)) THEN BEGIN "
                         "    IN AUTONOMOUS TRANSACTION DO INSERT INTO KillPoint (pname) VALUES (NEW.pname); "
                         "    started = CAST('NOW' AS TIMESTAMP); "
                         "    WHILE (DATEDIFF(SECOND FROM started TO CAST('NOW' AS TIMESTAMP)) < 60) DO "
                         "      started = started; "
                         "  END "
                         "END") });
    RegisterCompany(QStringLiteral("Ferma"), location);
    WriteCompanyList("Ferma\r\n");
    const auto payload = [&](int run) {
        FPayload = PayloadBuilder();
        PayloadWithLists(Lists, [&](int list) { return text(list, run); });
        FPayload.Add(QStringLiteral("Orvanta.exe"), PeFile(5, 1));
    };
    InstallOrvanta(5);
    payload(1);
    Start();

    // The killer watches from a connection of its own; if the write is not reached in
    // two minutes, it kills the server all the same, so that nothing waits on the held
    // trigger.
    std::atomic<qint64> killedAt { -1 };
    QElapsedTimer clock;
    clock.start();
    std::jthread killer([&](const std::stop_token &stop) {
        try {
            auto db = AttachAsMaker(location);
            Db::TTransaction transaction(db.get());
            transaction.SetParams({ QStringLiteral("read"), QStringLiteral("read_committed"),
                QStringLiteral("rec_version"), QStringLiteral("nowait") });
            Db::TQuery query(db.get(), &transaction);
            query.SetSQLText(QStringLiteral("SELECT COUNT(*) FROM KillPoint"));
            while (!stop.stop_requested() && killedAt < 0 && clock.elapsed() < 120000) {
                transaction.Start();
                query.Open();
                const bool held = query.AsInteger(0) > 0;
                query.Close();
                transaction.Commit();
                if (held) {
                    server.Kill();
                    killedAt = clock.elapsed();
                }
                QThread::msleep(20);
            }
            db->ForceClose();
        } catch (const std::exception &) {
        }
        if (killedAt < 0 && !stop.stop_requested())
            server.Kill();
    });
    const TUpdateOutcome outcome = FEngine->RunProcedure(PC_ORVANTA);
    const qint64 returnedAt = clock.elapsed();
    killer.request_stop();
    killer.join();

    ASSERT_GE(killedAt.load(), 0) << "the write of list 3 was never reached\n" << Dump().toStdString();
    EXPECT_EQ(outcome, uoFailure);
    const QStringList lines = Lines();
    const qsizetype start = lines.indexOf(QStringLiteral("Aggiornamento di elenchi per la società Ferma"));
    ASSERT_GE(start, 0) << Dump().toStdString();
    // No line for the lists whose writes were rolled back with the company; the list,
    // the company and the server's own error are named; what remains is said.
    ASSERT_GE(lines.size(), start + 6) << Dump().toStdString();
    EXPECT_EQ(lines.at(start + 1),
        QStringLiteral("Un errore si è prodotto durante l'aggiornamento di \"Lista03.lst\" della società Ferma"));
    EXPECT_TRUE(lines.at(start + 2).startsWith(QStringLiteral("Error: ")) && lines.at(start + 2).size() > 10)
        << lines.at(start + 2).toStdString();
    EXPECT_EQ(lines.mid(lines.size() - 3),
        (QStringList { QString(),
            QStringLiteral("Elenchi non aggiornati per le società : Ferma. Eseguire di nuovo questo "
                           "aggiornamento per completarli."),
            QStringLiteral("Cannot import resource files") }))
        << Dump().toStdString();
    EXPECT_FALSE(FEngine->Connection()->Connected());
    // The client notices a dead server at once; nothing waits for a timeout.
    EXPECT_LT(returnedAt - killedAt, 10000) << "killed at " << killedAt << " ms, returned at " << returnedAt;
    // The program stays new: the files are committed before the companies.
    EXPECT_EQ(ReadFile(QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe")), PeFile(5, 1));

    // Back up: the company is as it was, the lists written before the break included;
    // and the dropped connection stays dropped, a register refresh of its timer included.
    server.Restart();
    FEngine->Connection()->DatabaseManager()->RegisterUser(QStringLiteral("timer tick"));
    EXPECT_FALSE(FEngine->Connection()->Connected());
    QList<QVariantList> rows = Rows(location);
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows.at(0).at(0).toString(), QStringLiteral("lista03"));
    EXPECT_EQ(rows.at(0).at(3).toString(), QString::fromLatin1(text(3, 0)));

    // A plain second run of the same wizard: the program is the same version, yet no
    // question is asked and nothing stops it; every company gets every list.
    ExecAsMaker(location, { QStringLiteral("DROP TRIGGER HOLD_THE_WRITE") });
    const QString viva = CreateCompanyDatabase(QStringLiteral("viva"), QStringLiteral("ORV_PRO"), true, &server);
    RegisterCompany(QStringLiteral("Viva"), viva);
    WriteCompanyList("Ferma\r\nViva\r\n");
    FEngine.reset();
    ReleaseFMultiSte();
    payload(1);
    Start();
    EXPECT_EQ(FEngine->RunProcedure(PC_ORVANTA), uoSuccess) << Dump().toStdString();
    EXPECT_EQ(FUi->Boxes().size(), 0);
    QStringList expected { QStringLiteral("I programmi sono già aggiornati : completamento degli elenchi delle società."),
        QString(), QStringLiteral("Aggiornamento di elenchi per la società Ferma") };
    for (int list = 1; list <= Lists; ++list)
        expected << (list == 3 ? QStringLiteral("I parametri di stampa : \"lista03\" sono aggiornamento.")
                               : QStringLiteral("I parametri di stampa : \"%1\" sono stati aggiunti.").arg(ListName(list)));
    expected << QString() << QStringLiteral("Aggiornamento di elenchi per la società Viva");
    for (int list = 1; list <= Lists; ++list)
        expected << QStringLiteral("I parametri di stampa : \"%1\" sono stati aggiunti.").arg(ListName(list));
    EXPECT_EQ(Lines(), expected);
    for (const QString &company : { location, viva }) {
        rows = Rows(company);
        ASSERT_EQ(rows.size(), Lists);
        for (int list = 1; list <= Lists; ++list)
            EXPECT_EQ(rows.at(list - 1).at(3).toString(), QString::fromLatin1(text(list, 1))) << list;
    }
    EXPECT_FALSE(QFileInfo::exists(FPrefix->Root() + QStringLiteral("/.dremlix-update/pending-db")));

    // Done: a third run is the program's own "already up to date" again.
    FEngine.reset();
    ReleaseFMultiSte();
    Start();
    EXPECT_FALSE(FEngine->HasPendingDbPhase());
}

// ---- A site, as its administrator sets it up -------------------------------------------

namespace {

struct TWizardRun {
    int ExitCode = -1;
    QStringList Out; // the report, line by line
    QString Err;
    QJsonObject Json; // the outcome of --report-json
};

} // namespace

class SiteWizardTest : public PrintListsDbTest {
protected:
    static constexpr int Lists = 4;

    // A workstation as docs/site.md sets it up: the client library and the address-book
    // component the start-up check wants, Orvanta 5.0, three companies on the server.
    void SetUpWorkstation(const TPrivateServer *server = nullptr)
    {
        WriteFile(QStringLiteral("C:\\windows\\system32\\gds32.dll"),
            PeFile(2, 5, 2, 26540, QStringLiteral("WI-V2.5.2.26540")));
        WriteFile(QStringLiteral("C:\\WDremlix\\Vestrel\\Programs\\OVVestrel2.dll"), PeFile(2, 1));
        InstallOrvanta(5);
        for (const QString &company : { QStringLiteral("Alfa"), QStringLiteral("Beta"), QStringLiteral("Gamma") }) {
            const QString location
                = CreateCompanyDatabase(company.toLower(), QStringLiteral("ORV_PRO"), true, server);
            RegisterCompany(company, location);
            FCompanies << location;
        }
        WriteCompanyList("Alfa\r\nBeta\r\nGamma\r\n");
    }

    // The Orvanta update of the release engineer, packed into the shipped wizard.
    QString PackWizard(const QByteArray &servers)
    {
        FPayload = PayloadBuilder();
        FPayload.Add(QStringLiteral("AppInfo1.txt"), "Orvanta\r\n")
            .Add(QStringLiteral("Updates.txt"), "Orvanta\r\n")
            .Add(QStringLiteral("Orvanta.exe"), PeFile(5, 1));
        PayloadWithLists(Lists, [](int list) { return ListText(0, list); });
        if (!servers.isEmpty())
            FPayload.Add(QStringLiteral("Servers.txt"), servers);
        const QString wizard = FWizardFolder.path() + QStringLiteral("/OrvantaUpdate");
        FPayload.Write(wizard, QStringLiteral(DREMLIX_WIZARD_EXE));
        return wizard;
    }

    TWizardRun RunWizard(const QString &wizard, const std::function<void()> &whileRunning = {})
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name : { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "WINEPREFIX" })
            environment.remove(QString::fromLatin1(name));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), FWizardFolder.path());
        process.setProcessEnvironment(environment);
        const QString json = FWizardFolder.path() + QStringLiteral("/run.json");
        QFile::remove(json);
        process.start(wizard,
            { QStringLiteral("--unattended"), QStringLiteral("--prefix=") + FPrefix->Root(),
                QStringLiteral("--report-json=") + json });
        if (whileRunning)
            whileRunning();
        TWizardRun run;
        if (!process.waitForFinished(300000)) {
            process.kill();
            process.waitForFinished();
            run.Err = QStringLiteral("(did not end)");
            return run;
        }
        run.ExitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : 1000 + process.exitCode();
        run.Out = QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'));
        run.Err = QString::fromUtf8(process.readAllStandardError());
        QFile outcome(json);
        if (outcome.open(QIODevice::ReadOnly))
            run.Json = QJsonDocument::fromJson(outcome.readAll()).object();
        return run;
    }

    static std::string Explain(const TWizardRun &run)
    {
        const QString text = QStringLiteral("exit ") + QString::number(run.ExitCode) + QLatin1Char('\n')
            + run.Out.join(QLatin1Char('\n')) + QStringLiteral("\nstderr:\n") + run.Err;
        return text.toStdString();
    }

    QTemporaryDir FWizardFolder;
    QStringList FCompanies;
};

TEST_F(SiteWizardTest, AServerCertifiedByServersTxtGetsEveryListInEveryCompany)
{
    SetUpWorkstation();
    // The site's Linux server, pinned by the update as docs/site.md shows.
    const TWizardRun run
        = RunWizard(PackWizard("WI-V2.5.2.26540\t" + ServerVersion().left(7).toLatin1() + "*\tFirebird25\r\n"));
    ASSERT_EQ(run.ExitCode, 0) << Explain(run);
    for (const QString &company : { QStringLiteral("Alfa"), QStringLiteral("Beta"), QStringLiteral("Gamma") }) {
        const qsizetype start = run.Out.indexOf(QStringLiteral("Aggiornamento di elenchi per la società ") + company);
        ASSERT_GE(start, 0) << Explain(run);
        for (int list = 1; list <= Lists; ++list)
            EXPECT_EQ(run.Out.value(start + list),
                QStringLiteral("I parametri di stampa : \"%1\" sono stati aggiunti.").arg(ListName(list)))
                << Explain(run);
    }
    for (const QString &location : std::as_const(FCompanies)) {
        const QList<QVariantList> rows = Rows(location);
        ASSERT_EQ(rows.size(), Lists);
        for (int list = 1; list <= Lists; ++list)
            EXPECT_EQ(rows.at(list - 1).at(3).toString(), QString::fromLatin1(ListText(0, list)));
    }
    EXPECT_EQ(ReadFile(QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe")), PeFile(5, 1));
    // The outcome for programs counts the companies and the conflicts the import retried
    // (none here, one workstation alone).
    EXPECT_EQ(run.Json.value(QStringLiteral("companies")).toVariant().toStringList(),
        (QStringList { QStringLiteral("Alfa"), QStringLiteral("Beta"), QStringLiteral("Gamma") }));
    EXPECT_TRUE(run.Json.value(QStringLiteral("conflicts_retried")).isDouble()) << Explain(run);
    EXPECT_EQ(run.Json.value(QStringLiteral("conflicts_retried")).toInt(-1), 0);
}

TEST_F(SiteWizardTest, WithoutServersTxtTheReportShowsTheRefusalOfTheServerAndAPlainRerunWithThePinCompletes)
{
    SetUpWorkstation();
    const TWizardRun refused = RunWizard(PackWizard(QByteArray()));
    EXPECT_EQ(refused.ExitCode, 4) << Explain(refused);
    // No company database was reached: nothing could conflict.
    EXPECT_TRUE(refused.Json.value(QStringLiteral("conflicts_retried")).isNull()) << Explain(refused);
    const qsizetype start = refused.Out.indexOf(QStringLiteral("Aggiornamento di elenchi per la società Alfa"));
    ASSERT_GE(start, 0) << Explain(refused);
    EXPECT_EQ(refused.Out.mid(start + 1, 6),
        (QStringList { QStringLiteral(
                           "Fallimento di collegamento alla società Alfa, aggiornamento delle liste non effettuato."),
            QStringLiteral("Error: La versione del cliente Firebird utilizzato non corrisponde a quella del server "
                           "Firebird. Per sicurezza, nessun collegamento alla base di dati sarà stabilito."),
            QString(), QStringLiteral("Client : WI-V2.5.2.26540"), QStringLiteral("Server : ") + ServerVersion(),
            QString() }))
        << Explain(refused);
    EXPECT_TRUE(ServerVersion().startsWith(QStringLiteral("LI-V3.0"))) << ServerVersion().toStdString();
    EXPECT_TRUE(refused.Out.contains(QStringLiteral("Elenchi non aggiornati per le società : Alfa, Beta, Gamma. "
                                                    "Eseguire di nuovo questo aggiornamento per completarli.")))
        << Explain(refused);
    for (const QString &location : std::as_const(FCompanies))
        EXPECT_TRUE(Rows(location).isEmpty());

    // The vendor certifies the server: the same lists with the pin, run plainly on the
    // workstation whose program is already new, complete every company.
    const TWizardRun completed
        = RunWizard(PackWizard("WI-V2.5*\t" + ServerVersion().left(7).toLatin1() + "*\tFirebird25\r\n"));
    EXPECT_EQ(completed.ExitCode, 0) << Explain(completed);
    for (const QString &location : std::as_const(FCompanies))
        EXPECT_EQ(Rows(location).size(), Lists);
}

TEST_F(SiteWizardTest, AServerKilledMidImportEndsTheWizardWithItsExitCodeNeverBySignal)
{
    TPrivateServer server;
    ASSERT_TRUE(server.Running());
    SetUpWorkstation(&server);
    // Beta's import holds at its second list until the test has killed the server.
    ExecAsMaker(FCompanies.at(1), { QStringLiteral("CREATE TABLE KillPoint (pname VARCHAR(60))") });
    ExecAsMaker(FCompanies.at(1),
        { QStringLiteral("CREATE TRIGGER HOLD_THE_WRITE FOR PRT_Params ACTIVE BEFORE INSERT OR UPDATE AS "
                         "DECLARE started TIMESTAMP; "
                         "BEGIN "
                         "  IF (NEW.pname = 'lista02') THEN BEGIN "
                         "    IN AUTONOMOUS TRANSACTION DO INSERT INTO KillPoint (pname) VALUES (NEW.pname); "
                         "    started = CAST('NOW' AS TIMESTAMP); "
                         "    WHILE (DATEDIFF(SECOND FROM started TO CAST('NOW' AS TIMESTAMP)) < 60) DO "
                         "      started = started; "
                         "  END "
                         "END") });
    const QString wizard = PackWizard("WI-V2.5*\t" + ServerVersion().left(7).toLatin1() + "*\tFirebird25\r\n");
    bool killed = false;
    const TWizardRun run = RunWizard(wizard, [&] {
        auto db = AttachAsMaker(FCompanies.at(1));
        Db::TTransaction transaction(db.get());
        transaction.SetParams({ QStringLiteral("read"), QStringLiteral("read_committed"),
            QStringLiteral("rec_version"), QStringLiteral("nowait") });
        Db::TQuery query(db.get(), &transaction);
        query.SetSQLText(QStringLiteral("SELECT COUNT(*) FROM KillPoint"));
        QElapsedTimer clock;
        clock.start();
        while (!killed && clock.elapsed() < 120000) {
            transaction.Start();
            query.Open();
            killed = query.AsInteger(0) > 0;
            query.Close();
            transaction.Commit();
            QThread::msleep(20);
        }
        server.Kill();
        db->ForceClose();
    });
    ASSERT_TRUE(killed) << Explain(run);
    // An exit code of the run (1: the import broke off), not a signal.
    EXPECT_EQ(run.ExitCode, 1) << Explain(run);
    EXPECT_TRUE(run.Out.contains(QStringLiteral(
        "Un errore si è prodotto durante l'aggiornamento di \"Lista02.lst\" della società Beta")))
        << Explain(run);
    EXPECT_TRUE(run.Out.contains(QStringLiteral(
        "Elenchi non aggiornati per le società : Beta, Gamma. Eseguire di nuovo questo aggiornamento per completarli.")))
        << Explain(run);

    // Back up, the plain re-run of the same wizard completes Beta and Gamma.
    server.Restart();
    ExecAsMaker(FCompanies.at(1), { QStringLiteral("DROP TRIGGER HOLD_THE_WRITE") });
    const TWizardRun rerun = RunWizard(wizard);
    EXPECT_EQ(rerun.ExitCode, 0) << Explain(rerun);
    for (const QString &location : std::as_const(FCompanies))
        EXPECT_EQ(Rows(location).size(), Lists) << location.toStdString();
}
