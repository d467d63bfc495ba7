// Many workstations updating the print lists of the same companies at once against the
// private Firebird test server (tests/firebird/fbserver.sh; source its env.sh first): for
// each wave size N, N processes run the whole database phase of an Orvanta update (three
// companies, 20 lists of 20 KB) side by side. Prints the wave time, the median time of
// one run and the write conflicts the runs settled.
//
//   . build/fbtest/env.sh && bench_update_workstations [--distinct] [N ...]
//
// --distinct gives every workstation lists of its own, so that no list is ever found
// current and every run writes every list (what every run did before current lists were
// skipped).
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
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

constexpr int Companies = 3;
constexpr int Lists = 20;
constexpr char WorkerJob[] = "DREMLIX_BENCH_WORKSTATION";

using namespace BenchCompanyDb;

// A print list of about 20 KB.
QByteArray PrintList(int n, int author)
{
    QByteArray text = "COM:ORVANTA\r\nDES:I:Elenco " + QByteArray::number(n) + "\r\n";
    for (int line = 0; text.size() < 20000; ++line)
        text += "BAND " + QByteArray::number(line) + " FONT=Arial SIZE=9 LEFT=10 TOP="
            + QByteArray::number(line * 4) + " BY " + QByteArray::number(author) + "\r\n";
    return text;
}

// One workstation: "<author of its lists>|<location>|<location>|...". Prints
// "<milliseconds> <conflicts> <outcome>".
int Workstation(const QStringList &job)
{
    TempPrefix prefix;
    ScriptedUiServices ui;
    prefix.SetRegString(Os::RegRoot::CurrentUser, QStringLiteral("Environment"), QStringLiteral("TEMP"),
        QStringLiteral("C:\\temp"));
    prefix.MakeFolder(QStringLiteral("C:\\temp"));
    prefix.WriteFile(QStringLiteral("C:\\windows\\system32\\gds32.dll"),
        MakePeWithVersion(2, 5, 2, 26540, QStringLiteral("WI-V2.5.2.26540")));
    const int author = job.at(0).toInt();
    QStringList names;
    for (qsizetype c = 1; c < job.size(); ++c) {
        const QString company = QStringLiteral("Societa%1").arg(c);
        prefix.SetRegString(Os::RegRoot::LocalMachine,
            QStringLiteral("Software\\DREMLIX S.A.\\Orvanta\\") + company + QStringLiteral("\\ORV_DatabaseName"),
            QStringLiteral("Path"), job.at(c));
        names.append(company);
    }
    prefix.WriteFile(QStringLiteral("C:\\dremlix\\multiste.txt"), names.join(QLatin1String("\r\n")).toLatin1());
    PayloadBuilder payload;
    QStringList listNames;
    for (int l = 0; l < Lists; ++l) {
        const QString name = QStringLiteral("Lista%1.lst").arg(l, 2, 10, QLatin1Char('0'));
        payload.Add(name, PrintList(l, author));
        listNames.append(name);
    }
    payload.AddList(QStringLiteral("PrintLists.txt"), listNames);
    payload.Add(QStringLiteral("Servers.txt"),
        "WI-V2.5*\t" + ServerVersion().toLatin1() + "\tFirebird25\r\n");
    payload.Install(prefix.HostPath(QStringLiteral("C:\\")) + QLatin1String("/Setup.exe"));

    QTextDocument document;
    TDocumentReport report(&document);
    QElapsedTimer timer;
    timer.start();
    TdmUpdateCommon engine;
    engine.SetReport(&report);
    engine.FProductCode = 1;
    TUpdateOutcome outcome = 0;
    try {
        outcome = engine.UpdatePrintLists(QString());
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
    std::printf("%lld %d %d\n", static_cast<long long>(timer.elapsed()), engine.ConflictCount(), int(outcome));
    if (outcome != 1)
        std::fprintf(stderr, "%s\n", qPrintable(report.Lines().join(QLatin1Char('\n'))));
    return outcome == 1 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (!Env(WorkerJob).isEmpty())
        return Workstation(Env(WorkerJob).split(QLatin1Char('|')));
    if (Env("DREMLIX_FB_ROOT").isEmpty()) {
        std::fprintf(stderr, "no test server: start tests/firebird/fbserver.sh and source its env.sh\n");
        return 2;
    }
    bool distinct = false;
    std::vector<int> waves;
    for (int i = 1; i < argc; ++i) {
        if (QByteArray(argv[i]) == "--distinct")
            distinct = true;
        else
            waves.push_back(std::atoi(argv[i]));
    }
    if (waves.empty())
        waves = { 1, 8, 16, 32 };

    const QString stem = QStringLiteral("ws%1").arg(QCoreApplication::applicationPid());
    const QString data = Env("DREMLIX_FB_DATA") + QLatin1Char('/') + stem;
    QDir().mkpath(data);
    QFile free(Env("DREMLIX_FB_ROOT") + QStringLiteral("/udf-free-space-Y"));
    if (free.open(QIODevice::WriteOnly | QIODevice::Truncate))
        free.write("10000000000");
    free.close();
    std::printf("%d companies, %d lists of 20 KB, %s lists\n", Companies, Lists,
        distinct ? "each workstation its own" : "the same");
    double firstMedian = 0;
    bool allOk = true;
    for (int n : waves) {
        // Fresh companies for every wave: the first run of a wave finds them empty.
        QStringList job { QString() };
        for (int c = 0; c < Companies; ++c) {
            const QString file = QStringLiteral("%1_n%2_c%3.fdb").arg(stem).arg(n).arg(c);
            CreateCompanyDatabase(data + QLatin1Char('/') + file);
            AppendAlias(QStringLiteral("Y:\\") + file + QStringLiteral(" = ") + data + QLatin1Char('/') + file);
            job << QStringLiteral("127.0.0.1/") + Env("DREMLIX_FB_PORT") + QStringLiteral(":Y:\\") + file;
        }
        // The server reads a changed alias file only once its time stamp has moved on by a whole
        // second from its last read.
        QThread::msleep(2100);
        std::vector<std::unique_ptr<QProcess>> runs;
        QElapsedTimer wave;
        wave.start();
        for (int w = 0; w < n; ++w) {
            auto process = std::make_unique<QProcess>();
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            job[0] = QString::number(distinct ? w : 0);
            environment.insert(QString::fromLatin1(WorkerJob), job.join(QLatin1Char('|')));
            process->setProcessEnvironment(environment);
            process->start(QCoreApplication::applicationFilePath(), {});
            runs.push_back(std::move(process));
        }
        std::vector<long long> times;
        int conflicts = 0;
        int failed = 0;
        for (auto &process : runs) {
            process->waitForFinished(-1);
            const QList<QByteArray> fields = process->readAllStandardOutput().trimmed().split(' ');
            if (process->exitCode() != 0 || fields.size() != 3) {
                ++failed;
                std::fprintf(stderr, "%s\n", process->readAllStandardError().constData());
                continue;
            }
            times.push_back(fields.at(0).toLongLong());
            conflicts += fields.at(1).toInt();
        }
        const qint64 waveMs = wave.elapsed();
        std::sort(times.begin(), times.end());
        const double median = times.empty() ? 0
            : times.size() % 2 ? double(times[times.size() / 2])
                               : (times[times.size() / 2 - 1] + times[times.size() / 2]) / 2.0;
        if (firstMedian == 0)
            firstMedian = median;
        std::printf("N=%2d: wave %6lld ms, median run %6.0f ms (%.2fx N=%d), conflicts %d, failed runs %d\n", n,
            static_cast<long long>(waveMs), median, firstMedian > 0 ? median / firstMedian : 0.0, waves.front(),
            conflicts, failed);
        std::fflush(stdout);
        allOk = allOk && failed == 0;
    }
    QDir(data).removeRecursively();
    return allOk ? 0 : 1;
}
