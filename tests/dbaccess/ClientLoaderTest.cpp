// The client library is loaded at the first database call; a missing or wrong one is
// told by name, never a crash.
#include "dbaccess/DbAccess.h"

#include <QProcess>
#include <gtest/gtest.h>

namespace {

QString LoadError()
{
    try {
        Db::Client();
    } catch (const Db::EDatabaseError &) {
        return QStringLiteral("unexpected database error");
    } catch (const Os::Exception &e) {
        return e.Message();
    }
    return QString();
}

class ClientLoader : public ::testing::Test {
protected:
    void TearDown() override { Db::SetClientLibraryName(QStringLiteral("libfbclient.so.2")); }
};

TEST_F(ClientLoader, MissingLibraryIsNamed)
{
    Db::SetClientLibraryName(QStringLiteral("libfbclient-missing.so.7"));
    EXPECT_FALSE(Db::ClientLoaded());
    const QString message = LoadError();
    EXPECT_TRUE(message.startsWith(QStringLiteral("Cannot load the Firebird client library libfbclient-missing.so.7")))
        << message.toStdString();
    EXPECT_FALSE(Db::ClientLoaded());
}

TEST_F(ClientLoader, LibraryWithoutTheEntryPointsIsNamed)
{
    // A real library, but not a Firebird client.
    Db::SetClientLibraryName(QStringLiteral("libz.so.1"));
    EXPECT_EQ(LoadError(), QStringLiteral("The Firebird client library libz.so.1 has no entry point isc_attach_database"));
}

TEST_F(ClientLoader, TheInstalledClientLoads)
{
    EXPECT_EQ(LoadError(), QString());
    EXPECT_TRUE(Db::ClientLoaded());
    EXPECT_TRUE(Db::ClientVersion().contains(QStringLiteral("Firebird"))) << Db::ClientVersion().toStdString();
}

// Run by the test below in a child process whose environment names a missing client.
TEST(ClientLoaderChild, DISABLED_AttachWithMissingClient)
{
    if (qEnvironmentVariable("DREMLIX_LOADER_CHILD") != QStringLiteral("1"))
        GTEST_SKIP() << "only run as the child of ClientLoader.EnvironmentNamesMissingClient";
    ASSERT_FALSE(Db::ClientLoaded()) << "nothing may load before the first use";
    Db::TDatabase db;
    db.SetDatabaseName(QStringLiteral("/nowhere/base.fdb"));
    try {
        db.Open();
        FAIL() << "attached without a client";
    } catch (const Db::EDatabaseError &) {
        FAIL() << "a missing client is not a database error";
    } catch (const Os::Exception &e) {
        ASSERT_TRUE(e.Message().contains(QStringLiteral("/nowhere/libfbclient.so.2"))) << e.Message().toStdString();
    }
    EXPECT_FALSE(db.Connected());
}

TEST_F(ClientLoader, EnvironmentNamesMissingClient)
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DREMLIX_LOADER_CHILD"), QStringLiteral("1"));
    env.insert(QStringLiteral("DREMLIX_FBCLIENT"), QStringLiteral("/nowhere/libfbclient.so.2"));
    child.setProcessEnvironment(env);
    child.start(QStringLiteral(DREMLIX_TEST_EXE),
                {QStringLiteral("--gtest_filter=ClientLoaderChild.DISABLED_AttachWithMissingClient"),
                 QStringLiteral("--gtest_also_run_disabled_tests")});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QByteArray out = child.readAllStandardOutput();
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << out.constData();
    EXPECT_EQ(child.exitCode(), 0) << out.constData();
    EXPECT_TRUE(out.contains("[  PASSED  ] 1 test")) << out.constData();
}

} // namespace
