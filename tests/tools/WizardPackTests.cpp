// The packing tool, run as the release engineer runs it.
#include "oslayer/Environment.h"
#include "oslayer/ExeResources.h"
#include "oslayer/Files.h"
#include "oslayer/VersionResource.h"
#include "payload/EmbeddedFiles.h"
#include "support/PeWriter.h"
#include "support/TempPrefix.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimeZone>

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

struct Result {
    int Code = -1;
    QString Out;
    QString Err;
};

class WizardPackTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FPrefix.IsValid());
        FWork = FPrefix.Root() + QStringLiteral("/work");
        QDir().mkpath(FWork);
        FStub = Path(QStringLiteral("stub"));
        ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/true"), FStub));
    }

    QString Path(const QString &name) const { return FWork + u'/' + name; }

    Result Run(const QStringList &args) const
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("WINEPREFIX"), FPrefix.Root());
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(DREMLIX_BIN_DIR "/wizard-pack"), args);
        if (!p.waitForFinished(60000))
            return {};
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromLocal8Bit(p.readAllStandardOutput()),
                QString::fromLocal8Bit(p.readAllStandardError())};
    }

    QString Write(const QString &name, const QByteArray &bytes, const QDateTime &mtime) const
    {
        QString path = Path(name);
        QFile f(path);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(bytes);
        f.close();
        f.open(QIODevice::ReadWrite);
        f.setFileTime(mtime, QFileDevice::FileModificationTime);
        return path;
    }

    static QByteArray ReadAll(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    TempPrefix FPrefix;
    QString FWork;
    QString FStub;
};

const QDateTime Time1(QDate(2021, 3, 1), QTime(10, 0, 0, 250), QTimeZone::utc());
const QDateTime Time2(QDate(2024, 12, 31), QTime(23, 59, 58), QTimeZone::utc());

TEST_F(WizardPackTest, BuildListExtractRoundTrip)
{
    const QByteArray program = QByteArray("MZ Falcrest program ").repeated(10000);
    const QString exe = Write(QStringLiteral("Falcrest.exe"), program, Time1);
    const QString updates = Write(QStringLiteral("Updates.txt"), "Falcrest", Time2);
    const QString empty = Write(QStringLiteral("AppInfo2.txt"), QByteArray(), Time2);
    const QString sub = Write(QStringLiteral("sa00.int"), "print list", Time1);
    const QString withEq = Write(QStringLiteral("a=b.txt"), "equals", Time1);
    const QString wizard = Path(QStringLiteral("FalcrestUpdate"));

    const Result built = Run({QStringLiteral("build"), QStringLiteral("--stub"), FStub, QStringLiteral("--out"), wizard,
                              exe, updates, empty, QStringLiteral("qrt\\SA-00.int=") + sub, withEq});
    ASSERT_EQ(built.Code, 0) << built.Err.toStdString();

    const Result list = Run({QStringLiteral("list"), wizard});
    ASSERT_EQ(list.Code, 0) << list.Err.toStdString();
    const QStringList expected = {
        QStringLiteral("FALCREST.EXE\t%1\t2021-03-01 10:00:00").arg(program.size()),
        QStringLiteral("UPDATES.TXT\t8\t2024-12-31 23:59:58"),
        QStringLiteral("APPINFO2.TXT\t0\t2024-12-31 23:59:58"),
        QStringLiteral("QRT\\SA-00.INT\t10\t2021-03-01 10:00:00"),
        QStringLiteral("A=B.TXT\t6\t2021-03-01 10:00:00"),
    };
    EXPECT_EQ(list.Out.split(u'\n', Qt::SkipEmptyParts), expected);

    const struct {
        const char *Name;
        QByteArray Data;
        QDateTime Time;
    } cases[] = {
        {"falcrest.EXE", program, Time1},
        {"Updates.txt", "Falcrest", Time2},
        {"AppInfo2.txt", QByteArray(), Time2},
        {"qrt\\sa-00.int", "print list", Time1},
    };
    for (const auto &c : cases) {
        const QString out = Path(QStringLiteral("out.bin"));
        QFile::remove(out);
        const Result r = Run({QStringLiteral("extract"), wizard, QString::fromLatin1(c.Name), out});
        ASSERT_EQ(r.Code, 0) << c.Name << r.Err.toStdString();
        EXPECT_EQ(ReadAll(out), c.Data) << c.Name;
        EXPECT_EQ(QFileInfo(out).lastModified().toUTC(), c.Time) << c.Name << ": the time stamp is kept";
    }

    // The container the wizard reads is the maximum-compression zlib stream.
    const auto block = Os::ResourceBlock::Load(wizard);
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(block->Find(Os::RT_RCDATA, QStringLiteral("Falcrest.exe"))->left(2), QByteArray("\x78\xDA"));

    // The built wizard runs as it is.
    struct stat st {};
    ::stat(QFile::encodeName(wizard).constData(), &st);
    EXPECT_TRUE(st.st_mode & S_IXUSR);
    EXPECT_EQ(QProcess::execute(wizard, {}), 0);
}

TEST_F(WizardPackTest, VersionOfTheBuiltWizard)
{
    const QString file = Write(QStringLiteral("Updates.txt"), "Falcrest", Time1);
    const QString given = Path(QStringLiteral("given"));
    const QString byDefault = Path(QStringLiteral("default"));
    ASSERT_EQ(Run({QStringLiteral("build"), QStringLiteral("--stub"), FStub, QStringLiteral("--out"), given,
                   QStringLiteral("--file-version"), QStringLiteral("2.12.0.345"), file})
                  .Code,
              0);
    ASSERT_EQ(Run({QStringLiteral("build"), QStringLiteral("--stub"), FStub, QStringLiteral("--out"), byDefault, file}).Code,
              0);

    const Result v = Run({QStringLiteral("version"), given});
    EXPECT_EQ(v.Code, 0) << v.Err.toStdString();
    EXPECT_EQ(v.Out, QStringLiteral("2.12.0.345\n2.12.0.345\n"));
    EXPECT_EQ(Run({QStringLiteral("version"), byDefault}).Out,
              QStringLiteral(DREMLIX_VERSION "\n" DREMLIX_VERSION "\n"));

    // The block itself, as every reader of version resources sees it.
    const auto block = Os::ResourceBlock::Load(given);
    const auto info = Os::VersionInfo::Parse(*block->FirstOfType(Os::RT_VERSION));
    ASSERT_TRUE(info.has_value());
    ASSERT_EQ(info->Translations().size(), 1);
    EXPECT_EQ(info->Translations()[0].Language, 0x0410);
    EXPECT_EQ(info->Translations()[0].CodePage, 0x04E4);
    EXPECT_EQ(info->String(QStringLiteral("041004E4"), QStringLiteral("CompanyName")), QStringLiteral("DREMLIX S.A."));
    EXPECT_EQ(info->String(QStringLiteral("041004E4"), QStringLiteral("ProductName")),
              QStringLiteral("Dremlix update wizard"));
    EXPECT_EQ(info->Fixed()->FileVersionMS, (2u << 16) | 12u);
    EXPECT_EQ(info->Fixed()->FileVersionLS, 345u);

    // A file without any version information.
    const Result none = Run({QStringLiteral("version"), file});
    EXPECT_NE(none.Code, 0);
    EXPECT_EQ(none.Out, QStringLiteral("?\n?\n"));
}

TEST_F(WizardPackTest, VersionOfProgramsAndLibrariesOfThePrefix)
{
    WritePe(FPrefix.HostPath(QStringLiteral("C:\\windows\\gds32.dll")), 2, 5, 2, 26540, QStringLiteral("WI-V2.5.2.26540"));
    const QString orvanta = FPrefix.HostPath(QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe"));
    WritePe(orvanta, 3, 2, 0, 14, QString(), true);
    const struct {
        QString File;
        QString Out;
    } cases[] = {
        {QStringLiteral("gds32.dll"), QStringLiteral("WI-V2.5.2.26540\n2.5.2.26540\n")},
        {QStringLiteral("GDS32.DLL"), QStringLiteral("WI-V2.5.2.26540\n2.5.2.26540\n")},
        {orvanta, QStringLiteral("3.2.0.14\n3.2.0.14\n")},
    };
    for (const auto &c : cases) {
        const Result r = Run({QStringLiteral("version"), c.File});
        EXPECT_EQ(r.Code, 0) << c.File.toStdString() << r.Err.toStdString();
        EXPECT_EQ(r.Out, c.Out) << c.File.toStdString();
    }
    const Result missing = Run({QStringLiteral("version"), QStringLiteral("nosuch.dll")});
    EXPECT_NE(missing.Code, 0);
    EXPECT_EQ(missing.Out, QStringLiteral("?\n?\n"));
}

TEST_F(WizardPackTest, AWizardAsStubIsRepackedWithoutItsOldFiles)
{
    const QString a = Write(QStringLiteral("A.txt"), "a", Time1);
    const QString b = Write(QStringLiteral("B.txt"), "b", Time1);
    const QString first = Path(QStringLiteral("first"));
    const QString second = Path(QStringLiteral("second"));
    ASSERT_EQ(Run({QStringLiteral("build"), QStringLiteral("--stub"), FStub, QStringLiteral("--out"), first, a}).Code, 0);
    ASSERT_EQ(Run({QStringLiteral("build"), QStringLiteral("--stub"), first, QStringLiteral("--out"), second, b}).Code, 0);
    EXPECT_EQ(Run({QStringLiteral("list"), second}).Out, QStringLiteral("B.TXT\t1\t2021-03-01 10:00:00\n"));
    EXPECT_EQ(QProcess::execute(second, {}), 0);
}

TEST_F(WizardPackTest, RefusalsLeaveNoOutput)
{
    const QString a = Write(QStringLiteral("Falcrest.chm"), "help", Time1);
    const QString other = Write(QStringLiteral("other.chm"), "other help", Time1);
    const QString out = Path(QStringLiteral("refused"));
    const QStringList build = {QStringLiteral("build"), QStringLiteral("--stub"), FStub, QStringLiteral("--out"), out};
    const struct {
        const char *What;
        QStringList Args;
        int Code;
        const char *Message;
    } cases[] = {
        {"names equal without regard to case", build + QStringList{a, QStringLiteral("FALCREST.CHM=") + other}, 1,
         "twice"},
        {"missing input file", build + QStringList{Path(QStringLiteral("missing.txt"))}, 1, "missing.txt"},
        {"missing stub", QStringList{QStringLiteral("build"), QStringLiteral("--stub"), Path(QStringLiteral("nostub")),
                                     QStringLiteral("--out"), out, a},
         1, "nostub"},
        {"malformed version", build + QStringList{QStringLiteral("--file-version"), QStringLiteral("1.2.3"), a}, 1,
         "1.2.3"},
        {"version part too large", build + QStringList{QStringLiteral("--file-version"), QStringLiteral("1.2.3.65536"), a},
         1, "65536"},
        {"no --stub", QStringList{QStringLiteral("build"), QStringLiteral("--out"), out, a}, 2, "usage"},
        {"unknown option", build + QStringList{QStringLiteral("--fast"), a}, 2, "usage"},
        {"unknown command", QStringList{QStringLiteral("pack")}, 2, "usage"},
        {"no command", QStringList{}, 2, "usage"},
    };
    for (const auto &c : cases) {
        const Result r = Run(c.Args);
        EXPECT_EQ(r.Code, c.Code) << c.What;
        EXPECT_TRUE(r.Err.contains(QString::fromLatin1(c.Message))) << c.What << ": " << r.Err.toStdString();
        EXPECT_FALSE(QFileInfo::exists(out)) << c.What;
    }
    EXPECT_EQ(QDir(FWork).entryList(QDir::Files | QDir::Hidden).size(), 3) << "no temporary files left behind";
}

TEST_F(WizardPackTest, HelpIsAnsweredOnStandardOutput)
{
    const Result r = Run({QStringLiteral("--help")});
    EXPECT_EQ(r.Code, 0);
    EXPECT_TRUE(r.Out.startsWith(QStringLiteral("usage:\n"))) << r.Out.toStdString();
    EXPECT_TRUE(r.Out.contains(QStringLiteral("wizard-pack build --stub STUB")));
    EXPECT_TRUE(r.Err.isEmpty()) << r.Err.toStdString();
}

TEST_F(WizardPackTest, ListAndExtractErrors)
{
    const QString a = Write(QStringLiteral("A.txt"), "a", Time1);
    const QString wizard = Path(QStringLiteral("wizard"));
    ASSERT_EQ(Run({QStringLiteral("build"), QStringLiteral("--stub"), FStub, QStringLiteral("--out"), wizard, a}).Code, 0);
    const QString out = Path(QStringLiteral("out.txt"));

    Result r = Run({QStringLiteral("extract"), wizard, QStringLiteral("B.txt"), out});
    EXPECT_EQ(r.Code, 1);
    EXPECT_TRUE(r.Err.contains(QStringLiteral("B.txt")));
    EXPECT_FALSE(QFileInfo::exists(out));

    r = Run({QStringLiteral("list"), FStub});
    EXPECT_EQ(r.Code, 1) << "a file without embedded files";

    // A damaged container: no output file.
    QByteArray bytes = ReadAll(wizard);
    const auto block = Os::ResourceBlock::Load(wizard);
    const auto loc = block->Locate(Os::RT_RCDATA, QStringLiteral("A.txt"));
    bytes[qsizetype(loc->Offset + loc->Size - 1)] ^= 0x5A; // the Adler-32
    QFile f(wizard);
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(bytes);
    f.close();
    r = Run({QStringLiteral("extract"), wizard, QStringLiteral("A.txt"), out});
    EXPECT_EQ(r.Code, 1);
    EXPECT_TRUE(r.Err.contains(QStringLiteral("damaged"))) << r.Err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(out));
}

TEST_F(WizardPackTest, TheStubIsPackedWithoutDebugInformation)
{
    // The build's stub keeps its symbols; the wizard made from it carries none of them.
    const QString stub = QStringLiteral(DREMLIX_WIZARD_EXE);
    auto sections = [](const QString &file) {
        QProcess p;
        p.start(QStringLiteral("readelf"), {QStringLiteral("-S"), QStringLiteral("-W"), file});
        p.waitForFinished(60000);
        QStringList names;
        static const QRegularExpression name(QStringLiteral("^\\s*\\[\\s*\\d+\\]\\s+(\\S+)"));
        for (const QString &line : QString::fromLocal8Bit(p.readAllStandardOutput()).split(u'\n')) {
            const auto m = name.match(line);
            if (m.hasMatch())
                names.append(m.captured(1));
        }
        return names;
    };
    if (QStandardPaths::findExecutable(QStringLiteral("readelf")).isEmpty())
        GTEST_SKIP() << "readelf (binutils) is not installed";
    ASSERT_TRUE(sections(stub).contains(QStringLiteral(".debug_info"))) << "the build of the stub has no debug information";

    const QString in = Write(QStringLiteral("A.txt"), "alpha", Time1);
    const QString wizard = Path(QStringLiteral("Wizard"));
    const Result r = Run({QStringLiteral("build"), QStringLiteral("--stub"), stub, QStringLiteral("--out"), wizard, in});
    ASSERT_EQ(r.Code, 0) << r.Err.toStdString();

    const auto block = Os::ResourceBlock::Load(wizard);
    ASSERT_TRUE(block);
    EXPECT_LE(block->BlockOffset(), 3u << 20) << "the wizard's own part";
    const QString ownPart = Path(QStringLiteral("own-part"));
    QFile part(ownPart);
    ASSERT_TRUE(part.open(QIODevice::WriteOnly));
    part.write(ReadAll(wizard).left(qsizetype(block->BlockOffset())));
    part.close();
    const QStringList packed = sections(ownPart);
    ASSERT_TRUE(packed.contains(QStringLiteral(".text")));
    for (const QString &name : packed)
        EXPECT_FALSE(name.startsWith(QStringLiteral(".debug")) || name == QStringLiteral(".symtab")) << name.toStdString();
    // The build leaves the debug information beside the stub; the wizard points at it.
    if (QFileInfo::exists(stub + QStringLiteral(".debug"))) {
        EXPECT_TRUE(packed.contains(QStringLiteral(".gnu_debuglink")));
    }
    EXPECT_TRUE(sections(stub).contains(QStringLiteral(".debug_info"))) << "the build keeps its symbols";

    // Stripped, it is still the wizard.
    QProcess run;
    run.start(wizard, {QStringLiteral("--version")});
    ASSERT_TRUE(run.waitForFinished(60000));
    EXPECT_EQ(QString::fromLocal8Bit(run.readAllStandardOutput()).split(u'\n').value(0), QStringLiteral("Wizard 1.2.27.0"));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
