// Extracting a large embedded file: throughput against plain zlib on the same stream, and
// peak memory.
//
//   bench_payload_extract [size-MB=100] [runs=3] [work-folder=$TMPDIR]
//
// For an incompressible and a compressible file of the given size it packs a wizard, then
// times (median of the runs, page cache warm):
//   zlib uncompress      the container, already in memory, into a fresh buffer (the
//                        baseline: what any reader of the file into memory does)
//   zlib, warm buffer    the same into a buffer used before (inflate alone, for reference)
//   ReadEmbeddedFile     the same stream read from the wizard file into memory
//   zlib + write         uncompress into a fresh buffer, then write the file, fsync, close
//                        (a plain extractor)
//   ExtractEmbeddedFile  the wizard's extraction (streamed, checked, atomic)
// and, each in a fresh process of its own, the peak resident memory (VmHWM) of
// ReadEmbeddedFile and ExtractEmbeddedFile, against the file's size.
#include "oslayer/Environment.h"
#include "oslayer/ExeResources.h"
#include "oslayer/Paths.h"
#include "payload/EmbeddedFiles.h"
#include "payload/PayloadWriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <unistd.h>
#include <vector>

namespace {

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

long StatusKb(const char *field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toLong();
    return -1;
}

QByteArray Incompressible(qsizetype size)
{
    QByteArray data(size, Qt::Uninitialized);
    std::mt19937_64 rng(1);
    auto *p = reinterpret_cast<uint64_t *>(data.data());
    for (qsizetype i = 0; i < size / 8; ++i)
        p[i] = rng();
    return data;
}

// Text-like data of a program's size: lines of words and numbers, about 4:1 at level 9.
QByteArray Compressible(qsizetype size)
{
    static const char *words[] = {"Fatturazione", "Magazzino", "Contabilità", "Salari", "record", "MOV EAX,",
                                  "CALL", "0x00401000", "stampa", "bilancio", "IVA", "PRT_Params", "SELECT",
                                  "FROM", "WHERE", "società"};
    QByteArray data;
    data.reserve(size + 64);
    std::mt19937 rng(2);
    while (data.size() < size) {
        data.append(words[rng() % 16]);
        data.append(' ');
        if (rng() % 4 == 0) {
            data.append(QByteArray::number(rng() % 100000));
            data.append(rng() % 8 == 0 ? '\n' : ' ');
        }
    }
    data.resize(size);
    return data;
}

int MeasureChild(const QString &mode, const QString &exe, const QString &target)
{
    Os::Environment::SetOwnExecutableHostPath(exe);
    const long before = StatusKb("VmRSS:");
    if (mode == u"--measure-read") {
        QByteArray data;
        Os::FileTime time = 0;
        ReadEmbeddedFile(QStringLiteral("Big.bin"), data, time);
    } else {
        QString written;
        ExtractEmbeddedFile(QStringLiteral("Big.bin"), Os::WindowsPath(target), written);
    }
    std::printf("%ld %ld\n", before, StatusKb("VmHWM:"));
    return 0;
}

void PeakOf(const QString &mode, const QString &exe, const QString &target, double fileMb)
{
    QProcess p;
    p.start(QCoreApplication::applicationFilePath(), {mode, exe, target});
    p.waitForFinished(-1);
    const QList<QByteArray> parts = p.readAllStandardOutput().trimmed().split(' ');
    if (parts.size() != 2) {
        std::printf("  %-22s failed: %s\n", qPrintable(mode.mid(10)), p.readAllStandardError().constData());
        return;
    }
    const double start = parts[0].toLong() / 1024.0, peak = parts[1].toLong() / 1024.0;
    std::printf("  peak memory %-9s %7.1f MB (%.2f x the file; %.1f MB at process start, %.2f x without it)\n",
                qPrintable(mode.mid(10)), peak, peak / fileMb, start, (peak - start) / fileMb);
}

void Bench(const char *label, const QByteArray &data, int runs, const QString &folder)
{
    const double mb = data.size() / 1048576.0;
    QElapsedTimer t;
    t.start();
    const QByteArray container = BuildEmbeddedContainer(data, 132590340000000000ULL);
    const double packMs = t.nsecsElapsed() / 1e6;
    const QString stub = folder + QStringLiteral("/stub");
    QFile s(stub);
    s.open(QIODevice::WriteOnly);
    s.write("stub");
    s.close();
    const QString exe = folder + QStringLiteral("/wizard");
    Os::WriteExecutableWithResources(stub, exe, {{Os::RT_RCDATA, QStringLiteral("Big.bin"), container}});
    Os::Environment::SetOwnExecutableHostPath(exe);
    const QString target = folder + QStringLiteral("/Big.bin");
    const QString winTarget = Os::WindowsPath(target);

    std::printf("%s: %.1f MB, container %.1f MB (packed in %.0f ms)\n", label, mb, container.size() / 1048576.0, packMs);

    std::vector<double> zlibMem, zlibWarm, ours, zlibWrite, extract;
    QByteArray warm(data.size() + 16, Qt::Uninitialized);
    auto size = uLongf(warm.size());
    uncompress(reinterpret_cast<Bytef *>(warm.data()), &size, reinterpret_cast<const Bytef *>(container.constData()),
               uLong(container.size()));
    for (int r = 0; r < runs; ++r) {
        t.restart();
        {
            QByteArray fresh(data.size() + 16, Qt::Uninitialized);
            size = uLongf(fresh.size());
            uncompress(reinterpret_cast<Bytef *>(fresh.data()), &size,
                       reinterpret_cast<const Bytef *>(container.constData()), uLong(container.size()));
            zlibMem.push_back(t.nsecsElapsed() / 1e6);
        }

        t.restart();
        size = uLongf(warm.size());
        uncompress(reinterpret_cast<Bytef *>(warm.data()), &size, reinterpret_cast<const Bytef *>(container.constData()),
                   uLong(container.size()));
        zlibWarm.push_back(t.nsecsElapsed() / 1e6);

        QByteArray read;
        Os::FileTime time = 0;
        t.restart();
        ReadEmbeddedFile(QStringLiteral("Big.bin"), read, time);
        ours.push_back(t.nsecsElapsed() / 1e6);
        if (read != data)
            std::printf("  ReadEmbeddedFile gave other bytes!\n");
        read.clear();

        QFile::remove(target);
        t.restart();
        QByteArray out(data.size() + 16, Qt::Uninitialized);
        size = uLongf(out.size());
        uncompress(reinterpret_cast<Bytef *>(out.data()), &size, reinterpret_cast<const Bytef *>(container.constData()),
                   uLong(container.size()));
        const int fd = ::open(QFile::encodeName(target).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const char *p = out.constData() + 16;
        auto left = size_t(data.size());
        while (left > 0) {
            const ssize_t n = ::write(fd, p, left);
            if (n <= 0)
                break;
            p += n;
            left -= size_t(n);
        }
        ::fsync(fd);
        ::close(fd);
        out.clear();
        zlibWrite.push_back(t.nsecsElapsed() / 1e6);

        QFile::remove(target);
        QString written;
        t.restart();
        ExtractEmbeddedFile(QStringLiteral("Big.bin"), winTarget, written);
        extract.push_back(t.nsecsElapsed() / 1e6);
    }
    const double a = Median(zlibMem), w = Median(zlibWarm), b = Median(ours), c = Median(zlibWrite), d = Median(extract);
    std::printf("  zlib uncompress      %8.1f ms  %7.1f MB/s\n", a, mb / a * 1000);
    std::printf("  zlib, warm buffer    %8.1f ms  %7.1f MB/s\n", w, mb / w * 1000);
    std::printf("  ReadEmbeddedFile     %8.1f ms  %7.1f MB/s  ratio %.2f (%.2f against the warm buffer)\n", b,
                mb / b * 1000, a / b, w / b);
    std::printf("  zlib + write + fsync %8.1f ms  %7.1f MB/s\n", c, mb / c * 1000);
    std::printf("  ExtractEmbeddedFile  %8.1f ms  %7.1f MB/s  ratio %.2f (%.2f against zlib alone)\n", d,
                mb / d * 1000, c / d, a / d);
    PeakOf(QStringLiteral("--measure-read"), exe, target, mb);
    PeakOf(QStringLiteral("--measure-extract"), exe, target, mb);
    QFile::remove(target);
    QFile::remove(exe);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1].startsWith(u"--measure-"))
        return MeasureChild(args[1], args[2], args[3]);
    const qsizetype sizeMb = args.size() > 1 ? args[1].toLongLong() : 100;
    const int runs = args.size() > 2 ? qMax(1, args[2].toInt()) : 3;
    QTemporaryDir dir(args.size() > 3 ? args[3] + QStringLiteral("/bench-XXXXXX") : QDir::tempPath() + QStringLiteral("/bench-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot make a work folder\n");
        return 1;
    }
    std::printf("work folder %s, %d runs, median\n", qPrintable(dir.path()), runs);
    Bench("incompressible", Incompressible(sizeMb * 1048576), runs, dir.path());
    Bench("compressible", Compressible(sizeMb * 1048576), runs, dir.path());
    return 0;
}
