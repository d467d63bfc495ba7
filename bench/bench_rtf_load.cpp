// Loading a change list into a QTextDocument with our RTF reader.
//
//   bench_rtf_load [runs=30] [file=tests/data/payload/changes-libreoffice.rtf]
//   bench_rtf_load [runs] --row-cells N    one table row of N cells ("a\cell " each: 32000
//                                          make 224 KB), the shape of a damaged change list
//   bench_rtf_load [runs] --table-rows N   a table of N rows of one cell each
//
// Prints the median and the fastest load, and the same followed by the document's layout
// at the changes step's width (what showing the text costs on top of reading it); cpu is
// the median of the process's own processor time, which other load on the machine leaves
// alone.
#include "payload/RtfReader.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QTextDocument>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

double CpuMs()
{
    timespec t {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int runs = args.size() > 1 ? qMax(1, args[1].toInt()) : 30;
    QString path = args.size() > 2 ? args[2]
                                   : QStringLiteral(DREMLIX_SOURCE_DIR "/tests/data/payload/changes-libreoffice.rtf");
    QByteArray rtf;
    if (path == u"--row-cells" || path == u"--table-rows") {
        const int count = args.size() > 3 ? args[3].toInt() : 32000;
        if (path == u"--row-cells")
            rtf = QByteArray("{\\rtf1\\ansi\\trowd\\intbl ") + QByteArray("a\\cell ").repeated(count) + "\\row}";
        else
            rtf = QByteArray("{\\rtf1\\ansi\\trowd\\cellx1000 ") + QByteArray("\\intbl a\\cell\\row ").repeated(count) + "}";
        path += QLatin1Char(' ') + QString::number(count);
    } else {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
            return 1;
        }
        rtf = file.readAll();
    }

    std::vector<double> load, layout, loadCpu, layoutCpu;
    int blocks = 0;
    for (int r = 0; r < runs; ++r) {
        QTextDocument doc;
        QBuffer stream;
        stream.setData(rtf);
        stream.open(QIODevice::ReadOnly);
        QElapsedTimer t;
        const double cpu = CpuMs();
        t.start();
        if (StreamRichText(doc, stream) != 0) {
            std::fprintf(stderr, "not RTF\n");
            return 1;
        }
        load.push_back(t.nsecsElapsed() / 1e6);
        loadCpu.push_back(CpuMs() - cpu);
        doc.setTextWidth(780);
        doc.size();
        layout.push_back(t.nsecsElapsed() / 1e6);
        layoutCpu.push_back(CpuMs() - cpu);
        blocks = doc.blockCount();
    }
    std::printf("%s: %lld bytes, %d paragraphs, %d runs\n", qPrintable(path), static_cast<long long>(rtf.size()),
                blocks, runs);
    std::printf("  load           median %7.2f ms  fastest %7.2f ms  cpu %7.2f ms\n", Median(load),
                *std::min_element(load.begin(), load.end()), Median(loadCpu));
    std::printf("  load + layout  median %7.2f ms  fastest %7.2f ms  cpu %7.2f ms\n", Median(layout),
                *std::min_element(layout.begin(), layout.end()), Median(layoutCpu));
    return 0;
}
