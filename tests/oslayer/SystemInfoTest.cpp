// What the system says about itself, from the prefix.
#include "support/QStringPrinter.h"
#include "support/TempPrefix.h"

#include "oslayer/SystemInfo.h"
#include "oslayer/WinError.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace Os;

TEST(SystemInfo, WindowsVersionFromThePrefix)
{
    {
        TempPrefix::Options options;
        options.HivesFrom = QStringLiteral(DREMLIX_FIXTURE_PREFIX);
        TempPrefix wine8(options);
        const WindowsVersion v = GetWindowsVersion();
        EXPECT_EQ(v.Platform, uint32_t(VER_PLATFORM_WIN32_NT));
        EXPECT_EQ(v.Major, 6u);
        EXPECT_EQ(v.Minor, 1u);
    }
    TempPrefix prefix;
    struct Row {
        uint32_t Major, Minor;
    };
    for (const Row row : { Row { 5, 1 }, Row { 6, 0 }, Row { 6, 2 }, Row { 10, 0 }, Row { 6, 1 } }) {
        prefix.SetWindowsVersion(row.Major, row.Minor);
        const WindowsVersion v = GetWindowsVersion();
        EXPECT_EQ(v.Platform, uint32_t(VER_PLATFORM_WIN32_NT));
        EXPECT_EQ(v.Major, row.Major);
        EXPECT_EQ(v.Minor, row.Minor);
    }
    prefix.SetWindows9x(QStringLiteral("4.10"));
    const WindowsVersion old = GetWindowsVersion();
    EXPECT_EQ(old.Platform, uint32_t(VER_PLATFORM_WIN32_WINDOWS));
    EXPECT_EQ(old.Major, 4u);
    EXPECT_EQ(old.Minor, 10u);
}

TEST(SystemInfo, UserIsThePrefixUser)
{
    TempPrefix::Options options;
    options.User = QStringLiteral("mario");
    TempPrefix prefix(options);
    QString name;
    ASSERT_TRUE(GetUserName(name));
    EXPECT_EQ(name, QStringLiteral("mario"));
    QDir(prefix.Root() + QStringLiteral("/drive_c/users/mario")).removeRecursively();
    ASSERT_TRUE(GetUserName(name));
    EXPECT_EQ(name, qEnvironmentVariable("USER", name)) << "without a prefix user, the host's";
    EXPECT_FALSE(name.isEmpty());
}

TEST(SystemInfo, ComputerNameIsANetbiosName)
{
    QString name;
    ASSERT_TRUE(GetComputerName(name));
    EXPECT_FALSE(name.isEmpty());
    EXPECT_LE(name.size(), 15);
    EXPECT_EQ(name, name.toUpper());
    EXPECT_FALSE(name.contains(QLatin1Char('.')));
    EXPECT_TRUE(GetHostName().toUpper().startsWith(name));
}

TEST(SystemInfo, TickCountWrapsAt32Bits)
{
    uint64_t clock = 0xFFFFFFF0ULL;
    SetTickCountSource([&clock] { return uint32_t(clock & 0xFFFFFFFFu); });
    EXPECT_EQ(GetTickCount(), 0xFFFFFFF0u);
    clock += 0x20;
    EXPECT_EQ(GetTickCount(), 0x10u);
    SetTickCountSource({});
    const uint32_t a = GetTickCount();
    const uint32_t b = GetTickCount();
    EXPECT_LT(uint32_t(b - a), 1000u);
}

namespace {

QString CommandOutput(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(20000) || process.exitStatus() != QProcess::NormalExit)
        return QString();
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

} // namespace

TEST(SystemInfo, AddressesOfTheHostNameThenOfTheInterfaces)
{
    const QString ip = QStandardPaths::findExecutable(QStringLiteral("ip"),
        { QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"), QStringLiteral("/usr/bin") });
    if (ip.isEmpty())
        GTEST_SKIP() << "ip (iproute2) is not installed";
    // What the host's own tools say: the resolver's addresses of the host name in its order,
    // then those of the interfaces that are not loopback.
    QStringList expected;
    const QString host = CommandOutput(QStringLiteral("hostname"), {}).trimmed();
    ASSERT_FALSE(host.isEmpty());
    const QStringList resolved = CommandOutput(QStringLiteral("getent"), { QStringLiteral("ahostsv4"), host })
                                     .split(u'\n', Qt::SkipEmptyParts);
    for (const QString &line : resolved) {
        const QStringList fields = line.simplified().split(u' ');
        if (fields.value(1) == QStringLiteral("STREAM") && !expected.contains(fields.first()))
            expected.append(fields.first());
    }
    const QStringList interfaces = CommandOutput(
        ip, { QStringLiteral("-4"), QStringLiteral("-o"), QStringLiteral("addr"), QStringLiteral("show") })
                                       .split(u'\n', Qt::SkipEmptyParts);
    ASSERT_FALSE(interfaces.isEmpty()) << "ip lists no IPv4 address, not even loopback";
    for (const QString &line : interfaces) {
        // "2: eth0    inet 192.0.2.2/24 brd 192.0.2.255 scope global eth0 ..."
        const QStringList fields = line.simplified().split(u' ');
        const QString address = fields.value(fields.indexOf(QStringLiteral("inet")) + 1).section(u'/', 0, 0);
        if (!address.startsWith(QStringLiteral("127.")) && !expected.contains(address))
            expected.append(address);
    }
    EXPECT_EQ(LocalIPv4Addresses(), expected);
}

TEST(SystemInfo, NoRemoteSessionUnlessATestSaysSo)
{
    EXPECT_FALSE(IsRemoteSession());
    EXPECT_EQ(CurrentSessionId(), 0u);
    SetRemoteSessionForTests(true, 3);
    EXPECT_TRUE(IsRemoteSession());
    EXPECT_EQ(CurrentSessionId(), 3u);
    SetRemoteSessionForTests(false, 0);
    EXPECT_EQ(GetCurrentProcessId(), uint32_t(::getpid()));
}
