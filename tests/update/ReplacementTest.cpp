// Copying over installed files with report lines, the decision by version with the
// user's consent, and the copy of the listed files.
#include "UpdateFixture.h"

#include "oslayer/Exceptions.h"
#include "oslayer/Files.h"
#include "platform/GeneralRoutines.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cerrno>
#include <memory>
#include <sys/mount.h>

namespace {

const QString Installed = QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe");
const QString NewFile = QStringLiteral("C:\\temp\\Nuovo.exe");
constexpr qsizetype KiB = 1024;

} // namespace

TEST_F(UpdateFixture, CopyFileLoggedWritesBothLinesAndClearsReadOnly)
{
    StartEngine(1);
    WriteFile(NewFile, "new bytes");
    WriteFile(Installed, "old bytes");
    ASSERT_TRUE(Os::SetFileAttributes(Installed, Os::FILE_ATTRIBUTE_READONLY));
    FEngine->CopyFileLogged(NewFile, Installed, true);
    EXPECT_EQ(ReadFile(Installed), QByteArray("new bytes"));
    EXPECT_EQ(Os::GetFileAttributes(Installed) & Os::FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(Lines(),
        (QStringList {
            QStringLiteral("Copia di ") + NewFile, QStringLiteral("Verso ") + Installed, QString() }));

    FEngine->CopyFileLogged(NewFile, QStringLiteral("C:\\temp\\copy.exe"), false);
    EXPECT_EQ(Lines().size(), 3);
}

TEST_F(UpdateFixture, CopyFileLoggedFailureNamesSourceTargetAndSystemError)
{
    StartEngine(1);
    WriteFile(Installed, "old bytes");
    try {
        FEngine->CopyFileLogged(QString(), Installed, true);
        FAIL() << "a copy from nothing succeeded";
    } catch (const Os::Exception &e) {
        EXPECT_TRUE(e.Message().startsWith(QStringLiteral("Source: \r\nTarget: ") + Installed
            + QStringLiteral("\r\n\r\nError: Erreur système.  Code : ")))
            << e.Message().toStdString();
    }
    EXPECT_EQ(ReadFile(Installed), QByteArray("old bytes"));
    EXPECT_EQ(Lines().first(), QStringLiteral("Copia di "));
}

TEST_F(UpdateFixture, ReplaceIfNewerDecidesByVersionAndAsks)
{
    StartEngine(1);
    const QString newer
        = QStringLiteral(" presente sul vostro sistema è più recente\r\nche quello che è contenuto in "
                         "quest'aggiornamento.\r\nPoteste installare un vecchio archivio  ?");
    const QString same
        = QStringLiteral(" presente sul vostro sistema è aggiornato.\r\nVolete tuttavia effettuare "
                         "l'aggiornamento ?");
    struct Case {
        const char *Name;
        int InstalledBuild; // -1: not installed
        int NewBuild;
        bool Answer;
        bool CheckOnly;
        QString Question; // empty: none asked
        TUpdateOutcome Expected;
        QStringList ExpectedLines;
        bool Replaced;
    };
    const QStringList copyLines { QStringLiteral("Copia di ") + NewFile, QStringLiteral("Verso ") + Installed,
        QString() };
    const QList<Case> cases {
        { "newer payload", 1, 2, false, false, QString(), uoSuccess, copyLines, true },
        { "newer payload, check only", 1, 2, false, true, QString(), uoSuccess, {}, false },
        { "installed newer, No", 3, 2, false, false, newer, uoNotDone,
            { QStringLiteral("L'archivio ") + Installed, QStringLiteral("non è sostituito !!!"), QString() },
            false },
        { "installed newer, Yes", 3, 2, true, false, newer, uoSuccess, copyLines, true },
        { "same version, No", 2, 2, false, false, same, uoNotDone,
            { QStringLiteral("L'archivio ") + Installed, QStringLiteral("è aggiornati: non è sostituito."),
                QString() },
            false },
        { "same version, Yes, check only", 2, 2, true, true, same, uoSuccess, {}, false },
    };
    for (const Case &c : cases) {
        ScriptedUiServices ui;
        FDocument->clear();
        FReport = std::make_unique<TDocumentReport>(FDocument.get());
        FEngine->SetReport(FReport.get());
        WritePe(Installed, 5, 0, 0, uint16_t(c.InstalledBuild));
        WritePe(NewFile, 5, 0, 0, uint16_t(c.NewBuild));
        const QByteArray before = ReadFile(Installed);
        ui.QueueAnswer(c.Answer);
        EXPECT_EQ(FEngine->ReplaceIfNewer(NewFile, Installed, true, c.CheckOnly), c.Expected) << c.Name;
        EXPECT_EQ(Lines(), c.ExpectedLines) << c.Name;
        EXPECT_EQ(ReadFile(Installed), c.Replaced ? ReadFile(NewFile) : before) << c.Name;
        if (c.Question.isEmpty()) {
            EXPECT_TRUE(ui.Boxes().isEmpty()) << c.Name;
        } else {
            ASSERT_EQ(ui.Boxes().size(), 1) << c.Name;
            EXPECT_EQ(ui.Boxes().at(0).Caption, QStringLiteral("Confirmer")) << c.Name;
            EXPECT_EQ(ui.Boxes().at(0).Text, QStringLiteral("L'archivio Orvanta.exe") + c.Question) << c.Name;
            // The exclamation beep, then the question's own sound.
            EXPECT_EQ(ui.Beeps(), (QList<uint32_t> { 0x30, 0x20 })) << c.Name;
        }
    }
}

TEST_F(UpdateFixture, ReplaceIfNewerWithoutAnInstalledFile)
{
    StartEngine(1);
    WritePe(NewFile, 5);
    try {
        FEngine->ReplaceIfNewer(NewFile, Installed, true, false);
        FAIL() << "a missing installed file was accepted";
    } catch (const Os::Exception &e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Archivio non trovato : ") + Installed);
    }
    // Not required: copied into place without a question.
    ASSERT_TRUE(Os::ForceDirectories(QStringLiteral("C:\\WDremlix\\ORV\\Programs")));
    EXPECT_EQ(FEngine->ReplaceIfNewer(NewFile, Installed, false, false), uoSuccess);
    EXPECT_EQ(ReadFile(Installed), ReadFile(NewFile));
    EXPECT_TRUE(FUi->Boxes().isEmpty());
    // A new file that is not there is the comparison's error.
    EXPECT_THROW(
        FEngine->ReplaceIfNewer(QStringLiteral("C:\\temp\\none.exe"), Installed, true, false), Os::Exception);
}

TEST_F(UpdateFixture, ReplaceIfNewerOverAFileInUseFailsWithOnlyTheCopyLines)
{
    StartEngine(1);
    WritePe(Installed, 5, 0, 0, 1);
    WritePe(NewFile, 5, 0, 0, 2);
    const QByteArray before = ReadFile(Installed);
    HoldOpen(Installed);
    EXPECT_EQ(FEngine->ReplaceIfNewer(NewFile, Installed, true, false), uoFailure);
    EXPECT_EQ(Lines(),
        (QStringList {
            QStringLiteral("Copia di ") + NewFile, QStringLiteral("Verso ") + Installed, QString() }));
    EXPECT_EQ(ReadFile(Installed), before);
}

TEST_F(UpdateFixture, InstallListedFilesCopiesWhatItCanAndRefusesNamesOutsideTheFolder)
{
    const QString folder = QStringLiteral("C:\\WDremlix\\Kestrin\\Programs");
    FPayload.Add(QStringLiteral("Falcrest.chm"), "help")
        .Add(QStringLiteral("img\\logo.bmp"), "logo")
        .Add(QStringLiteral("..\\escape.dll"), "bad")
        .Add(QStringLiteral("C:\\evil.dll"), "bad")
        .Add(QStringLiteral("\\rooted.dll"), "bad")
        .AddList(QStringLiteral("FileNames.txt"),
            { QStringLiteral("Falcrest.chm"), QStringLiteral("Missing.dll"), QStringLiteral("img\\logo.bmp"),
                QStringLiteral("..\\escape.dll"), QStringLiteral("C:\\evil.dll"),
                QStringLiteral("\\rooted.dll") });
    ASSERT_TRUE(Os::ForceDirectories(folder + QLatin1String("\\img")));
    StartEngine(7);
    ASSERT_EQ(FEngine->LoadList(QStringLiteral("FileNames.txt"), FEngine->FileNames()), 6);
    EXPECT_FALSE(FEngine->InstallListedFiles(folder, true));

    EXPECT_EQ(ReadFile(folder + QLatin1String("\\Falcrest.chm")), QByteArray("help"));
    EXPECT_EQ(ReadFile(folder + QLatin1String("\\img\\logo.bmp")), QByteArray("logo"));
    EXPECT_FALSE(Exists(QStringLiteral("C:\\WDremlix\\Kestrin\\escape.dll")));
    EXPECT_FALSE(Exists(QStringLiteral("C:\\evil.dll")));
    EXPECT_FALSE(Exists(QStringLiteral("C:\\rooted.dll")));
    // The installed copy carries the container's time stamp, not the time of the copy.
    Os::FileTime written = 0;
    ASSERT_TRUE(Os::GetFileLastWriteTime(folder + QLatin1String("\\Falcrest.chm"), written));
    EXPECT_EQ(written, PayloadBuilder::DefaultTimeStamp());

    const QStringList lines = Lines();
    ASSERT_GE(lines.size(), 12) << Dump().toStdString();
    EXPECT_TRUE(lines.at(0).startsWith(QStringLiteral("Copia di C:\\temp\\Update")));
    EXPECT_EQ(lines.at(1), QStringLiteral("Verso ") + folder + QLatin1String("\\Falcrest.chm"));
    // A file the payload lacks: a copy line with an empty source.
    EXPECT_EQ(lines.at(3), QStringLiteral("Copia di "));
    EXPECT_EQ(lines.at(4), QStringLiteral("Verso ") + folder + QLatin1String("\\Missing.dll"));
    EXPECT_TRUE(lines.contains(QStringLiteral("Nome di archivio non valido : ..\\escape.dll")));
    EXPECT_TRUE(lines.contains(QStringLiteral("Nome di archivio non valido : C:\\evil.dll")));
    EXPECT_TRUE(lines.contains(QStringLiteral("Nome di archivio non valido : \\rooted.dll")));
}

TEST_F(UpdateFixture, InstallListedFilesWithAnEmptyListSucceeds)
{
    StartEngine(12);
    EXPECT_TRUE(FEngine->InstallListedFiles(QStringLiteral("C:\\"), true));
    EXPECT_TRUE(Lines().isEmpty());
}

TEST_F(UpdateFixture, InstallListedFilesReplacesInstalledFilesExceptThoseInUse)
{
    const QString folder = QStringLiteral("C:\\WDremlix\\Kestrin\\Programs\\");
    WriteFile(folder + QLatin1String("Free.dll"), "old free");
    WriteFile(folder + QLatin1String("Held.dll"), "old held");
    FPayload.Add(QStringLiteral("Free.dll"), "new free")
        .Add(QStringLiteral("Held.dll"), "new held")
        .Add(QStringLiteral("Fresh.dll"), QByteArray(200000, 'f'))
        .AddList(QStringLiteral("FileNames.txt"),
            { QStringLiteral("Free.dll"), QStringLiteral("Held.dll"), QStringLiteral("Fresh.dll") });
    StartEngine(7);
    HoldOpen(folder + QLatin1String("Held.dll"));
    ASSERT_EQ(FEngine->LoadList(QStringLiteral("FileNames.txt"), FEngine->FileNames()), 3);
    EXPECT_FALSE(FEngine->InstallListedFiles(folder, true)) << "a file in use is a failure";

    EXPECT_EQ(ReadFile(folder + QLatin1String("Free.dll")), QByteArray("new free"));
    EXPECT_EQ(ReadFile(folder + QLatin1String("Held.dll")), QByteArray("old held"));
    EXPECT_EQ(ReadFile(folder + QLatin1String("Fresh.dll")), QByteArray(200000, 'f'));
    for (const char *name : { "Free.dll", "Fresh.dll" }) {
        Os::FileTime written = 0;
        ASSERT_TRUE(Os::GetFileLastWriteTime(folder + QLatin1String(name), written));
        EXPECT_EQ(written, PayloadBuilder::DefaultTimeStamp()) << name;
    }
    EXPECT_EQ(QDir(Host(folder)).entryList(QDir::Files | QDir::Hidden),
        (QStringList { QStringLiteral("Free.dll"), QStringLiteral("Fresh.dll"), QStringLiteral("Held.dll") }))
        << "nothing of a copy is left beside the installed files";
    // The file in use is named with the system's reason after its copy lines.
    const QStringList lines = Lines();
    ASSERT_EQ(lines.size(), 13) << Dump().toStdString();
    EXPECT_EQ(lines.mid(3, 7),
        (QStringList { lines.at(3), QStringLiteral("Verso ") + folder + QLatin1String("Held.dll"), QString(),
            QStringLiteral("Un errore si è prodotto durante l'aggiornamento di ") + folder
                + QLatin1String("Held.dll"),
            QStringLiteral("Error: Erreur système.  Code : 32."),
            QStringLiteral("The process cannot access the file because it is being used by another process."),
            QString() }));
    EXPECT_TRUE(lines.at(10).startsWith(QLatin1String("Copia di C:\\temp\\Update")))
        << lines.at(10).toStdString();
    EXPECT_EQ(lines.at(11), QStringLiteral("Verso ") + folder + QLatin1String("Fresh.dll"));

    // The extracted files took the places of the installed ones; the one that could not
    // lives only as long as the engine.
    const QString temp = Host(TempFolder());
    EXPECT_EQ(QDir(temp).entryList({ QStringLiteral("Update*.tmp") }, QDir::Files).size(), 1);
    FEngine.reset();
    EXPECT_TRUE(QDir(temp).entryList({ QStringLiteral("Update*.tmp") }, QDir::Files | QDir::Hidden).isEmpty());
}

TEST_F(UpdateFixture, AFullDiskNeverLeavesAHalfWrittenInstalledFile)
{
    StartEngine(1);
    WritePe(Installed, 5, 0, 0, 1);
    QByteArray bigger = PeFile(5, 0, 0, 2);
    bigger += QByteArray(64 * KiB, 'x');
    WriteFile(NewFile, bigger);
    const QByteArray before = ReadFile(Installed);
    const QStringList entriesBefore
        = QDir(Host(QStringLiteral("C:\\WDremlix\\ORV\\Programs"))).entryList(QDir::Files);

    Os::SetWriteFailureForTests(4096, ENOSPC);
    EXPECT_EQ(FEngine->ReplaceIfNewer(NewFile, Installed, true, false), uoFailure);
    try {
        FEngine->CopyFileLogged(NewFile, Installed, false);
        ADD_FAILURE() << "the copy on a full disk succeeded";
    } catch (const Os::Exception &e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("Error: Erreur système.  Code : 112.")))
            << e.Message().toStdString();
    }
    Os::SetWriteFailureForTests(-1, 0);

    EXPECT_EQ(ReadFile(Installed), before);
    // Nothing of the broken copy is left beside the installed file.
    EXPECT_EQ(
        QDir(Host(QStringLiteral("C:\\WDremlix\\ORV\\Programs"))).entryList(QDir::Files), entriesBefore);
}

namespace {

// The product's folder on a file system of its own with little room: a small tmpfs mounted
// over it where this process may mount, else a folder of /dev/shm whose fullness the
// failing-write switch of the file layer plays. Either way the extracted files cannot be
// renamed into it and are copied, as onto another disk.
class SmallFileSystem {
public:
    SmallFileSystem(const QString &hostFolder, qint64 bytes)
        : FFolder(hostFolder)
    {
        QDir().mkpath(hostFolder);
        const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0755";
        FMounted = ::mount("dremlix-test", QFile::encodeName(hostFolder).constData(), "tmpfs", 0,
                       options.constData())
            == 0;
        if (FMounted)
            return;
        QDir(hostFolder).removeRecursively();
        FShm = std::make_unique<QTemporaryDir>(QStringLiteral("/dev/shm/dremlix-full-XXXXXX"));
        if (FShm->isValid() && QFile::link(FShm->path(), hostFolder))
            Os::SetWriteFailureForTests(bytes, ENOSPC);
    }
    ~SmallFileSystem()
    {
        if (FMounted)
            ::umount2(QFile::encodeName(FFolder).constData(), MNT_DETACH);
        else
            Os::SetWriteFailureForTests(-1, 0);
    }
    SmallFileSystem(const SmallFileSystem &) = delete;
    SmallFileSystem &operator=(const SmallFileSystem &) = delete;

    bool Ready() const { return FMounted || (FShm && FShm->isValid()); }

private:
    QString FFolder;
    bool FMounted = false;
    std::unique_ptr<QTemporaryDir> FShm;
};

} // namespace

TEST_F(UpdateFixture, ListedFilesThatDoNotFitAreNamedWithTheSystemsReason)
{
    const QString folder = QStringLiteral("C:\\WDremlix\\Kestrin\\Programs\\");
    InstallOrvanta();
    const SmallFileSystem disk(
        Host(QStringLiteral("C:\\WDremlix\\Kestrin")) + QLatin1String("/Programs"), 256 * KiB);
    ASSERT_TRUE(disk.Ready());
    WritePe(folder + QLatin1String("Falcrest.exe"), 2, 0, 0, 1);
    const QByteArray oldProgram = ReadFile(folder + QLatin1String("Falcrest.exe"));
    FPayload.Add(QStringLiteral("Falcrest.exe"), PeFile(2, 0, 0, 2))
        .Add(QStringLiteral("Falcrest.chm"), QByteArray(40 * KiB, 'h'))
        .Add(QStringLiteral("Grande.dll"), QByteArray(400 * KiB, 'g'))
        .Add(QStringLiteral("Piccolo.dll"), QByteArray(10 * KiB, 'p'))
        .AddList(QStringLiteral("FileNames.txt"),
            { QStringLiteral("Falcrest.chm"), QStringLiteral("Grande.dll"), QStringLiteral("Piccolo.dll") })
        .AddList(QStringLiteral("PrintLists.txt"), {});
    StartEngine(7);
    EXPECT_EQ(FEngine->UpdateFalcrest(), uoWarnings);

    const QStringList lines = Lines();
    ASSERT_EQ(lines.size(), 13) << Dump().toStdString();
    for (const int at : { 0, 3, 10 })
        EXPECT_TRUE(lines.at(at).startsWith(QLatin1String("Copia di C:\\temp\\Update")))
            << lines.at(at).toStdString();
    EXPECT_EQ(lines.at(1), QStringLiteral("Verso ") + folder + QLatin1String("Falcrest.chm"));
    EXPECT_EQ(lines.mid(4, 6),
        (QStringList { QStringLiteral("Verso ") + folder + QLatin1String("Grande.dll"), QString(),
            QStringLiteral("Un errore si è prodotto durante l'aggiornamento di ") + folder
                + QLatin1String("Grande.dll"),
            QStringLiteral("Error: Erreur système.  Code : 112."),
            QStringLiteral("There is not enough space on the disk."), QString() }));
    EXPECT_EQ(lines.at(11), QStringLiteral("Verso ") + folder + QLatin1String("Piccolo.dll"));
    EXPECT_EQ(ReadFile(folder + QLatin1String("Falcrest.chm")), QByteArray(40 * KiB, 'h'));
    EXPECT_EQ(ReadFile(folder + QLatin1String("Piccolo.dll")), QByteArray(10 * KiB, 'p'));
    EXPECT_FALSE(Exists(folder + QLatin1String("Grande.dll")));
    EXPECT_EQ(ReadFile(folder + QLatin1String("Falcrest.exe")), oldProgram);
    FEngine.reset();
}

TEST_F(UpdateFixture, ATakenTemporaryNameIsReportedWhereItsFilesCopyStands)
{
    const QString folder = QStringLiteral("C:\\WDremlix\\Kestrin\\Programs\\");
    ASSERT_TRUE(Os::ForceDirectories(folder));
    FPayload.Add(QStringLiteral("Primo.dll"), "first")
        .Add(QStringLiteral("Secondo.dll"), "second")
        .AddList(
            QStringLiteral("FileNames.txt"), { QStringLiteral("Primo.dll"), QStringLiteral("Secondo.dll") });
    StartEngine(7);
    // The names the seeded generator gives next: the second one is taken already.
    const uint32_t seed = 20240304;
    RandSeed(seed);
    const QString first = TempFolder() + QStringLiteral("Update%1.tmp").arg(Random(10000000));
    const QString second = TempFolder() + QStringLiteral("Update%1.tmp").arg(Random(10000000));
    ASSERT_NE(first, second);
    WriteFile(second, "left by another run");
    RandSeed(seed);
    ASSERT_EQ(FEngine->LoadList(QStringLiteral("FileNames.txt"), FEngine->FileNames()), 2);
    EXPECT_TRUE(FEngine->InstallListedFiles(folder, true));
    EXPECT_EQ(Lines(),
        (QStringList { QStringLiteral("Copia di ") + first,
            QStringLiteral("Verso ") + folder + QLatin1String("Primo.dll"), QString(),
            QStringLiteral("Archivio ") + second + QStringLiteral(" è eliminato."), QString(),
            QStringLiteral("Copia di ") + second,
            QStringLiteral("Verso ") + folder + QLatin1String("Secondo.dll"), QString() }));
    EXPECT_EQ(ReadFile(folder + QLatin1String("Secondo.dll")), QByteArray("second"));
}
