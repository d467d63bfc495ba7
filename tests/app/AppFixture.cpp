#include "AppFixture.h"

#include "app/WizardInstances.h"
#include "app/frmMainUnit.h"
#include "oslayer/Environment.h"
#include "oslayer/ExeResources.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

namespace AppTest {

void RunIdle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool RunUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        RunIdle(10);
    }
    return true;
}

QByteArray SmallRtf()
{
    return QByteArrayLiteral("{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0 Arial;}}"
                             "\\f0\\fs20 Versione 5.2\\par {\\b Correzioni}\\par "
                             "Stampa dei registri IVA corretta.\\par Nuovo elenco clienti.\\par}");
}

QStringList Lines(std::initializer_list<const char *> items)
{
    QStringList lines;
    for (const char *item : items)
        lines << QString::fromUtf8(item);
    return lines;
}

PayloadBuilder StandardPayload()
{
    PayloadBuilder payload;
    payload.AddList(QStringLiteral("AppInfo1.txt"), {QStringLiteral("Falcrest")});
    payload.AddList(QStringLiteral("AppInfo2.txt"), {});
    payload.Add(QStringLiteral("UpdateInfo.txt"), SmallRtf());
    return payload;
}

TWizardRun::TWizardRun(const PayloadBuilder &payload, const QByteArray &extraUserKeys)
{
    // A prefix of its own: drive C: and empty hives, so that nothing of the user's is read.
    const QString prefix = PrefixPath();
    QDir().mkpath(prefix + QStringLiteral("/drive_c/windows/system32"));
    QDir().mkpath(prefix + QStringLiteral("/drive_c/users/tester/Temp"));
    QDir().mkpath(prefix + QStringLiteral("/dosdevices"));
    QFile::link(QStringLiteral("../drive_c"), prefix + QStringLiteral("/dosdevices/c:"));
    auto writeHive = [&](const QString &name, const QByteArray &body) {
        QFile file(prefix + QLatin1Char('/') + name);
        if (file.open(QIODevice::WriteOnly))
            file.write("WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win32\n\n" + body);
    };
    writeHive(QStringLiteral("system.reg"),
              "[Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion] 1700000000\n"
              "#time=1d9a0000000000\n\"CurrentVersion\"=\"6.1\"\n\n");
    writeHive(QStringLiteral("user.reg"),
              "[Environment] 1700000000\n#time=1d9a0000000000\n"
              "\"TEMP\"=\"C:\\\\users\\\\tester\\\\Temp\"\n\n" + extraUserKeys);
    Os::Environment::SetPrefixRoot(prefix);

    FWizard = FDir.path() + QStringLiteral("/FalcrestUpdate");
    payload.Install(FWizard);
    FUi = std::make_unique<ScriptedUiServices>();
}

TWizardRun::~TWizardRun()
{
    FInstances.reset();
    FUi.reset();
    Os::Environment::SetOwnExecutableHostPath(QString());
    Os::ResourceBlock::ResetOwnForTests();
    Os::Environment::SetPrefixRoot(QString());
}

void TWizardRun::Create()
{
    FInstances = std::make_unique<TWizardInstances>();
}

void TWizardRun::Start()
{
    Create();
    Main().show();
    RunUntil([this] { return Main().Started(); });
    RunIdle();
}

void TWizardRun::Destroy()
{
    FInstances.reset();
}

QString TWizardRun::DriveC(const QString &windowsPath) const
{
    QString relative = windowsPath.mid(3);
    relative.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return PrefixPath() + QStringLiteral("/drive_c/") + relative;
}

TfrmMain &TWizardRun::Main()
{
    return FInstances->Main();
}

} // namespace AppTest
