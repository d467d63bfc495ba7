// A run's files all or nothing: a held program, a copy that fails while the files are put in
// place, a collision of temporary names, batches of listed files, owner and mode.
#include "UpdateFixture.h"

#include "oslayer/Files.h"
#include "platform/GeneralRoutines.h"
#include "update/FileTransaction.h"

#include <QDir>
#include <QRegularExpression>
#include <QSet>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString Folder = QStringLiteral("C:\\WDremlix\\Kestrin\\Programs\\");
const QString Program = Folder + QLatin1String("Falcrest.exe");
const QStringList PrintLists { QStringLiteral("FalcrestGro.lst"), QStringLiteral("FalcrestGrp.lst") };

QByteArray Bytes(qsizetype size, int salt)
{
    QByteArray bytes(size, char('a' + salt % 26));
    for (qsizetype i = 0; i < size; i += 251)
        bytes[i] = char(salt * 7 + i);
    return bytes;
}

} // namespace

class TransactionTest : public UpdateFixture {
protected:
    void TearDown() override
    {
        TdmUpdateCommon::SetListedBatchBytes(uint64_t(64) * 1024 * 1024);
        TFileTransaction::FailCommitAfterForTests(-1);
        UpdateFixture::TearDown();
    }

    // An installed Falcrest with listed files (one of them new to the folder) and print lists.
    void Lay(int listed = 6, qsizetype firstSize = 0)
    {
        InstallOrvanta();
        WritePe(Program, 2, 0, 0, 1);
        FOld.insert(QStringLiteral("Falcrest.exe"), ReadFile(Program));
        FNew.insert(QStringLiteral("Falcrest.exe"), PeFile(2, 0, 0, 2));
        QStringList names;
        for (int i = 0; i < listed; ++i) {
            const QString name = QStringLiteral("Listed%1.dat").arg(i);
            names.append(name);
            FNew.insert(name, Bytes(i == 0 && firstSize > 0 ? firstSize : 100 + i * 37, i));
            FPayload.Add(name, FNew.value(name));
            if (i == 0)
                continue; // new to the folder
            FOld.insert(name, Bytes(50 + i, i + 100));
            WriteFile(Folder + name, FOld.value(name));
        }
        for (const QString &name : PrintLists) {
            FNew.insert(name, "COM:1\r\nDES:" + name.toLatin1() + "\r\n");
            FPayload.Add(name, FNew.value(name));
        }
        FPayload.AddList(QStringLiteral("Updates.txt"), { QStringLiteral("Falcrest") })
            .Add(QStringLiteral("Falcrest.exe"), FNew.value(QStringLiteral("Falcrest.exe")))
            .AddList(QStringLiteral("FileNames.txt"), names)
            .AddList(QStringLiteral("PrintLists.txt"), PrintLists);
        StartEngine(7);
    }

    // The folder holds exactly the old files, byte for byte: nothing added, nothing left over.
    void ExpectAllOld()
    {
        QStringList entries = QDir(Host(Folder)).entryList(QDir::Files | QDir::Hidden | QDir::System);
        QStringList expected = FOld.keys();
        entries.sort();
        expected.sort();
        EXPECT_EQ(entries, expected);
        for (auto it = FOld.cbegin(); it != FOld.cend(); ++it)
            EXPECT_EQ(ReadFile(Folder + it.key()), it.value()) << it.key().toStdString();
        EXPECT_FALSE(QFileInfo::exists(FPrefix->Root() + QStringLiteral("/.dremlix-update/journal")));
    }

    void ExpectAllNew()
    {
        QStringList entries = QDir(Host(Folder)).entryList(QDir::Files | QDir::Hidden | QDir::System);
        QStringList expected = FNew.keys();
        entries.sort();
        expected.sort();
        EXPECT_EQ(entries, expected);
        for (auto it = FNew.cbegin(); it != FNew.cend(); ++it)
            EXPECT_EQ(ReadFile(Folder + it.key()), it.value()) << it.key().toStdString();
        EXPECT_FALSE(QFileInfo::exists(FPrefix->Root() + QStringLiteral("/.dremlix-update/journal")));
    }

    // The closing lines of a rollback: one per file the commit had put in place, then the
    // closing line.
    QStringList RollbackLines(const QStringList &targets) const
    {
        QStringList lines;
        for (const QString &target : targets) {
            const bool existed = FOld.contains(target);
            lines.append(QStringLiteral("L'archivio %1 è %2.")
                             .arg(Folder + target,
                                 existed ? QStringLiteral("ripristinato") : QStringLiteral("eliminato")));
        }
        lines.append(QStringLiteral(
            "Aggiornamento annullato: gli archivi del prodotto sono tornati come prima dell'aggiornamento."));
        lines.append(QString());
        return lines;
    }

    QHash<QString, QByteArray> FOld;
    QHash<QString, QByteArray> FNew;
};

TEST_F(TransactionTest, AHeldProgramLeavesEveryFileAsItWas)
{
    Lay();
    HoldOpen(Program);
    EXPECT_EQ(FEngine->UpdateFalcrest(), uoFailure);
    ExpectAllOld();
    const QStringList lines = Lines();
    // The held file is found before any installed file changes: the error names it, and
    // there is nothing to put back, so no line says anything was restored.
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines.at(lines.size() - 2), QStringLiteral("Error: Erreur système.  Code : 32."))
        << Dump().toStdString();
    EXPECT_EQ(lines.constLast(), QStringLiteral("The process cannot access the file because it is being used by another process."))
        << Dump().toStdString();
}

TEST_F(TransactionTest, AFailureWhileFilesGoInPutsBackBytesTimeModeAndOwner)
{
    // After 0, some and all but one of the files are in place, the commit fails.
    for (const int placed : { 0, 3, 8 }) {
        SCOPED_TRACE(placed);
        Reset();
        Lay();
        const QString held = Host(Folder + QStringLiteral("Listed2.dat"));
        ASSERT_EQ(::chmod(QFile::encodeName(held).constData(), 0751), 0);
        ASSERT_EQ(::chown(QFile::encodeName(held).constData(), 4321, 4322), 0);
        struct stat before { };
        ASSERT_EQ(::stat(QFile::encodeName(held).constData(), &before), 0);
        TFileTransaction::FailCommitAfterForTests(placed);
        EXPECT_EQ(FEngine->UpdateFalcrest(), uoFailure);
        ExpectAllOld();
        struct stat after { };
        ASSERT_EQ(::stat(QFile::encodeName(held).constData(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(after.st_gid, before.st_gid);
        EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        EXPECT_TRUE(Lines().contains(QStringLiteral("Error: Erreur système.  Code : 21.")))
            << Dump().toStdString();
        if (placed == 0) {
            // The commit stopped before its first file: nothing was put back.
            EXPECT_FALSE(Lines().contains(QStringLiteral(
                "Aggiornamento annullato: gli archivi del prodotto sono tornati come prima dell'aggiornamento.")))
                << Dump().toStdString();
            continue;
        }
        // One line per file the commit had reached, in the order they were staged, and only
        // for those; then the closing line.
        QStringList staged;
        for (int i = 0; i < 6; ++i)
            staged.append(QStringLiteral("Listed%1.dat").arg(i));
        staged += PrintLists;
        const QStringList expected = RollbackLines(staged.mid(0, placed));
        ASSERT_GE(Lines().size(), expected.size());
        EXPECT_EQ(Lines().mid(Lines().size() - expected.size()), expected) << Dump().toStdString();
    }
}

TEST_F(TransactionTest, ASuccessfulRunKeepsOwnerAndModeAndLeavesNoBackup)
{
    Lay();
    const QByteArray program = QFile::encodeName(Host(Program));
    ASSERT_EQ(::chmod(program.constData(), 0755), 0);
    ASSERT_EQ(::chown(program.constData(), 4321, 4322), 0);
    // A new file takes the owner of its folder (root updating a user's prefix).
    const QByteArray folder = QFile::encodeName(Host(Folder));
    ASSERT_EQ(::chown(folder.constData(), 1234, 1235), 0);
    EXPECT_EQ(FEngine->UpdateFalcrest(), uoSuccess) << Dump().toStdString();
    ExpectAllNew();
    struct stat st { };
    ASSERT_EQ(::stat(program.constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 4322u);
    ASSERT_EQ(::stat(QFile::encodeName(Host(Folder + QStringLiteral("Listed0.dat"))).constData(), &st), 0);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 1235u);
}

TEST_F(TransactionTest, EqualTemporaryNamesNeverSwapTheFilesOfABatch)
{
    Lay(40);
    // A seed under which two of the batch's forty draws are equal.
    uint64_t seed = 1;
    for (;; ++seed) {
        RandSeed(seed);
        QSet<uint32_t> drawn;
        bool equal = false;
        for (int i = 0; i < 40 && !equal; ++i) {
            const uint32_t draw = Random(10000000);
            equal = drawn.contains(draw);
            drawn.insert(draw);
        }
        if (equal)
            break;
    }
    FEngine->LoadList(QStringLiteral("FileNames.txt"), FEngine->FileNames());
    RandSeed(seed);
    EXPECT_TRUE(FEngine->InstallListedFiles(Folder, true)) << Dump().toStdString();
    for (int i = 0; i < 40; ++i) {
        const QString name = QStringLiteral("Listed%1.dat").arg(i);
        EXPECT_EQ(ReadFile(Folder + name), FNew.value(name)) << name.toStdString();
    }
    static const QRegularExpression deleted(QStringLiteral("^Archivio .* è eliminato\\.$"));
    EXPECT_TRUE(Lines().filter(deleted).isEmpty()) << Dump().toStdString();
}

TEST_F(TransactionTest, ListedFilesBeyondTheFirstBatchAreInstalled)
{
    // Batches of a few files, then the shipped size with a first file that fills a batch.
    for (const uint64_t batch : { uint64_t(300), uint64_t(64) * 1024 * 1024 }) {
        SCOPED_TRACE(batch);
        Reset();
        TdmUpdateCommon::SetListedBatchBytes(batch);
        Lay(9, batch > 1000 ? qsizetype(batch) : 0);
        EXPECT_EQ(FEngine->UpdateFalcrest(), uoSuccess) << Dump().toStdString();
        ExpectAllNew();
    }
}
