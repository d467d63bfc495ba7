// Inserting 1,000 print lists of 20 KB through InsertPrintParams in one transaction
// level of the connection module, against isql-fb inserting the same rows into a twin
// database on the same server in the same run. Rows per second and their ratio.
#include "bench_common_setup.h"

#include "Common/Impression/dmStructure_Printing_Unit.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

namespace {

// 250 lines of 80 characters: the size and shape of a large print list.
QStringList PrintList(int index)
{
    QStringList lines;
    lines << QStringLiteral("/* Lista %1").arg(index) << QStringLiteral("COM:ORVANTA")
          << QStringLiteral("DES:I:Lista numero %1").arg(index);
    while (lines.size() < 250)
        lines << QStringLiteral("BAND%1=").arg(lines.size(), 3, 10, QLatin1Char('0'))
                + QString(72, QChar(static_cast<char16_t>(u'a' + lines.size() % 26)));
    return lines;
}

QString Literal(const QString &text)
{
    return QLatin1Char('\'') + QString(text).replace(QLatin1Char('\''), QStringLiteral("''"))
        + QLatin1Char('\'');
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rows = argc > 1 ? std::atoi(argv[1]) : 1000;
    // "async": both databases without forced writes, so that the disk's sync time does not
    // hide what the layers themselves cost.
    const bool async = argc > 2 && QByteArray(argv[2]) == "async";
    BenchCommon::Environment env;
    const QString ours = env.CreateDatabase(QStringLiteral("bench_print"));
    const QString theirs = env.CreateDatabase(QStringLiteral("bench_print_isql"));
    if (async) {
        for (const QString &file : { ours, theirs }) {
            Db::TServicesClient client;
            client.SetProtocol(Db::TProtocol::TCP);
            client.SetServerName(QStringLiteral("127.0.0.1/%1").arg(FirebirdTestServer::Port()));
            client.SetLogin(QStringLiteral("DREMLIX"), QStringLiteral("47219630"));
            client.Attach();
            client.SetWriteMode(QStringLiteral("Y:\\") + file, false);
            client.Detach();
        }
    }
    std::printf("forced writes %s\n", async ? "off" : "on (as created)");

    std::vector<QStringList> lists;
    qint64 bytes = 0;
    for (int i = 0; i < rows; ++i) {
        lists.push_back(PrintList(i));
        bytes += PrintListHeader::LinesText(lists.back()).size();
    }

    auto module = env.Module(ours);
    module->ConnectAsDremlix();
    TdmStructurePrinting printing(nullptr, QString(), module.get());
    QElapsedTimer timer;
    timer.start();
    module->DoStartTransaction(false);
    QString description;
    for (int i = 0; i < rows; ++i)
        printing.InsertPrintParams(
            QStringLiteral("list%1").arg(i, 4, 10, QLatin1Char('0')), lists[i], description);
    module->DoCommit();
    const double oursSeconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    module->Disconnect();

    // The same rows as one isql script: the descriptions as InsertPrintParams reads them.
    QTemporaryDir dir;
    const QString script = dir.filePath(QStringLiteral("insert.sql"));
    {
        QFile f(script);
        BenchCommon::Require(f.open(QIODevice::WriteOnly), "cannot write the isql script");
        f.write("SET AUTODDL OFF;\n");
        for (int i = 0; i < rows; ++i) {
            const TPrintListHeader h = PrintListHeader::Read(lists[i], QStringLiteral("x"));
            const QString name = QStringLiteral("list%1").arg(i, 4, 10, QLatin1Char('0'));
            f.write((
                QStringLiteral("INSERT INTO PRT_Params (pname, d_text, f_text, i_text, compat, print_params) "
                               "VALUES (")
                + Literal(name) + QLatin1Char(',') + Literal(h.DescD) + QLatin1Char(',') + Literal(h.DescF)
                + QLatin1Char(',') + Literal(h.DescI) + QLatin1Char(',') + Literal(h.Compat)
                + QLatin1Char(',') + Literal(PrintListHeader::LinesText(lists[i])) + QStringLiteral(");\n"))
                        .toLatin1());
        }
        f.write("COMMIT;\n");
    }
    QProcess isql;
    timer.restart();
    isql.start(QStringLiteral("isql-fb"),
        { QStringLiteral("-q"), QStringLiteral("-bail"), QStringLiteral("-ch"), QStringLiteral("ISO8859_1"),
            QStringLiteral("-user"), QStringLiteral("DREMLIX"), QStringLiteral("-password"),
            QStringLiteral("47219630"), QStringLiteral("-i"), script,
            BenchCommon::Environment::TcpString(theirs) });
    BenchCommon::Require(isql.waitForFinished(600000), "isql-fb did not finish");
    const double isqlSeconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    if (isql.exitCode() != 0) {
        std::fprintf(stderr, "%s", isql.readAllStandardError().constData());
        BenchCommon::Require(false, "isql-fb failed");
    }

    // Both databases must hold the same rows, or the figures compare different work.
    // isql reads its script as text and keeps only the LF of each CR LF: its rows are
    // one byte shorter per line, which the output shows.
    auto count = [](const QString &file) {
        Db::TDatabase db;
        db.SetDatabaseName(BenchCommon::Environment::TcpString(file));
        db.SetParams({ QStringLiteral("user_name=DREMLIX"), QStringLiteral("password=47219630"),
            QStringLiteral("lc_ctype=ISO8859_1") });
        db.Open();
        Db::TTransaction t(&db);
        t.Start();
        Db::TQuery q(&db, &t);
        q.SetSQL({ QStringLiteral("SELECT COUNT(*), SUM(OCTET_LENGTH(print_params)) FROM PRT_Params") });
        q.Open();
        const QPair<int, qint64> result { q.AsInteger(0), q.AsInt64(1) };
        t.Commit();
        return result;
    };
    const auto oursCount = count(ours);
    const auto theirsCount = count(theirs);
    BenchCommon::Require(oursCount.first == rows && theirsCount.first == rows, "a database lacks rows");

    std::printf(
        "%d print lists, %.1f KB each; stored text %lld bytes (ours), %lld bytes (isql-fb, LF only)\n", rows,
        static_cast<double>(bytes) / rows / 1024, static_cast<long long>(oursCount.second),
        static_cast<long long>(theirsCount.second));
    std::printf("InsertPrintParams in one level: %.3f s, %.0f rows/s\n", oursSeconds, rows / oursSeconds);
    std::printf(
        "isql-fb script (process start included): %.3f s, %.0f rows/s\n", isqlSeconds, rows / isqlSeconds);
    std::printf("ratio (ours / isql-fb rows per second): %.2f\n", isqlSeconds / oursSeconds);
    return 0;
}
