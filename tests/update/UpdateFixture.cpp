#include "UpdateFixture.h"

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
#include <QtEndian>

namespace {

void WriteHostFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    file.write(data);
}

void Put16(QByteArray &b, int at, uint16_t v) { qToLittleEndian(v, b.data() + at); }
void Put32(QByteArray &b, int at, uint32_t v) { qToLittleEndian(v, b.data() + at); }

} // namespace

void UpdateFixture::SetUp()
{
    ASSERT_TRUE(FDir.isValid());
    FPrefix = FDir.path() + QLatin1String("/prefix");
    QDir().mkpath(FPrefix + QLatin1String("/dosdevices"));
    WriteHostFile(FPrefix + QLatin1String("/system.reg"),
        "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win32\n\n");
    WriteHostFile(FPrefix + QLatin1String("/user.reg"),
        "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21-0-0-0-1000\n\n"
        "#arch=win32\n\n");
    Os::Environment::SetPrefixRoot(FPrefix);
    AddDrive(QLatin1Char('c'));
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
    Os::Environment::SetPrefixRoot(QString());
}

void UpdateFixture::Reset()
{
    TearDown();
    for (const QString &entry : QDir(FDir.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        QDir(FDir.path() + QLatin1Char('/') + entry).removeRecursively();
    FPayload = PayloadBuilder();
    SetUp();
}

void UpdateFixture::AddDrive(QChar letter, const QString &type)
{
    const QString target = FDir.path() + QLatin1String("/drive_") + letter.toLower();
    QDir().mkpath(target);
    const QString link = FPrefix + QLatin1String("/dosdevices/") + letter.toLower() + QLatin1Char(':');
    QFile::remove(link);
    ASSERT_TRUE(QFile::link(target, link));
    if (!type.isEmpty())
        SetRegString(Os::RegRoot::LocalMachine, QStringLiteral("Software\\Wine\\Drives"),
            QString(letter.toLower()) + QLatin1Char(':'), type);
}

void UpdateFixture::AddDriveAt(QChar letter, const QString &hostFolder)
{
    const QString link = FPrefix + QLatin1String("/dosdevices/") + letter.toLower() + QLatin1Char(':');
    QFile::remove(link);
    ASSERT_TRUE(QFile::link(hostFolder, link));
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
    Os::FixedFileInfo fixed;
    fixed.FileVersionMS = (uint32_t(major) << 16) | minor;
    fixed.FileVersionLS = (uint32_t(release) << 16) | build;
    fixed.ProductVersionMS = fixed.FileVersionMS;
    fixed.ProductVersionLS = fixed.FileVersionLS;
    const QString text = versionText.isEmpty()
        ? QStringLiteral("%1.%2.%3.%4").arg(major).arg(minor).arg(release).arg(build)
        : versionText;
    const QByteArray block = Os::BuildVersionInfoBlock(fixed, Os::Translation { 0x0410, 0x04E4 },
        { { QStringLiteral("CompanyName"), QStringLiteral("DREMLIX S.A.") },
            { QStringLiteral("FileVersion"), text } });

    // PE32 with one .rsrc section: version resource 16 / 1 / language neutral.
    const int rsrcFile = 0x200;
    const int rsrcRva = 0x1000;
    QByteArray rsrc(0x58, '\0');
    Put16(rsrc, 14, 1);
    Put32(rsrc, 16, 16);
    Put32(rsrc, 20, 0x80000000u | 0x18);
    Put16(rsrc, 0x18 + 14, 1);
    Put32(rsrc, 0x18 + 16, 1);
    Put32(rsrc, 0x18 + 20, 0x80000000u | 0x30);
    Put16(rsrc, 0x30 + 14, 1);
    Put32(rsrc, 0x30 + 16, 0);
    Put32(rsrc, 0x30 + 20, 0x48);
    Put32(rsrc, 0x48, rsrcRva + 0x58);
    Put32(rsrc, 0x48 + 4, uint32_t(block.size()));
    rsrc += block;
    const int rawSize = (int(rsrc.size()) + 0x1FF) & ~0x1FF;
    rsrc.resize(rawSize, '\0');

    QByteArray pe(rsrcFile, '\0');
    pe[0] = 'M';
    pe[1] = 'Z';
    Put32(pe, 0x3C, 0x40);
    pe[0x40] = 'P';
    pe[0x41] = 'E';
    const int coff = 0x44;
    Put16(pe, coff, 0x14C);
    Put16(pe, coff + 2, 1);
    Put16(pe, coff + 16, 0xE0);
    Put16(pe, coff + 18, 0x0102);
    const int opt = coff + 20;
    Put16(pe, opt, 0x10B);
    Put32(pe, opt + 28, 0x400000);
    Put32(pe, opt + 32, 0x1000);
    Put32(pe, opt + 36, 0x200);
    Put16(pe, opt + 40, 4);
    Put16(pe, opt + 48, 4);
    Put32(pe, opt + 56, uint32_t(rsrcRva + ((rawSize + 0xFFF) & ~0xFFF)));
    Put32(pe, opt + 60, 0x200);
    Put16(pe, opt + 68, 2);
    Put32(pe, opt + 92, 16);
    Put32(pe, opt + 96 + 2 * 8, rsrcRva);
    Put32(pe, opt + 96 + 2 * 8 + 4, uint32_t(0x58 + block.size()));
    const int section = opt + 0xE0;
    memcpy(pe.data() + section, ".rsrc", 5);
    Put32(pe, section + 8, uint32_t(0x58 + block.size()));
    Put32(pe, section + 12, rsrcRva);
    Put32(pe, section + 16, uint32_t(rawSize));
    Put32(pe, section + 20, rsrcFile);
    Put32(pe, section + 36, 0x40000040u);
    return pe + rsrc;
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
