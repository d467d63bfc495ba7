// Embedded files read from the own executable: into memory, into a stream, onto disk.
#include "PayloadTestUtil.h"

#include "oslayer/Environment.h"
#include "oslayer/Exceptions.h"
#include "oslayer/ExeResources.h"
#include "oslayer/Files.h"
#include "oslayer/WinError.h"
#include "payload/EmbeddedFiles.h"
#include "payload/PayloadTexts.h"
#include "payload/PayloadWriter.h"
#include "support/TempPrefix.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTimeZone>

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace PayloadTest;

namespace {

// 2021-03-01 10:00:00.1234567 UTC: sub-second ticks make a lost precision visible.
constexpr Os::FileTime Stamp = 132590340001234567ULL;

class EmbeddedFilesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FPrefix.IsValid());
        FStub = FPrefix.Root() + QStringLiteral("/stub");
        WriteAll(FStub, "stub executable");
        FExe = FPrefix.Root() + QStringLiteral("/wizard");
    }
    void TearDown() override
    {
        Os::Environment::SetOwnExecutableHostPath(QString());
        Os::ResourceBlock::ResetOwnForTests();
    }

    // A wizard holding these raw RCDATA entries, made the own executable.
    void InstallEntries(const QList<Os::ResourceEntry> &entries)
    {
        Os::WriteExecutableWithResources(FStub, FExe, entries);
        Os::Environment::SetOwnExecutableHostPath(FExe);
    }
    void InstallFiles(const QList<PayloadFile> &files)
    {
        WriteWizard(FStub, FExe, files, QStringLiteral("1.2.3.4"));
        Os::Environment::SetOwnExecutableHostPath(FExe);
    }
    // Names of every file in a host folder, hidden ones included.
    static QStringList FilesIn(const QString &hostFolder)
    {
        return QDir(hostFolder).entryList(QDir::Files | QDir::Hidden | QDir::System);
    }

    TempPrefix FPrefix;
    QString FStub;
    QString FExe;
};

TEST_F(EmbeddedFilesTest, ReadsDataAndTimeStampByNameWithoutRegardToCase)
{
    QByteArray program(300000, '\0');
    for (qsizetype i = 0; i < program.size(); ++i)
        program[i] = char(i * 7 % 251);
    InstallFiles({{QStringLiteral("Falcrest.exe"), program, Stamp},
                  {QStringLiteral("qrt\\SA-00.int"), QByteArray("sub-folder file"), Stamp + 1},
                  {QStringLiteral("AppInfo2.txt"), QByteArray(), Stamp + 2}});

    const struct {
        const char *Name;
        QByteArray Data;
        Os::FileTime Time;
    } cases[] = {
        {"Falcrest.exe", program, Stamp},
        {"FALCREST.EXE", program, Stamp},
        {"falcrest.Exe", program, Stamp},
        {"QRT\\sa-00.int", "sub-folder file", Stamp + 1},
        {"AppInfo2.txt", QByteArray(), Stamp + 2},
    };
    for (const auto &c : cases) {
        QByteArray data("stale");
        Os::FileTime time = 0;
        ASSERT_TRUE(ReadEmbeddedFile(QString::fromLatin1(c.Name), data, time)) << c.Name;
        EXPECT_EQ(data, c.Data) << c.Name;
        EXPECT_EQ(time, c.Time) << c.Name;
    }
    QByteArray data("stale");
    Os::FileTime time = 0;
    EXPECT_FALSE(ReadEmbeddedFile(QStringLiteral("Steps.txt"), data, time));
    EXPECT_TRUE(data.isEmpty());
    EXPECT_FALSE(ReadEmbeddedFile(QStringLiteral("qrt"), data, time)) << "a folder part is no name of its own";
}

TEST_F(EmbeddedFilesTest, AnExecutableWithoutPayloadHasNoEmbeddedFiles)
{
    Os::Environment::SetOwnExecutableHostPath(FStub);
    QByteArray data;
    Os::FileTime time = 0;
    EXPECT_FALSE(ReadEmbeddedFile(QStringLiteral("Updates.txt"), data, time));
    QString written = QStringLiteral("x");
    ExtractEmbeddedFile(QStringLiteral("Updates.txt"), QStringLiteral("C:\\Updates.txt"), written);
    EXPECT_TRUE(written.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(FPrefix.HostPath(QStringLiteral("C:\\Updates.txt"))));
}

TEST_F(EmbeddedFilesTest, ContainerBoundaries)
{
    const QByteArray data("Falcrest");
    const struct {
        const char *What;
        QByteArray Container;
    } cases[] = {
        {"exactly 16 + size bytes", Zlib(Header(8, Stamp) + data)},
        {"extra bytes after the data", Zlib(Header(8, Stamp) + data + QByteArray(1000, 'z'))},
        {"the size field's high half is ignored", Zlib(Le32(8) + Le32(0xFFFFFFFF) + Le32(uint32_t(Stamp)) +
                                                       Le32(uint32_t(Stamp >> 32)) + data)},
        {"what the packing tool writes", BuildEmbeddedContainer(data, Stamp)},
    };
    for (const auto &c : cases) {
        InstallEntries({{Os::RT_RCDATA, QStringLiteral("F.txt"), c.Container}});
        QByteArray out;
        Os::FileTime time = 0;
        ASSERT_TRUE(ReadEmbeddedFile(QStringLiteral("F.txt"), out, time)) << c.What;
        EXPECT_EQ(out, data) << c.What;
        EXPECT_EQ(time, Stamp) << c.What;
    }
    const QByteArray written = BuildEmbeddedContainer(data, Stamp);
    EXPECT_EQ(written.left(2), QByteArray("\x78\xDA")) << "maximum compression";
}

// Every damaged container must raise, hand out nothing and write nothing, also over an
// existing file.
TEST_F(EmbeddedFilesTest, DamagedContainersRaiseAndWriteNothing)
{
    const QByteArray data = QByteArray("Falcrest 2.12 program bytes ").repeated(200);
    const QByteArray sound = Zlib(Header(uint32_t(data.size()), Stamp) + data);
    QByteArray badAdler = sound;
    badAdler[badAdler.size() - 1] = char(badAdler[badAdler.size() - 1] ^ 0x55);
    QByteArray badDeflate = sound;
    for (qsizetype i = 20; i < 40; ++i)
        badDeflate[i] = char(badDeflate[i] ^ 0xA5);
    QByteArray badHeader = sound;
    badHeader[1] = char(badHeader[1] ^ 0x01);
    const QString readError = PayloadTexts::StreamReadError();

    const struct {
        const char *What;
        QByteArray Container;
        QString MessagePart;
    } cases[] = {
        {"data shorter than the size field", Zlib(Header(uint32_t(data.size()) + 1, Stamp) + data), readError},
        {"no data at all", Zlib(Header(10, Stamp)), readError},
        {"header cut short", Zlib(Header(10, Stamp).left(9)), readError},
        {"deflate stream cut inside the data", sound.left(sound.size() / 2), readError},
        {"stream cut before its Adler-32", sound.left(sound.size() - 4), QStringLiteral("cut short")},
        {"wrong Adler-32", badAdler, QStringLiteral("incorrect data check")},
        {"corrupt deflate data", badDeflate, QStringLiteral("damaged")},
        {"not a zlib stream", QByteArray("plain bytes, not compressed at all"), QStringLiteral("damaged")},
        {"zlib header check", badHeader, QStringLiteral("damaged")},
        {"empty resource", QByteArray(), QStringLiteral("empty")},
        {"size field beyond what the stream can hold", Zlib(Header(0xFFFFFFF0u, Stamp) + "abc"),
         QStringLiteral("size field")},
    };
    const QString target = QStringLiteral("C:\\WDremlix\\Kestrin\\Programs\\Falcrest.exe");
    const QString hostTarget =
        FPrefix.WriteFile(target, "installed 2.11", QDateTime(QDate(2020, 5, 6), QTime(7, 8, 9), Qt::UTC));
    const QString folder = QFileInfo(hostTarget).absolutePath();

    for (const auto &c : cases) {
        InstallEntries({{Os::RT_RCDATA, QStringLiteral("Falcrest.exe"), c.Container}});
        QByteArray out("stale");
        Os::FileTime time = 0;
        try {
            ReadEmbeddedFile(QStringLiteral("Falcrest.exe"), out, time);
            ADD_FAILURE() << c.What << ": read without an error";
        } catch (const Os::Exception &e) {
            EXPECT_TRUE(e.Message().contains(c.MessagePart)) << c.What << ": " << e.what();
        }
        EXPECT_TRUE(out.isEmpty()) << c.What << ": no partial buffer is handed out";

        QBuffer stream;
        stream.open(QIODevice::WriteOnly);
        EXPECT_THROW(ReadEmbeddedToStream(QStringLiteral("Falcrest.exe"), stream), Os::Exception) << c.What;
        EXPECT_EQ(stream.data().size(), 0) << c.What;

        QString written = QStringLiteral("x");
        EXPECT_THROW(ExtractEmbeddedFile(QStringLiteral("Falcrest.exe"), target, written), Os::Exception) << c.What;
        EXPECT_TRUE(written.isEmpty()) << c.What;
        EXPECT_EQ(ReadAll(hostTarget), QByteArray("installed 2.11")) << c.What << ": the installed file is untouched";
        EXPECT_EQ(QFileInfo(hostTarget).lastModified().toUTC(), QDateTime(QDate(2020, 5, 6), QTime(7, 8, 9), Qt::UTC))
            << c.What;
        EXPECT_EQ(FilesIn(folder), QStringList{QStringLiteral("Falcrest.exe")}) << c.What << ": no temporary file left";

        QString newTarget = QStringLiteral("C:\\New.exe");
        EXPECT_THROW(ExtractEmbeddedFile(QStringLiteral("Falcrest.exe"), newTarget, written), Os::Exception) << c.What;
        EXPECT_FALSE(QFileInfo::exists(FPrefix.HostPath(newTarget))) << c.What << ": no file created";
    }
}

TEST_F(EmbeddedFilesTest, ADamagedResourceBlockRaisesOnEveryRead)
{
    InstallFiles({{QStringLiteral("Updates.txt"), QByteArray("Falcrest"), Stamp}});
    QByteArray file = ReadAll(FExe);
    file[file.size() - 45] = char(file[file.size() - 45] ^ 0x01); // inside the index
    WriteAll(FExe, file);
    QByteArray data;
    Os::FileTime time = 0;
    EXPECT_THROW(ReadEmbeddedFile(QStringLiteral("Updates.txt"), data, time), Os::Exception);
    EXPECT_THROW(ReadEmbeddedFile(QStringLiteral("Absent.txt"), data, time), Os::Exception)
        << "a damaged block is not an empty one";
}

TEST_F(EmbeddedFilesTest, ReadToStreamWritesAtTheStreamsPosition)
{
    InstallFiles({{QStringLiteral("FalcrestGro.lst"), QByteArray("COM:FALCREST\r\nDES:Gro\r\n"), Stamp}});
    QBuffer stream;
    stream.open(QIODevice::ReadWrite);
    stream.write("earlier list|");
    ASSERT_TRUE(ReadEmbeddedToStream(QStringLiteral("falcrestgro.LST"), stream));
    EXPECT_EQ(stream.data(), QByteArray("earlier list|COM:FALCREST\r\nDES:Gro\r\n"));
    stream.seek(0);
    ASSERT_TRUE(ReadEmbeddedToStream(QStringLiteral("FalcrestGro.lst"), stream));
    EXPECT_TRUE(stream.data().startsWith("COM:FALCREST\r\nDES:Gro\r\n"));
    EXPECT_FALSE(ReadEmbeddedToStream(QStringLiteral("Other.lst"), stream));

    QBuffer readOnly;
    readOnly.open(QIODevice::ReadOnly);
    EXPECT_THROW(ReadEmbeddedToStream(QStringLiteral("FalcrestGro.lst"), readOnly), Os::Exception);
}

TEST_F(EmbeddedFilesTest, ExtractWritesTheFileWithItsTimeStamp)
{
    const QByteArray program = QByteArray("MZ new Falcrest ").repeated(5000);
    InstallFiles({{QStringLiteral("Falcrest.exe"), program, Stamp},
                  {QStringLiteral("AppInfo2.txt"), QByteArray(), Stamp + 10000000},
                  {QStringLiteral("qrt\\SA-00.int"), QByteArray("int"), Stamp}});
    const QString target = QStringLiteral("C:\\WDremlix\\Kestrin\\Programs\\Falcrest.exe");
    const QString hostTarget = FPrefix.WriteFile(target, "old program", QDateTime(QDate(2019, 1, 1), QTime(0, 0), Qt::UTC));
    ::chmod(QFile::encodeName(hostTarget).constData(), 0750);

    QString written;
    ExtractEmbeddedFile(QStringLiteral("FALCREST.EXE"), target, written);
    EXPECT_EQ(written, target);
    EXPECT_EQ(ReadAll(hostTarget), program);
    Os::FileTime time = 0;
    ASSERT_TRUE(Os::GetFileLastWriteTime(target, time));
    EXPECT_EQ(time, Stamp) << "the container's time, to the tick, not the time of extraction";
    struct stat st {};
    ::stat(QFile::encodeName(hostTarget).constData(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0750u) << "a replaced file keeps its permissions";

    // A 0-byte file is a file too.
    const QString empty = QStringLiteral("C:\\WDremlix\\Kestrin\\AppInfo2.txt");
    ExtractEmbeddedFile(QStringLiteral("AppInfo2.txt"), empty, written);
    EXPECT_EQ(written, empty);
    EXPECT_TRUE(QFileInfo(FPrefix.HostPath(empty)).isFile());
    EXPECT_EQ(QFileInfo(FPrefix.HostPath(empty)).size(), 0);
    ASSERT_TRUE(Os::GetFileLastWriteTime(empty, time));
    EXPECT_EQ(time, Stamp + 10000000);

    // Paths of the prefix are matched without regard to case.
    ExtractEmbeddedFile(QStringLiteral("qrt\\SA-00.int"), QStringLiteral("c:\\wdremlix\\KESTRIN\\SA-00.int"), written);
    EXPECT_EQ(ReadAll(FPrefix.HostPath(QStringLiteral("C:\\WDremlix\\Kestrin\\SA-00.int"))), QByteArray("int"));

    EXPECT_EQ(FilesIn(QFileInfo(hostTarget).absolutePath()), QStringList{QStringLiteral("Falcrest.exe")});

    // Absent: nothing written, the written path stays empty.
    written = QStringLiteral("x");
    ExtractEmbeddedFile(QStringLiteral("Falcrest.chm"), QStringLiteral("C:\\WDremlix\\Kestrin\\Falcrest.chm"), written);
    EXPECT_TRUE(written.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(FPrefix.HostPath(QStringLiteral("C:\\WDremlix\\Kestrin\\Falcrest.chm"))));
}

TEST_F(EmbeddedFilesTest, UnwritableTargetsRaiseTheSystemError)
{
    InstallFiles({{QStringLiteral("Falcrest.exe"), QByteArray("program"), Stamp}});
    FPrefix.MakeFolder(QStringLiteral("C:\\Folder.exe"));
    const QString readOnly = FPrefix.WriteFile(QStringLiteral("C:\\ReadOnly.exe"), "installed");
    ::chmod(QFile::encodeName(readOnly).constData(), 0444);
    const struct {
        const char *What;
        QString Target;
        uint32_t Code;
    } cases[] = {
        {"missing folder", QStringLiteral("C:\\No\\Such\\Folder\\Falcrest.exe"), Os::ERROR_PATH_NOT_FOUND},
        {"target is a folder", QStringLiteral("C:\\Folder.exe"), Os::ERROR_ACCESS_DENIED},
        {"drive without a link", QStringLiteral("Q:\\Falcrest.exe"), Os::ERROR_PATH_NOT_FOUND},
        {"read-only file", QStringLiteral("C:\\ReadOnly.exe"), Os::ERROR_ACCESS_DENIED},
    };
    for (const auto &c : cases) {
        QString written = QStringLiteral("x");
        try {
            ExtractEmbeddedFile(QStringLiteral("Falcrest.exe"), c.Target, written);
            ADD_FAILURE() << c.What << ": no error";
        } catch (const Os::EOSError &e) {
            EXPECT_EQ(e.ErrorCode(), c.Code) << c.What << ": " << e.what();
        }
        EXPECT_TRUE(written.isEmpty()) << c.What;
    }
    EXPECT_EQ(ReadAll(readOnly), QByteArray("installed"));
}

TEST_F(EmbeddedFilesTest, AFileHeldOpenIsReplacedWithoutDisturbingItsHolder)
{
    InstallFiles({{QStringLiteral("FalcrestGro.lst"), QByteArray("new print list"), Stamp}});
    const QString target = QStringLiteral("C:\\Programs\\FalcrestGro.lst");
    const QString host = FPrefix.WriteFile(target, "old print list");
    // Another process holds the file open and reads it after the replacement.
    const QByteArray hostName = QFile::encodeName(host);
    int pipeToChild[2], pipeFromChild[2];
    ASSERT_EQ(::pipe(pipeToChild), 0);
    ASSERT_EQ(::pipe(pipeFromChild), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::open(hostName.constData(), O_RDONLY);
        char go = 0;
        (void)::write(pipeFromChild[1], "r", 1);
        (void)::read(pipeToChild[0], &go, 1);
        char buffer[64] = {};
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, 0);
        (void)::write(pipeFromChild[1], buffer, n > 0 ? size_t(n) : 0);
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    ::close(pipeFromChild[1]);
    ::close(pipeToChild[0]);
    char ready = 0;
    ASSERT_EQ(::read(pipeFromChild[0], &ready, 1), 1);
    QString written;
    ExtractEmbeddedFile(QStringLiteral("FalcrestGro.lst"), target, written);
    EXPECT_EQ(written, target);
    EXPECT_EQ(ReadAll(host), QByteArray("new print list"));
    (void)::write(pipeToChild[1], "g", 1);
    char seen[64] = {};
    qsizetype got = 0;
    for (ssize_t n; (n = ::read(pipeFromChild[0], seen + got, sizeof seen - 1 - size_t(got))) > 0;)
        got += n;
    ::waitpid(child, nullptr, 0);
    ::close(pipeFromChild[0]);
    ::close(pipeToChild[1]);
    EXPECT_EQ(QByteArray(seen, got), QByteArray("old print list")) << "the holder still reads whole old bytes";
}

TEST_F(EmbeddedFilesTest, SetFileTimeStampSetsOnlyTheLastWriteTime)
{
    const QString file = QStringLiteral("C:\\Data\\Listino.txt");
    const QString host = FPrefix.WriteFile(file, "x");
    struct stat before {};
    ::stat(QFile::encodeName(host).constData(), &before);
    ASSERT_TRUE(SetFileTimeStamp(file, Stamp));
    Os::FileTime time = 0;
    ASSERT_TRUE(Os::GetFileLastWriteTime(file, time));
    EXPECT_EQ(time, Stamp);
    struct stat after {};
    ::stat(QFile::encodeName(host).constData(), &after);
    EXPECT_EQ(after.st_atim.tv_sec, before.st_atim.tv_sec) << "the last-access time stays";

    // Times before 1970 are valid FILETIMEs too (1 January 1965; earlier than 1901 some
    // file systems cannot keep).
    const Os::FileTime y1965 = 114867072000000000ULL;
    ASSERT_TRUE(SetFileTimeStamp(file, y1965));
    ASSERT_TRUE(Os::GetFileLastWriteTime(file, time));
    EXPECT_EQ(time, y1965);

    EXPECT_FALSE(SetFileTimeStamp(QStringLiteral("C:\\Data\\Missing.txt"), Stamp));
    EXPECT_FALSE(SetFileTimeStamp(QStringLiteral("C:\\Data"), Stamp)) << "a folder is no file";
    EXPECT_FALSE(SetFileTimeStamp(QStringLiteral("Q:\\x.txt"), Stamp));
    if (::geteuid() != 0) {
        ::chmod(QFile::encodeName(host).constData(), 0444);
        EXPECT_FALSE(SetFileTimeStamp(file, Stamp)) << "a read-only file cannot be opened for writing";
    }
}

TEST(EmbeddedContainerTest, BuildAndDecodeRoundTrip)
{
    QByteArray random(70000, '\0');
    QRandomGenerator rng(42);
    for (char &c : random)
        c = char(rng.bounded(256));
    const QByteArray inputs[] = {QByteArray(), QByteArray("a"), QByteArray(1 << 20, 'x'), random};
    for (const QByteArray &in : inputs) {
        const QByteArray container = BuildEmbeddedContainer(in, Stamp);
        QByteArray out;
        Os::FileTime time = 0;
        DecodeEmbeddedContainer(container, out, time);
        EXPECT_EQ(out, in) << in.size();
        EXPECT_EQ(time, Stamp);
        uint32_t size = 0;
        PeekEmbeddedHeader(container, size, time);
        EXPECT_EQ(size, uint32_t(in.size()));
        // The inflated stream is exactly header + data.
        QByteArray raw(EmbeddedHeaderSize + in.size() + 1, '\0');
        auto rawSize = uLongf(raw.size());
        ASSERT_EQ(uncompress(reinterpret_cast<Bytef *>(raw.data()), &rawSize,
                             reinterpret_cast<const Bytef *>(container.constData()), uLong(container.size())),
                  Z_OK);
        EXPECT_EQ(qsizetype(rawSize), EmbeddedHeaderSize + in.size());
    }
}

} // namespace
