// Wall time and peak memory of a Falcrest update whose payload holds a 50 MB program and
// 200 listed files of 100 KB, against `cp` of the same files and against the limit of the
// job, all in the same run; then the time it takes to put the 200 files back when the
// update fails once they are all in place.
//
//   bench_update_falcrest [program MB] [file count] [file KB] [rounds]
//
// Prints one line per measure; the ratios compare the whole update (extraction from the
// payload, version comparison, report lines, copies) with copying the bare files, and the
// update without its message waits with the limit: inflating the same containers, writing
// the files and one sync. The last two are the median of several rounds.
#include "support/PayloadBuilder.h"
#include "support/PeWriter.h"
#include "support/ScriptedUiServices.h"
#include "support/TempPrefix.h"

#include "update/FileTransaction.h"
#include "update/dmUpdateCommonUnit.h"
#include "update/UpdateReport.h"
#include "oslayer/Environment.h"
#include "payload/EmbeddedFiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QRandomGenerator>
#include <QTextDocument>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Bytes that compress about as well as a program does: runs of structure between noise.
QByteArray ProgramLikeBytes(qsizetype size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, '\0');
    for (qsizetype i = 0; i < size; i += 64) {
        if ((i / 64) % 3 == 0) {
            for (qsizetype j = i; j < std::min(size, i + 64); ++j)
                bytes[j] = char(random.bounded(256));
        } else {
            for (qsizetype j = i; j < std::min(size, i + 64); ++j)
                bytes[j] = char((j * 7) & 0x3F);
        }
    }
    return bytes;
}

// The high-water mark of this process's resident memory. (getrusage's ru_maxrss would
// carry the parent's figure across the exec of the update process.)
long PeakKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

// CPU time (user + system) of this process or of its finished children, in ms.
qint64 CpuMs(int who)
{
    rusage usage {};
    getrusage(who, &usage);
    return (qint64(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1000
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

} // namespace

// Forces everything written to the file system of the folder to the disk.
void SyncFileSystem(const QString &hostFolder)
{
    const int fd = ::open(QFile::encodeName(hostFolder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
    }
}

qint64 Median(QList<qint64> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? -1 : values.at(values.size() / 2);
}

// Times the rollback: from the line of the failure to the closing line of the rollback,
// which comes after every file has been put back and its line written.
class TRollbackClock final : public IUpdateReport {
public:
    void AddLine(const QString &text, int, const QString &) override
    {
        if (text.startsWith(QStringLiteral("Un errore si è prodotto")))
            FTimer.start();
        else if (text.startsWith(QStringLiteral("Aggiornamento annullato")) && FTimer.isValid())
            FMs = FTimer.elapsed();
        else if (text.contains(QStringLiteral(" è ripristinato."))
            || text.contains(QStringLiteral(" è eliminato.")))
            ++FFiles;
    }
    qint64 FMs = -1;
    int FFiles = 0;

private:
    QElapsedTimer FTimer;
};

// An update whose commit fails with every listed file in place (only the program is left):
// how long putting them back takes.
int RunRollback(const QString &prefixRoot, const QString &wizard, int placed)
{
    Os::Environment::SetPrefixRoot(prefixRoot);
    PayloadBuilder::UseAsOwnExecutable(wizard);
    ScriptedUiServices ui;
    ui.Terminate();
    TRollbackClock clock;
    TUpdateOutcome outcome = 0;
    {
        TdmUpdateCommon engine;
        engine.SetReport(&clock);
        engine.FProductCode = 7;
        TFileTransaction::FailCommitAfterForTests(placed);
        outcome = engine.UpdateFalcrest();
    }
    std::printf("rollback_ms=%lld\nrollback_files=%d\n", static_cast<long long>(clock.FMs), clock.FFiles);
    std::fflush(stdout);
    return outcome == uoFailure ? 0 : 1;
}

// The update in a process of its own; without waits, its message waits end at once, as
// they do when the program is asked to terminate.
int RunUpdate(const QString &prefixRoot, const QString &wizard, bool waits)
{
    Os::Environment::SetPrefixRoot(prefixRoot);
    PayloadBuilder::UseAsOwnExecutable(wizard);
    ScriptedUiServices ui;
    if (!waits)
        ui.Terminate();
    const long before = PeakKiB();
    QTextDocument document;
    TDocumentReport report(&document);
    TUpdateOutcome outcome = 0;
    qint64 updateMs = 0;
    {
        TdmUpdateCommon engine;
        engine.SetReport(&report);
        engine.FProductCode = 7;
        QElapsedTimer timer;
        const qint64 cpuBefore = CpuMs(RUSAGE_SELF);
        timer.start();
        outcome = engine.UpdateFalcrest();
        updateMs = timer.elapsed();
        std::printf("update_cpu_ms=%lld\n", static_cast<long long>(CpuMs(RUSAGE_SELF) - cpuBefore));
    }
    const long after = PeakKiB();
    std::printf("update_ms=%lld\n", static_cast<long long>(updateMs));
    std::printf("Falcrest update: %lld ms, outcome %d, %d report lines\n", static_cast<long long>(updateMs),
        int(outcome), int(report.Lines().size()));
    std::printf(
        "peak resident memory of the update process: %ld KiB (%ld KiB before the update)\n", after, before);
    std::fflush(stdout);
    return outcome == 1 ? 0 : 1;
}

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc == 5 && QByteArray(argv[1]) == "--run-rollback")
        return RunRollback(
            QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]), std::atoi(argv[4]));
    if (argc == 4 && (QByteArray(argv[1]) == "--run" || QByteArray(argv[1]) == "--run-without-waits"))
        return RunUpdate(
            QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]), QByteArray(argv[1]) == "--run");
    const int programMb = argc > 1 ? std::atoi(argv[1]) : 50;
    const int fileCount = argc > 2 ? std::atoi(argv[2]) : 200;
    const int fileKb = argc > 3 ? std::atoi(argv[3]) : 100;
    const int rounds = argc > 4 ? std::max(1, std::atoi(argv[4])) : 7;

    TempPrefix prefix;
    ScriptedUiServices ui;
    prefix.SetRegString(Os::RegRoot::CurrentUser, QStringLiteral("Environment"), QStringLiteral("TEMP"),
        QStringLiteral("C:\\temp"));
    prefix.MakeFolder(QStringLiteral("C:\\temp"));
    const QString orvanta = QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe");
    prefix.WriteFile(orvanta, MakePeWithVersion(5, 0, 0, 1));
    prefix.SetRegString(Os::RegRoot::CurrentUser, QStringLiteral("Software\\DREMLIX S.A.\\Orvanta\\Program"),
        QStringLiteral("Filename"), orvanta);
    const QString folder = QStringLiteral("C:\\WDremlix\\Kestrin\\Programs\\");
    const QByteArray installedProgram = MakePeWithVersion(2, 0, 0, 1);
    prefix.WriteFile(folder + QLatin1String("Falcrest.exe"), installedProgram);

    // The payload, and the same files loose on disk for cp.
    const QString loose = prefix.MakeFolder(QStringLiteral("C:\\loose"));
    PayloadBuilder payload;
    QByteArray program = MakePeWithVersion(2, 0, 0, 2);
    program += ProgramLikeBytes(qsizetype(programMb) * 1024 * 1024 - program.size(), 1);
    payload.Add(QStringLiteral("Falcrest.exe"), program);
    prefix.WriteFile(QStringLiteral("C:\\loose\\Falcrest.exe"), program);
    QStringList names;
    for (int i = 0; i < fileCount; ++i) {
        const QString name = QStringLiteral("File%1.dat").arg(i, 3, 10, QLatin1Char('0'));
        const QByteArray data = ProgramLikeBytes(qsizetype(fileKb) * 1024, quint32(100 + i));
        payload.Add(name, data);
        prefix.WriteFile(QStringLiteral("C:\\loose\\") + name, data);
        names.append(name);
    }
    payload.AddList(QStringLiteral("FileNames.txt"), names);
    payload.AddList(QStringLiteral("PrintLists.txt"), {});
    const QString wizard = prefix.HostPath(QStringLiteral("C:\\")) + QLatin1String("/Setup.exe");
    QElapsedTimer packing;
    packing.start();
    payload.Install(wizard);
    std::printf("payload: %d MB program + %d files of %d KB, wizard %lld bytes, packed in %lld ms\n",
        programMb, fileCount, fileKb, static_cast<long long>(QFile(wizard).size()),
        static_cast<long long>(packing.elapsed()));

    // cp of the same 201 files into a fresh folder, same run, same disk.
    const QString cpTarget = prefix.MakeFolder(QStringLiteral("C:\\cptarget"));
    QStringList cpArgs { QStringLiteral("--preserve=timestamps") };
    for (const QString &entry : QDir(loose).entryList(QDir::Files))
        cpArgs.append(loose + QLatin1Char('/') + entry);
    cpArgs.append(cpTarget);
    QElapsedTimer cpTimer;
    const qint64 cpCpuBefore = CpuMs(RUSAGE_CHILDREN);
    cpTimer.start();
    const int cpResult = QProcess::execute(QStringLiteral("cp"), cpArgs);
    const qint64 cpMs = cpTimer.elapsed();
    const qint64 cpCpuMs = CpuMs(RUSAGE_CHILDREN) - cpCpuBefore;
    // The update makes every installed file durable; cp followed by sync of the copies is
    // the like-for-like figure.
    QStringList syncArgs;
    for (const QString &entry : QDir(cpTarget).entryList(QDir::Files))
        syncArgs.append(cpTarget + QLatin1Char('/') + entry);
    QElapsedTimer syncTimer;
    syncTimer.start();
    QProcess::execute(QStringLiteral("sync"), syncArgs);
    const qint64 cpSyncMs = cpMs + syncTimer.elapsed();

    // The update runs in a process of its own, so that its peak memory is not the packing's.
    const auto runUpdate = [&](const QString &mode, qint64 &ms, qint64 &cpuMs, bool echo) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), { mode, prefix.Root(), wizard });
        child.waitForFinished(-1);
        const QByteArray output = child.readAllStandardOutput();
        if (echo)
            std::fputs(output.constData(), stdout);
        for (const QByteArray &line : output.split('\n')) {
            if (line.startsWith("update_ms="))
                ms = line.mid(10).toLongLong();
            if (line.startsWith("update_cpu_ms="))
                cpuMs = line.mid(14).toLongLong();
        }
        return child.exitCode();
    };
    qint64 updateMs = -1;
    qint64 updateCpuMs = -1;
    const int exitCode = runUpdate(QStringLiteral("--run"), updateMs, updateCpuMs, true);
    std::printf("cp of the same files: %lld ms wall, %lld ms CPU (exit %d); cp + sync: %lld ms wall\n",
        static_cast<long long>(cpMs), static_cast<long long>(cpCpuMs), cpResult,
        static_cast<long long>(cpSyncMs));
    std::printf("ratio update / cp, wall: %.2f\n", cpMs > 0 ? double(updateMs) / double(cpMs) : -1.0);
    std::printf("ratio update / (cp + sync), wall: %.2f\n",
        cpSyncMs > 0 ? double(updateMs) / double(cpSyncMs) : -1.0);
    std::printf("ratio update / cp, CPU: %.2f\n", cpCpuMs > 0 ? double(updateCpuMs) / double(cpCpuMs) : -1.0);
    // Each logged copy waits 10 ms for the messages of the window before it copies: time
    // the program must spend, so the figures without it show what the work itself costs.
    const qint64 waitsMs = qint64(fileCount + 1) * 10;
    std::printf("mandated waits: %lld ms; without them, ratio update / cp, wall: %.2f; update / (cp + sync), "
                "wall: %.2f\n",
        static_cast<long long>(waitsMs), cpMs > 0 ? double(updateMs - waitsMs) / double(cpMs) : -1.0,
        cpSyncMs > 0 ? double(updateMs - waitsMs) / double(cpSyncMs) : -1.0);

    // The limit against the update without its waits, round after round from the same state:
    // the old program installed, none of the listed files, nothing waiting to be written.
    const QString limitFolder = prefix.MakeFolder(QStringLiteral("C:\\limit"));
    const QString productFolder = prefix.HostPath(folder);
    QStringList allNames = names;
    allNames.prepend(QStringLiteral("Falcrest.exe"));
    QList<qint64> limits;
    QList<qint64> updates;
    PayloadBuilder::UseAsOwnExecutable(wizard);
    for (int round = 0; round < rounds; ++round) {
        for (const QString &name : names)
            QFile::remove(productFolder + QLatin1Char('/') + name);
        prefix.WriteFile(folder + QLatin1String("Falcrest.exe"), installedProgram);
        for (const QString &entry : QDir(limitFolder).entryList(QDir::Files))
            QFile::remove(limitFolder + QLatin1Char('/') + entry);

        // The two take turns at going first, so that neither always meets the disk as the
        // other left it.
        qint64 limitCpuMs = -1;
        const auto measureLimit = [&] {
            SyncFileSystem(limitFolder);
            QElapsedTimer limitTimer;
            const qint64 limitCpuBefore = CpuMs(RUSAGE_SELF);
            limitTimer.start();
            for (const QString &name : std::as_const(allNames)) {
                QString written;
                ExtractEmbeddedFile(name, QStringLiteral("C:\\limit\\") + name, written, false);
            }
            SyncFileSystem(limitFolder);
            limits.append(limitTimer.elapsed());
            limitCpuMs = CpuMs(RUSAGE_SELF) - limitCpuBefore;
        };
        qint64 ms = -1;
        qint64 cpuMs = -1;
        const auto measureUpdate = [&] {
            SyncFileSystem(productFolder);
            runUpdate(QStringLiteral("--run-without-waits"), ms, cpuMs, false);
            updates.append(ms);
        };
        if (round % 2 == 0) {
            measureLimit();
            measureUpdate();
        } else {
            measureUpdate();
            measureLimit();
        }
        std::printf("round %d: limit %lld ms (CPU %lld ms), update without waits %lld ms (CPU %lld ms)\n",
            round + 1, static_cast<long long>(limits.last()), static_cast<long long>(limitCpuMs),
            static_cast<long long>(ms), static_cast<long long>(cpuMs));
    }
    const qint64 limitMs = Median(limits);
    const qint64 withoutWaitsMs = Median(updates);
    std::printf(
        "limit (inflate + write + sync of the same files): %lld ms; ratio update without waits / limit: "
        "%.2f\n",
        static_cast<long long>(limitMs), limitMs > 0 ? double(withoutWaitsMs) / double(limitMs) : -1.0);

    // The rollback: the listed files installed in an older version, the update fails once
    // all of them are in place, and everything goes back.
    QList<qint64> rollbacks;
    int rolledBackFiles = 0;
    for (int round = 0; round < rounds; ++round) {
        for (const QString &name : names)
            prefix.WriteFile(folder + name, QByteArray("old ") + name.toLatin1());
        prefix.WriteFile(folder + QLatin1String("Falcrest.exe"), installedProgram);
        SyncFileSystem(productFolder);
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(),
            { QStringLiteral("--run-rollback"), prefix.Root(), wizard, QString::number(fileCount) });
        child.waitForFinished(-1);
        for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
            if (line.startsWith("rollback_ms="))
                rollbacks.append(line.mid(12).toLongLong());
            if (line.startsWith("rollback_files="))
                rolledBackFiles = line.mid(15).toInt();
        }
        bool restored = child.exitCode() == 0;
        for (const QString &name : names) {
            QFile file(prefix.HostPath(folder + name));
            restored = restored && file.open(QIODevice::ReadOnly)
                && file.readAll() == QByteArray("old ") + name.toLatin1();
        }
        if (!restored)
            std::printf("round %d: the rollback did not put the files back\n", round + 1);
    }
    std::printf("rollback of %d files (failure with all listed files in place, to the last line of the "
                "report): %lld ms (median of %d)\n",
        rolledBackFiles, static_cast<long long>(Median(rollbacks)), rounds);
    std::printf("load average at the end: %s",
        [] {
            QFile load(QStringLiteral("/proc/loadavg"));
            return load.open(QIODevice::ReadOnly) ? load.readAll().toStdString() : std::string("?\n");
        }()
            .c_str());
    return exitCode;
}
