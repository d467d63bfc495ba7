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

namespace {

// A prefix of its own with drive C: only, so that nothing of the user's is read and no search
// walks the host's files; the extra keys go into user.reg as they are written there.
TempPrefix::Options RunPrefix(const QByteArray &extraUserKeys)
{
    TempPrefix::Options options;
    options.Architecture = TempPrefix::Arch::Win32;
    options.User = QStringLiteral("tester");
    options.HostRootDrive = false;
    options.ExtraUserKeys = extraUserKeys;
    return options;
}

} // namespace

TWizardRun::TWizardRun(const PayloadBuilder &payload, const QByteArray &extraUserKeys)
    : FPrefix(RunPrefix(extraUserKeys))
{
    FWizard = FPrefix.Scratch() + QStringLiteral("/FalcrestUpdate");
    payload.Install(FWizard);
    FUi = std::make_unique<ScriptedUiServices>();
}

TWizardRun::~TWizardRun()
{
    FInstances.reset();
    FUi.reset();
    Os::Environment::SetOwnExecutableHostPath(QString());
    Os::ResourceBlock::ResetOwnForTests();
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
