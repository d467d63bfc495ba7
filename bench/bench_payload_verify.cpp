// What checking a whole wizard costs before a run: VerifyOwnContainer (its end, the block,
// every embedded file inflated with its Adler-32) against reading the file once and
// against plain zlib on the same streams held in memory.
//
//   bench_payload_verify [size-MB=100] [runs=5] [work-folder=$TMPDIR]
//
// The payload is 100 files of size/100 each, half of them incompressible, half text-like,
// packed behind the real wizard executable (build/bin/dremlix-update) as wizard-pack does.
// Times are medians with the page cache warm.
#include "oslayer/Environment.h"
#include "oslayer/ExeResources.h"
#include "payload/EmbeddedFiles.h"
#include "payload/PayloadWriter.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

namespace {

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

QByteArray FileData(qsizetype size, bool compressible, unsigned seed)
{
    QByteArray data(size, Qt::Uninitialized);
    std::mt19937 random(seed);
    if (compressible) {
        static const char words[] = "Falcrest documento stampa azienda parametri ";
        for (qsizetype i = 0; i < size; ++i)
            data[i] = words[(i + random() % 3) % (sizeof words - 1)];
    } else {
        for (qsizetype i = 0; i < size; ++i)
            data[i] = char(random());
    }
    return data;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qsizetype megabytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 100;
    const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : 5;
    QTemporaryDir work(argc > 3 ? QString::fromLocal8Bit(argv[3]) + QStringLiteral("/verify-XXXXXX") : QString());
    const qsizetype each = megabytes * 1024 * 1024 / 100;

    QList<PayloadFile> files;
    std::vector<QByteArray> containers;
    for (int i = 0; i < 100; ++i) {
        PayloadFile file;
        file.Name = QStringLiteral("File%1.bin").arg(i);
        file.Data = FileData(each, i % 2 == 1, unsigned(i));
        file.TimeStamp = Os::FileTime{};
        containers.push_back(BuildEmbeddedContainer(file.Data, file.TimeStamp));
        files.append(file);
    }
    const QString wizard = work.filePath(QStringLiteral("Wizard"));
    WriteWizard(QStringLiteral(DREMLIX_BIN_DIR "/dremlix-update"), wizard, files);
    Os::Environment::SetOwnExecutableHostPath(wizard);
    const double fileMb = double(QFile(wizard).size()) / (1024 * 1024);

    std::vector<double> read, zlib, verify;
    std::vector<char> sink(size_t(each) + 64);
    for (int run = 0; run < runs + 1; ++run) {
        QElapsedTimer t;
        t.start();
        QFile f(wizard);
        f.open(QIODevice::ReadOnly);
        while (!f.read(1 << 20).isEmpty()) {
        }
        const double r = t.nsecsElapsed() / 1e6;
        t.restart();
        for (const QByteArray &c : containers) {
            uLongf length = uLongf(sink.size());
            uncompress(reinterpret_cast<Bytef *>(sink.data()), &length, reinterpret_cast<const Bytef *>(c.constData()),
                       uLong(c.size()));
        }
        const double z = t.nsecsElapsed() / 1e6;
        t.restart();
        VerifyOwnContainer();
        const double v = t.nsecsElapsed() / 1e6;
        if (run == 0)
            continue; // the first pass warms the page cache
        read.push_back(r);
        zlib.push_back(z);
        verify.push_back(v);
    }
    std::printf("payload %lld MB in 100 files, wizard file %.1f MB, %d runs (median)\n",
                static_cast<long long>(megabytes), fileMb, runs);
    std::printf("  read the wizard once          %8.1f ms\n", Median(read));
    std::printf("  zlib uncompress, in memory    %8.1f ms\n", Median(zlib));
    std::printf("  VerifyOwnContainer            %8.1f ms  (%.2f x zlib)\n", Median(verify),
                Median(verify) / Median(zlib));
    return 0;
}
