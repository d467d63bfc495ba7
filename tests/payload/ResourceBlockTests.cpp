// The resource block appended to a wizard: writing, reading, and every kind of damage.
#include "PayloadTestUtil.h"

#include "oslayer/Environment.h"
#include "oslayer/Exceptions.h"
#include "oslayer/ExeResources.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace PayloadTest;

namespace {

class ResourceBlockTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FDir.isValid());
        FStub = Path(QStringLiteral("stub"));
        FStubBytes = QByteArray("\x7F" "ELF pretend executable with an odd length.");
        WriteAll(FStub, FStubBytes);
        ::chmod(QFile::encodeName(FStub).constData(), 0755);
    }
    void TearDown() override
    {
        Os::Environment::SetOwnExecutableHostPath(QString());
        Os::ResourceBlock::ResetOwnForTests();
    }
    QString Path(const QString &name) const { return FDir.path() + u'/' + name; }

    QList<Os::ResourceEntry> SampleEntries() const
    {
        return {
            {Os::RT_RCDATA, QStringLiteral("UpdateInfo.txt"), QByteArray("rich text")},
            {Os::RT_RCDATA, QStringLiteral("qrt\\SA-00.int"), QByteArray("sub-folder")},
            {Os::RT_RCDATA, QStringLiteral("Empty.bin"), QByteArray()},
            {Os::RT_VERSION, QStringLiteral("1"), QByteArray("version block")},
        };
    }

    QTemporaryDir FDir;
    QString FStub;
    QByteArray FStubBytes;
};

TEST_F(ResourceBlockTest, WrittenEntriesReadBackByNameWithoutRegardToCase)
{
    const QString exe = Path(QStringLiteral("wizard"));
    Os::WriteExecutableWithResources(FStub, exe, SampleEntries());

    const auto block = Os::ResourceBlock::Load(exe);
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(ReadAll(exe).left(FStubBytes.size()), FStubBytes) << "the executable part is copied unchanged";
    EXPECT_GE(block->BlockOffset(), uint64_t(FStubBytes.size()));

    const struct {
        uint32_t Type;
        const char *Name;
        const char *Data;
    } cases[] = {
        {Os::RT_RCDATA, "UpdateInfo.txt", "rich text"},
        {Os::RT_RCDATA, "UPDATEINFO.TXT", "rich text"},
        {Os::RT_RCDATA, "updateinfo.txt", "rich text"},
        {Os::RT_RCDATA, "QRT\\sa-00.INT", "sub-folder"},
        {Os::RT_RCDATA, "empty.bin", ""},
        {Os::RT_VERSION, "1", "version block"},
    };
    for (const auto &c : cases) {
        const auto data = block->Find(c.Type, QString::fromLatin1(c.Name));
        ASSERT_TRUE(data.has_value()) << c.Name;
        EXPECT_EQ(*data, QByteArray(c.Data)) << c.Name;
    }
    EXPECT_FALSE(block->Find(Os::RT_RCDATA, QStringLiteral("1")).has_value()) << "types are kept apart";
    EXPECT_FALSE(block->Find(Os::RT_RCDATA, QStringLiteral("UpdateInfo")).has_value());
    EXPECT_EQ(*block->FirstOfType(Os::RT_VERSION), QByteArray("version block"));

    const QList<Os::ResourceEntry> entries = block->Entries();
    ASSERT_EQ(entries.size(), 4);
    EXPECT_EQ(entries[0].Name, QStringLiteral("UPDATEINFO.TXT")) << "names are stored upper-cased";
    EXPECT_EQ(entries[1].Name, QStringLiteral("QRT\\SA-00.INT"));
    EXPECT_EQ(entries[3].Type, uint32_t(Os::RT_VERSION));
}

TEST_F(ResourceBlockTest, FilesWithoutBlockHaveNoResources)
{
    const QByteArray contents[] = {QByteArray(), QByteArray("short"), QByteArray(39, 'x'), QByteArray(4096, 'y'),
                                   QByteArray(40, '\0')};
    for (const QByteArray &c : contents) {
        const QString file = Path(QStringLiteral("plain"));
        WriteAll(file, c);
        EXPECT_FALSE(Os::ResourceBlock::Load(file).has_value()) << c.size();
    }
    EXPECT_THROW(Os::ResourceBlock::Load(Path(QStringLiteral("missing"))), Os::Exception);
}

TEST_F(ResourceBlockTest, AWizardAsStubGivesOnlyItsExecutablePart)
{
    const QString first = Path(QStringLiteral("first"));
    const QString second = Path(QStringLiteral("second"));
    Os::WriteExecutableWithResources(FStub, first, SampleEntries());
    Os::WriteExecutableWithResources(first, second, {{Os::RT_RCDATA, QStringLiteral("Only.txt"), "x"}});

    const auto block = Os::ResourceBlock::Load(second);
    ASSERT_TRUE(block.has_value());
    ASSERT_EQ(block->Index().size(), 1);
    EXPECT_EQ(block->Index()[0].Name, QStringLiteral("ONLY.TXT"));
    EXPECT_EQ(ReadAll(second).left(qsizetype(block->BlockOffset())).left(FStubBytes.size()), FStubBytes);
    // Rebuilding from a wizard gives the same file as building from the bare stub.
    const QString direct = Path(QStringLiteral("direct"));
    Os::WriteExecutableWithResources(FStub, direct, {{Os::RT_RCDATA, QStringLiteral("Only.txt"), "x"}});
    EXPECT_EQ(ReadAll(second), ReadAll(direct));
    // Rebuilt in place: the stub is read before the output replaces it.
    Os::WriteExecutableWithResources(first, first, {{Os::RT_RCDATA, QStringLiteral("Only.txt"), "x"}});
    EXPECT_EQ(ReadAll(first), ReadAll(direct));
}

TEST_F(ResourceBlockTest, OutputKeepsTheStubRunnable)
{
    const struct {
        mode_t Stub;
        mode_t Out;
    } cases[] = {{0755, 0755}, {0700, 0700}, {0644, 0755}, {0600, 0700}, {0750, 0750}};
    for (const auto &c : cases) {
        ::chmod(QFile::encodeName(FStub).constData(), c.Stub);
        const QString exe = Path(QStringLiteral("wizard"));
        QFile::remove(exe);
        Os::WriteExecutableWithResources(FStub, exe, SampleEntries());
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(exe).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, c.Out) << std::oct << c.Stub;
    }
}

TEST_F(ResourceBlockTest, ARealExecutableStillRunsWithItsBlock)
{
    const QString stub = Path(QStringLiteral("true"));
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/true"), stub));
    const QString exe = Path(QStringLiteral("wizard"));
    Os::WriteExecutableWithResources(stub, exe, SampleEntries());
    EXPECT_EQ(std::system(QFile::encodeName(exe).constData()), 0);
}

TEST_F(ResourceBlockTest, NamesEqualWithoutRegardToCaseAreRefusedAndNothingIsWritten)
{
    const QString exe = Path(QStringLiteral("wizard"));
    WriteAll(exe, "previous build");
    const QList<Os::ResourceEntry> twice = {{Os::RT_RCDATA, QStringLiteral("Falcrest.exe"), "a"},
                                            {Os::RT_RCDATA, QStringLiteral("FALCREST.EXE"), "b"}};
    EXPECT_THROW(Os::WriteExecutableWithResources(FStub, exe, twice), Os::Exception);
    EXPECT_THROW(Os::WriteExecutableWithResources(FStub, exe, {{Os::RT_RCDATA, QString(), "a"}}), Os::Exception);
    EXPECT_EQ(ReadAll(exe), QByteArray("previous build"));
    // The same name under two types is two resources.
    Os::WriteExecutableWithResources(FStub, exe,
                                     {{Os::RT_RCDATA, QStringLiteral("1"), "a"}, {Os::RT_VERSION, QStringLiteral("1"), "b"}});
    EXPECT_EQ(*Os::ResourceBlock::Load(exe)->Find(Os::RT_VERSION, QStringLiteral("1")), QByteArray("b"));
}

TEST_F(ResourceBlockTest, FailedWriteLeavesTheTargetAndNoTemporaryFile)
{
    const QString exe = Path(QStringLiteral("wizard"));
    WriteAll(exe, "previous build");
    EXPECT_THROW(Os::WriteExecutableWithResources(Path(QStringLiteral("no-stub")), exe, SampleEntries()), Os::Exception);
    EXPECT_THROW(Os::WriteExecutableWithResources(FStub, Path(QStringLiteral("no/such/folder/wizard")), SampleEntries()),
                 Os::Exception);
    EXPECT_EQ(ReadAll(exe), QByteArray("previous build"));
    const QStringList left = QDir(FDir.path()).entryList(QDir::Files | QDir::Hidden);
    EXPECT_EQ(left, (QStringList{QStringLiteral("stub"), QStringLiteral("wizard")}));
}

// Each case damages a sound wizard in one way; loading must say so, never read out of bounds.
TEST_F(ResourceBlockTest, DamagedTrailerOrIndexRaisesAClearError)
{
    const QString exe = Path(QStringLiteral("wizard"));
    Os::WriteExecutableWithResources(FStub, exe, SampleEntries());
    const QByteArray sound = ReadAll(exe);
    const qsizetype t = sound.size() - 40;
    const auto index = qsizetype(Get64(sound, t + 8));
    const qsizetype firstEntry = index + 4;

    const struct {
        const char *What;
        std::function<void(QByteArray &)> Damage;
    } cases[] = {
        {"trailer byte flipped", [&](QByteArray &f) { f[t + 3] = char(f[t + 3] ^ 0x10); }},
        {"trailer check flipped", [&](QByteArray &f) { f[t + 28] = char(f[t + 28] ^ 1); }},
        {"unknown format version", [&](QByteArray &f) { Set32(f, t + 24, 2); ResealTrailer(f); }},
        {"index offset beyond the file", [&](QByteArray &f) { Set64(f, t + 8, uint64_t(f.size()) * 4); ResealTrailer(f); }},
        {"index size beyond the file", [&](QByteArray &f) { Set32(f, t + 16, 0xFFFFFF00u); ResealTrailer(f); }},
        {"index not ending at the trailer",
         [&](QByteArray &f) { Set32(f, t + 16, Get32(f, t + 16) - 4); ResealTrailer(f); }},
        {"block offset after the index", [&](QByteArray &f) { Set64(f, t, uint64_t(index) + 8); ResealTrailer(f); }},
        {"index byte flipped", [&](QByteArray &f) { f[firstEntry + 1] = char(f[firstEntry + 1] ^ 0x40); }},
        {"entry count too large", [&](QByteArray &f) { Set32(f, index, 1000000); ResealIndex(f); }},
        {"entry count too small", [&](QByteArray &f) { Set32(f, index, 1); ResealIndex(f); }},
        {"entry data beyond the index", [&](QByteArray &f) { Set64(f, firstEntry + 16, 1u << 30); ResealIndex(f); }},
        {"entry data before the block", [&](QByteArray &f) { Set64(f, firstEntry + 8, 0); ResealIndex(f); }},
        {"entry offset wrapping around",
         [&](QByteArray &f) { Set64(f, firstEntry + 8, ~uint64_t(0) - 2); ResealIndex(f); }},
        {"odd name length", [&](QByteArray &f) { Set32(f, firstEntry + 24, 3); ResealIndex(f); }},
        {"empty name", [&](QByteArray &f) { Set32(f, firstEntry + 24, 0); ResealIndex(f); }},
        {"name longer than the index", [&](QByteArray &f) { Set32(f, firstEntry + 24, 0x7FFFFFF0u); ResealIndex(f); }},
        {"same name twice",
         [&](QByteArray &f) {
             // "QRT\SA-00.INT" of the second entry becomes the first entry's name length and text.
             const qsizetype second = firstEntry + 28 + 28; // "UPDATEINFO.TXT": 28 bytes of name
             f.replace(second + 24, 4 + 28, QByteArray(Le32(28) + QByteArray(reinterpret_cast<const char *>(u"UPDATEINFO.TXT"), 28)));
             ResealIndex(f);
         }},
        {"bytes cut from the front", [&](QByteArray &f) { f.remove(0, 8); }},
        {"bytes cut from the middle", [&](QByteArray &f) { f.remove(index - 4, 4); }},
    };
    for (const auto &c : cases) {
        QByteArray damaged = sound;
        c.Damage(damaged);
        WriteAll(exe, damaged);
        try {
            Os::ResourceBlock::Load(exe);
            ADD_FAILURE() << c.What << ": loaded without an error";
        } catch (const Os::Exception &e) {
            EXPECT_TRUE(e.Message().contains(QStringLiteral("damaged"))) << c.What << ": " << e.what();
            EXPECT_TRUE(e.Message().contains(exe)) << c.What << ": the error names the file";
        }
    }
    // The magic itself gone: no block at all.
    QByteArray noMagic = sound;
    noMagic[noMagic.size() - 1] = 'X';
    WriteAll(exe, noMagic);
    EXPECT_FALSE(Os::ResourceBlock::Load(exe).has_value());
}

// Random damage to the index and trailer: loading either refuses or gives entries that all
// lie inside the file.
TEST_F(ResourceBlockTest, RandomDamageNeverReadsOutsideTheFile)
{
    const QString exe = Path(QStringLiteral("wizard"));
    Os::WriteExecutableWithResources(FStub, exe, SampleEntries());
    const QByteArray sound = ReadAll(exe);
    const auto index = qsizetype(Get64(sound, sound.size() - 40 + 8));
    QRandomGenerator rng(7);
    int refused = 0;
    for (int round = 0; round < 300; ++round) {
        QByteArray damaged = sound;
        for (int e = 0; e < 1 + int(rng.bounded(4)); ++e) {
            const qsizetype at = index + qsizetype(rng.bounded(quint32(sound.size() - index)));
            damaged[at] = char(rng.bounded(256));
        }
        if (round % 2)
            ResealIndex(damaged); // damage that the checks alone would not find
        WriteAll(exe, damaged);
        try {
            const auto block = Os::ResourceBlock::Load(exe);
            if (!block)
                continue;
            for (const auto &e : block->Index()) {
                EXPECT_LE(e.Offset + e.Size, uint64_t(damaged.size()));
                EXPECT_EQ(uint64_t(block->Find(e.Type, e.Name)->size()), e.Size);
            }
        } catch (const Os::Exception &) {
            ++refused;
        }
    }
    EXPECT_GT(refused, 100);
}

TEST_F(ResourceBlockTest, OwnBlockFollowsTheOwnExecutable)
{
    const QString a = Path(QStringLiteral("a"));
    const QString b = Path(QStringLiteral("b"));
    Os::WriteExecutableWithResources(FStub, a, {{Os::RT_RCDATA, QStringLiteral("A.txt"), "a"}});
    Os::WriteExecutableWithResources(FStub, b, {{Os::RT_RCDATA, QStringLiteral("B.txt"), "b"}});

    Os::Environment::SetOwnExecutableHostPath(a);
    const Os::ResourceBlock *own = Os::ResourceBlock::Own();
    ASSERT_NE(own, nullptr);
    EXPECT_TRUE(own->Find(Os::RT_RCDATA, QStringLiteral("a.txt")).has_value());
    EXPECT_EQ(Os::ResourceBlock::Own(), own) << "loaded once while nothing changes";

    Os::Environment::SetOwnExecutableHostPath(b);
    EXPECT_TRUE(Os::ResourceBlock::Own()->Find(Os::RT_RCDATA, QStringLiteral("b.txt")).has_value());

    // The same path rebuilt with other contents is read again.
    Os::WriteExecutableWithResources(FStub, b, {{Os::RT_RCDATA, QStringLiteral("C.txt"), "c, a little longer"}});
    EXPECT_TRUE(Os::ResourceBlock::Own()->Find(Os::RT_RCDATA, QStringLiteral("c.txt")).has_value());
    EXPECT_TRUE(own->Find(Os::RT_RCDATA, QStringLiteral("a.txt")).has_value()) << "an older pointer stays usable";

    Os::Environment::SetOwnExecutableHostPath(FStub);
    EXPECT_EQ(Os::ResourceBlock::Own(), nullptr) << "an executable without a block has no resources";
}

TEST_F(ResourceBlockTest, AFileThatShrankUnderALoadedBlockRaisesOnRead)
{
    const QString exe = Path(QStringLiteral("wizard"));
    Os::WriteExecutableWithResources(FStub, exe, SampleEntries());
    const auto block = Os::ResourceBlock::Load(exe);
    ASSERT_TRUE(block.has_value());
    WriteAll(exe, FStubBytes);
    EXPECT_THROW(block->Find(Os::RT_RCDATA, QStringLiteral("UpdateInfo.txt")), Os::Exception);
}

} // namespace
