#include "support/QStringPrinter.h"
#include "support/ScriptedUiServices.h"
#include "support/TempPrefix.h"

#include "platform/dmVestrel2Unit.h"
#include "oslayer/Environment.h"

#include <QFile>
#include <gtest/gtest.h>

namespace {

class Locator : public ::testing::Test {
protected:
    void StartFrom(const QString &exe)
    {
        FPrefix.WriteFile(exe, "wizard");
        FPrevious = Os::Environment::OwnExecutableHostPath();
        Os::Environment::SetOwnExecutableHostPath(FPrefix.HostPath(exe));
    }
    void TearDown() override
    {
        if (!FPrevious.isEmpty())
            Os::Environment::SetOwnExecutableHostPath(FPrevious);
    }
    TempPrefix FPrefix;
    QString FPrevious;
};

} // namespace

TEST(VestrelParent, OneLevelUpKeepingTheBackslash)
{
    const struct {
        const char *Folder, *Parent;
    } cases[] = {
        {"C:\\W\\Kit\\Setup\\", "C:\\W\\Kit\\"},
        {"C:\\W\\Kit\\Setup", "C:\\W\\Kit\\"},
        {"C:\\", "C:"},
        {"Setup", "Setup"},
        {"Setup\\", "Setup"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Folder);
        EXPECT_EQ(TdmVestrel2::ParentFolder(QLatin1String(c.Folder)), QLatin1String(c.Parent));
    }
}

TEST_F(Locator, CandidatesInTheirOrder)
{
    StartFrom(QStringLiteral("C:\\R\\ORV\\Programs\\Orvanta.exe"));
    EXPECT_EQ(TdmVestrel2::GetVestrelDllPath(), QStringLiteral("OVVestrel2.dll"));

    const QString common = QStringLiteral("C:\\R\\ORV\\Common files\\OVVestrel2.dll");
    FPrefix.WriteFile(common, "x");
    EXPECT_EQ(TdmVestrel2::GetVestrelDllPath().toLower(), common.toLower());
    const QString second = QStringLiteral("C:\\R\\Vestrel_2\\Programs\\OVVestrel2.dll");
    FPrefix.WriteFile(second, "x");
    EXPECT_EQ(TdmVestrel2::GetVestrelDllPath().toLower(), second.toLower());
    const QString first = QStringLiteral("C:\\R\\Vestrel\\Programs\\OVVestrel2.dll");
    FPrefix.WriteFile(first, "x");
    EXPECT_EQ(TdmVestrel2::GetVestrelDllPath().toLower(), first.toLower());
    const QString beside = QStringLiteral("C:\\R\\ORV\\Programs\\OVVestrel2.dll");
    FPrefix.WriteFile(beside, "x");
    EXPECT_EQ(TdmVestrel2::GetVestrelDllPath().toLower(), beside.toLower());
}

TEST_F(Locator, StartedFromTempWithNothingNearGivesTheBareName)
{
    StartFrom(QStringLiteral("C:\\Temp\\Setup.exe"));
    FPrefix.WriteFile(QStringLiteral("C:\\WDremlix\\Vestrel\\Programs\\OVVestrel2.dll"), "x");
    EXPECT_EQ(TdmVestrel2::GetVestrelDllPath(), QStringLiteral("OVVestrel2.dll"));
}

TEST_F(Locator, ReleaseCallsTheProcedureAndClearsEverything)
{
    StartFrom(QStringLiteral("C:\\R\\ORV\\Programs\\Orvanta.exe"));
    // A real shared library stands where the address-book library is installed.
    QFile::copy(QStringLiteral("/usr/lib/x86_64-linux-gnu/libz.so.1"),
        FPrefix.HostPath(QStringLiteral("C:\\R\\ORV\\Programs")) + QStringLiteral("/OVVestrel2.dll"));
    ScriptedUiServices ui;
    TdmVestrel2 module;
    ASSERT_TRUE(module.LoadLibrary(TdmVestrel2::GetVestrelDllPath(), {QStringLiteral("zlibVersion"), QStringLiteral("NoSuch")}));
    EXPECT_TRUE(module.IsLoaded());
    EXPECT_NE(module.EntryPoint(QStringLiteral("zlibVersion")), nullptr);
    EXPECT_EQ(module.EntryPoint(QStringLiteral("NoSuch")), nullptr);
    int calls = 0;
    module.BeforeUnload = [&calls] { ++calls; };
    module.DataModuleDestroy();
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(module.IsLoaded());
    EXPECT_EQ(module.EntryPoint(QStringLiteral("zlibVersion")), nullptr);
    EXPECT_FALSE(static_cast<bool>(module.BeforeUnload));
    module.DataModuleDestroy(); // nothing left to do
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(ui.Boxes().isEmpty());

    TdmVestrel2 missing;
    EXPECT_FALSE(missing.LoadLibrary(QStringLiteral("C:\\none\\OVVestrel2.dll"), {}));
    EXPECT_FALSE(missing.IsLoaded());
}
