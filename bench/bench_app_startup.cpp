// Time from the start of the wizard to its first step on screen, against a minimal Qt
// widgets program, both as fresh processes in the same run.
//
//   bench_app_startup [runs] [packed-wizard]
//
// The wizard side is this program started again with --wizard: the wizard's own program
// main (RunWizard) over the payload of the packed wizard (default: the demo's,
// <build>/demo/FalcrestUpdate, made by scripts/demo), ended as soon as the first step
// is painted. The yardstick is bench_app_minimal from the same folder.
#include "app/WizardMain.h"
#include "app/frmMainUnit.h"
#include "oslayer/Environment.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double RunOnce(const QString &program, const QStringList &args, const QProcessEnvironment &env)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    QElapsedTimer clock;
    clock.start();
    process.start(program, args);
    if (!process.waitForFinished(60000) || process.exitCode() != 0) {
        std::fprintf(stderr, "bench: %s did not end cleanly\n", qPrintable(program));
        process.kill();
        process.waitForFinished();
        return -1;
    }
    return double(clock.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "--wizard") == 0) {
        Os::Environment::SetOwnExecutableHostPath(QString::fromLocal8Bit(argv[2]));
        return RunWizard(argc, argv, [](TfrmMain &window) {
            window.repaint();
            QCoreApplication::quit();
        });
    }

    const QString self = QFileInfo(QString::fromLocal8Bit(argv[0])).absoluteFilePath();
    const QString binDir = QFileInfo(self).absolutePath();
    const int runs = argc >= 2 ? std::max(1, std::atoi(argv[1])) : 20;
    const QString wizard = argc >= 3 ? QString::fromLocal8Bit(argv[2])
                                     : QDir(binDir).absoluteFilePath(QStringLiteral("../demo/FalcrestUpdate"));
    const QString minimal = QDir(binDir).absoluteFilePath(QStringLiteral("bench_app_minimal"));
    const QString prefix = QFileInfo(wizard).absolutePath() + QStringLiteral("/prefix");
    if (!QFileInfo::exists(wizard) || !QFileInfo::exists(minimal)) {
        std::fprintf(stderr, "bench: needs %s (scripts/demo) and %s\n", qPrintable(wizard), qPrintable(minimal));
        return 2;
    }

    QTemporaryDir runtime;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("WINEPREFIX"), prefix);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());

    // One warm-up of each so that both start from a warm page cache.
    RunOnce(minimal, {}, env);
    RunOnce(self, {QStringLiteral("--wizard"), wizard}, env);
    std::vector<double> tMinimal, tWizard;
    for (int i = 0; i < runs; ++i) {
        tMinimal.push_back(RunOnce(minimal, {}, env));
        tWizard.push_back(RunOnce(self, {QStringLiteral("--wizard"), wizard}, env));
    }
    if (std::count(tMinimal.begin(), tMinimal.end(), -1.0) || std::count(tWizard.begin(), tWizard.end(), -1.0))
        return 1;
    const double m = Median(tMinimal), w = Median(tWizard);
    std::printf("start-up to first step, median of %d runs: wizard %.1f ms, minimal Qt program %.1f ms, "
                "ratio %.2f (target <= 1.5)\n",
                runs, w, m, w / m);
    std::printf("min/max: wizard %.1f/%.1f ms, minimal %.1f/%.1f ms\n",
                *std::min_element(tWizard.begin(), tWizard.end()), *std::max_element(tWizard.begin(), tWizard.end()),
                *std::min_element(tMinimal.begin(), tMinimal.end()),
                *std::max_element(tMinimal.begin(), tMinimal.end()));
    return 0;
}
