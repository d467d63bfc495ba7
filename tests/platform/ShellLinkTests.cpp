#include "support/QStringPrinter.h"
#include "support/TempPrefix.h"

#include "platform/InstallTools2.h"
#include "platform/ShellLinkFormat.h"
#include "oslayer/Exceptions.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <gtest/gtest.h>

namespace {

QByteArray HostBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A link as a shell writes one for a program: item-id list first, link info, strings,
// a tracker block at the end.
ShellLinkData ProgramLink(const QString &target)
{
    ShellLinkData link;
    link.SetTargetPath(target, 3);
    link.IdList = QByteArray::fromHex("14001f50e04fd020ea3a6910a2d808002b30309d0000");
    link.Description = QStringLiteral("Orvanta – contabilità");
    link.WorkingDir = QStringLiteral("C:\\WDremlix\\ORV\\Programs");
    link.Arguments = QStringLiteral("/company:\"Società Rossi & Figli\"");
    link.IconLocation = QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe");
    link.IconIndex = 2;
    link.ShowCommand = 3;
    link.HotKey = 0x0641; // Ctrl+Shift+A
    QByteArray tracker(0x60, '\0');
    tracker[0] = 0x60;
    tracker[4] = 0x03;
    tracker[5] = 0x00;
    tracker[6] = 0x00;
    tracker[7] = char(0xA0);
    tracker[8] = 0x58; // length of the tracker data; version 0 follows
    tracker.replace(16, 12, QByteArray("dremlix-ws01"));
    link.ExtraData.append({0xA0000003, tracker});
    return link;
}

} // namespace

TEST(ShellLinkFormatTests, RoundTripKeepsEveryField)
{
    const ShellLinkData link = ProgramLink(QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe"));
    const QByteArray bytes = SerializeShellLink(link);
    const std::optional<ShellLinkData> back = ParseShellLink(bytes);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->TargetPath(), QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe"));
    EXPECT_EQ(back->IdList, link.IdList);
    EXPECT_EQ(back->DriveType, 3u);
    EXPECT_EQ(back->Description, link.Description);
    EXPECT_EQ(back->WorkingDir, link.WorkingDir);
    EXPECT_EQ(back->Arguments, link.Arguments);
    EXPECT_EQ(back->IconLocation, link.IconLocation);
    EXPECT_FALSE(back->RelativePath.has_value());
    EXPECT_EQ(back->IconIndex, 2);
    EXPECT_EQ(back->ShowCommand, 3u);
    EXPECT_EQ(back->HotKey, 0x0641);
    ASSERT_EQ(back->ExtraData.size(), 1);
    EXPECT_EQ(back->ExtraData.first().Data, link.ExtraData.first().Data);
    // Written again, the bytes are the same.
    EXPECT_EQ(SerializeShellLink(*back), bytes);
}

TEST(ShellLinkFormatTests, NetworkTargetsAndAnsiText)
{
    ShellLinkData link;
    link.SetTargetPath(QStringLiteral("\\\\server\\share\\Dati\\Rossi.fdb"), 4);
    const std::optional<ShellLinkData> back = ParseShellLink(SerializeShellLink(link));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->NetName, QStringLiteral("\\\\server\\share"));
    EXPECT_EQ(back->TargetPath(), QStringLiteral("\\\\server\\share\\Dati\\Rossi.fdb"));
    EXPECT_EQ(DecodeAnsi(EncodeAnsi(QStringLiteral("Società € “x”"))), QStringLiteral("Società € “x”"));
    EXPECT_EQ(EncodeAnsi(QStringLiteral("€")), QByteArray("\x80"));
}

TEST(ShellLinkFormatTests, MappedDriveTargetKeepsItsLocalPath)
{
    // As a link to a file on a mapped drive may carry it: the local path and the share.
    ShellLinkData link;
    link.HasLinkInfo = true;
    link.LinkFlags = SLF_HAS_LINK_INFO;
    link.DriveType = 4;
    link.LocalBasePath = QStringLiteral("Z:\\");
    link.NetName = QStringLiteral("\\\\server\\share");
    link.CommonPathSuffix = QStringLiteral("Dati\\Rossi.fdb");
    link.Arguments = QStringLiteral("-x");
    const std::optional<ShellLinkData> back = ParseShellLink(SerializeShellLink(link));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->TargetPath(), QStringLiteral("Z:\\Dati\\Rossi.fdb"));
    EXPECT_EQ(back->LocalBasePath, link.LocalBasePath);
    EXPECT_EQ(back->NetName, link.NetName);
    EXPECT_EQ(back->CommonPathSuffix, link.CommonPathSuffix);
    EXPECT_EQ(back->DriveType, 4u);
}

TEST(ShellLinkFormatTests, DamagedBytesAreNoLink)
{
    const QByteArray good = SerializeShellLink(ProgramLink(QStringLiteral("C:\\a.exe")));
    EXPECT_FALSE(ParseShellLink(QByteArray()).has_value());
    EXPECT_FALSE(ParseShellLink(QByteArray("not a link at all, just some text of some length.........."
                                           "..................................")).has_value());
    // Every truncation either parses or is refused; none reads beyond the bytes.
    for (qsizetype n = 0; n < good.size(); ++n)
        ParseShellLink(good.left(n));
    QByteArray hostile = good;
    // Link info size pointing far beyond the end.
    const qsizetype linkInfo = 0x4C + 2 + 0x16;
    hostile[linkInfo] = char(0xFF);
    hostile[linkInfo + 1] = char(0xFF);
    EXPECT_FALSE(ParseShellLink(hostile).has_value());
}

TEST(ShellLinkFormatTests, FlippedBytesNeverCrashTheReader)
{
    const QByteArray good = SerializeShellLink(ProgramLink(QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe")));
    QRandomGenerator random(20261210);
    int parsed = 0;
    for (int round = 0; round < 3000; ++round) {
        QByteArray bytes = good;
        const int flips = 1 + random.bounded(4);
        for (int i = 0; i < flips; ++i)
            bytes[random.bounded(int(bytes.size()))] = char(random.bounded(256));
        if (const std::optional<ShellLinkData> link = ParseShellLink(bytes)) {
            ++parsed;
            // Whatever was read can be written again and read back.
            EXPECT_TRUE(ParseShellLink(SerializeShellLink(*link)).has_value());
        }
    }
    EXPECT_GT(parsed, 0);
}

TEST(ShellLinkInstallerTests, SetThenGetOnAFileOfThePrefix)
{
    TempPrefix prefix;
    prefix.WriteFile(QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe"), "program");
    prefix.WriteFile(QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Nuovo.exe"), "new program");
    const QString lnk = QStringLiteral("C:\\users\\Public\\Desktop\\Orvanta.lnk");
    prefix.WriteFile(lnk, SerializeShellLink(ProgramLink(QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe"))));

    TShellLinkInfoRec info;
    EXPECT_TRUE(TWindowsInstaller::GetShellLinkInfo(lnk, info));
    EXPECT_EQ(info.PathName, QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe"));
    EXPECT_EQ(info.Description, QStringLiteral("Orvanta – contabilità"));
    EXPECT_EQ(info.HotKey, 0x0641);

    TShellLinkInfoRec changed;
    changed.PathName = QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Nuovo.exe");
    changed.Arguments = QStringLiteral("-x");
    changed.Description = QStringLiteral("Nuovo");
    changed.WorkingDirectory = QStringLiteral("C:\\WDremlix");
    changed.IconLocation = QStringLiteral("C:\\WDremlix\\icon.ico");
    changed.IconIndex = 0;
    changed.ShowCmd = 7;
    changed.HotKey = 0x0270;
    TWindowsInstaller::SetShellLinkInfo(lnk, changed);

    TShellLinkInfoRec read;
    EXPECT_TRUE(TWindowsInstaller::GetShellLinkInfo(lnk, read));
    EXPECT_EQ(read.PathName, changed.PathName);
    EXPECT_EQ(read.Arguments, changed.Arguments);
    EXPECT_EQ(read.Description, changed.Description);
    EXPECT_EQ(read.WorkingDirectory, changed.WorkingDirectory);
    EXPECT_EQ(read.IconLocation, changed.IconLocation);
    EXPECT_EQ(read.IconIndex, 0);
    EXPECT_EQ(read.ShowCmd, 7);
    EXPECT_EQ(read.HotKey, 0x0270);
    // The old item-id list named the old target: it is gone, the tracker block stays.
    const std::optional<ShellLinkData> raw = ParseShellLink(HostBytes(prefix.HostPath(lnk)));
    ASSERT_TRUE(raw.has_value());
    EXPECT_TRUE(raw->IdList.isEmpty());
    EXPECT_EQ(raw->FileSize, 11u);
    ASSERT_EQ(raw->ExtraData.size(), 1);

    // When an independent reader of the format is installed, it reads what was written.
    const QString lnkinfo = QStandardPaths::findExecutable(QStringLiteral("lnkinfo"));
    if (!lnkinfo.isEmpty()) {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(lnkinfo, { prefix.HostPath(lnk) });
        ASSERT_TRUE(p.waitForFinished(10000));
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        EXPECT_EQ(p.exitCode(), 0) << out.toStdString();
        EXPECT_TRUE(out.contains(QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Nuovo.exe"))) << out.toStdString();
        EXPECT_TRUE(out.contains(QStringLiteral("Nuovo"))) << out.toStdString();
    }
}

TEST(ShellLinkInstallerTests, MissingOrForeignFilesRaise)
{
    TempPrefix prefix;
    TShellLinkInfoRec info;
    EXPECT_THROW(TWindowsInstaller::GetShellLinkInfo(QStringLiteral("C:\\none.lnk"), info), Os::EOSError);
    EXPECT_THROW(TWindowsInstaller::SetShellLinkInfo(QStringLiteral("C:\\none.lnk"), info), Os::EOSError);
    prefix.WriteFile(QStringLiteral("C:\\text.lnk"), "plain text");
    EXPECT_THROW(TWindowsInstaller::GetShellLinkInfo(QStringLiteral("C:\\text.lnk"), info), Os::Exception);
    EXPECT_THROW(TWindowsInstaller::SetShellLinkInfo(QStringLiteral("C:\\text.lnk"), info), Os::Exception);
    EXPECT_EQ(HostBytes(prefix.HostPath(QStringLiteral("C:\\text.lnk"))), QByteArray("plain text"));
    // A link without a target answers false.
    prefix.WriteFile(QStringLiteral("C:\\empty.lnk"), SerializeShellLink(ShellLinkData()));
    EXPECT_FALSE(TWindowsInstaller::GetShellLinkInfo(QStringLiteral("C:\\empty.lnk"), info));
}
