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
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <algorithm>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct Sample {
    double WallMs = -1;
    double CpuMs = -1; // user + system time of the process
};

// Starts the program as a fresh process and waits for it; the machine may be shared, so
// the processor time is taken as well as the wall time.
Sample RunOnce(const QString &program, const QStringList &args, const QProcessEnvironment &env, int expectedExit = 0)
{
    std::vector<QByteArray> argStore{program.toLocal8Bit()};
    for (const QString &arg : args)
        argStore.push_back(arg.toLocal8Bit());
    std::vector<char *> argv;
    argv.reserve(argStore.size() + 1);
    for (QByteArray &arg : argStore)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<QByteArray> envStore;
    for (const QString &entry : env.toStringList())
        envStore.push_back(entry.toLocal8Bit());
    std::vector<char *> envp;
    envp.reserve(envStore.size() + 1);
    for (QByteArray &entry : envStore)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    QElapsedTimer clock;
    clock.start();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0)
        return {};
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != expectedExit) {
        std::fprintf(stderr, "bench: %s did not end cleanly\n", qPrintable(program));
        return {};
    }
    Sample sample;
    sample.WallMs = double(clock.nsecsElapsed()) / 1e6;
    sample.CpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
                   + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    return sample;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "--wizard") == 0) {
        Os::Environment::SetOwnExecutableHostPath(QString::fromLocal8Bit(argv[2]));
        // The wizard's own options are none: the arguments above are the benchmark's.
        return RunWizard(1, argv, [](TfrmMain &window) {
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
    // The wizard is closed before any update: it ends with 3, "not done".
    const int wizardExit = 3;
    RunOnce(self, {QStringLiteral("--wizard"), wizard}, env, wizardExit);
    std::vector<double> wallMinimal, wallWizard, cpuMinimal, cpuWizard;
    for (int i = 0; i < runs; ++i) {
        const Sample m = RunOnce(minimal, {}, env);
        const Sample w = RunOnce(self, {QStringLiteral("--wizard"), wizard}, env, wizardExit);
        if (m.WallMs < 0 || w.WallMs < 0)
            return 1;
        wallMinimal.push_back(m.WallMs);
        wallWizard.push_back(w.WallMs);
        cpuMinimal.push_back(m.CpuMs);
        cpuWizard.push_back(w.CpuMs);
    }
    const double wm = Median(wallMinimal), ww = Median(wallWizard);
    const double cm = Median(cpuMinimal), cw = Median(cpuWizard);
    std::printf("start-up to first step, median of %d runs each, interleaved (target ratio <= 1.5):\n", runs);
    std::printf("  wall time: wizard %.1f ms, minimal Qt program %.1f ms, ratio %.2f (min %.1f / %.1f ms)\n", ww, wm,
                ww / wm, *std::min_element(wallWizard.begin(), wallWizard.end()),
                *std::min_element(wallMinimal.begin(), wallMinimal.end()));
    std::printf("  cpu time:  wizard %.1f ms, minimal Qt program %.1f ms, ratio %.2f\n", cw, cm, cw / cm);
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) > 0)
        std::printf("  load average during the run: %.1f\n", load[0]);
    return 0;
}
