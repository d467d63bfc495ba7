// What a Windows program open in the prefix costs the registry: a cold `wine` start, the
// update Wine makes of a stale prefix (wineboot) before it runs anything, and the wizard's
// registry work of one run (the start-up reads, the product's key, one recorded path) with
// no wineserver, against the same work while a Windows program keeps one up, with the
// number of Wine calls of each.
//   oslayer_wine_registry PREFIX [rounds]
// PREFIX: one made by bench/wine-prefix.sh for the purpose; the benchmark adds a product
// key to it, makes the prefix look stale once and lets Wine update it.
#include "oslayer/Environment.h"
#include "oslayer/Registry.h"
#include "oslayer/WineRegistry.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

QString Prefix;

QProcessEnvironment WineEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WINEPREFIX"), Prefix);
    env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    env.insert(QStringLiteral("WINEDLLOVERRIDES"), QStringLiteral("mscoree,mshtml="));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return env;
}

QString WineServer()
{
    const QString wine = Os::Wine::Program();
    const QString beside = QFileInfo(wine).dir().filePath(QStringLiteral("wineserver"));
    return QFileInfo(beside).isExecutable() ? beside : QStringLiteral("wineserver");
}

double RunMs(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessEnvironment(WineEnvironment());
    process.setStandardInputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    process.waitForFinished(-1);
    return timer.nsecsElapsed() / 1e6;
}

void WaitServerGone()
{
    RunMs(WineServer(), { QStringLiteral("-w") });
    while (Os::Environment::WineserverRunning())
        QThread::msleep(50);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// The registry work of one run: what the wizard reads before its first step, the product's
// program file, and the path it records.
void RunWork(int round)
{
    struct Read {
        Os::RegRoot Root;
        const char *Key;
        const char *Name;
        uint32_t View;
    };
    static const Read reads[] = {
        { Os::RegRoot::CurrentUser, "Software\\DREMLIX S.A.\\Orvanta\\Program", "Filename", 0 },
        { Os::RegRoot::LocalMachine, "Software\\DREMLIX S.A.\\Orvanta\\Default\\ORV_DatabaseName", "Path", 0 },
        { Os::RegRoot::LocalMachine, "Software\\Microsoft\\Windows NT\\CurrentVersion", "CurrentVersion", 0 },
        { Os::RegRoot::LocalMachine, "Software\\Wine\\Drives", "d:", Os::KEY_WOW64_64KEY },
        { Os::RegRoot::CurrentUser, "Environment", "TEMP", 0 },
        { Os::RegRoot::LocalMachine, "System\\CurrentControlSet\\Control\\Session Manager\\Environment", "PATH", 0 },
    };
    for (const Read &read : reads) {
        Os::RegKey handle;
        Os::RegValue value;
        if (Os::RegKey::Open(read.Root, QString::fromLatin1(read.Key), Os::KEY_READ | read.View, handle) == 0)
            handle.QueryValue(QString::fromLatin1(read.Name), value);
    }
    Os::RegKey key;
    if (Os::RegKey::Create(Os::RegRoot::CurrentUser, QStringLiteral("Software\\DREMLIX S.A.\\Orvanta\\Program"),
            Os::KEY_ALL_ACCESS, key)
            != 0
        || key.SetValue(QStringLiteral("Filename"),
               Os::RegValue::FromString(QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta%1.exe").arg(round)))
            != 0) {
        std::fprintf(stderr, "the write failed\n");
        std::exit(1);
    }
}

struct RunFigures {
    double Ms = 0;
    double Calls = 0;
};

RunFigures TimeRuns(int rounds)
{
    std::vector<double> times;
    int calls = 0;
    for (int i = 0; i < rounds; ++i) {
        Os::ClearRegistryCache();
        const int before = Os::Wine::Calls();
        QElapsedTimer timer;
        timer.start();
        RunWork(i);
        times.push_back(timer.nsecsElapsed() / 1e6);
        calls += Os::Wine::Calls() - before;
    }
    return { Median(times), double(calls) / rounds };
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PREFIX [rounds]   (a prefix made by bench/wine-prefix.sh)\n", argv[0]);
        return 2;
    }
    Prefix = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    const int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 5;
    const QString wine = Os::Wine::Program();
    if (wine.isEmpty() || !QFile::exists(Prefix + QStringLiteral("/system.reg"))) {
        std::fprintf(stderr, "needs wine and a prefix made by wineboot\n");
        return 1;
    }
    Os::Environment::SetPrefixRoot(Prefix);
    WaitServerGone();

    std::vector<double> cold;
    for (int i = 0; i < rounds; ++i) {
        cold.push_back(RunMs(wine, { QStringLiteral("cmd"), QStringLiteral("/c"), QStringLiteral("echo") }));
        WaitServerGone();
    }

    // Wine updates a prefix whose stamp does not name its wine.inf's time before anything runs.
    QFile stamp(Prefix + QStringLiteral("/.update-timestamp"));
    const QByteArray savedStamp = stamp.open(QIODevice::ReadOnly) ? stamp.readAll() : QByteArray();
    stamp.close();
    if (!stamp.open(QIODevice::WriteOnly | QIODevice::Truncate) || stamp.write("1\n") != 2)
        return 1;
    stamp.close();
    const bool staleSeen = Os::Wine::PrefixNeedsUpdate();
    const double update = RunMs(wine, { QStringLiteral("cmd"), QStringLiteral("/c"), QStringLiteral("echo") });
    WaitServerGone();
    const bool freshAfter = !Os::Wine::PrefixNeedsUpdate();
    if (!freshAfter && stamp.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        stamp.write(savedStamp);
        stamp.close();
    }

    const RunFigures files = TimeRuns(rounds);

    // A Windows program that stays open: cmd waiting for its next line.
    QProcess program;
    program.setProcessEnvironment(WineEnvironment());
    program.start(wine, { QStringLiteral("cmd") });
    for (int i = 0; i < 600 && !program.readAllStandardOutput().contains('>'); ++i)
        program.waitForReadyRead(100);
    if (!Os::Environment::WineserverRunning()) {
        std::fprintf(stderr, "no wineserver came up\n");
        return 1;
    }
    const RunFigures server = TimeRuns(rounds);
    program.write("exit\r\n");
    program.closeWriteChannel();
    program.waitForFinished(60000);
    WaitServerGone();

    std::printf("prefix: %s (%s)\n", qPrintable(Prefix), qPrintable(wine));
    std::printf("cold wine start (cmd /c echo, no server running), median of %d: %.0f ms\n", rounds, Median(cold));
    std::printf("stale prefix: wineboot update before the first program: %.0f ms (seen stale: %s, up to date "
                "after: %s)\n",
        update, staleSeen ? "yes" : "no", freshAfter ? "yes" : "no");
    std::printf("one run's registry work (6 start-up reads, create key, write one path), median of %d:\n", rounds);
    std::printf("  no wineserver:             %8.1f ms, %.1f Wine calls\n", files.Ms, files.Calls);
    std::printf("  a Windows program open:    %8.1f ms, %.1f Wine calls\n", server.Ms, server.Calls);
    std::printf("  extra cost while a server runs: %.1f ms\n", server.Ms - files.Ms);
    return 0;
}
