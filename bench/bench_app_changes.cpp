// Loading the demo's change list (about 150 KB of RTF) into the changes step.
//
//   bench_app_changes [runs] [demo-folder]
//
// Figures: the changes step's LoadChangeList (the engine's LoadRichText, as the main window
// calls it), and the same followed by the step's first paint on an offscreen screen.
#include "app/frmDisplayFileUnit.h"
#include "oslayer/Environment.h"
#include "oslayer/ExeResources.h"
#include "payload/PayloadWriter.h"
#include "update/dmUpdateCommonUnit.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextEdit>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int runs = argc >= 2 ? std::max(1, std::atoi(argv[1])) : 20;
    const QString demo = argc >= 3 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral(DREMLIX_SOURCE_DIR "/demo");
    QFile source(demo + QStringLiteral("/UpdateInfo.txt"));
    if (!source.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "bench: cannot read %s\n", qPrintable(source.fileName()));
        return 2;
    }
    const QByteArray rtf = source.readAll();

    // A wizard carrying only the change list, and an empty prefix for the engine.
    QTemporaryDir dir;
    QDir().mkpath(dir.path() + QStringLiteral("/prefix/drive_c"));
    Os::Environment::SetPrefixRoot(dir.path() + QStringLiteral("/prefix"));
    const QString stub = dir.path() + QStringLiteral("/stub");
    QFile stubFile(stub);
    stubFile.open(QIODevice::WriteOnly);
    stubFile.write("stub");
    stubFile.close();
    const QString wizard = dir.path() + QStringLiteral("/wizard");
    WriteWizard(stub, wizard, {PayloadFile{QStringLiteral("UpdateInfo.txt"), rtf, 0}});
    Os::Environment::SetOwnExecutableHostPath(wizard);
    Os::ResourceBlock::ResetOwnForTests();

    TdmUpdateCommon engine;
    std::vector<double> load, loadAndPaint;
    int lines = 0;
    for (int i = 0; i < runs + 1; ++i) {
        TfrmDisplayFile step;
        step.resize(793, 440);
        QElapsedTimer clock;
        clock.start();
        lines = step.LoadChangeList(engine, QStringLiteral("UpdateInfo.txt"));
        const double t1 = double(clock.nsecsElapsed()) / 1e6;
        step.show();
        step.repaint();
        const double t2 = double(clock.nsecsElapsed()) / 1e6;
        if (i == 0)
            continue; // warm-up
        load.push_back(t1);
        loadAndPaint.push_back(t2);
    }
    std::printf("change list %lld bytes, %d lines: LoadChangeList median %.1f ms (min %.1f, max %.1f), "
                "with the first paint %.1f ms (target < 100 ms), %d runs\n",
                static_cast<long long>(rtf.size()), lines, Median(load), *std::min_element(load.begin(), load.end()),
                *std::max_element(load.begin(), load.end()), Median(loadAndPaint), runs);
    return 0;
}
