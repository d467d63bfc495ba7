#include "support/PeWriter.h"
#include "support/QStringPrinter.h"
#include "support/ScopedTimeZone.h"
#include "support/TempPrefix.h"

#include "platform/FileVersionInfo.h"
#include "platform/InstallTools2.h"
#include "oslayer/Environment.h"
#include "oslayer/Exceptions.h"
#include "oslayer/VersionResource.h"

#include <QDateTime>
#include <gtest/gtest.h>

namespace {

const qint64 Jan2020 = QDateTime(QDate(2020, 1, 1), QTime(12, 0), Qt::UTC).toMSecsSinceEpoch();

class VersionTest : public ::testing::Test {
protected:
    QString Pe(const QString &path, uint16_t a, uint16_t b, uint16_t c, uint16_t d, qint64 time = Jan2020)
    {
        FPrefix.WriteFile(path, MakePeWithVersion(a, b, c, d));
        FPrefix.SetLastWriteTime(path, time);
        return path;
    }
    QString Pe(const char *path, uint16_t a, uint16_t b, uint16_t c, uint16_t d, qint64 time = Jan2020)
    {
        return Pe(QString::fromLatin1(path), a, b, c, d, time);
    }
    QString Plain(const char *path, qint64 time) { return Plain(QString::fromLatin1(path), time); }
    QString Plain(const QString &path, qint64 time)
    {
        FPrefix.WriteFile(path, "plain text, no version resource");
        FPrefix.SetLastWriteTime(path, time);
        return path;
    }
    TempPrefix FPrefix;
    TWindowsInstaller FInstaller;
};

} // namespace

TEST(HexToInt, DigitsSpacesAndRefusals)
{
    const struct {
        const char *Text;
        int32_t Value;
    } cases[] = {
        {"", 0},          {"0410", 0x410},      {"041 0", 0x410},  {" 4e4", 0x4E4},   {"04E4", 0x4E4},
        {"04e4", 0x4E4},  {"04G0", 0},          {"-1", 0},         {"7FFFFFFF", 0x7FFFFFFF},
        {"FFFFFFFF", -1}, {"123456789", 0},     {"        ", 0},   {"0x10", 0},       {"ffff", 0xFFFF},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Text);
        EXPECT_EQ(HexToInt(QLatin1String(c.Text)), c.Value);
    }
}

TEST_F(VersionTest, FixedVersionNumbersAndText)
{
    const QString dll = Pe(QStringLiteral("C:\\windows\\system32\\kern.dll"), 5, 1, 2600, 0);
    uint16_t v1 = 9, v2 = 9, v3 = 9, v4 = 9;
    EXPECT_TRUE(TWindowsInstaller::GetFileVersion(dll, v1, v2, v3, v4));
    EXPECT_EQ((std::vector<uint16_t>{v1, v2, v3, v4}), (std::vector<uint16_t>{5, 1, 2600, 0}));
    EXPECT_EQ(TWindowsInstaller::GetFileVersion(dll), QStringLiteral("5.1.2600.0"));
    uint32_t ms = 0, ls = 0;
    EXPECT_TRUE(GetFixedFileVersion(dll, ms, ls));
    EXPECT_EQ(ms, 0x00050001u);
    EXPECT_EQ(ls, 0x0A280000u);
    // A bare name follows the library search into the system folder.
    EXPECT_EQ(TWindowsInstaller::GetFileVersion(QStringLiteral("kern.dll")), QStringLiteral("5.1.2600.0"));

    const QString text = Plain(QStringLiteral("C:\\Data\\notes.txt"), Jan2020);
    v1 = v2 = v3 = v4 = 7;
    EXPECT_FALSE(TWindowsInstaller::GetFileVersion(text, v1, v2, v3, v4));
    EXPECT_EQ((std::vector<uint16_t>{v1, v2, v3, v4}), (std::vector<uint16_t>{7, 7, 7, 7}));
    EXPECT_EQ(TWindowsInstaller::GetFileVersion(text), QStringLiteral("?"));
    EXPECT_EQ(TWindowsInstaller::GetFileVersion(QStringLiteral("C:\\missing.dll")), QStringLiteral("?"));
    Os::FixedFileInfo info;
    EXPECT_FALSE(GetFixedFileInfo(text, info));
}

TEST_F(VersionTest, WideFilesReadTheSame)
{
    VersionContent wanted;
    wanted.V[0] = 2;
    wanted.V[1] = 5;
    wanted.V[2] = 2;
    wanted.V[3] = 26540;
    wanted.Tables = {VersionStringTable{0x0409, 0x04E4, {{QStringLiteral("FileVersion"), QStringLiteral("WI-V2.5.2.26540")}}}};
    FPrefix.WriteFile(QStringLiteral("C:\\x64.dll"), BuildPeWithVersion(wanted, true));
    EXPECT_EQ(TWindowsInstaller::GetFileVersion(QStringLiteral("C:\\x64.dll")), QStringLiteral("2.5.2.26540"));
    EXPECT_EQ(GetFileVersionString(QStringLiteral("C:\\x64.dll")), QStringLiteral("WI-V2.5.2.26540"));
}

TEST_F(VersionTest, StringsComeFromTheFirstTranslation)
{
    VersionContent wanted;
    wanted.Tables = {
        VersionStringTable{0x0409, 0x04B0,
                           {{QStringLiteral("FileVersion"), QStringLiteral("WI-V2.5.2.26540")},
                            {QStringLiteral("CompanyName"), QStringLiteral("Firebird Project")},
                            {QStringLiteral("LegalTrademarks"), QStringLiteral("TM")},
                            {QStringLiteral("Comments"), QStringLiteral("uno")}}},
        VersionStringTable{0x0410, 0x04E4, {{QStringLiteral("FileVersion"), QStringLiteral("altro")}}},
    };
    FPrefix.WriteFile(QStringLiteral("C:\\windows\\system32\\gds32.dll"), BuildPeWithVersion(wanted));
    EXPECT_EQ(GetFileVersionString(QStringLiteral("gds32.dll")), QStringLiteral("WI-V2.5.2.26540"));
    EXPECT_EQ(QueryVersionString(QStringLiteral("gds32.dll"), QString()), QStringLiteral("040904B0"));
    EXPECT_EQ(QueryVersionString(QStringLiteral("gds32.dll"), QStringLiteral("companyname")),
              QStringLiteral("Firebird Project"));
    EXPECT_EQ(QueryVersionString(QStringLiteral("gds32.dll"), QStringLiteral("ProductName")), QString());

    const TjdFileVersionInfo info = ReadVersionInfo(QStringLiteral("C:\\windows\\system32\\gds32.dll"));
    EXPECT_EQ(info.LangId, QStringLiteral("0409"));
    EXPECT_EQ(info.CharSet, QStringLiteral("04B0"));
    EXPECT_EQ(info.LangName, Os::LanguageName(0x0409));
    EXPECT_FALSE(info.LangName.isEmpty());
    EXPECT_EQ(info.FileVersion, QStringLiteral("WI-V2.5.2.26540"));
    EXPECT_EQ(info.CompanyName, QStringLiteral("Firebird Project"));
    EXPECT_EQ(info.LegalTradeMark, QStringLiteral("TM"));
    EXPECT_EQ(info.Comments, QStringLiteral("uno"));
    EXPECT_EQ(info.ProductVersion, QString());
}

TEST_F(VersionTest, FilesWithoutStringsOrVersion)
{
    EXPECT_EQ(GetFileVersionString(QStringLiteral("C:\\missing.dll")), QStringLiteral("?"));
    EXPECT_EQ(GetFileVersionString(Plain(QStringLiteral("C:\\a.hlp"), Jan2020)), QStringLiteral("?"));
    VersionContent noTable;
    FPrefix.WriteFile(QStringLiteral("C:\\bare.dll"), BuildPeWithVersion(noTable));
    const QString noTableText = GetFileVersionString(QStringLiteral("C:\\bare.dll"));
    EXPECT_TRUE(noTableText == QStringLiteral("?") || noTableText.isEmpty());
    EXPECT_EQ(TWindowsInstaller::GetFileVersion(QStringLiteral("C:\\bare.dll")), QStringLiteral("1.0.0.0"));
    VersionContent noFileVersion;
    noFileVersion.Tables = {VersionStringTable{0x0410, 0x04E4, {{QStringLiteral("CompanyName"), QStringLiteral("x")}}}};
    FPrefix.WriteFile(QStringLiteral("C:\\nofv.dll"), BuildPeWithVersion(noFileVersion));
    EXPECT_EQ(GetFileVersionString(QStringLiteral("C:\\nofv.dll")), QString());
    const TjdFileVersionInfo none = ReadVersionInfo(QStringLiteral("C:\\missing.dll"));
    EXPECT_TRUE(none.LangId.isEmpty());
    EXPECT_EQ(none.LangName, Os::LanguageName(0));
}

TEST_F(VersionTest, EmptyNameDescribesTheRunningProgram)
{
    VersionContent wanted;
    wanted.V[0] = 1;
    wanted.V[1] = 2;
    wanted.V[2] = 27;
    wanted.V[3] = 0;
    wanted.Tables = {VersionStringTable{0x0410, 0x04E4, {{QStringLiteral("FileVersion"), QStringLiteral("1.2.27.0")}}}};
    FPrefix.WriteFile(QStringLiteral("C:\\Kit\\Setup.exe"), BuildPeWithVersion(wanted));
    const QString previous = Os::Environment::OwnExecutableHostPath();
    Os::Environment::SetOwnExecutableHostPath(FPrefix.HostPath(QStringLiteral("C:\\Kit\\Setup.exe")));
    const TjdFileVersionInfo info = ReadVersionInfo(QString());
    Os::Environment::SetOwnExecutableHostPath(previous);
    EXPECT_EQ(info.FileVersion, QStringLiteral("1.2.27.0"));
    EXPECT_EQ(info.LangId, QStringLiteral("0410"));
    EXPECT_EQ(info.CharSet, QStringLiteral("04E4"));
}

TEST_F(VersionTest, CompareByVersionThenByTime)
{
    const qint64 later = Jan2020 + qint64(3600) * 1000;
    struct Case {
        const char *Name;
        std::function<QString()> Installed;
        std::function<QString()> New;
        int32_t Expected;
    };
    const Case cases[] = {
        { "newer build", [&] { return Pe("C:\\i\\a.dll", 1, 2, 3, 4); },
            [&] { return Pe("C:\\n\\a.dll", 1, 2, 3, 5); }, 1 },
        { "older major", [&] { return Pe("C:\\i\\b.dll", 2, 0, 0, 0); },
            [&] { return Pe("C:\\n\\b.dll", 1, 9, 9, 9); }, -1 },
        { "10 against 9", [&] { return Pe("C:\\i\\c.dll", 1, 0, 0, 10); },
            [&] { return Pe("C:\\n\\c.dll", 1, 0, 0, 9); }, -1 },
        // Halves compare unsigned: a number from 0x8000 up is larger, not negative.
        { "major above 32767", [&] { return Pe("C:\\i\\s.dll", 0x7FFF, 0, 0, 0); },
            [&] { return Pe("C:\\n\\s.dll", 0x8000, 0, 0, 0); }, 1 },
        { "release above 32767", [&] { return Pe("C:\\i\\r.dll", 1, 0, 0x8000, 0); },
            [&] { return Pe("C:\\n\\r.dll", 1, 0, 0x7FFF, 0xFFFF); }, -1 },
        { "equal, new file later", [&] { return Pe("C:\\i\\d.dll", 3, 1, 0, 0, Jan2020); },
            [&] { return Pe("C:\\n\\d.dll", 3, 1, 0, 0, later); }, 0 },
        { "equal, new file earlier", [&] { return Pe("C:\\i\\e.dll", 3, 1, 0, 0, later); },
            [&] { return Pe("C:\\n\\e.dll", 3, 1, 0, 0, Jan2020); }, 0 },
        { "help files, new later", [&] { return Plain("C:\\i\\f.hlp", Jan2020); },
            [&] { return Plain("C:\\n\\f.hlp", later); }, 1 },
        { "help files, new earlier", [&] { return Plain("C:\\i\\g.hlp", later); },
            [&] { return Plain("C:\\n\\g.hlp", Jan2020); }, -1 },
        { "help files, same time", [&] { return Plain("C:\\i\\h.hlp", Jan2020); },
            [&] { return Plain("C:\\n\\h.hlp", Jan2020); }, 0 },
        { "only installed has a version", [&] { return Pe("C:\\i\\j.dll", 9, 0, 0, 0, later); },
            [&] { return Plain("C:\\n\\j.dll", Jan2020); }, -1 },
        { "only new has a version", [&] { return Plain("C:\\i\\k.dll", later); },
            [&] { return Pe("C:\\n\\k.dll", 1, 0, 0, 0, Jan2020); }, -1 },
        { "installed missing", [&] { return QStringLiteral("C:\\i\\none.dll"); },
            [&] { return Pe("C:\\n\\l.dll", 1, 0, 0, 0); }, 1 },
        { "installed is a folder",
            [&] {
                FPrefix.MakeFolder(QStringLiteral("C:\\i\\m.dll"));
                return QStringLiteral("C:\\i\\m.dll");
            },
            [&] { return Pe("C:\\n\\m.dll", 1, 0, 0, 0); }, 1 },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        const QString installed = c.Installed();
        const QString fresh = c.New();
        EXPECT_EQ(FInstaller.CompareFileVersion(installed, fresh), c.Expected);
        EXPECT_EQ(FInstaller.IsFileNewer(installed, fresh), c.Expected == 1);
    }
}

TEST_F(VersionTest, AMissingNewFileRaisesWithItsName)
{
    const QString installed = Pe(QStringLiteral("C:\\i\\a.dll"), 1, 0, 0, 0);
    FPrefix.MakeFolder(QStringLiteral("C:\\n\\folder.dll"));
    for (const QString &missing : {QStringLiteral("C:\\n\\gone.dll"), QStringLiteral("C:\\n\\folder.dll")}) {
        try {
            FInstaller.CompareFileVersion(installed, missing);
            ADD_FAILURE() << "no error for " << missing.toStdString();
        } catch (const Os::Exception &e) {
            EXPECT_EQ(e.Message(), QStringLiteral("File not found : ") + missing);
        }
        EXPECT_THROW(FInstaller.IsFileNewer(installed, missing), Os::Exception);
    }
}

TEST_F(VersionTest, WriteTimesOfFilesOnly)
{
    // 1 January 2020 12:00 UTC in 100 ns steps since 1601.
    constexpr Os::FileTime Jan2020FileTime = 132223536000000000ULL;
    constexpr Os::FileTime Second = 10000000ULL;
    const QString file = Plain(QStringLiteral("C:\\t\\f.txt"), Jan2020);
    Os::FileTime utc = 0, local = 0;
    EXPECT_TRUE(GetFileWriteTime(file, utc));
    EXPECT_EQ(utc, Jan2020FileTime);
    {
        ScopedTimeZone india("<+0530>-5:30");
        EXPECT_TRUE(GetFileLocalWriteTime(file, local));
        EXPECT_EQ(local, Jan2020FileTime + 19800 * Second);
    }
    {
        ScopedTimeZone brazil("<-03>3");
        EXPECT_TRUE(GetFileLocalWriteTime(file, local));
        EXPECT_EQ(local, Jan2020FileTime - 10800 * Second);
    }
    {
        // As Windows does, the bias in force now applies, not the one of the file's date: of
        // a winter and a summer date, one lies in the other season than today.
        ScopedTimeZone rome("CET-1CEST,M3.5.0,M10.5.0/3");
        const long bias = ScopedTimeZone::OffsetNow();
        ASSERT_TRUE(bias == 3600 || bias == 7200) << bias;
        const qint64 jul2020 = QDateTime(QDate(2020, 7, 1), QTime(12, 0), Qt::UTC).toMSecsSinceEpoch();
        const QString summer = Plain(QStringLiteral("C:\\t\\summer.txt"), jul2020);
        constexpr Os::FileTime Jul2020FileTime = 132380784000000000ULL;
        EXPECT_TRUE(GetFileLocalWriteTime(file, local));
        EXPECT_EQ(local, Jan2020FileTime + Os::FileTime(bias) * Second);
        EXPECT_TRUE(GetFileLocalWriteTime(summer, local));
        EXPECT_EQ(local, Jul2020FileTime + Os::FileTime(bias) * Second);
    }
    Os::FileTime t = 123;
    EXPECT_FALSE(GetFileWriteTime(QStringLiteral("C:\\t"), t));
    EXPECT_EQ(t, 0u);
    t = 123;
    EXPECT_FALSE(GetFileLocalWriteTime(QStringLiteral("C:\\t\\none.txt"), t));
    EXPECT_EQ(t, 0u);
}
