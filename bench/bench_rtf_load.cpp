// Loading a change list into a QTextDocument with our RTF reader.
//
//   bench_rtf_load [runs=30] [file=tests/data/payload/changes-libreoffice.rtf]
//
// Prints the median and the fastest load, and the same followed by the document's layout
// at the changes step's width (what showing the text costs on top of reading it).
#include "payload/RtfReader.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QTextDocument>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int runs = args.size() > 1 ? qMax(1, args[1].toInt()) : 30;
    const QString path = args.size() > 2 ? args[2]
                                         : QStringLiteral(DREMLIX_SOURCE_DIR "/tests/data/payload/changes-libreoffice.rtf");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        return 1;
    }
    const QByteArray rtf = file.readAll();

    std::vector<double> load, layout;
    int blocks = 0;
    for (int r = 0; r < runs; ++r) {
        QTextDocument doc;
        QBuffer stream;
        stream.setData(rtf);
        stream.open(QIODevice::ReadOnly);
        QElapsedTimer t;
        t.start();
        if (StreamRichText(doc, stream) != 0) {
            std::fprintf(stderr, "not RTF\n");
            return 1;
        }
        load.push_back(t.nsecsElapsed() / 1e6);
        doc.setTextWidth(780);
        doc.size();
        layout.push_back(t.nsecsElapsed() / 1e6);
        blocks = doc.blockCount();
    }
    std::sort(load.begin(), load.end());
    std::sort(layout.begin(), layout.end());
    std::printf("%s: %lld bytes, %d paragraphs, %d runs\n", qPrintable(path), static_cast<long long>(rtf.size()),
                blocks, runs);
    std::printf("  load           median %7.2f ms  fastest %7.2f ms\n", load[load.size() / 2], load.front());
    std::printf("  load + layout  median %7.2f ms  fastest %7.2f ms\n", layout[layout.size() / 2], layout.front());
    return 0;
}
