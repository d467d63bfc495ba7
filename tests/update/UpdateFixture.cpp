#include "UpdateFixture.h"

#include "support/PeWriter.h"

#include "oslayer/Environment.h"
#include "oslayer/ExeResources.h"
#include "oslayer/Files.h"
#include "oslayer/Paths.h"
#include "oslayer/VersionResource.h"
#include "platform/ProductCatalog.h"
#include "schema/MultiSte.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

namespace {

void WriteHostFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    file.write(data);
}

} // namespace

void UpdateFixture::SetUp()
{
    FPrefix = std::make_unique<TempPrefix>(
        TempPrefix::Options { .Architecture = TempPrefix::Arch::Win32, .HostRootDrive = false });
    AddDrive(QLatin1Char('z'));
    QDir().mkpath(Host(QStringLiteral("C:\\")) + QLatin1String("/temp"));
    SetRegString(Os::RegRoot::CurrentUser, QStringLiteral("Environment"), QStringLiteral("TEMP"),
        QStringLiteral("C:\\temp"));
    FUi = std::make_unique<ScriptedUiServices>();
}

void UpdateFixture::TearDown()
{
    FEngine.reset();
    FReport.reset();
    FDocument.reset();
    for (qint64 pid : std::as_const(FHolders))
        QProcess::execute(QStringLiteral("kill"), { QString::number(pid) });
    FHolders.clear();
    ReleaseFMultiSte();
    FUi.reset();
    Os::Environment::SetOwnExecutableHostPath(QString());
    Os::ResourceBlock::ResetOwnForTests();
    FPrefix.reset();
}

void UpdateFixture::Reset()
{
    TearDown();
    FPayload = PayloadBuilder();
    SetUp();
}

void UpdateFixture::AddDrive(QChar letter, const QString &type)
{
    FPrefix->AddDrive(letter, QString(), type);
}

void UpdateFixture::AddDriveAt(QChar letter, const QString &hostFolder)
{
    FPrefix->AddDrive(letter, hostFolder);
}

QString UpdateFixture::Host(const QString &windowsPath) const { return Os::HostPath(windowsPath); }

void UpdateFixture::WriteFile(const QString &windowsPath, const QByteArray &data)
{
    const QString host = Host(windowsPath);
    ASSERT_FALSE(host.isEmpty()) << windowsPath.toStdString();
    WriteHostFile(host, data);
}

QByteArray UpdateFixture::ReadFile(const QString &windowsPath) const
{
    QFile file(Host(windowsPath));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool UpdateFixture::Exists(const QString &windowsPath) const { return Os::FileExists(windowsPath); }

QByteArray UpdateFixture::PeFile(
    uint16_t major, uint16_t minor, uint16_t release, uint16_t build, const QString &versionText)
{
    return MakePeWithVersion(major, minor, release, build, versionText.isEmpty() ? QString() : versionText,
        false, Os::Translation { 0x0410, 0x04E4 });
}

void UpdateFixture::WritePe(
    const QString &windowsPath, uint16_t major, uint16_t minor, uint16_t release, uint16_t build)
{
    WriteFile(windowsPath, PeFile(major, minor, release, build));
}

void UpdateFixture::SetRegString(
    Os::RegRoot root, const QString &key, const QString &name, const QString &value)
{
    Os::RegKey handle;
    ASSERT_EQ(Os::RegKey::Create(root, key, Os::KEY_ALL_ACCESS, handle), 0u) << key.toStdString();
    ASSERT_EQ(handle.SetValue(name, Os::RegValue::FromString(value)), 0u);
}

QString UpdateFixture::RegString(Os::RegRoot root, const QString &key, const QString &name) const
{
    Os::RegKey handle;
    if (Os::RegKey::Open(root, key, Os::KEY_READ, handle) != 0)
        return QString();
    Os::RegValue value;
    if (handle.QueryValue(name, value) != 0)
        return QString();
    return value.AsString();
}

void UpdateFixture::InstallOrvanta(uint16_t major)
{
    const QString program = QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe");
    WritePe(program, major);
    SetRegString(Os::RegRoot::CurrentUser, QStringLiteral("Software\\DREMLIX S.A.\\Orvanta\\Program"),
        QStringLiteral("Filename"), program);
}

void UpdateFixture::StartEngine(
    uint8_t productCode, const QString &wizardWindowsFolder, const TAcceptedVersionTable &acceptedVersions)
{
    const QString folder = wizardWindowsFolder.isEmpty() ? QStringLiteral("Z:\\wizard") : wizardWindowsFolder;
    QDir().mkpath(Host(folder.left(3)) + QLatin1String("/")
        + folder.mid(3).replace(QLatin1Char('\\'), QLatin1Char('/')));
    FPayload.Install(Host(folder) + QLatin1String("/Setup.exe"));
    FDocument = std::make_unique<QTextDocument>();
    FReport = std::make_unique<TDocumentReport>(FDocument.get());
    FEngine = std::make_unique<TdmUpdateCommon>(nullptr, acceptedVersions);
    FEngine->SetReport(FReport.get());
    FEngine->FProductCode = productCode;
}

QString UpdateFixture::TempFolder() const { return QStringLiteral("C:\\temp\\"); }

void UpdateFixture::HoldOpen(const QString &windowsPath)
{
    const QString host = Host(windowsPath);
    qint64 pid = 0;
    ASSERT_TRUE(QProcess::startDetached(QStringLiteral("bash"),
        { QStringLiteral("-c"), QStringLiteral("exec 3<\"$1\"; exec sleep 60"), QStringLiteral("holder"),
            host },
        QString(), &pid));
    FHolders.append(pid);
    const QString canonical = QFileInfo(host).canonicalFilePath();
    for (int i = 0; i < 200; ++i) {
        const QString fd = QFileInfo(QStringLiteral("/proc/%1/fd/3").arg(pid)).symLinkTarget();
        if (!fd.isEmpty() && fd == canonical)
            return;
        QThread::msleep(10);
    }
    FAIL() << "the holder process did not open " << host.toStdString();
}
