// An update killed at any moment leaves every installed file old or new, each whole: the
// update runs in a process of its own (this test program in a role), which is killed
// with SIGKILL at random moments of its work, again and again.
#include "UpdateFixture.h"

#include "oslayer/Environment.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>
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
int RunUpdateChild(int argc, char **argv)
{
    if (argc != 4 || QByteArray(argv[1]) != ChildRole)
        return -1;
    Os::Environment::SetPrefixRoot(QString::fromLocal8Bit(argv[2]));
    PayloadBuilder::UseAsOwnExecutable(QString::fromLocal8Bit(argv[3]));
    ScriptedUiServices ui;
    ui.Terminate();
    TdmUpdateCommon engine;
    engine.FProductCode = 7;
    std::puts("ready");
    std::fflush(stdout);
    const TUpdateOutcome outcome = engine.UpdateFalcrest();
    return outcome == uoSuccess ? 0 : 10 + outcome;
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
        for (auto it = FOld.cbegin(); it != FOld.cend(); ++it)
            WriteFile(Folder + it.key(), it.value());
    }

    // Starts the update and waits until it begins its work.
    void Start(QProcess &child)
    {
        child.start(
            QCoreApplication::applicationFilePath(), { QString::fromLatin1(ChildRole), FPrefix->Root(), FWizard });
        ASSERT_TRUE(child.waitForStarted(10000));
        while (!child.canReadLine())
            ASSERT_TRUE(child.waitForReadyRead(10000)) << "the update did not start";
        ASSERT_EQ(child.readLine().trimmed(), QByteArray("ready"));
    }

    // Every file of the product folder is one the update installs, whole in its old or its
    // new version; nothing else (no piece of a copy) stands beside them.
    void ExpectOldOrNew(int round)
    {
        const QStringList entries = QDir(Host(Folder)).entryList(QDir::Files | QDir::Hidden | QDir::System);
        EXPECT_EQ(entries.size(), FOld.size())
            << "round " << round << ": " << entries.join(u' ').toStdString();
        for (const QString &entry : entries) {
            ASSERT_TRUE(FOld.contains(entry)) << "round " << round << ": " << entry.toStdString();
            const QByteArray bytes = ReadFile(Folder + entry);
            EXPECT_TRUE(bytes == FOld.value(entry) || bytes == FNew.value(entry))
                << "round " << round << ": " << entry.toStdString() << " is neither old nor new ("
                << bytes.size() << " bytes)";
        }
    }

    QHash<QString, QByteArray> FOld;
    QHash<QString, QByteArray> FNew;
    QString FWizard;
};

TEST_F(KilledUpdate, EveryInstalledFileIsOldOrNewAfterAKillAtAnyMoment)
{
    // One whole run first: how long the work takes, and that it installs everything.
    InstallOld();
    QElapsedTimer clock;
    QProcess whole;
    Start(whole);
    clock.start();
    ASSERT_TRUE(whole.waitForFinished(60000));
    const qint64 span = std::max<qint64>(clock.elapsed(), 1);
    ASSERT_EQ(whole.exitCode(), 0) << whole.readAllStandardError().toStdString();
    for (auto it = FNew.cbegin(); it != FNew.cend(); ++it)
        EXPECT_TRUE(ReadFile(Folder + it.key()) == it.value()) << it.key().toStdString();

    QRandomGenerator random(20240304);
    for (int round = 0; round < 30; ++round) {
        InstallOld();
        QProcess child;
        Start(child);
        QThread::usleep(random.bounded(quint32(span * 1000)));
        child.kill();
        ASSERT_TRUE(child.waitForFinished(10000));
        ExpectOldOrNew(round);
    }

    // After the kills a whole run still installs everything and leaves no temporary file.
    InstallOld();
    QProcess last;
    Start(last);
    ASSERT_TRUE(last.waitForFinished(60000));
    EXPECT_EQ(last.exitCode(), 0);
    ExpectOldOrNew(-1);
    for (auto it = FNew.cbegin(); it != FNew.cend(); ++it)
        EXPECT_TRUE(ReadFile(Folder + it.key()) == it.value()) << it.key().toStdString();
    EXPECT_TRUE(QDir(Host(TempFolder())).entryList({ QStringLiteral("Update*.tmp") }, QDir::Files).isEmpty());
}
