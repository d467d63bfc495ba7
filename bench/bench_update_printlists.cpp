// Wall time of the print-list update of 20 companies with 30 print lists each on the
// private Firebird test server (tests/firebird/fbserver.sh; source its env.sh first), and
// the time per print list against isql-fb running the same inserts over TCP/IP.
//
//   . build/fbtest/env.sh && bench_update_printlists [companies] [print lists]
#include "support/PayloadBuilder.h"
#include "support/PeWriter.h"
#include "support/ScriptedUiServices.h"
#include "support/TempPrefix.h"

#include "Common/Interbase/dmDBConnectionUnit.h"
#include "dbaccess/DbAccess.h"
#include "schema/IBManagers.h"
#include "schema/MultiSte.h"
#include "update/dmUpdateCommonUnit.h"
#include "update/UpdateReport.h"
#include "bench/bench_company_db.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QTextDocument>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace BenchCompanyDb;

// A print list of about 6 KB, the size of the products' own.
QByteArray PrintList(int n)
{
    QByteArray text = "COM:ORVANTA\r\nDES:I:Elenco " + QByteArray::number(n) + "\r\n";
    for (int line = 0; line < 120; ++line)
        text += "BAND " + QByteArray::number(line)
            + " FONT=Arial SIZE=9 LEFT=10 TOP=" + QByteArray::number(line * 4) + "\r\n";
    return text;
}

QString SqlText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes).replace(QLatin1Char('\''), QLatin1String("''"));
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (Env("DREMLIX_FB_ROOT").isEmpty()) {
        std::fprintf(stderr, "no test server: start tests/firebird/fbserver.sh and source its env.sh\n");
        return 2;
    }
    const int companies = argc > 1 ? std::atoi(argv[1]) : 20;
    const int lists = argc > 2 ? std::atoi(argv[2]) : 30;

    TempPrefix prefix;
    ScriptedUiServices ui;
    prefix.SetRegString(Os::RegRoot::CurrentUser, QStringLiteral("Environment"), QStringLiteral("TEMP"),
        QStringLiteral("C:\\temp"));
    prefix.MakeFolder(QStringLiteral("C:\\temp"));
    prefix.WriteFile(QStringLiteral("C:\\windows\\system32\\gds32.dll"),
        MakePeWithVersion(2, 5, 9, 27139, QStringLiteral("WI-V2.5.9.27139")));
    const QString stem = QStringLiteral("bench%1").arg(QCoreApplication::applicationPid());
    const QString data = Env("DREMLIX_FB_DATA") + QLatin1Char('/') + stem;
    QDir().mkpath(data);
    prefix.AddDrive(QLatin1Char('Y'), data);
    QFile free(Env("DREMLIX_FB_ROOT") + QStringLiteral("/udf-free-space-Y"));
    if (free.open(QIODevice::WriteOnly | QIODevice::Truncate))
        free.write("10000000000");
    free.close();

    QElapsedTimer setup;
    setup.start();
    QStringList names;
    QStringList locations;
    for (int c = 0; c < companies; ++c) {
        const QString company = QStringLiteral("Societa%1").arg(c, 2, 10, QLatin1Char('0'));
        const QString file = stem + QLatin1Char('_') + company + QStringLiteral(".fdb");
        CreateCompanyDatabase(data + QLatin1Char('/') + file);
        AppendAlias(QStringLiteral("Y:\\") + file + QStringLiteral(" = ") + data + QLatin1Char('/') + file);
        const QString location
            = QStringLiteral("127.0.0.1/") + Env("DREMLIX_FB_PORT") + QStringLiteral(":Y:\\") + file;
        prefix.SetRegString(Os::RegRoot::LocalMachine,
            QStringLiteral("Software\\DREMLIX S.A.\\Orvanta\\") + company
                + QStringLiteral("\\ORV_DatabaseName"),
            QStringLiteral("Path"), location);
        names.append(company);
        locations.append(location);
    }
    prefix.WriteFile(
        QStringLiteral("C:\\dremlix\\multiste.txt"), names.join(QLatin1String("\r\n")).toLatin1());
    PayloadBuilder payload;
    QStringList listNames;
    for (int l = 0; l < lists; ++l) {
        const QString name = QStringLiteral("Lista%1.lst").arg(l, 2, 10, QLatin1Char('0'));
        payload.Add(name, PrintList(l));
        listNames.append(name);
    }
    payload.AddList(QStringLiteral("PrintLists.txt"), listNames);
    payload.Install(prefix.HostPath(QStringLiteral("C:\\")) + QLatin1String("/Setup.exe"));
    std::printf("set-up: %d company databases, %d print lists each, in %lld ms\n", companies, lists,
        static_cast<long long>(setup.elapsed()));

    TAcceptedVersionTable table = DefaultAcceptedVersions();
    table.append({ TVersionPattern::StartingWith(QStringLiteral("WI-V2.5")),
        TVersionPattern::Exact(ServerVersion()), Firebird25 });
    QTextDocument document;
    TDocumentReport report(&document);
    qint64 updateMs = 0;
    TUpdateOutcome outcome = 0;
    {
        TdmUpdateCommon engine(nullptr, table);
        engine.SetReport(&report);
        engine.FProductCode = 1;
        QElapsedTimer timer;
        timer.start();
        outcome = engine.UpdatePrintLists(QString());
        updateMs = timer.elapsed();
    }
    const int total = companies * lists;
    std::printf("print-list update: %lld ms, outcome %d, %d report lines; %.2f ms per print list\n",
        static_cast<long long>(updateMs), int(outcome), int(report.Lines().size()), double(updateMs) / total);

    // The same rows through isql-fb: one connection per company, the inserts, a commit.
    QString empty;
    QString script = QStringLiteral("SET AUTODDL OFF;\n");
    for (const QString &location : std::as_const(locations)) {
        empty += QStringLiteral(
            "CONNECT '%1' USER 'DREMLIX' PASSWORD '47219630';\nDELETE FROM PRT_Params;\nCOMMIT;\n")
                     .arg(location);
        script += QStringLiteral("CONNECT '%1' USER 'DREMLIX' PASSWORD '47219630';\n").arg(location);
        for (int l = 0; l < lists; ++l)
            script += QStringLiteral(
                "INSERT INTO PRT_Params (pname, d_text, f_text, i_text, compat, print_params) "
                "VALUES ('lista%1', 'Elenco %2', 'Elenco %2', 'Elenco %2', 'ORVANTA', '%3');\n")
                          .arg(l, 2, 10, QLatin1Char('0'))
                          .arg(l)
                          .arg(SqlText(PrintList(l)));
        script += QStringLiteral("COMMIT;\n");
    }
    auto runIsql = [](const QString &sql, qint64 &ms) {
        QProcess isql;
        isql.setProcessChannelMode(QProcess::MergedChannels);
        QElapsedTimer timer;
        timer.start();
        isql.start(QStringLiteral("isql-fb"), { QStringLiteral("-q"), QStringLiteral("-bail") });
        isql.waitForStarted();
        isql.write(sql.toLatin1());
        isql.closeWriteChannel();
        isql.waitForFinished(-1);
        ms = timer.elapsed();
        return isql.exitCode() == 0 ? QByteArray() : isql.readAll();
    };
    qint64 ignored = 0;
    const QByteArray emptied = runIsql(empty, ignored);
    qint64 isqlMs = 0;
    const QByteArray failed = runIsql(script, isqlMs);
    if (!emptied.isEmpty() || !failed.isEmpty())
        std::printf("isql-fb failed: %s%s\n", emptied.constData(), failed.constData());
    std::printf("isql-fb, same inserts: %lld ms; %.2f ms per print list\n", static_cast<long long>(isqlMs),
        double(isqlMs) / total);
    std::printf("ratio per print list, update / isql-fb: %.2f\n",
        isqlMs > 0 ? double(updateMs) / double(isqlMs) : -1.0);
    QDir(data).removeRecursively();
    return outcome == 1 ? 0 : 1;
}
