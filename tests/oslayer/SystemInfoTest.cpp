// What the system says about itself, from the prefix.
#include "support/TempPrefix.h"

#include "oslayer/SystemInfo.h"
#include "oslayer/WinError.h"

#include <QDir>


#include <gtest/gtest.h>

#include <arpa/inet.h>
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

TEST(SystemInfo, AddressesAreDottedIPv4)
{
    for (const QString &address : LocalIPv4Addresses()) {
        in_addr parsed {};
        EXPECT_EQ(::inet_pton(AF_INET, address.toLatin1().constData(), &parsed), 1) << address.toStdString();
    }
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
