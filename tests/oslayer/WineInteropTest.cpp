// What this layer writes, Wine itself reads back, and the other way round. Runs only where
// Wine is installed (making a prefix takes Wine half a minute); elsewhere it is skipped.
#include "support/TempPrefix.h"

#include "oslayer/Environment.h"
#include "oslayer/Registry.h"
#include "oslayer/WinError.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

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

// "    Name    REG_SZ    text" lines of `reg query`, value name to kind and text.
QMap<QString, QPair<QString, QByteArray>> ParseQuery(const QByteArray &output)
{
    QMap<QString, QPair<QString, QByteArray>> values;
    for (QByteArray line : output.split('\n')) {
        line = line.trimmed();
        const QList<QByteArray> parts = line.split(' ');
        QList<QByteArray> fields;
        for (const QByteArray &part : parts)
            if (!part.isEmpty())
                fields.append(part);
        if (fields.size() < 2 || !fields.at(1).startsWith("REG_"))
            continue;
        const qsizetype typeAt = line.indexOf(fields.at(1));
        const QByteArray data = line.mid(typeAt + fields.at(1).size()).trimmed();
        values.insert(QString::fromLatin1(fields.at(0)), { QString::fromLatin1(fields.at(1)), data });
    }
    return values;
}

} // namespace

TEST(WineInterop, WineReadsWhatWeWriteAndWeReadWhatWineWrites)
{
    const QString wine = QStandardPaths::findExecutable(QStringLiteral("wine"));
    const QString wineboot = QStandardPaths::findExecutable(QStringLiteral("wineboot"));
    const QString wineserver = QStandardPaths::findExecutable(QStringLiteral("wineserver"));
    if (wine.isEmpty() || wineboot.isEmpty() || wineserver.isEmpty())
        GTEST_SKIP() << "Wine is not installed";
    QTemporaryDir dir;
    const QString prefix = dir.path() + QStringLiteral("/prefix");
    RunWine(prefix, wineboot, { QStringLiteral("-i") });
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
