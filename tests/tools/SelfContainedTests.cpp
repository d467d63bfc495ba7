// A self-contained wizard on a workstation where no Qt library, Qt plugin or Firebird
// client is installed. The machine's own are hidden in a mount namespace by
// tests/support/without-qt.sh; a plain wizard shows that the hiding is real. The wizard
// is packed by wizard-pack as the release engineer packs it, and copied alone into an
// empty folder before it runs.
#include "oslayer/ExeResources.h"
#include "oslayer/Registry.h"
#include "support/TempPrefix.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

const QString HideScript = QStringLiteral(DREMLIX_SOURCE_DIR "/tests/support/without-qt.sh");
const QString InstalledProgram = QStringLiteral("C:\\WDremlix\\Kestrin\\Programs\\Falcrest.exe");
// The namespace script's answer when the machine cannot make a namespace.
constexpr int CannotHide = 77;

QByteArray DemoFile(const QString &name)
{
    QFile file(QStringLiteral(DREMLIX_SOURCE_DIR "/demo/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList DemoInputs()
{
    QStringList inputs;
    for (const char *name : {"AppInfo1.txt", "AppInfo2.txt", "Updates.txt", "FileNames.txt", "PrintLists.txt",
                             "UpdateInfo.txt", "Falcrest.exe", "Falcrest.chm", "FalcrestGro.lst", "FalcrestGrp.lst",
                             "FalcrestPre.lst"})
        inputs.append(QStringLiteral(DREMLIX_SOURCE_DIR "/demo/") + QString::fromLatin1(name));
    return inputs;
}

struct Result {
    int Code = -1;
    QString Out;
    QString Err;
};

std::string Explain(const Result &r)
{
    return QStringLiteral("exit %1\n--- stdout\n%2--- stderr\n%3").arg(r.Code).arg(r.Out, r.Err).toStdString();
}

QStringList Lines(const QString &text)
{
    return text.split(u'\n', Qt::SkipEmptyParts);
}

Result Finish(QProcess &p, int timeoutMs = 120000)
{
    Result r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        r.Err = QStringLiteral("(did not end)");
        return r;
    }
    r.Code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.Out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.Err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

// Packing a self-contained wizard takes seconds: one per build serves every test
// process, made again when the tool, the stubs or the demo change. Two processes packing
// at once each write it whole (wizard-pack renames into place).
QString PackedOnce(bool selfContained)
{
    const QString dir = QStringLiteral(DREMLIX_BIN_DIR "/../selfcontained-tests");
    QDir().mkpath(dir);
    QString out = dir + (selfContained ? QStringLiteral("/SelfContained") : QStringLiteral("/Plain"));
    QStringList inputs = DemoInputs();
    inputs << QStringLiteral(DREMLIX_BIN_DIR "/wizard-pack") << QStringLiteral(DREMLIX_WIZARD_EXE)
           << QStringLiteral(DREMLIX_BIN_DIR "/dremlix-update-launcher");
    const QFileInfo packed(out);
    bool fresh = packed.isFile();
    for (const QString &input : std::as_const(inputs))
        fresh = fresh && QFileInfo(input).lastModified() < packed.lastModified();
    if (fresh)
        return out;
    QStringList args{QStringLiteral("build"), QStringLiteral("--stub"), QStringLiteral(DREMLIX_WIZARD_EXE),
                     QStringLiteral("--out"), out};
    if (selfContained)
        args.insert(1, QStringLiteral("--self-contained"));
    QProcess p;
    p.start(QStringLiteral(DREMLIX_BIN_DIR "/wizard-pack"), args + DemoInputs());
    const Result r = Finish(p, 300000);
    EXPECT_EQ(r.Code, 0) << Explain(r);
    return out;
}

class WithoutQt : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FWork.isValid());
        QDir().mkpath(Runtime());
        QFile::setPermissions(Runtime(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QDir().mkpath(FWork.path() + QStringLiteral("/wizard"));
        FWizard = FWork.path() + QStringLiteral("/wizard/FalcrestUpdate");
        ASSERT_TRUE(QFile::copy(PackedOnce(true), FWizard));
        QFile::setPermissions(FWizard, QFile::permissions(FWizard) | QFile::ExeOwner);
        FCache = FWork.path() + QStringLiteral("/home/.cache");
    }

    QString Runtime() const { return FWork.path() + QStringLiteral("/run"); }

    // A workstation with Orvanta registered and the older Falcrest installed.
    static void Install(TempPrefix &prefix)
    {
        prefix.SetRegString(Os::RegRoot::CurrentUser, QStringLiteral("Software\\DREMLIX S.A.\\Orvanta\\Program"),
                            QStringLiteral("Filename"), QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe"));
        prefix.MakeFolder(QStringLiteral("C:\\WDremlix\\ORV\\Programs"));
        prefix.WriteFile(InstalledProgram, DemoFile(QStringLiteral("installed/Falcrest.exe")),
                         QDateTime(QDate(2021, 5, 3), QTime(9, 30), Qt::UTC));
    }

    QProcessEnvironment Environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "WINEPREFIX", "QT_PLUGIN_PATH",
                                 "LD_LIBRARY_PATH", "XDG_CACHE_HOME"})
            env.remove(QString::fromLatin1(name));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), Runtime());
        env.insert(QStringLiteral("HOME"), FWork.path() + QStringLiteral("/home"));
        return env;
    }

    // The program in the namespace without Qt; started, not waited for.
    QProcess *Start(const QString &program, const QStringList &args, const QProcessEnvironment &env) const
    {
        auto *p = new QProcess;
        p->setProcessEnvironment(env);
        p->setWorkingDirectory(FWork.path());
        p->start(HideScript, QStringList{program} + args);
        p->waitForStarted(10000);
        return p;
    }

    Result Run(const QString &program, const QStringList &args) const { return Run(program, args, Environment()); }
    Result Run(const QString &program, const QStringList &args, const QProcessEnvironment &env) const
    {
        std::unique_ptr<QProcess> p(Start(program, args, env));
        return Finish(*p);
    }

    // The folders of the cache: the bundle's, and the leftovers of unpacking.
    QStringList CacheEntries() const
    {
        return QDir(FCache + QStringLiteral("/dremlix-update"))
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    }

    QTemporaryDir FWork;
    QString FWizard;
    QString FCache;
};

#define SKIP_WITHOUT_NAMESPACE(result)                                                                       \
    if ((result).Code == CannotHide)                                                                         \
    GTEST_SKIP() << "this machine cannot make a mount namespace to hide Qt in: " << (result).Err.toStdString()

TEST_F(WithoutQt, APlainWizardCannotStartButASelfContainedOneUpdatesTheProduct)
{
    // The hiding is real: the plain wizard of the same payload cannot even be loaded.
    const QString plain = FWork.path() + QStringLiteral("/Plain");
    ASSERT_TRUE(QFile::copy(PackedOnce(false), plain));
    const Result refused = Run(plain, {QStringLiteral("--version")});
    SKIP_WITHOUT_NAMESPACE(refused);
    EXPECT_EQ(refused.Code, 127) << Explain(refused);
    static const QRegularExpression cannotLoad(
        QStringLiteral("^.*/Plain: error while loading shared libraries: \\S*libQt6\\w+\\.so\\.6: file too short$"));
    EXPECT_TRUE(cannotLoad.match(Lines(refused.Err).value(0)).hasMatch()) << Explain(refused);

    TempPrefix prefix;
    Install(prefix);
    const QString report = FWork.path() + QStringLiteral("/report.txt");
    const Result r = Run(FWizard, {QStringLiteral("--unattended"), QStringLiteral("--prefix=") + prefix.Root(),
                                   QStringLiteral("--report=") + report});
    ASSERT_EQ(r.Code, 0) << Explain(r);
    QFile installed(prefix.HostPath(InstalledProgram));
    ASSERT_TRUE(installed.open(QIODevice::ReadOnly));
    EXPECT_EQ(installed.readAll(), DemoFile(QStringLiteral("Falcrest.exe")));
    QFile text(report);
    ASSERT_TRUE(text.open(QIODevice::ReadOnly));
    EXPECT_TRUE(Lines(QString::fromUtf8(text.readAll())).contains(QStringLiteral("L'aggiornamento terminato con successo.")));

    // One folder, named by the hash, with the wizard, its libraries and their licences.
    const QStringList entries = CacheEntries();
    ASSERT_EQ(entries.size(), 2) << entries.join(u' ').toStdString();
    EXPECT_EQ(entries[0], QStringLiteral(".lock"));
    static const QRegularExpression hashName(QStringLiteral("^[0-9a-f]{32}$"));
    ASSERT_TRUE(hashName.match(entries[1]).hasMatch()) << entries[1].toStdString();
    const QString folder = FCache + QStringLiteral("/dremlix-update/") + entries[1];
    for (const char *file : {"dremlix-update", "lib/libQt6Core.so.6", "lib/libQt6PrintSupport.so.6",
                             "lib/libfbclient.so.2", "plugins/platforms/libqxcb.so", "plugins/platforms/libqoffscreen.so",
                             "licences/libqt6core6.copyright", "LICENCES.txt"})
        EXPECT_TRUE(QFileInfo(folder + u'/' + QString::fromLatin1(file)).isFile()) << file;

    // The Firebird client is loaded by name when a database is opened: by the loader and
    // the library path the launcher starts the wizard with, the cached one is found.
    const QString probe = QStringLiteral(DREMLIX_BIN_DIR "/fbclient_probe");
    const Result hidden = Run(probe, {});
    EXPECT_EQ(hidden.Code, 1) << Explain(hidden);
    const Result cached = Run(QStringLiteral("/lib64/ld-linux-x86-64.so.2"),
                              {QStringLiteral("--library-path"), folder + QStringLiteral("/lib"), probe});
    ASSERT_EQ(cached.Code, 0) << Explain(cached);
    static const QRegularExpression clientVersion(QStringLiteral("^LI-V\\d+\\.\\d+\\.\\d+\\.\\d+ .*$"));
    EXPECT_TRUE(clientVersion.match(Lines(cached.Out).value(0)).hasMatch()) << Explain(cached);

    // A second wizard with the same libraries finds the folder and unpacks nothing.
    const QDateTime unpacked = QFileInfo(folder + QStringLiteral("/dremlix-update")).lastModified();
    const Result again = Run(FWizard, {QStringLiteral("--version")});
    ASSERT_EQ(again.Code, 0) << Explain(again);
    EXPECT_EQ(Lines(again.Out).value(0), QStringLiteral("FalcrestUpdate 1.2.27.0"));
    EXPECT_EQ(QFileInfo(folder + QStringLiteral("/dremlix-update")).lastModified(), unpacked);
    EXPECT_EQ(CacheEntries(), entries);
}

TEST_F(WithoutQt, TwoStartedAtOnceOnAnEmptyCacheBothUpdateFromOneFolder)
{
    // A prefix is made current when it is made: each gets its product in its turn.
    TempPrefix first;
    Install(first);
    TempPrefix second;
    Install(second);
    std::unique_ptr<QProcess> a(Start(FWizard, {QStringLiteral("--unattended"), QStringLiteral("--prefix=") + first.Root()},
                                      Environment()));
    std::unique_ptr<QProcess> b(Start(FWizard, {QStringLiteral("--unattended"), QStringLiteral("--prefix=") + second.Root()},
                                      Environment()));
    const Result ra = Finish(*a), rb = Finish(*b);
    SKIP_WITHOUT_NAMESPACE(ra);
    EXPECT_EQ(ra.Code, 0) << Explain(ra);
    EXPECT_EQ(rb.Code, 0) << Explain(rb);
    for (TempPrefix *prefix : {&first, &second}) {
        QFile installed(prefix->HostPath(InstalledProgram));
        ASSERT_TRUE(installed.open(QIODevice::ReadOnly));
        EXPECT_EQ(installed.readAll(), DemoFile(QStringLiteral("Falcrest.exe")));
    }
    // The loser of the rename uses the winner's folder and leaves nothing behind.
    const QStringList entries = CacheEntries();
    ASSERT_EQ(entries.size(), 2) << entries.join(u' ').toStdString();
    EXPECT_EQ(entries[0], QStringLiteral(".lock"));
}

TEST_F(WithoutQt, KilledWhileUnpackingLeavesNothingThatIsEverUsed)
{
    // Killed at moments spread over the unpacking: no start may find a folder it takes
    // for whole when it is not, and the next start cleans what the killed ones left.
    const Result probe = Run(QStringLiteral("/bin/true"), {});
    SKIP_WITHOUT_NAMESPACE(probe);
    for (int delayMs : {5, 40, 90, 150, 250}) {
        QDir(FCache).removeRecursively();
        std::unique_ptr<QProcess> p(Start(FWizard, {QStringLiteral("--version")}, Environment()));
        QThread::msleep(ulong(delayMs));
        // The launcher itself, not the namespace script: it runs as the script's last exec.
        p->kill();
        p->waitForFinished();
        const QStringList left = CacheEntries();
        const Result r = Run(FWizard, {QStringLiteral("--version")});
        ASSERT_EQ(r.Code, 0) << "killed after " << delayMs << " ms, left " << left.join(u' ').toStdString() << "\n"
                             << Explain(r);
        EXPECT_EQ(Lines(r.Out).value(0), QStringLiteral("FalcrestUpdate 1.2.27.0"));
        const QStringList entries = CacheEntries();
        EXPECT_EQ(entries.size(), 2) << "killed after " << delayMs << " ms: " << entries.join(u' ').toStdString();
    }

    // A folder that lost its wizard (cleaned by hand) is set aside and unpacked again.
    const QStringList entries = CacheEntries();
    ASSERT_EQ(entries.size(), 2);
    const QString folder = FCache + QStringLiteral("/dremlix-update/") + entries[1];
    ASSERT_TRUE(QFile::remove(folder + QStringLiteral("/dremlix-update")));
    const Result r = Run(FWizard, {QStringLiteral("--version")});
    ASSERT_EQ(r.Code, 0) << Explain(r);
    EXPECT_TRUE(QFileInfo(folder + QStringLiteral("/dremlix-update")).isFile());
}

TEST_F(WithoutQt, ACacheThatCannotBeWrittenIsRefusedWithSeven)
{
    const QString home = FWork.path() + QStringLiteral("/home");
    QDir().mkpath(home);
    QProcessEnvironment env = Environment();
    env.insert(QStringLiteral("DREMLIX_READONLY_FOLDERS"), home);
    const Result r = Run(FWizard, {QStringLiteral("--version")}, env);
    SKIP_WITHOUT_NAMESPACE(r);
    EXPECT_EQ(r.Code, 7) << Explain(r);
    EXPECT_EQ(Lines(r.Err).value(0), QStringLiteral("FalcrestUpdate: cannot unpack its libraries into %1/.cache/dremlix-update: "
                                                    "Read-only file system. The wizard needs a cache folder it can "
                                                    "write: set XDG_CACHE_HOME to one")
                                         .arg(home));
    EXPECT_TRUE(r.Out.isEmpty());

    // XDG_CACHE_HOME is the way out, as the message says.
    env.insert(QStringLiteral("XDG_CACHE_HOME"), FWork.path() + QStringLiteral("/elsewhere"));
    const Result moved = Run(FWizard, {QStringLiteral("--version")}, env);
    EXPECT_EQ(moved.Code, 0) << Explain(moved);
    EXPECT_TRUE(QFileInfo(FWork.path() + QStringLiteral("/elsewhere/dremlix-update")).isDir());
}

TEST_F(WithoutQt, ADamagedBundleIsRefusedAndLeavesNothingBehind)
{
    // One byte changed inside the carried libraries (the block's own checks cover only
    // its index): every stream is checked while it is unpacked.
    QFile file(FWizard);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    QByteArray bytes = file.readAll();
    const auto block = Os::ResourceBlock::Load(FWizard);
    ASSERT_TRUE(block);
    const auto bundle = block->Locate(Os::RT_BUNDLE, QStringLiteral("BUNDLE"));
    ASSERT_TRUE(bundle);
    bytes[qsizetype(bundle->Offset + bundle->Size / 2)] ^= 0x20;
    ASSERT_TRUE(file.seek(0));
    ASSERT_EQ(file.write(bytes), bytes.size());
    file.close();

    const Result r = Run(FWizard, {QStringLiteral("--version")});
    SKIP_WITHOUT_NAMESPACE(r);
    EXPECT_EQ(r.Code, 7) << Explain(r);
    EXPECT_EQ(Lines(r.Err).value(0), QStringLiteral("FalcrestUpdate: %1 is damaged (its libraries fail their check); get "
                                                    "the wizard again")
                                         .arg(FWizard));
    EXPECT_EQ(CacheEntries(), QStringList{QStringLiteral(".lock")});
}

TEST_F(WithoutQt, ShowsItsWindowOnAnXDisplay)
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty())
        GTEST_SKIP() << "Xvfb is not installed (scripts/deps.sh installs it)";
    // The server picks a free display and says which.
    QProcess server;
    server.setProcessChannelMode(QProcess::SeparateChannels);
    server.start(xvfb, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                        QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("1024x768x24")});
    ASSERT_TRUE(server.waitForStarted(10000));
    QByteArray display;
    for (int i = 0; i < 100 && !display.contains('\n'); ++i) {
        server.waitForReadyRead(100);
        display += server.readAllStandardOutput();
    }
    ASSERT_FALSE(display.trimmed().isEmpty()) << "Xvfb gave no display";

    TempPrefix prefix;
    Install(prefix);
    QProcessEnvironment env = Environment();
    env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":") + QString::fromLatin1(display.trimmed()));
    env.insert(QStringLiteral("WINEPREFIX"), prefix.Root());
    // The wizard ends once its first step is painted on the display; closed before any
    // update, it says "not done".
    env.insert(QStringLiteral("DREMLIX_QUIT_AT_FIRST_STEP"), QStringLiteral("1"));
    const Result r = Run(FWizard, {}, env);
    server.terminate();
    server.waitForFinished();
    SKIP_WITHOUT_NAMESPACE(r);
    EXPECT_EQ(r.Code, 3) << Explain(r);
    EXPECT_FALSE(r.Err.contains(QStringLiteral("platform plugin"))) << Explain(r);
}

} // namespace
