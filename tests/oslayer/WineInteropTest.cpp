// What this layer writes, Wine itself reads back, and the other way round. Runs only where
// Wine is installed (making a prefix takes Wine half a minute); elsewhere it is skipped.
#include "support/TempPrefix.h"

#include "oslayer/Environment.h"
#include "oslayer/Registry.h"
#include "oslayer/WinError.h"
#include "oslayer/WineRegistry.h"
#include "platform/ProductCatalog.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>

#include <csignal>
#include <functional>

using namespace Os;

namespace {

QProcessEnvironment WineEnvironment(const QString &prefix)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WINEPREFIX"), prefix);
    env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    env.insert(QStringLiteral("WINEDLLOVERRIDES"), QStringLiteral("mscoree,mshtml="));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return env;
}

QByteArray RunWine(const QString &prefix, const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessEnvironment(WineEnvironment(prefix));
    process.start(program, arguments);
    if (!process.waitForFinished(240000))
        process.kill();
    return process.readAllStandardOutput();
}

// "    Name    REG_SZ    text" lines of `reg query`, value name to kind and text. Four spaces
// part the fields; a name or a text may hold single ones.
QMap<QString, QPair<QString, QByteArray>> ParseQuery(const QByteArray &output)
{
    QMap<QString, QPair<QString, QByteArray>> values;
    for (QByteArray line : output.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        const qsizetype typeAt = line.indexOf("    REG_", 4);
        if (!line.startsWith("    ") || typeAt < 0)
            continue;
        const qsizetype dataAt = line.indexOf("    ", typeAt + 4);
        const QByteArray type = line.mid(typeAt + 4, dataAt < 0 ? -1 : dataAt - typeAt - 4);
        values.insert(QString::fromUtf8(line.mid(4, typeAt - 4)),
            { QString::fromLatin1(type), dataAt < 0 ? QByteArray() : line.mid(dataAt + 4) });
    }
    return values;
}

// The subkeys `reg query` lists after the values, in the order Wine enumerates them.
QStringList QuerySubkeys(const QByteArray &output, const QString &key)
{
    QStringList names;
    const QString prefix = key + QLatin1Char('\\');
    for (const QByteArray &line : output.split('\n')) {
        const QString text = QString::fromUtf8(line.trimmed());
        if (text.startsWith(prefix, Qt::CaseInsensitive))
            names.append(text.mid(prefix.size()));
    }
    return names;
}

// A value as `reg query` shows it.
QByteArray AsQueryShowsIt(const RegValue &value)
{
    switch (value.Type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        return value.AsString().toUtf8();
    case REG_MULTI_SZ:
        return value.AsMultiString().join(QStringLiteral("\\0")).toUtf8();
    case REG_DWORD:
        return "0x" + QByteArray::number(value.AsDword(), 16);
    default:
        return value.Data.toHex().toUpper();
    }
}

QString TypeName(uint32_t type)
{
    switch (type) {
    case REG_SZ:
        return QStringLiteral("REG_SZ");
    case REG_EXPAND_SZ:
        return QStringLiteral("REG_EXPAND_SZ");
    case REG_MULTI_SZ:
        return QStringLiteral("REG_MULTI_SZ");
    case REG_DWORD:
        return QStringLiteral("REG_DWORD");
    case REG_BINARY:
        return QStringLiteral("REG_BINARY");
    default:
        return QStringLiteral("REG_%1").arg(type);
    }
}

// Wine's programs: on the PATH, or where Debian's wine64 package keeps them when the wine
// package with its wrappers in /usr/bin is not installed.
QString WineProgram(const QString &name, const QString &debianName)
{
    const QString onPath = QStandardPaths::findExecutable(name);
    return onPath.isEmpty() ? QStandardPaths::findExecutable(debianName, { QStringLiteral("/usr/lib/wine") })
                            : onPath;
}

} // namespace

TEST(WineInterop, WineReadsWhatWeWriteAndWeReadWhatWineWrites)
{
    const QString wine = WineProgram(QStringLiteral("wine"), QStringLiteral("wine64"));
    const QString wineserver = WineProgram(QStringLiteral("wineserver"), QStringLiteral("wineserver"));
    if (wine.isEmpty() || wineserver.isEmpty())
        GTEST_SKIP() << "Wine is not installed";
    QTemporaryDir dir;
    const QString prefix = dir.path() + QStringLiteral("/prefix");
    RunWine(prefix, wine, { QStringLiteral("wineboot"), QStringLiteral("-i") });
    RunWine(prefix, wineserver, { QStringLiteral("-w") });
    ASSERT_TRUE(QFile::exists(prefix + QStringLiteral("/system.reg"))) << "wineboot made no prefix";
    // "wineserver -w" returns when the server lets the prefix go; its process may take a
    // moment more to end, and counts as running until then.
    auto ServerGone = [] {
        for (int i = 0; i < 100; ++i) {
            if (!Environment::WineserverRunning())
                return true;
            QThread::msleep(100);
        }
        return false;
    };

    struct PrefixGuard {
        QString Saved = Environment::ExplicitPrefixRoot();
        ~PrefixGuard()
        {
            Environment::SetPrefixRoot(Saved);
            ClearRegistryCache();
        }
    } guard;
    Environment::SetPrefixRoot(prefix);
    ASSERT_TRUE(ServerGone());

    // What wineboot wrote reads as Wine itself reads it: the keys of the wizard's start-up
    // (both views of the Windows version, the drive types, which a fresh prefix has not yet),
    // the environment, and a key whose subkeys Wine orders with "_" before the letters.
    // Subkeys are compared only where Wine adds none while it runs (it brings up a few, such
    // as CurrentVersion\NetworkCards, that it never writes back).
    struct Probe {
        RegRoot Root;
        const char *Key;
        uint32_t View;
        bool Subkeys;
    };
    const Probe probes[] = {
        { RegRoot::LocalMachine, "Software\\Microsoft\\Windows NT\\CurrentVersion", 0, false },
        { RegRoot::LocalMachine, "Software\\Microsoft\\Windows NT\\CurrentVersion", KEY_WOW64_64KEY, false },
        { RegRoot::LocalMachine, "Software\\Wine\\Drives", KEY_WOW64_64KEY, true },
        { RegRoot::LocalMachine, "System\\CurrentControlSet\\Control\\Session Manager\\Environment", 0,
            false },
        { RegRoot::LocalMachine, "Software\\Classes\\MIME\\Database\\Charset", KEY_WOW64_64KEY, true },
        { RegRoot::CurrentUser, "Environment", 0, true },
    };
    const auto fullName = [](const Probe &probe) -> QString {
        return (probe.Root == RegRoot::LocalMachine ? QStringLiteral("HKEY_LOCAL_MACHINE\\")
                                                    : QStringLiteral("HKEY_CURRENT_USER\\"))
            + QString::fromLatin1(probe.Key);
    };
    QList<QByteArray> queried;
    for (const Probe &probe : probes)
        queried.append(RunWine(prefix, wine,
            { QStringLiteral("reg"), QStringLiteral("query"), fullName(probe),
                probe.View ? QStringLiteral("/reg:64") : QStringLiteral("/reg:32") }));
    RunWine(prefix, wineserver, { QStringLiteral("-w") });
    ASSERT_TRUE(ServerGone());
    ClearRegistryCache();
    for (qsizetype i = 0; i < queried.size(); ++i) {
        const Probe &probe = probes[i];
        SCOPED_TRACE(std::string(probe.Key) + (probe.View ? " (64-bit view)" : ""));
        const bool wineHasIt
            = QString::fromUtf8(queried.at(i)).contains(fullName(probe), Qt::CaseInsensitive);
        RegKey key;
        ASSERT_EQ(RegKey::Open(probe.Root, QString::fromLatin1(probe.Key), KEY_READ | probe.View, key),
            wineHasIt ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
        if (!wineHasIt)
            continue;
        QMap<QString, QPair<QString, QByteArray>> ours;
        for (const QString &name : key.ValueNames()) {
            RegValue value;
            ASSERT_EQ(key.QueryValue(name, value), ERROR_SUCCESS);
            ours.insert(name.isEmpty() ? QStringLiteral("(Default)") : name,
                { TypeName(value.Type), AsQueryShowsIt(value) });
        }
        EXPECT_EQ(ours, ParseQuery(queried.at(i)));
        if (probe.Subkeys) {
            EXPECT_EQ(key.SubKeyNames(), QuerySubkeys(queried.at(i), fullName(probe)));
        }
    }
    EXPECT_FALSE(ParseQuery(queried.first()).isEmpty()) << "reg query answered nothing";

    {
        RegKey key;
        ASSERT_EQ(RegKey::Create(RegRoot::LocalMachine, QStringLiteral("Software\\DREMLIX S.A.\\Prova"), KEY_ALL_ACCESS, key),
                  ERROR_SUCCESS);
        key.SetValue(QStringLiteral("Valore"), RegValue::FromString(QStringLiteral("C:\\Data \"x\" 1")));
        key.SetValue(QStringLiteral("Numero"), RegValue::FromDword(12));
        key.SetValue(QStringLiteral("Bytes"), RegValue::FromBinary(QByteArray::fromHex("0a0b0c0d")));
        key.SetValue(QStringLiteral("Espandi"), RegValue::FromString(QStringLiteral("%SystemDrive%\\x"), REG_EXPAND_SZ));
        key.SetValue(QStringLiteral("Lista"), RegValue::FromMultiString({ QStringLiteral("uno"), QStringLiteral("due") }));
    }
    const auto machine = ParseQuery(RunWine(prefix, wine, { QStringLiteral("reg"), QStringLiteral("query"),
                                                            QStringLiteral("HKLM\\Software\\DREMLIX S.A.\\Prova"),
                                                            QStringLiteral("/reg:32") }));
    // Wine's server outlives `reg` for a moment, and owns the hives meanwhile.
    const bool sawServer = Environment::WineserverRunning();
    RunWine(prefix, wineserver, { QStringLiteral("-w") });
    EXPECT_TRUE(sawServer);
    EXPECT_EQ(machine.value(QStringLiteral("Valore")), qMakePair(QStringLiteral("REG_SZ"), QByteArray("C:\\Data \"x\" 1")));
    EXPECT_EQ(machine.value(QStringLiteral("Numero")), qMakePair(QStringLiteral("REG_DWORD"), QByteArray("0xc")));
    EXPECT_EQ(machine.value(QStringLiteral("Bytes")), qMakePair(QStringLiteral("REG_BINARY"), QByteArray("0A0B0C0D")));
    EXPECT_EQ(machine.value(QStringLiteral("Espandi")),
              qMakePair(QStringLiteral("REG_EXPAND_SZ"), QByteArray("%SystemDrive%\\x")));
    EXPECT_EQ(machine.value(QStringLiteral("Lista")), qMakePair(QStringLiteral("REG_MULTI_SZ"), QByteArray("uno\\0due")));

    RunWine(prefix, wine, { QStringLiteral("reg"), QStringLiteral("add"), QStringLiteral("HKLM\\Software\\DREMLIX S.A.\\DaWine"),
                            QStringLiteral("/v"), QStringLiteral("Path"), QStringLiteral("/d"),
                            QStringLiteral("dbserver:D:\\Dati\\Rossi.fdb"), QStringLiteral("/reg:32"), QStringLiteral("/f") });
    RunWine(prefix, wineserver, { QStringLiteral("-w") });
    ASSERT_TRUE(ServerGone());
    RegKey key;
    ASSERT_EQ(RegKey::Open(RegRoot::LocalMachine, QStringLiteral("Software\\DREMLIX S.A.\\DaWine"), KEY_READ, key), ERROR_SUCCESS);
    RegValue value;
    ASSERT_EQ(key.QueryValue(QStringLiteral("Path"), value), ERROR_SUCCESS);
    EXPECT_EQ(value.AsString(), QStringLiteral("dbserver:D:\\Dati\\Rossi.fdb"));
    // Our earlier values came through Wine's own rewrite of the hive.
    ASSERT_EQ(RegKey::Open(RegRoot::LocalMachine, QStringLiteral("Software\\DREMLIX S.A.\\Prova"), KEY_READ, key), ERROR_SUCCESS);
    ASSERT_EQ(key.QueryValue(QStringLiteral("Numero"), value), ERROR_SUCCESS);
    EXPECT_EQ(value.AsDword(), 12u);
}

namespace {

// A Windows program that stays open without a display: cmd waiting for its next line.
class OpenWindowsProgram {
public:
    OpenWindowsProgram(const QString &wine, const QString &prefix)
    {
        FProcess.setProcessEnvironment(WineEnvironment(prefix));
        FProcess.start(wine, { QStringLiteral("cmd") });
        FProcess.waitForStarted(60000);
        // The prompt comes once cmd runs.
        for (int i = 0; i < 600 && !FProcess.readAllStandardOutput().contains('>'); ++i)
            FProcess.waitForReadyRead(100);
    }
    ~OpenWindowsProgram() { Close(); }
    bool Running() const { return FProcess.state() == QProcess::Running; }
    // For a program whose server is gone: it may wait for its input forever.
    void Kill()
    {
        FProcess.kill();
        FProcess.waitForFinished(10000);
    }
    void Close()
    {
        if (FProcess.state() == QProcess::NotRunning)
            return;
        FProcess.write("exit\r\n");
        FProcess.closeWriteChannel();
        if (!FProcess.waitForFinished(60000))
            FProcess.kill();
    }

private:
    QProcess FProcess;
};

bool WaitFor(const std::function<bool()> &condition)
{
    for (int i = 0; i < 300; ++i) {
        if (condition())
            return true;
        QThread::msleep(100);
    }
    return false;
}

QByteArray FileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool HasLine(const QByteArray &text, const QByteArray &line)
{
    for (QByteArray each : text.split('\n')) {
        if (each.endsWith('\r'))
            each.chop(1);
        if (each == line)
            return true;
    }
    return false;
}

} // namespace

// A prefix made by wineboot, the layer pointed at it, and no server running for it yet.
class WineServerPrefix : public ::testing::Test {
protected:
    void SetUp() override
    {
        wine = WineProgram(QStringLiteral("wine"), QStringLiteral("wine64"));
        wineserver = WineProgram(QStringLiteral("wineserver"), QStringLiteral("wineserver"));
        if (wine.isEmpty() || wineserver.isEmpty())
            GTEST_SKIP() << "Wine is not installed";
        prefix = FDir.path() + QStringLiteral("/prefix");
        RunWine(prefix, wine, { QStringLiteral("wineboot"), QStringLiteral("-i") });
        RunWine(prefix, wineserver, { QStringLiteral("-w") });
        ASSERT_TRUE(QFile::exists(prefix + QStringLiteral("/user.reg"))) << "wineboot made no prefix";
        Environment::SetPrefixRoot(prefix);
        ClearRegistryCache();
        ASSERT_TRUE(WaitFor([] { return !Environment::WineserverRunning(); }));
    }

    void TearDown() override
    {
        Environment::SetPrefixRoot(FSaved);
        ClearRegistryCache();
        if (prefix.isEmpty())
            return;
        // A server killed on purpose leaves its device drivers behind, with nobody to end
        // them: every Wine process of this prefix goes with the test.
        RunWine(prefix, wineserver, { QStringLiteral("-k") });
        const QByteArray mark = "WINEPREFIX=" + QFile::encodeName(prefix);
        const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString &pid : pids) {
            QFile environment(QStringLiteral("/proc/%1/environ").arg(pid));
            if (pid.toInt() > 0 && environment.open(QIODevice::ReadOnly)
                && environment.readAll().split('\0').contains(mark))
                ::kill(pid.toInt(), SIGKILL);
        }
    }

    QString wine;
    QString wineserver;
    QString prefix;

private:
    QString FSaved = Environment::ExplicitPrefixRoot();
    QTemporaryDir FDir;
};

// While a Windows program keeps Wine's server up, the registry the wizard reads and writes is
// the one in the server: the hive files may be half a minute behind it, and the server would
// overwrite a change made in them.
TEST_F(WineServerPrefix, WhileAWindowsProgramRunsTheRegistryIsWhatWineSees)
{

    OpenWindowsProgram program(wine, prefix);
    ASSERT_TRUE(program.Running());
    ASSERT_TRUE(Environment::WineserverRunning());

    // An installer records the product through Wine seconds before the update starts.
    const QString programKey = QStringLiteral("HKCU\\Software\\DREMLIX S.A.\\Orvanta\\Program");
    const QString installed = QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe");
    RunWine(prefix, wine, { QStringLiteral("reg"), QStringLiteral("add"), programKey, QStringLiteral("/v"),
                            QStringLiteral("Filename"), QStringLiteral("/d"), installed, QStringLiteral("/f") });
    const int callsBefore = Wine::Calls();
    EXPECT_EQ(GetProductPath(QStringLiteral("Orvanta"), true), installed);
    // The start-up's own keys came in the same export.
    RegKey key;
    EXPECT_EQ(RegKey::Open(RegRoot::LocalMachine, QStringLiteral("Software\\Microsoft\\Windows NT\\CurrentVersion"),
                           KEY_READ, key),
              ERROR_SUCCESS);
    EXPECT_EQ(Wine::Calls() - callsBefore, 1);

    // The path the wizard records is in the server at once, and checked there.
    const QString moved = QStringLiteral("D:\\Programmi Dremlix\\ORV\\Orvanta.exe");
    ASSERT_TRUE(SetProductPath(QStringLiteral("Orvanta"), moved));
    EXPECT_EQ(Wine::Calls() - callsBefore, 2) << "one call for the write and its check";
    EXPECT_EQ(GetProductPath(QStringLiteral("Orvanta"), true), moved);
    const auto queried = ParseQuery(RunWine(prefix, wine, { QStringLiteral("reg"), QStringLiteral("query"), programKey }));
    EXPECT_TRUE(program.Running());
    EXPECT_EQ(queried.value(QStringLiteral("Filename")), qMakePair(QStringLiteral("REG_SZ"), moved.toUtf8()));
    // A 32-bit key of the machine lands where 32-bit programs under Wine read it.
    ASSERT_EQ(RegKey::Create(RegRoot::LocalMachine, QStringLiteral("Software\\DREMLIX S.A.\\Prova"), KEY_ALL_ACCESS, key),
              ERROR_SUCCESS);
    ASSERT_EQ(key.SetValue(QStringLiteral("Numero"), RegValue::FromDword(12)), ERROR_SUCCESS);
    const auto machine = ParseQuery(RunWine(prefix, wine, { QStringLiteral("reg"), QStringLiteral("query"),
                                                            QStringLiteral("HKLM\\Software\\DREMLIX S.A.\\Prova"),
                                                            QStringLiteral("/reg:32") }));
    EXPECT_EQ(machine.value(QStringLiteral("Numero")), qMakePair(QStringLiteral("REG_DWORD"), QByteArray("0xc")));

    // The program ends: the server writes the hives, and the wizard goes on with the files.
    program.Close();
    RunWine(prefix, wineserver, { QStringLiteral("-w") });
    ASSERT_TRUE(WaitFor([] { return !Environment::WineserverRunning(); }));
    EXPECT_TRUE(HasLine(FileBytes(prefix + QStringLiteral("/user.reg")),
                        "\"Filename\"=\"D:\\\\Programmi Dremlix\\\\ORV\\\\Orvanta.exe\""));
    const int callsAfterServer = Wine::Calls();
    ASSERT_TRUE(SetProductPath(QStringLiteral("Orvanta"), installed));
    EXPECT_EQ(Wine::Calls(), callsAfterServer) << "no Wine call, and so no server started, once none runs";
    EXPECT_FALSE(Environment::WineserverRunning());
    EXPECT_TRUE(HasLine(FileBytes(prefix + QStringLiteral("/user.reg")),
                        "\"Filename\"=\"C:\\\\WDremlix\\\\ORV\\\\Programs\\\\Orvanta.exe\""));
    EXPECT_TRUE(HasLine(FileBytes(prefix + QStringLiteral("/system.reg")), "\"Numero\"=dword:0000000c"));
}

// A server that is killed loses what it held in memory; the wizard made its writes through
// it, so it makes them again in the files.
TEST_F(WineServerPrefix, WritesMadeThroughAServerThatDiesAreMadeAgainInTheFiles)
{

    OpenWindowsProgram program(wine, prefix);
    ASSERT_TRUE(Environment::WineserverRunning());
    const QString path = QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe");
    ASSERT_TRUE(SetProductPath(QStringLiteral("Orvanta"), path));
    // SIGKILL: the server saves nothing.
    const QString serverFolder = QFileInfo(Environment::WineserverFolder()).canonicalFilePath();
    int killed = 0;
    QDirIterator processes(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (processes.hasNext()) {
        const QString procDir = processes.next();
        QFile comm(procDir + QStringLiteral("/comm"));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().startsWith("wineserver")
            && QFile::symLinkTarget(procDir + QStringLiteral("/cwd")) == serverFolder) {
            ::kill(processes.fileName().toInt(), SIGKILL);
            ++killed;
        }
    }
    ASSERT_EQ(killed, 1);
    program.Kill();
    ASSERT_TRUE(WaitFor([] { return !Environment::WineserverRunning(); }));
    ASSERT_FALSE(HasLine(FileBytes(prefix + QStringLiteral("/user.reg")),
                         "\"Filename\"=\"C:\\\\WDremlix\\\\ORV\\\\Programs\\\\Orvanta.exe\""))
        << "the server saved the hive before it was killed";

    // The next registry write of the run finds the files again, and the lost write with it.
    RegKey key;
    ASSERT_EQ(RegKey::Create(RegRoot::CurrentUser, QStringLiteral("Software\\DREMLIX S.A.\\Dopo"), KEY_ALL_ACCESS, key),
              ERROR_SUCCESS);
    const QByteArray hive = FileBytes(prefix + QStringLiteral("/user.reg"));
    EXPECT_TRUE(HasLine(hive, "\"Filename\"=\"C:\\\\WDremlix\\\\ORV\\\\Programs\\\\Orvanta.exe\""));
    EXPECT_TRUE(hive.contains("[Software\\\\DREMLIX S.A.\\\\Dopo]"));
    EXPECT_EQ(GetProductPath(QStringLiteral("Orvanta"), true), path);
}
