// Version resources: files made by a real resource compiler, files of the tests' own writer,
// the layer's block writer against it, the wizard's own block, and hostile files that must
// give "no version" without a bad read.
#include "support/PeWriter.h"
#include "support/TempPrefix.h"

#include "oslayer/Environment.h"
#include "oslayer/ExeResources.h"
#include "oslayer/Files.h"
#include "oslayer/Paths.h"
#include "oslayer/VersionResource.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

using namespace Os;

namespace {

const QString Fixtures = QStringLiteral(DREMLIX_TEST_DATA "/oslayer/pe/");

QByteArray FileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::optional<VersionInfo> InfoOfBytes(const TempPrefix &prefix, const QByteArray &bytes)
{
    WriteBytesFile(prefix.HostPath(QStringLiteral("C:\\Probe\\probe.dll")), bytes);
    return ReadFileVersionInfo(QStringLiteral("C:\\Probe\\probe.dll"));
}

QString VersionText(const FixedFileInfo &f)
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg(f.FileVersionMS >> 16)
        .arg(f.FileVersionMS & 0xFFFF)
        .arg(f.FileVersionLS >> 16)
        .arg(f.FileVersionLS & 0xFFFF);
}

} // namespace

TEST(VersionResource, FilesMadeByTheResourceCompiler)
{
    TempPrefix prefix;
    prefix.WriteFile(QStringLiteral("C:\\Lib\\gds32.dll"), FileBytes(Fixtures + QStringLiteral("gds32.dll")));
    prefix.WriteFile(QStringLiteral("C:\\Lib\\orvanta64.exe"), FileBytes(Fixtures + QStringLiteral("orvanta64.exe")));
    prefix.WriteFile(QStringLiteral("C:\\Lib\\noversion.exe"), FileBytes(Fixtures + QStringLiteral("noversion.exe")));
    prefix.WriteFile(QStringLiteral("C:\\Lib\\readme.txt"), "just text, MZ not at the start");

    const auto dll = ReadFileVersionInfo(QStringLiteral("C:\\Lib\\GDS32.DLL"));
    ASSERT_TRUE(dll);
    ASSERT_TRUE(dll->Fixed());
    EXPECT_EQ(VersionText(*dll->Fixed()), QStringLiteral("5.1.2600.0"));
    EXPECT_EQ(dll->Fixed()->FileType, 2u);
    const QList<Translation> translations = dll->Translations();
    ASSERT_EQ(translations.size(), 2);
    EXPECT_EQ(translations[0].Language, 0x0409);
    EXPECT_EQ(translations[0].CodePage, 0x04B0);
    EXPECT_EQ(translations[1].Language, 0x0410);
    EXPECT_EQ(translations[1].CodePage, 0x04E4);
    EXPECT_EQ(dll->String(QStringLiteral("040904B0"), QStringLiteral("FileVersion")), QStringLiteral("WI-V2.5.2.26540"));
    EXPECT_EQ(dll->String(QStringLiteral("040904b0"), QStringLiteral("fileversion")), QStringLiteral("WI-V2.5.2.26540"));
    EXPECT_EQ(dll->String(QStringLiteral("041004E4"), QStringLiteral("FileVersion")), QStringLiteral("second table"));
    EXPECT_EQ(dll->String(QStringLiteral("040904B0"), QStringLiteral("OriginalFilename")), QStringLiteral("gds32.dll"));
    EXPECT_EQ(dll->String(QStringLiteral("040904B0"), QStringLiteral("Comments")), QString());
    EXPECT_FALSE(dll->String(QStringLiteral("040904B0"), QStringLiteral("LegalTrademarks")));
    EXPECT_FALSE(dll->String(QStringLiteral("040704B0"), QStringLiteral("FileVersion")));

    const auto exe64 = ReadFileVersionInfo(QStringLiteral("C:\\Lib\\orvanta64.exe"));
    ASSERT_TRUE(exe64 && exe64->Fixed());
    EXPECT_EQ(VersionText(*exe64->Fixed()), QStringLiteral("1.0.0.10"));
    EXPECT_EQ(exe64->String(QStringLiteral("041004E4"), QStringLiteral("FileVersion")), QStringLiteral("1.0.0.10"));

    EXPECT_FALSE(ReadFileVersionInfo(QStringLiteral("C:\\Lib\\noversion.exe")));
    EXPECT_FALSE(ReadFileVersionInfo(QStringLiteral("C:\\Lib\\readme.txt")));
    EXPECT_FALSE(ReadFileVersionInfo(QStringLiteral("C:\\Lib\\missing.dll")));
}

TEST(VersionResource, OwnWriterMakesFilesTheReaderAgreesWith)
{
    TempPrefix prefix;
    for (const bool pe32plus : { false, true }) {
        SCOPED_TRACE(pe32plus ? "PE32+" : "PE32");
        WritePe(prefix.HostPath(QStringLiteral("C:\\W\\Orvanta.exe")), 3, 2, 65535, 14, QStringLiteral("3.2 beta"),
                pe32plus, { 0x0410, 0x04E4 });
        const auto info = ReadFileVersionInfo(QStringLiteral("C:\\W\\Orvanta.exe"));
        ASSERT_TRUE(info && info->Fixed());
        EXPECT_EQ(VersionText(*info->Fixed()), QStringLiteral("3.2.65535.14"));
        ASSERT_EQ(info->Translations().size(), 1);
        EXPECT_EQ(info->Translations()[0].Language, 0x0410);
        EXPECT_EQ(info->String(QStringLiteral("041004E4"), QStringLiteral("FileVersion")), QStringLiteral("3.2 beta"));
        EXPECT_EQ(info->String(QStringLiteral("041004E4"), QStringLiteral("CompanyName")), QStringLiteral("DREMLIX S.A."));
    }
}

TEST(VersionResource, TheLayersBlockIsLaidOutAsAResourceCompilerLaysItOut)
{
    // Texts of odd and even lengths and an empty one, so that every padding rule shows.
    const QList<QPair<QString, QString>> strings
        = { { QStringLiteral("CompanyName"), QStringLiteral("DREMLIX S.A.") },
              { QStringLiteral("FileVersion"), QStringLiteral("3.2 beta") },
              { QStringLiteral("Comments"), QString() },
              { QStringLiteral("ProductName"), QStringLiteral("Orvanta") } };
    FixedFileInfo fixed;
    fixed.FileVersionMS = fixed.ProductVersionMS = (3u << 16) | 2;
    fixed.FileVersionLS = fixed.ProductVersionLS = (65535u << 16) | 14;
    VersionContent wanted;
    wanted.V[0] = 3;
    wanted.V[1] = 2;
    wanted.V[2] = 65535;
    wanted.V[3] = 14;
    wanted.Tables = { VersionStringTable { 0x0410, 0x04E4, strings } };
    EXPECT_EQ(
        BuildVersionInfoBlock(fixed, { 0x0410, 0x04E4 }, strings).toHex(), BuildVersionBlock(wanted).toHex());
}

TEST(VersionResource, TheWizardAnswersWithItsVersionEntry)
{
    TempPrefix prefix;
    QTemporaryDir dir;
    const QString stub = dir.path() + QStringLiteral("/stub");
    WriteBytesFile(stub, QByteArray("\x7f" "ELF not really, but any executable will do", 43));
    FixedFileInfo fixed;
    fixed.FileVersionMS = (1u << 16) | 2;
    fixed.FileVersionLS = (27u << 16) | 0;
    const QByteArray block = BuildVersionInfoBlock(fixed, { 0x0410, 0x04E4 },
                                                   { { QStringLiteral("FileVersion"), QStringLiteral("1.2.27.0") } });
    const QString wizard = prefix.HostPath(QStringLiteral("C:\\Updates\\Setup.exe"));
    QDir().mkpath(QFileInfo(wizard).absolutePath());
    WriteExecutableWithResources(stub, wizard, { ResourceEntry { RT_VERSION, QStringLiteral("1"), block },
                                                 ResourceEntry { RT_RCDATA, QStringLiteral("UPDATES.TXT"), "Orvanta" } });
    const QString saved = Environment::OwnExecutableHostPath();
    Environment::SetOwnExecutableHostPath(wizard);
    const auto own = ReadFileVersionInfo(QString());
    const auto byName = ReadFileVersionInfo(QStringLiteral("C:\\Updates\\setup.exe"));
    Environment::SetOwnExecutableHostPath(saved);
    ASSERT_TRUE(own && own->Fixed());
    EXPECT_EQ(VersionText(*own->Fixed()), QStringLiteral("1.2.27.0"));
    EXPECT_EQ(own->String(QStringLiteral("041004E4"), QStringLiteral("FileVersion")), QStringLiteral("1.2.27.0"));
    ASSERT_TRUE(byName);
    EXPECT_EQ(byName->Raw(), own->Raw());
}

TEST(VersionResource, HostileFilesGiveNoVersionInformation)
{
    TempPrefix prefix;
    PeLayout l;
    FixedFileInfo fixed;
    fixed.FileVersionMS = 0x00010002;
    fixed.FileVersionLS = 0x00030004;
    const QByteArray block = BuildVersionInfoBlock(fixed, { 0x0409, 0x04B0 },
                                                   { { QStringLiteral("FileVersion"), QStringLiteral("1.2.3.4") } });
    const QByteArray good = MakePe(block, false, 0x0409, &l);
    ASSERT_TRUE(InfoOfBytes(prefix, good)) << "the unspoilt image reads";

    auto put32 = [](QByteArray &b, qsizetype at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b[at + i] = char((v >> (8 * i)) & 0xFF);
    };
    auto put16 = [](QByteArray &b, qsizetype at, uint16_t v) {
        b[at] = char(v & 0xFF);
        b[at + 1] = char(v >> 8);
    };
    struct Case {
        const char *Label;
        std::function<void(QByteArray &)> Spoil;
    };
    const qsizetype coff = l.PeHeader + 4;
    const qsizetype section = l.SectionTable;
    const Case cases[] = {
        { "PE header beyond the file", [&](QByteArray &b) { put32(b, 0x3C, 0xFFFFFFF0u); } },
        { "PE header at a negative offset", [&](QByteArray &b) { put32(b, 0x3C, 0x80000000u); } },
        { "no PE signature", [&](QByteArray &b) { b[l.PeHeader] = 'X'; } },
        { "unknown optional-header magic", [&](QByteArray &b) { put16(b, l.OptionalHeader, 0x0107); } },
        { "optional header larger than the file", [&](QByteArray &b) { put16(b, coff + 16, 0xFFFF); } },
        { "too few data directories", [&](QByteArray &b) { put32(b, l.OptionalHeader + 92, 2); } },
        { "65535 sections", [&](QByteArray &b) { put16(b, coff + 2, 0xFFFF); } },
        { "resources outside every section", [&](QByteArray &b) { put32(b, l.ResourceDirectory, 0x7FFF0000u); } },
        { "section data beyond the file", [&](QByteArray &b) { put32(b, section + 20, 0x7FFFFFF0u); } },
        { "65535 type entries", [&](QByteArray &b) { put16(b, l.TypeDirectory + 14, 0xFFFF); put16(b, l.TypeDirectory + 12, 0xFFFF); } },
        { "type subdirectory out of range", [&](QByteArray &b) { put32(b, l.TypeDirectory + 20, 0xFFFFFFF0u); } },
        { "name level loops back to itself", [&](QByteArray &b) { put32(b, l.NameDirectory + 20, 0x80000000u | uint32_t(l.NameDirectory - l.ResourceSection)); } },
        { "language level loops back to the top", [&](QByteArray &b) { put32(b, l.LanguageDirectory + 20, 0x80000000u); } },
        { "language entry is a directory", [&](QByteArray &b) { put32(b, l.LanguageDirectory + 20, 0x80000000u | uint32_t(l.TypeDirectory - l.ResourceSection)); } },
        { "data entry out of range", [&](QByteArray &b) { put32(b, l.LanguageDirectory + 20, 0x7FFFFFF0u); } },
        { "huge data size", [&](QByteArray &b) { put32(b, l.DataEntry + 4, 0xFFFFFFFFu); } },
        { "data size past the section", [&](QByteArray &b) { put32(b, l.DataEntry + 4, 0x10000); } },
        { "data RVA nowhere", [&](QByteArray &b) { put32(b, l.DataEntry, 0x00FF0000u); } },
        { "block longer than its data", [&](QByteArray &b) { put16(b, l.VersionData, 0xFFF0); } },
        { "block shorter than its header", [&](QByteArray &b) { put16(b, l.VersionData, 4); } },
        { "wrong root key", [&](QByteArray &b) { b[l.VersionData + 6] = 'X'; } },
        { "root key without its NUL", [&](QByteArray &b) {
              const qsizetype length = uchar(b[l.VersionData]) | (uchar(b[l.VersionData + 1]) << 8);
              for (qsizetype i = l.VersionData + 6; i < l.VersionData + length; i += 2)
                  put16(b, i, 'A');
          } },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Label);
        QByteArray bad = good;
        c.Spoil(bad);
        const auto info = InfoOfBytes(prefix, bad);
        EXPECT_FALSE(info && info->Fixed()) << c.Label;
    }
    // A section that claims more bytes than the file holds is read as far as the file goes.
    QByteArray oversized = good;
    put32(oversized, section + 16, 0x7FFFFFF0u);
    put32(oversized, section + 8, 0x7FFFFFF0u);
    const auto stillRead = InfoOfBytes(prefix, oversized);
    ASSERT_TRUE(stillRead && stillRead->Fixed());
    EXPECT_EQ(stillRead->Fixed()->FileVersionLS, 0x00030004u);
    EXPECT_TRUE(InfoOfBytes(prefix, oversized.left(l.VersionData + 20)) == std::nullopt);

    // Cut anywhere before the end of the version data, nothing is read.
    for (qsizetype size = 0; size < l.VersionData + 60; size += 5) {
        const auto info = InfoOfBytes(prefix, good.left(size));
        EXPECT_FALSE(info && info->Fixed()) << "cut at " << size;
    }
}

TEST(VersionResource, RandomlySpoiltImagesAreReadWithinBounds)
{
    // Under the address sanitizer this catches any read outside the file; without it, any
    // crash. Every answer must still be one the reader could have found in the bytes.
    FixedFileInfo fixed;
    fixed.FileVersionMS = 0x00020005;
    const QByteArray block = BuildVersionInfoBlock(fixed, { 0x0410, 0x04E4 },
                                                   { { QStringLiteral("FileVersion"), QStringLiteral("2.5") },
                                                     { QStringLiteral("ProductName"), QStringLiteral("Orvanta") } });
    TempPrefix prefix;
    for (const bool pe32plus : { false, true }) {
        PeLayout l;
        const QByteArray good = MakePe(block, pe32plus, 0x0410, &l);
        uint32_t seed = pe32plus ? 7u : 3u;
        auto next = [&seed] {
            seed = seed * 1103515245u + 12345u;
            return seed >> 8;
        };
        for (int round = 0; round < 400; ++round) {
            QByteArray bad = good;
            const int flips = 1 + int(next() % 6);
            for (int i = 0; i < flips; ++i) {
                // Mostly the headers and the resource tree, where offsets and sizes live.
                const qsizetype at = (next() % 4) ? qsizetype(next() % uint32_t(l.VersionData + 96))
                                                  : qsizetype(next() % uint32_t(bad.size()));
                bad[at] = char(next() & 0xFF);
            }
            const auto info = InfoOfBytes(prefix, bad);
            if (info) {
                info->Fixed();
                info->Translations();
                info->String(QStringLiteral("041004E4"), QStringLiteral("FileVersion"));
                EXPECT_LE(info->Raw().size(), bad.size());
            }
        }
    }
}

TEST(VersionResource, DamagedBlocksParseToWhatIsThereOnly)
{
    FixedFileInfo fixed;
    fixed.FileVersionMS = 0x00050001;
    QByteArray block = BuildVersionInfoBlock(fixed, { 0x0409, 0x04B0 },
                                             { { QStringLiteral("FileVersion"), QStringLiteral("5.1") } });
    ASSERT_TRUE(VersionInfo::Parse(block));
    EXPECT_FALSE(VersionInfo::Parse(QByteArray()));
    EXPECT_FALSE(VersionInfo::Parse(block.left(5)));

    // A child that claims length 0 ends the walk instead of looping on it.
    QByteArray zeroChild = block;
    const qsizetype firstChild = 6 + 32 + 52 + 2; // header, "VS_VERSION_INFO\0", padding, fixed info
    zeroChild[firstChild] = 0;
    zeroChild[firstChild + 1] = 0;
    const auto parsed = VersionInfo::Parse(zeroChild);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(parsed->Fixed());
    EXPECT_TRUE(parsed->Translations().isEmpty());
    EXPECT_FALSE(parsed->String(QStringLiteral("040904B0"), QStringLiteral("FileVersion")));

    QByteArray badSignature = block;
    badSignature[firstChild - 52] = 0;
    ASSERT_TRUE(VersionInfo::Parse(badSignature));
    EXPECT_FALSE(VersionInfo::Parse(badSignature)->Fixed());
    EXPECT_EQ(VersionInfo::Parse(badSignature)->String(QStringLiteral("040904B0"), QStringLiteral("FileVersion")),
              QStringLiteral("5.1"));
}

TEST(VersionResource, BareNamesFollowTheLibrarySearchOrder)
{
    TempPrefix prefix;
    const QString wizardFolder = prefix.MakeFolder(QStringLiteral("C:\\Updates"));
    const QString saved = Environment::OwnExecutableHostPath();
    Environment::SetOwnExecutableHostPath(wizardFolder + QStringLiteral("/Setup.exe"));
    prefix.SetRegString(RegRoot::LocalMachine, QStringLiteral("System\\CurrentControlSet\\Control\\Session Manager\\Environment"),
                        QStringLiteral("PATH"), QStringLiteral("%SystemRoot%\\nothing;C:\\Firebird\\bin"), REG_EXPAND_SZ);
    struct Place {
        QString Folder;
        uint16_t Build;
    };
    const QList<Place> order = {
        { QStringLiteral("C:\\Updates\\"), 1 },
        { QStringLiteral("C:\\windows\\syswow64\\"), 2 },
        { QStringLiteral("C:\\windows\\"), 3 },
        { QStringLiteral("C:\\Firebird\\bin\\"), 4 },
    };
    for (const Place &place : order)
        WritePe(prefix.HostPath(place.Folder + QStringLiteral("gds32.dll")), 2, 5, 2, place.Build);
    for (const Place &place : order) {
        SCOPED_TRACE(place.Folder.toStdString());
        EXPECT_EQ(SearchLibrary(QStringLiteral("GDS32.dll")), place.Folder + QStringLiteral("GDS32.dll"));
        const auto info = ReadFileVersionInfo(QStringLiteral("gds32.dll"));
        ASSERT_TRUE(info && info->Fixed());
        EXPECT_EQ(info->Fixed()->FileVersionLS & 0xFFFF, place.Build);
        DeleteFile(place.Folder + QStringLiteral("gds32.dll"));
    }
    EXPECT_TRUE(SearchLibrary(QStringLiteral("gds32.dll")).isEmpty());
    EXPECT_EQ(SearchLibrary(QStringLiteral("C:\\Updates\\")), QString()) << "a folder is no library";
    Environment::SetOwnExecutableHostPath(saved);
}

TEST(VersionResource, LanguageNames)
{
    const std::pair<uint16_t, const char *> rows[] = {
        { 0x0409, "English (United States)" }, { 0x0410, "Italian (Italy)" }, { 0x040C, "French (France)" },
        { 0x0407, "German (Germany)" },        { 0x0810, "Italian (Switzerland)" }, { 0x0000, "Language Neutral" },
        { 0x0010, "Italian" },                 { 0x4410, "Italian" },
    };
    for (const auto &[id, name] : rows)
        EXPECT_EQ(LanguageName(id), QString::fromUtf8(name)) << id;
}
