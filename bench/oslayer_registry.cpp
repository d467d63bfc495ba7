// Registry figures on a real Wine 8 hive (1.7 MB system.reg): a cold read (parse and one
// value), a cached read, and a write of one value (time and bytes rewritten).
//   oslayer_registry [folder with system.reg and user.reg] [rounds]
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

    std::vector<double> cold;
    std::vector<double> coldCpu;
    for (int i = 0; i < rounds; ++i) {
        Os::ClearRegistryCache();
        QElapsedTimer timer;
        const double cpu = CpuMs();
        timer.start();
        readOnce();
        cold.push_back(timer.nsecsElapsed() / 1e6);
        coldCpu.push_back(CpuMs() - cpu);
    }
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
    std::printf("cold read (parse + open + query), median of %d: %.2f ms wall (min %.2f), %.2f ms CPU\n", rounds,
                Median(cold), *std::min_element(cold.begin(), cold.end()), Median(coldCpu));
    std::printf("cached read (open + query), mean of %d: %.4f ms wall, %.4f ms CPU\n", cachedRounds, cached,
                cachedCpu);
    std::printf("write of one value (render, write, fsync, rename), median of %d: %.2f ms wall (min %.2f), "
                "%.2f ms CPU\n",
                rounds, Median(writes), *std::min_element(writes.begin(), writes.end()), Median(writesCpu));
    std::printf("bytes written per write: %lld (whole file); bytes that differ: %lld\n",
                static_cast<long long>(rewritten), static_cast<long long>(changed));
    return 0;
}
