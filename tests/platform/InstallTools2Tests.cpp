#include "support/PeWriter.h"
#include "support/QStringPrinter.h"
#include "support/ScriptedUiServices.h"
#include "support/TempPrefix.h"

#include "platform/InstallTools2.h"
#include "oslayer/Exceptions.h"
#include "oslayer/Files.h"
#include "oslayer/Registry.h"
#include "oslayer/SystemInfo.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>
#include <cstdlib>
#include <unistd.h>

using namespace Os;

TEST(WindowsVersionTests, OnlyTheMatchingTestIsTrue)
{
    // Order of the answers: 9X, NT4, XP, 2003, Vista, Seven, Eight.
    const struct {
        const char *Version;
        bool Nine;
        std::array<bool, 7> Expected;
    } cases[] = {
        {"6.1", false, {false, false, false, false, false, true, false}},
        {"5.1", false, {false, false, true, false, false, false, false}},
        {"5.0", false, {false, false, false, false, false, false, false}},
        {"4.0", false, {false, true, false, false, false, false, false}},
        {"5.2", false, {false, false, false, true, false, false, false}},
        {"6.0", false, {false, false, false, false, true, false, false}},
        {"6.2", false, {false, false, false, false, false, false, true}},
        {"10.0", false, {false, false, false, false, false, false, false}},
        {"", true, {true, false, false, false, false, false, false}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Version);
        TempPrefix::Options options;
        options.WindowsVersion = QLatin1String(c.Version);
        options.Windows9x = c.Nine;
        TempPrefix prefix(options);
        const std::array<bool, 7> got = {
            TWindowsInstaller::IsWindows9X(),    TWindowsInstaller::IsWindowsNT4(),   TWindowsInstaller::IsWindowsXP(),
            TWindowsInstaller::IsWindows2003(),  TWindowsInstaller::IsWindowsVista(), TWindowsInstaller::IsWindowsSeven(),
            TWindowsInstaller::IsWindowsEight(),
        };
        EXPECT_EQ(got, c.Expected);
    }
}

TEST(WindowsVersionTests, TheWine8FixturePlaysWindows7)
{
    TempPrefix::Options options;
    options.HivesFrom = QStringLiteral(DREMLIX_FIXTURES "/wine8-win64-prefix");
    TempPrefix prefix(options);
    EXPECT_TRUE(TWindowsInstaller::IsWindowsSeven());
    EXPECT_FALSE(TWindowsInstaller::IsWindowsXP());
}

TEST(ExistenceTests, FilesFoldersAndTrailingBackslashes)
{
    TempPrefix prefix;
    prefix.WriteFile(QStringLiteral("C:\\Data\\db.fdb"), "x");
    const struct {
        const char *Name;
        bool File, Any;
    } cases[] = {
        {"C:\\windows\\", false, true},   {"C:\\windows", false, true},    {"c:\\WINDOWS\\", false, true},
        {"C:\\Data\\db.fdb", true, true}, {"C:\\Data\\db.fdb\\", true, true}, {"C:\\Data\\DB.FDB", true, true},
        {"C:\\Data\\none.fdb", false, false}, {"C:\\", false, true},       {"Q:\\", false, false},
        {"", false, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(TWindowsInstaller::FileExists(QLatin1String(c.Name)), c.File);
        EXPECT_EQ(TWindowsInstaller::FileOrDirExists(QLatin1String(c.Name)), c.Any);
    }
}

TEST(PathSplitTests, ExtractParentPath)
{
    const struct {
        const char *Path, *Parent, *Child;
    } cases[] = {
        {"Software\\A\\B", "Software\\A\\", "B"},
        {"A\\B\\", "A\\", "B\\"},
        {"Software", "", "Software"},
        {"", "", ""},
        {"\\Top", "\\", "Top"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Path);
        QString parent = QStringLiteral("junk"), child = QStringLiteral("junk");
        TWindowsInstaller::ExtractParentPath(QLatin1String(c.Path), parent, child);
        EXPECT_EQ(parent, QLatin1String(c.Parent));
        EXPECT_EQ(child, QLatin1String(c.Child));
    }
    QString parent, child;
    TWindowsInstaller::ExtractParentPath(QStringLiteral("A\\") + QString(300, QLatin1Char('x')), parent, child);
    EXPECT_EQ(child.size(), 255);
    EXPECT_EQ(TWindowsInstaller::AddBackslash(QString()), QString());
    EXPECT_EQ(TWindowsInstaller::AddBackslash(QStringLiteral("C:\\A")), QStringLiteral("C:\\A\\"));
}

TEST(RegistryCleanupTests, DeletesOnlyEmptyKeys)
{
    TempPrefix prefix;
    const QString base = QStringLiteral("Software\\DREMLIX S.A.\\Pulizia");
    prefix.SetRegString(
        RegRoot::CurrentUser, base + QStringLiteral("\\WithValue"), QStringLiteral("x"), QStringLiteral("1"));
    RegKey created;
    ASSERT_EQ(RegKey::Create(RegRoot::CurrentUser, base + QStringLiteral("\\Empty"), KEY_ALL_ACCESS, created), 0u);
    ASSERT_EQ(RegKey::Create(RegRoot::CurrentUser, base + QStringLiteral("\\Parent\\Child"), KEY_ALL_ACCESS, created), 0u);
    created.Close();

    auto exists = [&](const QString &key) {
        RegKey k;
        return RegKey::Open(RegRoot::CurrentUser, key, KEY_READ, k) == 0;
    };
    TWindowsInstaller::RegDeleteKeyIfEmpty(RegRoot::CurrentUser, base + QStringLiteral("\\WithValue"));
    EXPECT_TRUE(exists(base + QStringLiteral("\\WithValue")));
    TWindowsInstaller::RegDeleteKeyIfEmpty(RegRoot::CurrentUser, base + QStringLiteral("\\Parent"));
    EXPECT_TRUE(exists(base + QStringLiteral("\\Parent")));
    TWindowsInstaller::RegDeleteKeyIfEmpty(RegRoot::CurrentUser, base + QStringLiteral("\\Empty"));
    EXPECT_FALSE(exists(base + QStringLiteral("\\Empty")));
    TWindowsInstaller::RegDeleteKeyIfEmpty(RegRoot::CurrentUser, base + QStringLiteral("\\Parent\\Child\\"));
    EXPECT_FALSE(exists(base + QStringLiteral("\\Parent\\Child")));
    EXPECT_TRUE(exists(base + QStringLiteral("\\Parent")));
    // Missing keys and parents are no error.
    TWindowsInstaller::RegDeleteKeyIfEmpty(RegRoot::CurrentUser, base + QStringLiteral("\\Nope\\Nope"));
}

TEST(SystemQueryTests, TerminalServerAcrobatAndInternetExplorer)
{
    TempPrefix prefix;
    EXPECT_FALSE(TWindowsInstaller::IsTSInstalled());
    EXPECT_FALSE(TWindowsInstaller::IsRunningInsideTSSession());
    EXPECT_EQ(TWindowsInstaller::GetTSESessionID(), 0u);
    prefix.SetRegValue(RegRoot::LocalMachine,
        QStringLiteral("SYSTEM\\CurrentControlSet\\Control\\ProductOptions"), QStringLiteral("ProductSuite"),
        RegValue::FromMultiString({ QStringLiteral("Terminal Server"), QStringLiteral("Enterprise") }));
    EXPECT_TRUE(TWindowsInstaller::IsTSInstalled());
    EXPECT_FALSE(TWindowsInstaller::IsOnNT4TS());
    EXPECT_FALSE(TWindowsInstaller::IsRunningInsideTSSession());
    SetRemoteSessionForTests(true, 3);
    EXPECT_TRUE(TWindowsInstaller::IsRunningInsideTSSession());
    EXPECT_EQ(TWindowsInstaller::GetTSESessionID(), 3u);
    uint32_t session = 99;
    EXPECT_TRUE(GetProcessSessionId(GetCurrentProcessId(), session));
    EXPECT_EQ(session, 3u);
    SetRemoteSessionForTests(false, 0);
    prefix.SetWindowsVersion(4, 0);
    EXPECT_TRUE(TWindowsInstaller::IsOnNT4TS());

    EXPECT_FALSE(TWindowsInstaller::IsAcroreadInstalled());
    prefix.SetRegString(RegRoot::LocalMachine, QStringLiteral("SOFTWARE\\Adobe\\Acrobat Reader\\9.0"),
        QStringLiteral("x"), QStringLiteral("1"));
    EXPECT_TRUE(TWindowsInstaller::IsAcroreadInstalled());

    uint16_t v[4] = {9, 9, 9, 9};
    TWindowsInstaller::GetIEVersion(v[0], v[1], v[2], v[3]);
    EXPECT_EQ((std::vector<uint16_t>(v, v + 4)), (std::vector<uint16_t>{0, 0, 0, 0}));
    const QString ie = QStringLiteral("Software\\Microsoft\\Internet Explorer");
    prefix.SetRegString(RegRoot::LocalMachine, ie, QStringLiteral("Other"), QStringLiteral("1"));
    TWindowsInstaller::GetIEVersion(v[0], v[1], v[2], v[3]);
    EXPECT_EQ((std::vector<uint16_t>(v, v + 4)), (std::vector<uint16_t>{0, 0, 0, 0}));
    prefix.SetRegString(
        RegRoot::LocalMachine, ie, QStringLiteral("Version"), QStringLiteral("6.0.2900.2180"));
    TWindowsInstaller::GetIEVersion(v[0], v[1], v[2], v[3]);
    EXPECT_EQ((std::vector<uint16_t>(v, v + 4)), (std::vector<uint16_t>{6, 0, 2900, 2180}));
    prefix.SetRegString(RegRoot::LocalMachine, ie, QStringLiteral("Version"), QStringLiteral("8.x"));
    TWindowsInstaller::GetIEVersion(v[0], v[1], v[2], v[3]);
    EXPECT_EQ((std::vector<uint16_t>(v, v + 4)), (std::vector<uint16_t>{8, 0, 0, 0}));
    prefix.SetRegString(RegRoot::LocalMachine, ie, QStringLiteral("Version"), QStringLiteral("7.70000"));
    EXPECT_THROW(TWindowsInstaller::GetIEVersion(v[0], v[1], v[2], v[3]), Os::Exception);
}

namespace {

// The output of a host command, or a null string when it cannot run.
QString CommandOutput(const QString &program, const QStringList &arguments,
    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(20000) || process.exitStatus() != QProcess::NormalExit)
        return QString();
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

} // namespace

TEST(Administrator, RootOrAMemberOfAGroupThatAdministers)
{
    TempPrefix prefix;
    // What coreutils' id says of this process, apart from the code under test.
    const QString uid = CommandOutput(QStringLiteral("id"), { QStringLiteral("-u") });
    const QStringList groups = CommandOutput(QStringLiteral("id"), { QStringLiteral("-Gn") }).split(u' ');
    ASSERT_FALSE(uid.isEmpty());
    const bool expected = uid == QStringLiteral("0") || groups.contains(QStringLiteral("sudo"))
        || groups.contains(QStringLiteral("admin")) || groups.contains(QStringLiteral("wheel"));
    EXPECT_EQ(TWindowsInstaller::IsAdministrator(), expected);
}

TEST(Administrator, AnswersForTheIdentityThatAsks)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can run this program as another user";
    if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        GTEST_SKIP() << "setpriv (util-linux) is not installed";
    // A prefix playing a 9x system that the other user may read.
    TempPrefix nine(TempPrefix::Options { .Windows9x = true });
    for (const QString &folder : { nine.Scratch(), nine.Root() })
        QFile::setPermissions(folder,
            QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
                | QFile::ReadOther | QFile::ExeOther);
    struct Case {
        const char *Label;
        QStringList Identity; // setpriv's options besides the user
        bool NinePrefix;
        const char *Expected;
    };
    const bool sudoGroup
        = !CommandOutput(QStringLiteral("getent"), { QStringLiteral("group"), QStringLiteral("sudo") })
               .isEmpty();
    QList<Case> cases = {
        { "no group", { QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups") }, false, "no" },
        { "an ordinary group", { QStringLiteral("--regid=65534"), QStringLiteral("--groups=100") }, false,
            "no" },
        { "no group on a 9x system", { QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups") },
            true, "yes" },
    };
    if (sudoGroup) {
        cases.append({ "member of sudo", { QStringLiteral("--regid=65534"), QStringLiteral("--groups=sudo") },
            false, "yes" });
        cases.append({ "sudo as its own group",
            { QStringLiteral("--regid=sudo"), QStringLiteral("--clear-groups") }, false, "yes" });
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Label);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("WINEPREFIX"),
            c.NinePrefix ? nine.Root() : nine.Scratch() + QStringLiteral("/no-prefix-here"));
        const QString answer = CommandOutput(QStringLiteral("setpriv"),
            QStringList { QStringLiteral("--reuid=65534") } + c.Identity
                + QStringList { QStringLiteral("--"), QCoreApplication::applicationFilePath(),
                    QStringLiteral("--is-administrator") },
            environment);
        EXPECT_EQ(answer, QString::fromLatin1(c.Expected));
    }
}

TEST(SystemQueryTests, VisualBasicRuntimeNeedsEveryFileAtItsMinimum)
{
    TempPrefix prefix;
    const struct {
        const char *File;
        uint16_t V[4];
    } minimums[] = {
        {"asycfilt.dll", {2, 40, 4275, 1}}, {"comcat.dll", {4, 71, 1460, 1}}, {"msvbvm60.dll", {6, 0, 89, 64}},
        {"oleaut32.dll", {2, 40, 4275, 1}}, {"olepro32.dll", {5, 0, 4275, 1}}, {"stdole2.tlb", {2, 40, 4275, 1}},
    };
    auto put = [&](const char *file, uint16_t a, uint16_t b, uint16_t c, uint16_t d) {
        prefix.WriteFile(
            QStringLiteral("C:\\windows\\syswow64\\") + QLatin1String(file), MakePeWithVersion(a, b, c, d));
    };
    EXPECT_TRUE(TWindowsInstaller::NeedsVBRun60R5());
    for (const auto &m : minimums)
        put(m.File, m.V[0], m.V[1], m.V[2], m.V[3]);
    EXPECT_FALSE(TWindowsInstaller::NeedsVBRun60R5());
    put("msvbvm60.dll", 6, 0, 81, 76);
    EXPECT_TRUE(TWindowsInstaller::NeedsVBRun60R5());
    put("msvbvm60.dll", 6, 1, 0, 0); // higher minor, lower release: newer
    EXPECT_FALSE(TWindowsInstaller::NeedsVBRun60R5());
    QFile::remove(prefix.HostPath(QStringLiteral("C:\\windows\\syswow64\\msvbvm60.dll")));
    EXPECT_TRUE(TWindowsInstaller::NeedsVBRun60R5());
}

TEST(ShellExecuteResultTests, TableCodesRaiseTheOperationAndTheMessage)
{
    EXPECT_NO_THROW(TWindowsInstaller::CheckShellExResult(QStringLiteral("Apertura"), 42));
    EXPECT_NO_THROW(TWindowsInstaller::CheckShellExResult(QStringLiteral("Apertura"), 33));
    const struct {
        int32_t Code;
        const char *Message;
    } cases[] = {
        {0, "The operating system is out of memory or resources."},
        {2, "The specified file was not found."},
        {26, "A sharing violation occurred."},
        {31, "There is no application associated with the given filename extension."},
        {32, "The specified dynamic-link library was not found."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Code);
        try {
            TWindowsInstaller::CheckShellExResult(QStringLiteral("Apertura"), c.Code);
            ADD_FAILURE() << "no error";
        } catch (const EOSError &) {
            ADD_FAILURE() << "an operating-system error instead of the table text";
        } catch (const Os::Exception &e) {
            EXPECT_EQ(e.Message(), QStringLiteral("Apertura\r\n\r\n") + QLatin1String(c.Message));
        }
    }
    EXPECT_THROW(TWindowsInstaller::CheckShellExResult(QStringLiteral("Apertura"), 12), EOSError);
}

TEST(DriveTests, FixedDisksAndTheCdRomSearch)
{
    TempPrefix::Options options;
    options.Architecture = TempPrefix::Arch::Win32;
    TempPrefix prefix(options);
    prefix.AddDrive(QLatin1Char('a'), QString(), QStringLiteral("floppy"));
    prefix.AddDrive(QLatin1Char('d'));
    const QString cd = prefix.AddDrive(QLatin1Char('e'), QString(), QStringLiteral("cdrom"));
    prefix.AddDrive(QLatin1Char('n'), QString(), QStringLiteral("network"));
    QStringList drives = {QStringLiteral("old")};
    TWindowsInstaller::GetLocalDriveLetters(drives);
    // z: of a default prefix is the host's root, a fixed disk as well.
    drives.removeAll(QStringLiteral("z"));
    EXPECT_EQ(drives, QStringList({QStringLiteral("c"), QStringLiteral("d")}));

    uint32_t tick = 0;
    SetTickCountSource([&tick] { return tick += 50; });
    QChar letter = QLatin1Char('-');
    EXPECT_FALSE(TWindowsInstaller::FindCDRomLetter(QStringLiteral("SETUP.EXE"), letter));
    // Ten passes, each followed by a second.
    EXPECT_GE(tick, 10000u);
    EXPECT_LE(tick, 10000u + 10 * 100u);
    EXPECT_EQ(letter, QLatin1Char('-'));
    QDir().mkpath(cd);
    QFile f(cd + QStringLiteral("/setup.exe"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    tick = 0;
    EXPECT_TRUE(TWindowsInstaller::FindCDRomLetter(QStringLiteral("SETUP.EXE"), letter));
    EXPECT_EQ(letter, QLatin1Char('E'));
    EXPECT_LT(tick, 1000u);
    SetTickCountSource({});

    EXPECT_TRUE(TWindowsInstaller::IsNTFS(QLatin1Char('C')));
    EXPECT_FALSE(TWindowsInstaller::IsNTFS(QLatin1Char('E')));
    EXPECT_THROW(TWindowsInstaller::IsNTFS(QLatin1Char('Q')), EOSError);
}

TEST(FolderTests, SystemAndUserFoldersOfThePrefix)
{
    TempPrefix prefix;
    TWindowsInstaller installer;
    const QString user = prefix.User();
    EXPECT_EQ(TWindowsInstaller::GetWinPath().toLower(), QStringLiteral("c:\\windows\\"));
    EXPECT_EQ(TWindowsInstaller::GetWinSystemPath().toLower(), QStringLiteral("c:\\windows\\syswow64\\"));
    const QString temp = installer.GetTempPath();
    EXPECT_TRUE(temp.endsWith(QLatin1Char('\\')));
    EXPECT_TRUE(TWindowsInstaller::FileOrDirExists(temp));

    const QString profile = QStringLiteral("c:\\users\\") + user.toLower() + QLatin1Char('\\');
    const struct {
        const char *Name;
        std::function<QString()> Get;
        QString Expected;
    } cases[] = {
        {"profile", [&] { return installer.GetCurrentProfilePath(); }, profile},
        {"documents", [&] { return installer.GetMyDocumentsPath(); }, profile + QStringLiteral("documents\\")},
        {"desktop", [&] { return installer.GetDesktopPath(); }, profile + QStringLiteral("desktop\\")},
        {"app data", [&] { return installer.GetUserAppDataPath(); }, profile + QStringLiteral("appdata\\roaming\\")},
        {"local app data", [&] { return installer.GetLocalAppDataPath(); }, profile + QStringLiteral("appdata\\local\\")},
        {"all users", [&] { return installer.GetAllUsersAppDataPath(); }, QStringLiteral("c:\\programdata\\")},
        {"common desktop", [&] { return installer.GetCommonDesktopPath(); }, QStringLiteral("c:\\users\\public\\desktop\\")},
        {"programs", [&] { return installer.GetProgramsPath(); }, QStringLiteral("c:\\program files (x86)\\")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Name);
        const QString path = c.Get();
        EXPECT_EQ(path.toLower(), c.Expected);
        // Asked for with "create": the folder is there afterwards.
        EXPECT_TRUE(TWindowsInstaller::FileOrDirExists(path));
    }
    EXPECT_EQ(installer.GetUsername(), user);
    EXPECT_EQ(installer.GetSpecialFolder(0x7F), QString());
    EXPECT_EQ(installer.GetSpecialFolder(CSIDL_FONTS | CSIDL_FLAG_CREATE).toLower(), QStringLiteral("c:\\windows\\fonts"));
}

TEST(RestartTests, WithoutWinebootTheHostIsNeverRestarted)
{
    TempPrefix prefix;
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(prefix.Root()));
    try {
        TWindowsInstaller::RestartComputer();
        ADD_FAILURE() << "restart without wineboot reported success";
    } catch (const Os::Exception &e) {
        EXPECT_TRUE(e.Message().contains(QLatin1String("wineboot")));
    }
    qputenv("PATH", path);
}
