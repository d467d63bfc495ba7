// An update killed at any moment leaves the product's files all old or all new once the
// next run has finished what the killed one left: the update runs in a process of its own
// (this test program in a role), which is killed with SIGKILL at random moments of its
// work, some of them while it puts the old files back after a failure. A signal that asks
// it to stop is obeyed at the next safe point, with everything put back.
#include "UpdateFixture.h"

#include "oslayer/Environment.h"
#include "update/FileTransaction.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>
#include <csignal>
#include <cstdio>

namespace {

const QString Folder = QStringLiteral("C:\\WDremlix\\Kestrin\\Programs\\");
const char ChildRole[] = "--falcrest-update";
constexpr qsizetype MiB = qsizetype(1024) * 1024;

QByteArray Bytes(qsizetype size, char fill, int salt)
{
    QByteArray bytes(size, fill);
    for (qsizetype i = 0; i < size; i += 997)
        bytes[i] = char(salt + i);
    return bytes;
}

} // namespace

// The other process: the Falcrest update of the prefix and wizard given, its waits left out
// (the scripted person has asked the program to end, so that the kills land in its work).
// A fifth argument "recover" only finishes what an earlier run left; a number makes the
// commit fail after that many files, so that the run ends in a rollback.
int RunUpdateChild(int argc, char **argv)
{
    if (argc < 4 || argc > 5 || QByteArray(argv[1]) != ChildRole)
        return -1;
    const QByteArray mode = argc == 5 ? QByteArray(argv[4]) : QByteArray();
    Os::Environment::SetPrefixRoot(QString::fromLocal8Bit(argv[2]));
    PayloadBuilder::UseAsOwnExecutable(QString::fromLocal8Bit(argv[3]));
    ScriptedUiServices ui;
    ui.Terminate();
    TdmUpdateCommon engine;
    engine.FProductCode = 7;
    if (mode == "recover") {
        engine.FinishInterruptedRun();
        return 0;
    }
    if (!mode.isEmpty())
        TFileTransaction::FailCommitAfterForTests(mode.toInt());
    // Caught from here, as the run catches them, so that a signal sent on "ready" finds it.
    TFileTransaction::CatchSignals(true);
    std::puts("ready");
    std::fflush(stdout);
    try {
        const TUpdateOutcome outcome = engine.UpdateFalcrest();
        return outcome == uoSuccess ? 0 : 10 + outcome;
    } catch (const EInterrupted &) {
        return 9;
    }
}

class KilledUpdate : public UpdateFixture {
protected:
    void SetUp() override
    {
        UpdateFixture::SetUp();
        InstallOrvanta();
        QStringList names;
        FOld.insert(QStringLiteral("Falcrest.exe"), PeFile(2, 0, 0, 1) + Bytes(3 * MiB, 'o', 1));
        FNew.insert(QStringLiteral("Falcrest.exe"), PeFile(2, 0, 0, 2) + Bytes(4 * MiB, 'n', 2));
        for (int i = 0; i < 40; ++i) {
            // From a few bytes to half a megabyte, so that kills land in small and large files.
            const QString name = QStringLiteral("File%1.dat").arg(i, 2, 10, QLatin1Char('0'));
            const qsizetype size = qsizetype(1) << (4 + i % 16);
            if (i % 10 != 0) // some files are new to the folder
                FOld.insert(name, Bytes(size + 7, 'a', i));
            FNew.insert(name, Bytes(size, 'b', i));
            FPayload.Add(name, FNew.value(name));
            names.append(name);
        }
        FPayload.Add(QStringLiteral("Falcrest.exe"), FNew.value(QStringLiteral("Falcrest.exe")))
            .AddList(QStringLiteral("FileNames.txt"), names)
            .AddList(QStringLiteral("PrintLists.txt"), {});
        FWizard = Host(QStringLiteral("Z:\\wizard")) + QLatin1String("/Setup.exe");
        QDir().mkpath(QFileInfo(FWizard).absolutePath());
        FPayload.Write(FWizard);
    }

    void InstallOld()
    {
        QDir(Host(Folder)).removeRecursively();
        QDir().mkpath(Host(Folder));
        for (auto it = FOld.cbegin(); it != FOld.cend(); ++it)
            WriteFile(Folder + it.key(), it.value());
    }

    // Starts the update and waits until it begins its work.
    void Start(QProcess &child, const QString &mode = QString())
    {
        QStringList arguments { QString::fromLatin1(ChildRole), FPrefix->Root(), FWizard };
        if (!mode.isEmpty())
            arguments.append(mode);
        child.start(QCoreApplication::applicationFilePath(), arguments);
        ASSERT_TRUE(child.waitForStarted(10000));
        while (!child.canReadLine())
            ASSERT_TRUE(child.waitForReadyRead(10000)) << "the update did not start";
        ASSERT_EQ(child.readLine().trimmed(), QByteArray("ready"));
    }

    // The product folder holds exactly one version's files, each whole: nothing of the other
    // version, no backup, no staged copy; the journal is gone and so are the temporary files.
    // True for the new version.
    bool ExpectOldOrNew(int round)
    {
        QStringList entries = QDir(Host(Folder)).entryList(QDir::Files | QDir::Hidden | QDir::System);
        entries.sort();
        const bool isNew
            = ReadFile(Folder + QStringLiteral("Falcrest.exe")) == FNew.value(QStringLiteral("Falcrest.exe"));
        const QHash<QString, QByteArray> &version = isNew ? FNew : FOld;
        QStringList expected = version.keys();
        expected.sort();
        EXPECT_EQ(entries, expected) << "round " << round << (isNew ? ", new" : ", old");
        for (const QString &entry : std::as_const(entries))
            EXPECT_TRUE(ReadFile(Folder + entry) == version.value(entry))
                << "round " << round << ": " << entry.toStdString() << " is not of the "
                << (isNew ? "new" : "old") << " version";
        EXPECT_FALSE(QFileInfo::exists(FPrefix->Root() + QStringLiteral("/.dremlix-update/journal")))
            << "round " << round;
        EXPECT_TRUE(
            QDir(Host(TempFolder())).entryList({ QStringLiteral("Update*.tmp") }, QDir::Files).isEmpty())
            << "round " << round;
        return isNew;
    }

    // The first step of the next run: it finishes whatever the killed one left.
    void Recover()
    {
        QProcess next;
        next.start(QCoreApplication::applicationFilePath(),
            { QString::fromLatin1(ChildRole), FPrefix->Root(), FWizard, QStringLiteral("recover") });
        ASSERT_TRUE(next.waitForFinished(60000));
        ASSERT_EQ(next.exitStatus(), QProcess::NormalExit) << next.readAllStandardError().toStdString();
        ASSERT_EQ(next.exitCode(), 0) << next.readAllStandardError().toStdString();
    }

    // How long a whole run takes, from its start to its end: a successful one, or one whose
    // commit fails half way and puts everything back.
    qint64 Span(const QString &mode, int expectedCode)
    {
        InstallOld();
        QElapsedTimer clock;
        QProcess whole;
        Start(whole, mode);
        clock.start();
        EXPECT_TRUE(whole.waitForFinished(60000));
        const qint64 span = std::max<qint64>(clock.elapsed(), 1);
        EXPECT_EQ(whole.exitCode(), expectedCode) << whole.readAllStandardError().toStdString();
        return span;
    }

    QHash<QString, QByteArray> FOld;
    QHash<QString, QByteArray> FNew;
    QString FWizard;
};

TEST_F(KilledUpdate, EveryRunsFilesAreAllOldOrAllNewAfterAKillAtAnyMoment)
{
    // Whole runs first: how long the work takes, that it installs everything, and that a
    // commit failing after twenty files puts everything back.
    const qint64 span = Span(QString(), 0);
    EXPECT_TRUE(ExpectOldOrNew(-1));
    const QString failing = QStringLiteral("20");
    const qint64 failingSpan = Span(failing, 10 + uoFailure);
    EXPECT_FALSE(ExpectOldOrNew(-1));

    // Even rounds kill a run that succeeds at any moment, odd ones a run that rolls back, in
    // the last part of its work where it puts the files in place and back.
    QRandomGenerator random(20240304);
    int newRounds = 0;
    int duringRollback = 0;
    for (int round = 0; round < 36; ++round) {
        const bool rollingBack = round % 2 == 1;
        InstallOld();
        QProcess child;
        Start(child, rollingBack ? failing : QString());
        const QString journalPath = FPrefix->Root() + QStringLiteral("/.dremlix-update/journal");
        if (rollingBack && round % 4 == 3) {
            // The rollback itself is too short for a kill at a random moment to land in it
            // reliably: every other rolling-back round watches the journal and kills as soon
            // as the rollback has begun.
            QElapsedTimer waited;
            waited.start();
            while (waited.elapsed() < 20000 && child.state() == QProcess::Running) {
                QFile watched(journalPath);
                if (watched.open(QIODevice::ReadOnly) && watched.readAll().contains("\nrollback\n"))
                    break;
                QThread::usleep(50);
            }
            QThread::usleep(random.bounded(200u));
        } else if (rollingBack) {
            QThread::usleep(quint32(failingSpan * 500) + random.bounded(quint32(failingSpan * 500)));
        } else {
            QThread::usleep(random.bounded(quint32(span * 1000)));
        }
        child.kill();
        ASSERT_TRUE(child.waitForFinished(10000));
        QFile journal(journalPath);
        if (journal.open(QIODevice::ReadOnly) && journal.readAll().contains("\nrollback\n"))
            ++duringRollback;
        Recover();
        if (ExpectOldOrNew(round))
            ++newRounds;
        if (HasFailure())
            break;
    }
    std::printf("kills that left the new version: %d of 36; kills during a rollback: %d\n", newRounds,
        duringRollback);
    EXPECT_GT(duringRollback, 0) << "no kill landed in a rollback";

    // After the kills a whole run still installs everything and leaves no temporary file.
    InstallOld();
    QProcess last;
    Start(last);
    ASSERT_TRUE(last.waitForFinished(60000));
    EXPECT_EQ(last.exitCode(), 0);
    EXPECT_TRUE(ExpectOldOrNew(-1));
}

TEST_F(KilledUpdate, SigtermStopsTheRunAndPutsEverythingBack)
{
    // At once, then at random moments: stopped and put back, or (after the last safe point)
    // done and ended by the signal as usual; never a mixture.
    const qint64 span = Span(QString(), 0);
    QRandomGenerator random(7);
    for (int round = 0; round < 6; ++round) {
        InstallOld();
        QProcess child;
        Start(child);
        if (round > 0)
            QThread::usleep(random.bounded(quint32(span * 1000)));
        ::kill(pid_t(child.processId()), SIGTERM);
        ASSERT_TRUE(child.waitForFinished(30000));
        const bool stopped = child.exitStatus() == QProcess::NormalExit && child.exitCode() == 9;
        if (round == 0) {
            EXPECT_TRUE(stopped) << "exit " << child.exitCode() << ", status " << child.exitStatus();
        }
        const bool isNew = ExpectOldOrNew(round);
        EXPECT_EQ(isNew, !stopped) << "round " << round;
    }
}
