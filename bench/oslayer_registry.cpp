// Registry figures on a real Wine 8 hive (1.7 MB system.reg): a cold read (parse and one
// value), the cold reads of the wizard's start-up (both hives), a cached read, and a write of
// one value (time and bytes rewritten).
//   oslayer_registry [folder with system.reg and user.reg] [rounds]
// A prefix made by bench/wine-prefix.sh has no product key: the copy measured gets one.
#include "oslayer/Environment.h"
#include "oslayer/Registry.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

QByteArray ReadAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// CPU time of this process: on a busy machine the wall clock mostly measures the others.
double CpuMs()
{
    timespec t {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

struct Samples {
    std::vector<double> Wall;
    std::vector<double> Cpu;
};

// Times the work once a round, each time with no hive parsed yet.
template <typename Work> Samples ColdRounds(int rounds, Work work)
{
    Samples samples;
    for (int i = 0; i < rounds; ++i) {
        Os::ClearRegistryCache();
        QElapsedTimer timer;
        const double cpu = CpuMs();
        timer.start();
        work();
        samples.Wall.push_back(timer.nsecsElapsed() / 1e6);
        samples.Cpu.push_back(CpuMs() - cpu);
    }
    return samples;
}

// Bytes that differ between two versions of the file: all but the common head and tail.
qsizetype ChangedBytes(const QByteArray &a, const QByteArray &b)
{
    qsizetype head = 0;
    const qsizetype n = std::min(a.size(), b.size());
    while (head < n && a[head] == b[head])
        ++head;
    qsizetype tail = 0;
    while (tail < n - head && a[a.size() - 1 - tail] == b[b.size() - 1 - tail])
        ++tail;
    return std::max(a.size(), b.size()) - head - tail;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString source = argc > 1 ? QString::fromLocal8Bit(argv[1])
                                    : QStringLiteral(DREMLIX_TEST_DATA "/oslayer/wine8-win64-prefix");
    const int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 20;
    QTemporaryDir dir;
    for (const char *name : { "system.reg", "user.reg" })
        if (!QFile::copy(source + QLatin1Char('/') + QLatin1String(name), dir.path() + QLatin1Char('/') + QLatin1String(name))) {
            std::fprintf(stderr, "cannot copy %s from %s\n", name, qPrintable(source));
            return 1;
        }
    QFile::setPermissions(dir.path() + QStringLiteral("/system.reg"), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    Os::Environment::SetPrefixRoot(dir.path());
    const QString hive = dir.path() + QStringLiteral("/system.reg");
    const QString key = QStringLiteral("Software\\DREMLIX S.A.\\Orvanta");

    auto readOnce = [&key] {
        Os::RegKey handle;
        Os::RegValue value;
        if (Os::RegKey::Open(Os::RegRoot::LocalMachine, key, Os::KEY_READ, handle) != 0
            || handle.QueryValue(QStringLiteral("Licenze"), value) != 0)
            std::abort();
        return value.AsDword();
    };
    {
        Os::RegKey handle;
        if (Os::RegKey::Open(Os::RegRoot::LocalMachine, key, Os::KEY_READ, handle) != 0
            || !handle.ValueExists(QStringLiteral("Licenze"))) {
            if (Os::RegKey::Create(Os::RegRoot::LocalMachine, key, Os::KEY_ALL_ACCESS, handle) != 0
                || handle.SetValue(QStringLiteral("Licenze"), Os::RegValue::FromDword(12)) != 0)
                return 1;
            std::printf("(the prefix has no %s: its copy got one)\n", qPrintable(key));
        }
    }
    // What the wizard reads before its first step: the products' keys, the Windows version,
    // the drive types, the temporary folder.
    auto startupReads = [] {
        struct Read {
            Os::RegRoot Root;
            const char *Key;
            const char *Name;
            uint32_t View;
        };
        static const Read reads[] = {
            { Os::RegRoot::CurrentUser, "Software\\DREMLIX S.A.\\Orvanta\\Program", "Filename", 0 },
            { Os::RegRoot::LocalMachine, "Software\\DREMLIX S.A.\\Orvanta\\Default\\ORV_DatabaseName", "Path",
                0 },
            { Os::RegRoot::LocalMachine, "Software\\Microsoft\\Windows NT\\CurrentVersion", "CurrentVersion",
                0 },
            { Os::RegRoot::LocalMachine, "Software\\Wine\\Drives", "d:", Os::KEY_WOW64_64KEY },
            { Os::RegRoot::CurrentUser, "Environment", "TEMP", 0 },
        };
        for (const Read &read : reads) {
            Os::RegKey handle;
            Os::RegValue value;
            if (Os::RegKey::Open(read.Root, QString::fromLatin1(read.Key), Os::KEY_READ | read.View, handle)
                == 0)
                handle.QueryValue(QString::fromLatin1(read.Name), value);
        }
    };

    const Samples cold = ColdRounds(rounds, readOnce);
    const Samples startup = ColdRounds(rounds, startupReads);
    const int cachedRounds = rounds * 500;
    QElapsedTimer cachedTimer;
    const double cachedCpuStart = CpuMs();
    cachedTimer.start();
    for (int i = 0; i < cachedRounds; ++i)
        readOnce();
    const double cached = cachedTimer.nsecsElapsed() / 1e6 / cachedRounds;
    const double cachedCpu = (CpuMs() - cachedCpuStart) / cachedRounds;

    std::vector<double> writes;
    std::vector<double> writesCpu;
    qsizetype rewritten = 0;
    qsizetype changed = 0;
    for (int i = 0; i < rounds; ++i) {
        const QByteArray before = ReadAll(hive);
        Os::RegKey handle;
        if (Os::RegKey::Open(Os::RegRoot::LocalMachine, key, Os::KEY_ALL_ACCESS, handle) != 0)
            return 1;
        QElapsedTimer timer;
        const double cpu = CpuMs();
        timer.start();
        if (handle.SetValue(QStringLiteral("Licenze"), Os::RegValue::FromDword(uint32_t(100 + i))) != 0)
            return 1;
        writes.push_back(timer.nsecsElapsed() / 1e6);
        writesCpu.push_back(CpuMs() - cpu);
        const QByteArray after = ReadAll(hive);
        rewritten = after.size();
        changed = ChangedBytes(before, after);
    }
    std::printf("hive: %s (%lld bytes)\n", qPrintable(source + QStringLiteral("/system.reg")),
                static_cast<long long>(QFile(hive).size()));
    std::printf("cold read (parse + open + query), median of %d: %.2f ms wall (min %.2f), %.2f ms CPU\n",
        rounds, Median(cold.Wall), *std::min_element(cold.Wall.begin(), cold.Wall.end()), Median(cold.Cpu));
    std::printf(
        "cold start-up reads (both hives: product keys, Windows version, drive types, TEMP), median of "
        "%d: %.2f ms wall (min %.2f), %.2f ms CPU\n",
        rounds, Median(startup.Wall), *std::min_element(startup.Wall.begin(), startup.Wall.end()),
        Median(startup.Cpu));
    std::printf("cached read (open + query), mean of %d: %.4f ms wall, %.4f ms CPU\n", cachedRounds, cached,
                cachedCpu);
    std::printf("write of one value (render, write, fsync, rename), median of %d: %.2f ms wall (min %.2f), "
                "%.2f ms CPU\n",
                rounds, Median(writes), *std::min_element(writes.begin(), writes.end()), Median(writesCpu));
    std::printf("bytes written per write: %lld (whole file); bytes that differ: %lld\n",
                static_cast<long long>(rewritten), static_cast<long long>(changed));
    return 0;
}
