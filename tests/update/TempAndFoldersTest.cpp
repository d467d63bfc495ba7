// The temporary area, the folder search with its questions, the wizard's own drive and
// the program-file question.
#include "UpdateFixture.h"

#include "oslayer/Exceptions.h"
#include "oslayer/Files.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

TEST_F(UpdateFixture, TempFileNameIsAFreshEmptyFileOfTheTemporaryFolder)
{
    StartEngine(7);
    const QString first = FEngine->TempFileName(QStringLiteral("Update"));
    const QString second = FEngine->TempFileName(QStringLiteral("Update"));
    const QRegularExpression form(
        QStringLiteral("^C:\\\\temp\\\\Update[0-9]{1,7}\\.tmp$"), QRegularExpression::CaseInsensitiveOption);
    EXPECT_TRUE(form.match(first).hasMatch()) << first.toStdString();
    EXPECT_NE(first, second);
    // Created at once, so that nobody else can take the name before we write it.
    const QFileInfo info(Host(first));
    EXPECT_TRUE(info.isFile() && !info.isSymLink());
    EXPECT_EQ(info.size(), 0);
    EXPECT_TRUE(Lines().isEmpty());
}

TEST_F(UpdateFixture, DeleteFileLoggedReportsBeforeItDeletes)
{
    StartEngine(7);
    WriteFile(QStringLiteral("C:\\temp\\Update42.tmp"), "old");
    FEngine->DeleteFileLogged(QStringLiteral("C:\\temp\\Update42.tmp"));
    EXPECT_FALSE(Exists(QStringLiteral("C:\\temp\\Update42.tmp")));
    EXPECT_EQ(
        Lines(), (QStringList { QStringLiteral("Archivio C:\\temp\\Update42.tmp è eliminato."), QString() }));

    // A name that cannot be deleted: the line is written, then the system's error is raised.
    QDir().mkpath(Host(QStringLiteral("C:\\temp")) + QLatin1String("/Update43.tmp"));
    EXPECT_THROW(FEngine->DeleteFileLogged(QStringLiteral("C:\\temp\\Update43.tmp")), Os::EOSError);
    EXPECT_EQ(Lines().at(2), QStringLiteral("Archivio C:\\temp\\Update43.tmp è eliminato."));
}

TEST_F(UpdateFixture, DestructionDeletesOnlyTheUpdateTemporaryFiles)
{
    StartEngine(7);
    for (const char *name :
        { "Update1.tmp", "UpdateX.tmp", "update7.TMP", "Other.tmp", "Update1.txt", "MyUpdate1.tmp" })
        WriteFile(QStringLiteral("C:\\temp\\") + QLatin1String(name), "x");
    const QString own = FEngine->TempFileName(QStringLiteral("Update"));
    FEngine.reset();
    EXPECT_FALSE(Exists(own));
    EXPECT_FALSE(Exists(QStringLiteral("C:\\temp\\Update1.tmp")));
    EXPECT_FALSE(Exists(QStringLiteral("C:\\temp\\UpdateX.tmp")));
    EXPECT_FALSE(Exists(QStringLiteral("C:\\temp\\update7.TMP")));
    EXPECT_TRUE(Exists(QStringLiteral("C:\\temp\\Other.tmp")));
    EXPECT_TRUE(Exists(QStringLiteral("C:\\temp\\Update1.txt")));
    EXPECT_TRUE(Exists(QStringLiteral("C:\\temp\\MyUpdate1.tmp")));
}

TEST_F(UpdateFixture, LocateFolderOnExactlyOneFixedDriveAsksNothing)
{
    AddDrive(QLatin1Char('d'), QStringLiteral("cdrom"));
    AddDrive(QLatin1Char('e'));
    QDir().mkpath(Host(QStringLiteral("D:\\")) + QLatin1String("/Dremlix5"));
    QDir().mkpath(Host(QStringLiteral("E:\\")) + QLatin1String("/Dremlix5"));
    StartEngine(8);
    QString path;
    FEngine->LocateFolder(QStringLiteral("Dremlix5"), path);
    EXPECT_EQ(path, QStringLiteral("E:\\Dremlix5"));
    EXPECT_TRUE(FUi->Boxes().isEmpty());
    EXPECT_TRUE(FUi->BrowseTitles.isEmpty());
}

TEST_F(UpdateFixture, LocateFolderOnTwoNetworkDrivesNamesTheCountAndKeepsTheFirstOnCancel)
{
    AddDrive(QLatin1Char('m'), QStringLiteral("network"));
    AddDrive(QLatin1Char('n'), QStringLiteral("network"));
    QDir().mkpath(Host(QStringLiteral("M:\\")) + QLatin1String("/WDremlix"));
    QDir().mkpath(Host(QStringLiteral("N:\\")) + QLatin1String("/WDremlix"));
    StartEngine(1);
    QString path;
    FUi->QueueFolder(QString());
    FEngine->LocateFolder(QStringLiteral("WDremlix"), path);
    ASSERT_EQ(FUi->Boxes().size(), 1);
    EXPECT_EQ(FUi->Boxes().at(0).Caption, QStringLiteral("Erreur"));
    EXPECT_EQ(FUi->Boxes().at(0).Text,
        QStringLiteral("2 cartella WDremlix non trovata, scegliere l'ubicazione corretta."));
    EXPECT_EQ(FUi->BrowseTitles, QStringList { QStringLiteral("Selezionare la cartella \"WDremlix\"") });
    EXPECT_EQ(FUi->BrowseStarts, QStringList { QStringLiteral("M:\\WDremlix") })
        << "the browser opens at the first hit";
    EXPECT_EQ(path, QStringLiteral("M:\\WDremlix"));
}

TEST_F(UpdateFixture, LocateFolderAsksUntilAChoiceHoldsTheFolder)
{
    QDir().mkpath(Host(QStringLiteral("C:\\")) + QLatin1String("/Altrove/Dremlix5"));
    QDir().mkpath(Host(QStringLiteral("C:\\")) + QLatin1String("/Altrove/Sibling"));
    QDir().mkpath(Host(QStringLiteral("C:\\")) + QLatin1String("/Vuoto/Qui"));
    StartEngine(8);
    const QString noHit = QStringLiteral("Cartella Dremlix5 non trovata. Volete indicare la sua posizione.");

    struct Case {
        const char *Name;
        QStringList Choices;
        QString Expected;
        int Boxes;
    };
    const QList<Case> cases {
        { "the folder itself", { QStringLiteral("C:\\Altrove\\Dremlix5") },
            QStringLiteral("C:\\Altrove\\Dremlix5"), 1 },
        { "a sibling of it", { QStringLiteral("C:\\Altrove\\Sibling") },
            QStringLiteral("C:\\Altrove\\Dremlix5"), 1 },
        { "a wrong folder, then the right one",
            { QStringLiteral("C:\\Vuoto\\Qui"), QStringLiteral("C:\\Altrove\\Dremlix5") },
            QStringLiteral("C:\\Altrove\\Dremlix5"), 2 },
        // A path that does not hold the folder is never handed back.
        { "a wrong folder, then cancel", { QStringLiteral("C:\\Vuoto\\Qui"), QString() }, QString(), 2 },
        { "cancel at once", { QString() }, QString(), 1 },
    };
    for (const Case &c : cases) {
        ScriptedUiServices ui;
        for (const QString &choice : c.Choices)
            ui.QueueFolder(choice);
        QString path;
        FEngine->LocateFolder(QStringLiteral("Dremlix5"), path);
        EXPECT_EQ(path, c.Expected) << c.Name;
        ASSERT_EQ(ui.Boxes().size(), c.Boxes) << c.Name;
        for (const ScriptedUiServices::Box &box : ui.Boxes())
            EXPECT_EQ(box.Text, noHit) << c.Name;
    }
}

TEST_F(UpdateFixture, OwnDriveTypeFollowsTheWizardsDrive)
{
    AddDrive(QLatin1Char('d'), QStringLiteral("cdrom"));
    StartEngine(1, QStringLiteral("D:\\"));
    EXPECT_EQ(TdmUpdateCommon::OwnDriveType(), 5u);
    FPayload.Install(Host(QStringLiteral("C:\\")) + QLatin1String("/Setup.exe"));
    EXPECT_EQ(TdmUpdateCommon::OwnDriveType(), 3u);
}

TEST_F(UpdateFixture, ProgramFileQuestionShowsTheExpectedPathThenTheDialog)
{
    StartEngine(6);
    WritePe(QStringLiteral("C:\\Altrove\\Sorvane.exe"), 5);
    QString file = QStringLiteral("C:\\WDremlix\\Sorvane\\Programs\\Sorvane.exe");
    FUi->QueueFile(QStringLiteral("C:\\Altrove\\Sorvane.exe"));
    EXPECT_TRUE(FEngine->AskProgramFile(file));
    EXPECT_EQ(file, QStringLiteral("C:\\Altrove\\Sorvane.exe"));
    ASSERT_EQ(FUi->Boxes().size(), 1);
    EXPECT_EQ(FUi->Boxes().at(0).Text,
        QStringLiteral("Programma C:\\WDremlix\\Sorvane\\Programs\\Sorvane.exe non "
                       "trovato. Volete indicare la sua posizione."));
    EXPECT_EQ(FUi->Boxes().at(0).Caption, QStringLiteral("Erreur"));

    FUi->QueueFile(QString());
    EXPECT_FALSE(FEngine->AskProgramFile(file));
    EXPECT_TRUE(file.isEmpty());
}
