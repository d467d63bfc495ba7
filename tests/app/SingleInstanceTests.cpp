#include "AppFixture.h"

#include "payload/PayloadWriter.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>
#include <csignal>

using namespace AppTest;

namespace {

// Whether the process holds an flock, as the kernel lists it.
bool HoldsLock(qint64 pid)
{
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = locks.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 4 && fields.at(1) == "FLOCK" && fields.at(4).toLongLong() == pid)
            return true;
    }
    return false;
}

bool WaitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
    }
    return true;
}

// Real copies of a packed wizard, each a process of its own, sharing one user's runtime
// folder and one prefix.
class Copies {
public:
    Copies()
        : FPrefix(TempPrefix::Options { .HostRootDrive = false })
    {
        const QString run = FPrefix.Scratch() + QStringLiteral("/run");
        QDir().mkpath(run);
        QFile::setPermissions(run, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        FEnv = QProcessEnvironment::systemEnvironment();
        FEnv.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        FEnv.insert(QStringLiteral("WINEPREFIX"), FPrefix.Root());
        FEnv.insert(QStringLiteral("XDG_RUNTIME_DIR"), run);

        FExe = FPrefix.Scratch() + QStringLiteral("/FalcrestUpdate");
        QList<PayloadFile> files;
        for (auto &[name, data] : std::initializer_list<std::pair<QString, QByteArray>>{
                 {QStringLiteral("AppInfo1.txt"), "Falcrest\r\n"},
                 {QStringLiteral("UpdateInfo.txt"), SmallRtf()}})
            files.append(PayloadFile{name, data, PayloadBuilder::DefaultTimeStamp()});
        WriteWizard(QStringLiteral(DREMLIX_WIZARD_EXE), FExe, files);
    }

    ~Copies()
    {
        for (auto &process : FProcesses) {
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(5000);
            }
        }
    }

    QProcess &Start()
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(FEnv);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(FExe, {});
        process->waitForStarted(10000);
        FProcesses.push_back(std::move(process));
        return *FProcesses.back();
    }

private:
    TempPrefix FPrefix;
    QProcessEnvironment FEnv;
    QString FExe;
    std::vector<std::unique_ptr<QProcess>> FProcesses;
};

struct EndCase {
    const char *Label;
    int Signal;
};

class SingleInstance : public ::testing::TestWithParam<EndCase> {};

TEST_P(SingleInstance, SecondCopyEndsAtOnceAndANewOneStartsAfterTheFirstEnds)
{
    Copies copies;
    QProcess &first = copies.Start();
    ASSERT_EQ(first.state(), QProcess::Running);
    ASSERT_TRUE(WaitFor([&] { return HoldsLock(first.processId()); }, 20000)) << "the first copy took no lock";

    QProcess &second = copies.Start();
    ASSERT_TRUE(second.waitForFinished(15000)) << "the second copy kept running";
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    // Silently, with the exit code of another copy on this prefix.
    EXPECT_EQ(second.exitCode(), 6);
    EXPECT_TRUE(second.readAllStandardOutput().isEmpty());
    // The first is not disturbed.
    EXPECT_EQ(first.state(), QProcess::Running);
    EXPECT_TRUE(HoldsLock(first.processId()));

    ::kill(pid_t(first.processId()), GetParam().Signal);
    ASSERT_TRUE(first.waitForFinished(10000));

    QProcess &third = copies.Start();
    EXPECT_TRUE(WaitFor([&] { return HoldsLock(third.processId()); }, 20000)) << "the new copy took no lock";
    EXPECT_EQ(third.state(), QProcess::Running);
}

INSTANTIATE_TEST_SUITE_P(Ends, SingleInstance,
                         ::testing::Values(EndCase{"Terminated", SIGTERM}, EndCase{"Killed", SIGKILL}),
                         [](const auto &info) { return std::string(info.param.Label); });

} // namespace
