// The product procedures end to end: a payload, a prefix with the product installed as
// each case needs, the scripted person answering, then the report line by line, the files
// on disk and the registry.
#include "UpdateFixture.h"

#include "oslayer/Exceptions.h"
#include "oslayer/Files.h"

#include <QDir>
#include <QRegularExpression>

namespace {

const QString OrvantaProgram = QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe");
const QString FalcrestFolder = QStringLiteral("C:\\WDremlix\\Kestrin\\Programs\\");
const QString FalcrestProgram = FalcrestFolder + QLatin1String("Falcrest.exe");
const QString Tmp = QStringLiteral("<tmp>");

// Temporary names are random: the report is compared with them written as <tmp>.
QStringList Normalised(const QStringList &lines)
{
    static const QRegularExpression temp(
        QStringLiteral("C:\\\\temp\\\\Update[0-9]+\\.tmp"), QRegularExpression::CaseInsensitiveOption);
    QStringList out;
    for (QString line : lines)
        out.append(line.replace(temp, Tmp));
    return out;
}

QStringList CopyLines(const QString &source, const QString &target)
{
    return { QStringLiteral("Copia di ") + source, QStringLiteral("Verso ") + target, QString() };
}

QString ErrorLine(const QString &name)
{
    return QStringLiteral("Un errore si è prodotto durante l'aggiornamento di ") + name;
}

} // namespace

// ---- Falcrest (code 7) ---------------------------------------------------------------

class FalcrestTest : public UpdateFixture {
protected:
    void Lay(uint16_t installedBuild, uint16_t payloadBuild, bool listedFileMissing = false)
    {
        InstallOrvanta();
        WritePe(FalcrestProgram, 2, 0, 0, installedBuild);
        WriteFile(FalcrestFolder + QLatin1String("Falcrest.chm"), "old help");
        FPayload.AddList(QStringLiteral("Updates.txt"), { QStringLiteral("Falcrest") })
            .Add(QStringLiteral("Falcrest.exe"), PeFile(2, 0, 0, payloadBuild))
            .Add(QStringLiteral("Falcrest.chm"), "new help")
            .AddList(QStringLiteral("FileNames.txt"),
                listedFileMissing
                    ? QStringList { QStringLiteral("Falcrest.chm"), QStringLiteral("Assente.dll") }
                    : QStringList { QStringLiteral("Falcrest.chm") })
            .AddList(QStringLiteral("PrintLists.txt"),
                { QStringLiteral("FalcrestGro.lst"), QStringLiteral("FalcrestGrp.lst"),
                    QStringLiteral("FalcrestPre.lst") });
        for (const char *name : { "FalcrestGro.lst", "FalcrestGrp.lst", "FalcrestPre.lst" })
            FPayload.Add(QString::fromLatin1(name), QByteArray("COM:1\r\nDES:I Lista ") + name + "\r\n");
        StartEngine(7);
    }

    QStringList FullReport() const
    {
        return CopyLines(Tmp, FalcrestFolder + QLatin1String("Falcrest.chm"))
            + QStringList { QStringLiteral("I parametri di stampa : \"FalcrestGro.lst\" sono aggiornamento."),
                  QStringLiteral("I parametri di stampa : \"FalcrestGrp.lst\" sono aggiornamento."),
                  QStringLiteral("I parametri di stampa : \"FalcrestPre.lst\" sono aggiornamento."),
                  QString() }
        + CopyLines(Tmp, FalcrestProgram);
    }

    void ExpectEverythingPlaced()
    {
        EXPECT_EQ(ReadFile(FalcrestProgram), FPayloadProgram);
        EXPECT_EQ(ReadFile(FalcrestFolder + QLatin1String("Falcrest.chm")), QByteArray("new help"));
        for (const char *name : { "FalcrestGro.lst", "FalcrestGrp.lst", "FalcrestPre.lst" })
            EXPECT_TRUE(ReadFile(FalcrestFolder + QLatin1String(name)).startsWith("COM:1")) << name;
        Os::FileTime written = 0;
        ASSERT_TRUE(Os::GetFileLastWriteTime(FalcrestProgram, written));
        EXPECT_EQ(written, PayloadBuilder::DefaultTimeStamp());
    }

    void ExpectNothingPlaced(const QByteArray &oldProgram)
    {
        EXPECT_EQ(ReadFile(FalcrestProgram), oldProgram);
        EXPECT_EQ(ReadFile(FalcrestFolder + QLatin1String("Falcrest.chm")), QByteArray("old help"));
        EXPECT_FALSE(Exists(FalcrestFolder + QLatin1String("FalcrestGro.lst")));
    }

    QByteArray FPayloadProgram;
};

TEST_F(FalcrestTest, NewerPayloadReplacesEverythingWithTheProgramLast)
{
    Lay(1, 2);
    FPayloadProgram = PeFile(2, 0, 0, 2);
    EXPECT_EQ(FEngine->UpdateFalcrest(), uoSuccess);
    EXPECT_EQ(Normalised(Lines()), FullReport()) << Dump().toStdString();
    EXPECT_EQ(FReport->GivenPointSizes(), QList<int>(Lines().size(), 0))
        << "the engine leaves the size as it is";
    EXPECT_TRUE(FUi->Boxes().isEmpty());
    ExpectEverythingPlaced();
}

TEST_F(FalcrestTest, OlderOrSamePayloadAsksAndFollowsTheAnswer)
{
    struct Case {
        const char *Name;
        uint16_t InstalledBuild;
        bool Answer;
        TUpdateOutcome Expected;
        QString DeclineLine; // empty: everything replaced
    };
    const QList<Case> cases {
        { "installed newer, No", 3, false, uoNotDone, QStringLiteral("non è sostituito !!!") },
        { "installed newer, Yes", 3, true, uoSuccess, QString() },
        { "same version, No", 2, false, uoNotDone, QStringLiteral("è aggiornati: non è sostituito.") },
        { "same version, Yes", 2, true, uoSuccess, QString() },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        Reset();
        Lay(c.InstalledBuild, 2);
        FPayloadProgram = PeFile(2, 0, 0, 2);
        const QByteArray oldProgram = ReadFile(FalcrestProgram);
        FUi->QueueAnswer(c.Answer);
        EXPECT_EQ(FEngine->UpdateFalcrest(), c.Expected);
        ASSERT_EQ(FUi->Boxes().size(), 1);
        if (c.DeclineLine.isEmpty()) {
            EXPECT_EQ(Normalised(Lines()), FullReport()) << Dump().toStdString();
            ExpectEverythingPlaced();
        } else {
            EXPECT_EQ(Lines(),
                (QStringList { QStringLiteral("L'archivio ") + FalcrestProgram, c.DeclineLine, QString() }));
            ExpectNothingPlaced(oldProgram);
        }
    }
}

TEST_F(FalcrestTest, AListedFileMissingWarnsAndKeepsTheOldProgram)
{
    Lay(1, 2, true);
    const QByteArray oldProgram = ReadFile(FalcrestProgram);
    EXPECT_EQ(FEngine->UpdateFalcrest(), uoWarnings);
    EXPECT_EQ(ReadFile(FalcrestProgram), oldProgram);
    EXPECT_EQ(ReadFile(FalcrestFolder + QLatin1String("Falcrest.chm")), QByteArray("new help"));
    EXPECT_FALSE(Exists(FalcrestFolder + QLatin1String("FalcrestGro.lst")));
    // The missing file is named with the reason its copy failed.
    EXPECT_EQ(Normalised(Lines()),
        CopyLines(Tmp, FalcrestFolder + QLatin1String("Falcrest.chm"))
            + CopyLines(QString(), FalcrestFolder + QLatin1String("Assente.dll"))
            + QStringList({ ErrorLine(FalcrestFolder + QLatin1String("Assente.dll")),
                QStringLiteral("Error: Erreur système.  Code : 3."),
                QStringLiteral("The system cannot find the path specified."), QString() }));
}

TEST_F(FalcrestTest, WithoutOrvantaTheErrorNamesTheRelativePath)
{
    FPayload.Add(QStringLiteral("Falcrest.exe"), PeFile(2));
    StartEngine(7);
    EXPECT_EQ(FEngine->UpdateFalcrest(), uoFailure);
    EXPECT_EQ(Lines(),
        (QStringList { ErrorLine(QStringLiteral("Falcrest.exe")),
            QStringLiteral("Programma Kestrin\\Programs\\Falcrest.exe non trovato.") }));
}

TEST_F(FalcrestTest, ProgramOpenInAnotherProcessFailsTheCopy)
{
    Lay(1, 2);
    const QByteArray oldProgram = ReadFile(FalcrestProgram);
    HoldOpen(FalcrestProgram);
    EXPECT_EQ(FEngine->UpdateFalcrest(), uoFailure);
    // Never half-written: the installed program is the old one, whole.
    EXPECT_EQ(ReadFile(FalcrestProgram), oldProgram);
    const QStringList lines = Normalised(Lines());
    ASSERT_GE(lines.size(), 12) << Dump().toStdString();
    EXPECT_EQ(lines.mid(0, 10), FullReport());
    EXPECT_EQ(lines.at(10), ErrorLine(QStringLiteral("Falcrest.exe")));
    EXPECT_TRUE(lines.at(11).startsWith(QStringLiteral("Source: <tmp>"))) << lines.at(11).toStdString();
    EXPECT_TRUE(Dump().contains(QStringLiteral("Error: Erreur système.  Code : 32.")))
        << Dump().toStdString();
}

TEST_F(FalcrestTest, MissingProgramInThePayloadReachesTheCaller)
{
    InstallOrvanta();
    StartEngine(7);
    try {
        FEngine->UpdateFalcrest();
        FAIL() << "no error without the program";
    } catch (const Os::Exception &e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Cannot find Falcrest.exe"));
    }
}

TEST_F(FalcrestTest, PrintListNamesOutsideTheFolderAreRefused)
{
    InstallOrvanta();
    ASSERT_TRUE(Os::ForceDirectories(FalcrestFolder));
    FPayload.Add(QStringLiteral("..\\..\\Fuori.lst"), "COM:1")
        .AddList(QStringLiteral("PrintLists.txt"),
            { QStringLiteral("..\\..\\Fuori.lst"), QStringLiteral("Nuova.txt") })
        .Add(QStringLiteral("Nuova.txt"), "x");
    StartEngine(7);
    EXPECT_EQ(FEngine->UpdatePrintLists(FalcrestFolder), uoWarnings);
    EXPECT_FALSE(Exists(QStringLiteral("C:\\WDremlix\\Fuori.lst")));
    // Another extension is still a file for this product.
    EXPECT_EQ(ReadFile(FalcrestFolder + QLatin1String("Nuova.txt")), QByteArray("x"));
    EXPECT_EQ(Lines(),
        (QStringList { QStringLiteral("Nome di archivio non valido : ..\\..\\Fuori.lst"), QString(),
            QStringLiteral("I parametri di stampa : \"Nuova.txt\" sono aggiornamento."), QString() }));
}

// ---- Orvanta (codes 1, 2) and Vestrel (code 3) ----------------------------------------

// The products with a major-version guard and lock tests: Orvanta (codes 1, 2), Sorvane (6).
class MainProductTest : public UpdateFixture {
protected:
    const QString SorvaneFolder = QStringLiteral("C:\\WDremlix\\Sorvane\\Programs\\");
    const QString SorvaneProgram = SorvaneFolder + QLatin1String("Sorvane.exe");
    const QString SorvaneLibrary = SorvaneFolder + QLatin1String("SVE_INTF.dll");

    void LayOrvanta(uint16_t installedMajor, uint16_t payloadMajor, const QString &wizardFolder = QString())
    {
        InstallOrvanta(installedMajor);
        FPayload.Add(QStringLiteral("Orvanta.exe"), PeFile(payloadMajor, 1))
            .Add(QStringLiteral("Dremlix.dll"), "dremlix library")
            .Add(QStringLiteral("wPDF300A.dll"), "pdf library");
        StartEngine(1, wizardFolder);
    }

    void LaySorvane(uint16_t installedMajor, uint16_t payloadMajor, const QString &wizardFolder = QString())
    {
        SetRegString(Os::RegRoot::CurrentUser, QStringLiteral("Software\\DREMLIX S.A.\\Sorvane\\Program"),
            QStringLiteral("Filename"), SorvaneProgram);
        WritePe(SorvaneProgram, installedMajor);
        WriteFile(SorvaneLibrary, "old intf");
        FPayload.Add(QStringLiteral("Sorvane.exe"), PeFile(payloadMajor, 1))
            .Add(QStringLiteral("SVE_INTF.dll"), "new intf");
        StartEngine(6, wizardFolder);
    }
};

class OrvantaTest : public MainProductTest {
protected:
    void Lay(uint16_t installedMajor, uint16_t payloadMajor) { LayOrvanta(installedMajor, payloadMajor); }
};

class SorvaneTest : public MainProductTest { };

TEST_F(MainProductTest, MajorVersionGuard)
{
    const QString refused = QStringLiteral("Aggiornamento impossibile, grazie di contattare Dremlix");
    struct Case {
        const char *Name;
        uint8_t Code;
        uint16_t Installed;
        uint16_t Payload;
        bool FromCdrom;
        bool Refused;
    };
    const QList<Case> cases {
        { "Orvanta 4 against 5 is refused", 1, 4, 5, false, true },
        { "Orvanta 4 against 5 from a CD-ROM passes", 1, 4, 5, true, false },
        { "Orvanta 3 against 5 passes", 1, 3, 5, false, false },
        { "Orvanta 4 against 4.1 passes", 1, 4, 4, false, false },
        { "Sorvane 5 against 6 is refused", 6, 5, 6, false, true },
        { "Sorvane 5 against 6 from a CD-ROM passes", 6, 5, 6, true, false },
        { "Sorvane 4 against 6 passes", 6, 4, 6, false, false },
        { "Sorvane 5 against 5.1 passes", 6, 5, 5, false, false },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        Reset();
        if (c.FromCdrom)
            AddDrive(QLatin1Char('d'), QStringLiteral("cdrom"));
        const QString wizardFolder = c.FromCdrom ? QStringLiteral("D:\\") : QString();
        const bool orvanta = c.Code == 1;
        if (orvanta)
            LayOrvanta(c.Installed, c.Payload, wizardFolder);
        else
            LaySorvane(c.Installed, c.Payload, wizardFolder);
        const QString program = orvanta ? OrvantaProgram : SorvaneProgram;
        const QByteArray before = ReadFile(program);
        const TUpdateOutcome outcome = FEngine->RunProcedure(c.Code);
        if (c.Refused) {
            EXPECT_EQ(outcome, uoFailure);
            EXPECT_EQ(Lines(), (QStringList { QString(), refused }));
            ASSERT_EQ(FUi->Boxes().size(), 1);
            EXPECT_EQ(FUi->Boxes().at(0).Kind, MessageKind::Plain);
            EXPECT_EQ(FUi->Boxes().at(0).Text, refused);
            EXPECT_EQ(FUi->Beeps(), QList<uint32_t> { 0x30 });
            EXPECT_EQ(ReadFile(program), before);
            continue;
        }
        EXPECT_EQ(outcome, uoSuccess) << Dump().toStdString();
        EXPECT_EQ(ReadFile(program), PeFile(c.Payload, 1));
        if (orvanta) {
            // Companions always copied; the PDF library goes to the shared programs.
            EXPECT_EQ(ReadFile(QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Dremlix.dll")),
                QByteArray("dremlix library"));
            EXPECT_EQ(ReadFile(QStringLiteral("C:\\WDremlix\\Common\\Programs\\wPDF300A.dll")),
                QByteArray("pdf library"));
            EXPECT_EQ(Normalised(Lines()),
                CopyLines(Tmp, OrvantaProgram)
                    + CopyLines(Tmp, QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Dremlix.dll"))
                    + QStringList { QString() }
                    + CopyLines(Tmp, QStringLiteral("C:\\WDremlix\\Common\\Programs\\wPDF300A.dll")));
        } else {
            EXPECT_EQ(ReadFile(SorvaneLibrary), QByteArray("new intf"));
            EXPECT_EQ(Normalised(Lines()), CopyLines(Tmp, SorvaneProgram) + CopyLines(Tmp, SorvaneLibrary));
        }
    }
}

TEST_F(OrvantaTest, LockedProgramIsToldInAPlainBoxOnly)
{
    Lay(5, 5);
    WritePe(OrvantaProgram, 5, 0, 0, 0);
    HoldOpen(OrvantaProgram);
    EXPECT_EQ(FEngine->UpdateOrvanta(), uoFailure);
    EXPECT_TRUE(Lines().isEmpty()) << Dump().toStdString();
    ASSERT_EQ(FUi->Boxes().size(), 1);
    const QString text = FUi->Boxes().at(0).Text;
    EXPECT_EQ(FUi->Boxes().at(0).Kind, MessageKind::Plain);
    EXPECT_TRUE(text.startsWith(ErrorLine(OrvantaProgram) + QLatin1String("\r\n"))) << text.toStdString();
    EXPECT_TRUE(text.endsWith(QLatin1String(" (32)"))) << text.toStdString();
}

TEST_F(OrvantaTest, DatabaseInterfaceLibraryIsCopiedOnlyWhereInstalled)
{
    const QString library = QStringLiteral("C:\\WDremlix\\ORV\\Programs\\ORV_DB_INTF.dll");
    for (const bool installed : {true, false}) {
        SCOPED_TRACE(installed ? "installed" : "not installed");
        Reset();
        if (installed)
            WriteFile(library, "old interface");
        FPayload.Add(QStringLiteral("ORV_DB_INTF.dll"), "new interface");
        Lay(5, 5);
        EXPECT_EQ(FEngine->UpdateOrvanta(), uoSuccess) << Dump().toStdString();
        EXPECT_EQ(Exists(library), installed);
        if (installed) {
            EXPECT_EQ(ReadFile(library), QByteArray("new interface"));
            EXPECT_EQ(Normalised(Lines()).mid(3, 3), CopyLines(Tmp, library));
        }
    }
}

TEST_F(OrvantaTest, LockedDatabaseInterfaceLibraryStopsBeforeTheProgramIsReplaced)
{
    const QString library = QStringLiteral("C:\\WDremlix\\ORV\\Programs\\ORV_DB_INTF.dll");
    WriteFile(library, "old interface");
    FPayload.Add(QStringLiteral("ORV_DB_INTF.dll"), "new interface");
    Lay(5, 5);
    const QByteArray before = ReadFile(OrvantaProgram);
    HoldOpen(library);
    EXPECT_EQ(FEngine->UpdateOrvanta(), uoFailure);
    EXPECT_TRUE(Lines().isEmpty()) << Dump().toStdString();
    EXPECT_EQ(ReadFile(OrvantaProgram), before);
    ASSERT_EQ(FUi->Boxes().size(), 1);
    EXPECT_TRUE(FUi->Boxes().at(0).Text.startsWith(ErrorLine(library)));
}

TEST_F(OrvantaTest, ProgramFileQuestionCancelledEndsWithoutALine)
{
    FPayload.Add(QStringLiteral("Orvanta.exe"), PeFile(5));
    QDir().mkpath(Host(QStringLiteral("C:\\")) + QLatin1String("/WDremlix"));
    StartEngine(2);
    FUi->QueueFile(QString());
    EXPECT_EQ(FEngine->UpdateOrvanta(), uoFailure);
    EXPECT_TRUE(Lines().isEmpty());
    ASSERT_EQ(FUi->Boxes().size(), 1);
    EXPECT_EQ(FUi->Boxes().at(0).Text,
        QStringLiteral("Programma C:\\WDremlix\\ORZ\\Programs\\Orvanta.exe non trovato. "
                       "Volete indicare la sua posizione."));
}

TEST_F(OrvantaTest, VestrelComponentMissingNamesTheExpectedPath)
{
    InstallOrvanta();
    FPayload.Add(QStringLiteral("OVVestrel2.dll"), PeFile(2, 1));
    StartEngine(3);
    EXPECT_EQ(FEngine->UpdateVestrel(), uoFailure);
    EXPECT_EQ(Lines(),
        (QStringList { ErrorLine(QStringLiteral("OVVestrel2.dll")),
            QStringLiteral("Archivio non trovato : C:\\WDremlix\\Vestrel\\Programs\\OVVestrel2.dll") }));

    WritePe(QStringLiteral("C:\\WDremlix\\Vestrel\\Programs\\OVVestrel2.dll"), 2, 0);
    EXPECT_EQ(FEngine->UpdateVestrel(), uoSuccess);
    EXPECT_EQ(RegString(Os::RegRoot::CurrentUser, QStringLiteral("Software\\DREMLIX S.A.\\Vestrel\\Program"),
                  QStringLiteral("Filename")),
        QStringLiteral("C:\\WDremlix\\Vestrel\\Programs\\OVVestrel2.dll"));
}

// ---- Sorvane (6), XTQ (10) ------------------------------------------------------------

TEST_F(UpdateFixture, SorvaneReplacesProgramLibraryAndInstalledCompanionsOnly)
{
    const QString folder = QStringLiteral("C:\\WDremlix\\Sorvane\\Programs\\");
    SetRegString(Os::RegRoot::CurrentUser, QStringLiteral("Software\\DREMLIX S.A.\\Sorvane\\Program"),
        QStringLiteral("Filename"), folder + QLatin1String("Sorvane.exe"));
    WritePe(folder + QLatin1String("Sorvane.exe"), 5, 0, 0, 1);
    WriteFile(folder + QLatin1String("SVE_INTF.dll"), "old intf");
    WriteFile(folder + QLatin1String("SVKELT.exe"), "old kelt");
    FPayload.Add(QStringLiteral("Sorvane.exe"), PeFile(5, 0, 0, 2))
        .Add(QStringLiteral("SVE_INTF.dll"), "new intf")
        .Add(QStringLiteral("SVKELT.exe"), "new kelt")
        .Add(QStringLiteral("SVMRA.exe"), "not installed")
        .Add(QStringLiteral("Sorvane.chm"), "help");
    StartEngine(6);
    EXPECT_EQ(FEngine->UpdateSorvane(), uoSuccess) << Dump().toStdString();
    EXPECT_EQ(ReadFile(folder + QLatin1String("SVE_INTF.dll")), QByteArray("new intf"));
    EXPECT_EQ(ReadFile(folder + QLatin1String("SVKELT.exe")), QByteArray("new kelt"));
    EXPECT_FALSE(Exists(folder + QLatin1String("SVMRA.exe")));
    EXPECT_EQ(ReadFile(folder + QLatin1String("Sorvane.chm")), QByteArray("help"));
    EXPECT_EQ(Normalised(Lines()),
        CopyLines(Tmp, folder + QLatin1String("Sorvane.exe"))
            + CopyLines(Tmp, folder + QLatin1String("SVE_INTF.dll"))
            + CopyLines(Tmp, folder + QLatin1String("SVKELT.exe"))
            + CopyLines(Tmp, folder + QLatin1String("Sorvane.chm")));
}

TEST_F(UpdateFixture, SorvaneFailuresAreReportedByTheProcedure)
{
    const QString folder = QStringLiteral("C:\\WDremlix\\Sorvane\\Programs\\");
    struct Case {
        const char *Name;
        bool LibraryInstalled;
        bool ProgramInPayload;
        QStringList Expected;
    };
    const QList<Case> cases {
        { "interface library not installed", false, true,
            { ErrorLine(QString()),
                QStringLiteral("L'impianto di C:\\WDremlix\\Sorvane\\Programs\\SVE_INTF.dll non è stato "
                               "certamente effettuato !!!") } },
        { "program missing from the payload", true, false,
            { ErrorLine(QStringLiteral("Sorvane.exe")), QStringLiteral("Cannot find Sorvane.exe") } },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        Reset();
        SetRegString(Os::RegRoot::CurrentUser, QStringLiteral("Software\\DREMLIX S.A.\\Sorvane\\Program"),
            QStringLiteral("Filename"), folder + QLatin1String("Sorvane.exe"));
        WritePe(folder + QLatin1String("Sorvane.exe"), 5);
        if (c.LibraryInstalled)
            WriteFile(folder + QLatin1String("SVE_INTF.dll"), "intf");
        if (c.ProgramInPayload)
            FPayload.Add(QStringLiteral("Sorvane.exe"), PeFile(5, 1));
        StartEngine(6);
        EXPECT_EQ(FEngine->UpdateSorvane(), uoFailure);
        EXPECT_EQ(Lines(), c.Expected);
    }
}

TEST_F(SorvaneTest, LockedProgramOrLibraryIsToldInAPlainBoxOnly)
{
    for (const bool libraryHeld : { false, true }) {
        SCOPED_TRACE(libraryHeld ? "library held" : "program held");
        Reset();
        LaySorvane(5, 5);
        const QByteArray before = ReadFile(SorvaneProgram);
        const QString held = libraryHeld ? SorvaneLibrary : SorvaneProgram;
        HoldOpen(held);
        EXPECT_EQ(FEngine->UpdateSorvane(), uoFailure);
        EXPECT_TRUE(Lines().isEmpty()) << Dump().toStdString();
        ASSERT_EQ(FUi->Boxes().size(), 1);
        EXPECT_EQ(FUi->Boxes().at(0).Kind, MessageKind::Plain);
        EXPECT_EQ(FUi->Boxes().at(0).Text,
            ErrorLine(held)
                + QStringLiteral("\r\nThe process cannot access the file because it is being used by another "
                                 "process. (32)"));
        EXPECT_EQ(ReadFile(SorvaneProgram), before);
        EXPECT_EQ(ReadFile(SorvaneLibrary), QByteArray("old intf"));
    }
}

TEST_F(UpdateFixture, XtqAsksForItsProgramAndCopiesCompanionsBesideTheChosenFile)
{
    SetRegString(Os::RegRoot::CurrentUser, QStringLiteral("Software\\DREMLIX S.A.\\XTQ\\Program"),
        QStringLiteral("Filename"), QStringLiteral("C:\\XTQ\\XTQ.exe"));
    WritePe(QStringLiteral("C:\\Altro\\XTQ.exe"), 1);
    FPayload.Add(QStringLiteral("XTQ.exe"), PeFile(1, 1))
        .Add(QStringLiteral("XTQHELP.rtf"), "{\\rtf1 aiuto}");
    StartEngine(10);
    FUi->QueueFile(QStringLiteral("C:\\Altro\\XTQ.exe"));
    EXPECT_EQ(FEngine->UpdateXtq(), uoSuccess) << Dump().toStdString();
    EXPECT_EQ(ReadFile(QStringLiteral("C:\\Altro\\XTQ.exe")), PeFile(1, 1));
    EXPECT_EQ(ReadFile(QStringLiteral("C:\\Altro\\XTQHELP.rtf")), QByteArray("{\\rtf1 aiuto}"));
    ASSERT_EQ(FUi->Boxes().size(), 1);
    EXPECT_EQ(FUi->Boxes().at(0).Text,
        QStringLiteral("Programma C:\\XTQ\\XTQ.exe non trovato. Volete indicare la sua posizione."));
}

TEST_F(UpdateFixture, XtqWithoutItsProgramInThePayloadReachesTheCaller)
{
    StartEngine(10);
    EXPECT_THROW(FEngine->UpdateXtq(), Os::Exception);
    EXPECT_TRUE(FUi->Boxes().isEmpty());
}

// ---- Bruncet (4) ----------------------------------------------------------------------

class BruncetTest : public UpdateFixture {
protected:
    void Lay(uint16_t installedMajor, bool registered = true)
    {
        if (registered)
            SetRegString(Os::RegRoot::CurrentUser, QStringLiteral("Software\\DREMLIX S.A.\\Bruncet"),
                QStringLiteral("BaseFolder"), QStringLiteral("C:\\Bruncet V 3.0\\"));
        WritePe(QStringLiteral("C:\\Bruncet V 3.0\\Bruncet.exe"), installedMajor, 0, 0, 1);
        QDir().mkpath(Host(QStringLiteral("C:\\Bruncet V 3.0")) + QLatin1String("/Data"));
        FPayload.Add(QStringLiteral("Bruncet.exe"), PeFile(3, 0, 0, 2))
            .Add(QStringLiteral("Bruncet.etf"), "forms")
            .Add(QStringLiteral("Clienti.dat"), "clients")
            .AddList(QStringLiteral("FileNames.txt"),
                { QStringLiteral("BRUNCET.ETF"), QStringLiteral("Clienti.dat") });
        StartEngine(4);
    }
};

TEST_F(BruncetTest, DataFilesGoToTheDataFolderWithoutPerFileLines)
{
    Lay(3);
    EXPECT_EQ(FEngine->UpdateBruncet(), uoSuccess);
    EXPECT_EQ(ReadFile(QStringLiteral("C:\\Bruncet V 3.0\\Bruncet.exe")), PeFile(3, 0, 0, 2));
    EXPECT_EQ(ReadFile(QStringLiteral("C:\\Bruncet V 3.0\\Bruncet.etf")), QByteArray("forms"));
    EXPECT_EQ(ReadFile(QStringLiteral("C:\\Bruncet V 3.0\\Data\\Clienti.dat")), QByteArray("clients"));
    EXPECT_FALSE(Exists(QStringLiteral("C:\\Bruncet V 3.0\\Data\\BRUNCET.ETF")));
    EXPECT_EQ(Normalised(Lines()),
        CopyLines(Tmp, QStringLiteral("C:\\Bruncet V 3.0\\Bruncet.exe"))
            + CopyLines(Tmp, QStringLiteral("C:\\Bruncet V 3.0\\Bruncet.etf"))
            + QStringList { QStringLiteral("Copia di archivio di dati...") });
}

TEST_F(BruncetTest, ErrorsReachTheCallerBeforeAnythingIsCopied)
{
    struct Case {
        const char *Name;
        uint16_t InstalledMajor;
        bool Registered;
        QString Message;
    };
    const QList<Case> cases {
        { "no base folder", 3, false, QStringLiteral("Programma Bruncet non trovato.") },
        { "major version 2", 2, true,
            QStringLiteral(
                "C:\\Bruncet V 3.0\\Bruncet.exe\r\nVersione dell'archivio sconosciuta o incompatibile.") },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        Reset();
        Lay(c.InstalledMajor, c.Registered);
        const QByteArray before = ReadFile(QStringLiteral("C:\\Bruncet V 3.0\\Bruncet.exe"));
        try {
            FEngine->UpdateBruncet();
            ADD_FAILURE() << "no error";
        } catch (const Os::Exception &e) {
            EXPECT_EQ(e.Message(), c.Message);
        }
        EXPECT_TRUE(Lines().isEmpty());
        EXPECT_EQ(ReadFile(QStringLiteral("C:\\Bruncet V 3.0\\Bruncet.exe")), before);
    }
}

TEST_F(BruncetTest, MissingFormsFileReachesTheCallerAndPutsTheProgramBack)
{
    SetRegString(Os::RegRoot::CurrentUser, QStringLiteral("Software\\DREMLIX S.A.\\Bruncet"),
        QStringLiteral("BaseFolder"), QStringLiteral("C:\\Bruncet V 3.0\\"));
    WritePe(QStringLiteral("C:\\Bruncet V 3.0\\Bruncet.exe"), 3, 0, 0, 1);
    FPayload.Add(QStringLiteral("Bruncet.exe"), PeFile(3, 0, 0, 2));
    StartEngine(4);
    const QString forms = QStringLiteral("C:\\Bruncet V 3.0\\Bruncet.etf");
    try {
        FEngine->UpdateBruncet();
        ADD_FAILURE() << "no error without the forms file";
    } catch (const Os::Exception &e) {
        EXPECT_TRUE(e.Message().startsWith(QStringLiteral("Source: \r\nTarget: ") + forms
            + QStringLiteral("\r\n\r\nError: Erreur système.  Code : ")))
            << e.Message().toStdString();
    }
    // The program's copy came before, but only staged: the run's failure leaves the old
    // program in place, and with nothing put back the report has no line of restoring.
    EXPECT_EQ(ReadFile(QStringLiteral("C:\\Bruncet V 3.0\\Bruncet.exe")), PeFile(3, 0, 0, 1));
    EXPECT_FALSE(Exists(forms));
    EXPECT_EQ(Normalised(Lines()),
        CopyLines(Tmp, QStringLiteral("C:\\Bruncet V 3.0\\Bruncet.exe")) + CopyLines(QString(), forms));
}

// ---- Nimbrel and Dremlix Calvane (8, 9) ----------------------------------------------

class NimbrelTest : public UpdateFixture {
protected:
    void Lay(const QList<QChar> &drivesWithFolder)
    {
        for (const QChar letter : drivesWithFolder) {
            AddDrive(letter);
            WritePe(QString(letter) + QLatin1String(":\\Dremlix5\\qrt\\SA-00.int"), 1, 0, 0, 1);
        }
        FPayload.Add(QStringLiteral("qrt\\SA-00.int"), PeFile(1, 0, 0, 2))
            .Add(QStringLiteral("qrt\\Modelli.dat"), "models")
            .AddList(QStringLiteral("FileNames.txt"), { QStringLiteral("qrt\\Modelli.dat") });
        StartEngine(8);
    }
    QString Registered() const
    {
        return RegString(Os::RegRoot::CurrentUser, QStringLiteral("Software\\DREMLIX S.A.\\Nimbrel\\Program"),
            QStringLiteral("Filename"));
    }
};

TEST_F(NimbrelTest, FolderOnOneFixedDriveIsFoundAndRecorded)
{
    Lay({ QLatin1Char('e') });
    EXPECT_EQ(FEngine->UpdateNimbrelCalvane(8), uoSuccess) << Dump().toStdString();
    EXPECT_TRUE(FUi->Boxes().isEmpty());
    EXPECT_EQ(Registered(), QStringLiteral("E:\\Dremlix5\\qrt\\SA-00.int"));
    EXPECT_EQ(ReadFile(QStringLiteral("E:\\Dremlix5\\qrt\\SA-00.int")), PeFile(1, 0, 0, 2));
    EXPECT_EQ(ReadFile(QStringLiteral("E:\\Dremlix5\\qrt\\Modelli.dat")), QByteArray("models"));
    EXPECT_TRUE(Os::DirectoryExists(QStringLiteral("E:\\Dremlix5\\Images07")));
    EXPECT_EQ(Normalised(Lines()),
        CopyLines(Tmp, QStringLiteral("E:\\Dremlix5\\qrt\\Modelli.dat"))
            + CopyLines(Tmp, QStringLiteral("E:\\Dremlix5\\qrt\\SA-00.int")));
}

TEST_F(NimbrelTest, SeveralOrNoFoldersAskWithTheBrowser)
{
    struct Case {
        const char *Name;
        QList<QChar> Drives;
        QString Choice;
        QString Message;
    };
    const QList<Case> cases {
        { "two drives", { QLatin1Char('e'), QLatin1Char('f') }, QStringLiteral("F:\\Dremlix5"),
            QStringLiteral("2 cartella Dremlix5 non trovata, scegliere l'ubicazione corretta.") },
        { "no drive", {}, QStringLiteral("C:\\Altrove\\Dremlix5"),
            QStringLiteral("Cartella Dremlix5 non trovata. Volete indicare la sua posizione.") },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        Reset();
        if (c.Drives.isEmpty())
            WritePe(QStringLiteral("C:\\Altrove\\Dremlix5\\qrt\\SA-00.int"), 1);
        Lay(c.Drives);
        FUi->QueueFolder(c.Choice);
        EXPECT_EQ(FEngine->UpdateNimbrelCalvane(8), uoSuccess) << Dump().toStdString();
        ASSERT_EQ(FUi->Boxes().size(), 1);
        EXPECT_EQ(FUi->Boxes().at(0).Text, c.Message);
        EXPECT_EQ(Registered(), c.Choice + QLatin1String("\\qrt\\SA-00.int"));
    }
}

TEST_F(NimbrelTest, NoFolderAndCancelReachesTheCaller)
{
    Lay({});
    FUi->QueueFolder(QString());
    try {
        FEngine->UpdateNimbrelCalvane(8);
        FAIL() << "no error";
    } catch (const Os::Exception &e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Cartella Dremlix5 non trovata."));
    }
    EXPECT_TRUE(Registered().isEmpty());
}

TEST_F(NimbrelTest, CalvaneMainFileMissingOnDisk)
{
    AddDrive(QLatin1Char('e'));
    QDir().mkpath(Host(QStringLiteral("E:\\")) + QLatin1String("/Dremlix5"));
    FPayload.Add(QStringLiteral("gs\\GS-00.int"), PeFile(1));
    StartEngine(9);
    EXPECT_EQ(FEngine->UpdateNimbrelCalvane(9), uoFailure);
    EXPECT_EQ(Lines(),
        (QStringList { ErrorLine(QStringLiteral("gs\\GS-00.int")),
            QStringLiteral("Archivio non trovato : E:\\Dremlix5\\gs\\GS-00.int") }));
    // Recorded before the comparison, as the products expect to find it there.
    EXPECT_EQ(
        RegString(Os::RegRoot::CurrentUser,
            QStringLiteral("Software\\DREMLIX S.A.\\Dremlix Calvane\\Program"), QStringLiteral("Filename")),
        QStringLiteral("E:\\Dremlix5\\gs\\GS-00.int"));
}

// ---- Common programs (12) and Trevisk (13) -------------------------------------------

TEST_F(UpdateFixture, CommonProgramsGoToTheSharedFolder)
{
    struct Case {
        const char *Name;
        bool Root;
        QStringList Listed;
        TUpdateOutcome Expected;
        int LineCount;
    };
    const QList<Case> cases {
        { "one file", true, { QStringLiteral("Comune.dll") }, uoSuccess, 3 },
        { "empty list", true, {}, uoSuccess, 0 },
        // A failed run never put the copied file in place: it is gone, and nothing is restored.
        { "a listed file missing", true, { QStringLiteral("Comune.dll"), QStringLiteral("Assente.dll") },
            uoFailure, 10 },
        { "no root folder", false, { QStringLiteral("Comune.dll") }, uoFailure, 0 },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        Reset();
        if (c.Root)
            InstallOrvanta();
        FPayload.Add(QStringLiteral("Comune.dll"), "shared")
            .AddList(QStringLiteral("FileNames.txt"), c.Listed);
        StartEngine(12);
        EXPECT_EQ(FEngine->UpdateCommonPrograms(), c.Expected);
        EXPECT_EQ(Lines().size(), c.LineCount) << Dump().toStdString();
        if (c.Root && !c.Listed.isEmpty()) {
            EXPECT_EQ(Exists(QStringLiteral("C:\\WDremlix\\Common\\Programs\\Comune.dll")),
                c.Expected == uoSuccess);
            if (c.Expected == uoSuccess) {
                EXPECT_EQ(ReadFile(QStringLiteral("C:\\WDremlix\\Common\\Programs\\Comune.dll")),
                    QByteArray("shared"));
            }
        }
    }
}

TEST_F(UpdateFixture, PdfLibraryNeedsTheRootFolderAndTheLibrary)
{
    struct Case {
        const char *Name;
        bool Root;
        bool Library;
        TUpdateOutcome Expected;
    };
    const QString target = QStringLiteral("C:\\WDremlix\\Common\\Programs\\wPDF300A.dll");
    const QList<Case> cases {
        { "both", true, true, uoSuccess },
        { "no root folder", false, true, uoFailure },
        { "no library in the payload", true, false, uoFailure },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        Reset();
        if (c.Root)
            InstallOrvanta();
        if (c.Library)
            FPayload.Add(QStringLiteral("wPDF300A.dll"), "pdf library");
        StartEngine(1);
        EXPECT_EQ(FEngine->UpdatePdfLibrary(), c.Expected);
        if (c.Expected == uoSuccess) {
            EXPECT_EQ(Normalised(Lines()), QStringList { QString() } + CopyLines(Tmp, target));
            EXPECT_EQ(ReadFile(target), QByteArray("pdf library"));
        } else {
            EXPECT_TRUE(Lines().isEmpty()) << Dump().toStdString();
            EXPECT_FALSE(Exists(target));
        }
    }
}

TEST_F(UpdateFixture, TreviskFindsItsFolderFromTheRootOrTheMachineRegistry)
{
    struct Case {
        const char *Name;
        bool Root;
        QString MachineValue;
        bool Installed;
        TUpdateOutcome Expected;
        QStringList ExpectedLines;
    };
    const QString shared = QStringLiteral("C:\\WDremlix\\Common\\Programs\\Trevisk.exe");
    const QList<Case> cases {
        { "root folder", true, QString(), true, uoSuccess, CopyLines(Tmp, shared) },
        { "machine registry", false, QStringLiteral("C:\\Trevisk\\Trevisk.exe"), true, uoSuccess,
            CopyLines(Tmp, QStringLiteral("C:\\Trevisk\\Trevisk.exe")) },
        { "neither", false, QString(), false, uoFailure, {} },
        { "program missing", true, QString(), false, uoFailure,
            { ErrorLine(QStringLiteral("Trevisk.exe")),
                QStringLiteral("Programma ") + shared + QStringLiteral(" non trovato.") } },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        Reset();
        QString program = shared;
        if (c.Root)
            InstallOrvanta();
        if (!c.MachineValue.isEmpty()) {
            SetRegString(Os::RegRoot::LocalMachine,
                QStringLiteral("Software\\DREMLIX S.A.\\Trevisk\\Program"), QStringLiteral("Filename"),
                c.MachineValue);
            program = c.MachineValue;
        }
        if (c.Installed)
            WritePe(program, 1, 0, 0, 1);
        FPayload.Add(QStringLiteral("Trevisk.exe"), PeFile(1, 0, 0, 2))
            .AddList(QStringLiteral("FileNames.txt"), {});
        StartEngine(13);
        EXPECT_EQ(FEngine->UpdateTrevisk(), c.Expected);
        EXPECT_EQ(Normalised(Lines()), c.ExpectedLines);
        if (c.Installed) {
            EXPECT_EQ(ReadFile(program), PeFile(1, 0, 0, 2));
        }
    }
}

TEST_F(UpdateFixture, DispatchTableRunsEachCodesOwnProcedure)
{
    // Each procedure shows itself at once by its first report line, its own question or its
    // own error: a dispatch that sent a code to another procedure fails here.
    InstallOrvanta();
    SetRegString(Os::RegRoot::CurrentUser, QStringLiteral("Software\\DREMLIX S.A.\\Sorvane\\Program"),
        QStringLiteral("Filename"), QStringLiteral("C:\\WDremlix\\Sorvane\\Programs\\Sorvane.exe"));
    FPayload.Add(QStringLiteral("Comune.dll"), "shared")
        .AddList(QStringLiteral("FileNames.txt"), { QStringLiteral("Comune.dll") });
    StartEngine(0);
    struct Case {
        uint8_t Code;
        QString Error; // the error the procedure lets through
        QString Question; // or the box it shows
        QStringList Lines; // and the report it writes
        TUpdateOutcome Outcome;
    };
    const auto cannotFind
        = [](const char *name) -> QString { return QStringLiteral("Cannot find ") + QLatin1String(name); };
    const QList<Case> cases {
        { 1, cannotFind("Orvanta.exe"), {}, {}, 0 },
        { 2, cannotFind("Orvanta.exe"), {}, {}, 0 },
        { 3, cannotFind("OVVestrel2.dll"), {}, {}, 0 },
        { 4, cannotFind("Bruncet.exe"), {}, {}, 0 },
        { 5, {}, {}, {}, uoNothing },
        { 6, {},
            QStringLiteral(
                "Programma C:\\WDremlix\\Sorvane\\Programs\\Sorvane.exe non trovato. Volete indicare "
                "la sua posizione."),
            {}, uoFailure },
        { 7, cannotFind("Falcrest.exe"), {}, {}, 0 },
        { 8, cannotFind("qrt\\SA-00.int"), {}, {}, 0 },
        { 9, cannotFind("gs\\GS-00.int"), {}, {}, 0 },
        { 10, cannotFind("XTQ.exe"), {}, {}, 0 },
        { 11, {}, {}, {}, uoNothing },
        { 12, {}, {}, CopyLines(Tmp, QStringLiteral("C:\\WDremlix\\Common\\Programs\\Comune.dll")),
            uoSuccess },
        { 13, cannotFind("Trevisk.exe"), {}, {}, 0 },
        { 14, {}, {}, {}, uoNothing },
        { 15, {}, {}, {}, uoNothing },
        { 0, {}, {}, {}, uoNothing },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(int(c.Code));
        ScriptedUiServices ui;
        FDocument->clear();
        FReport = std::make_unique<TDocumentReport>(FDocument.get());
        FEngine->SetReport(FReport.get());
        FEngine->FProductCode = c.Code;
        QString error;
        TUpdateOutcome outcome = 0;
        try {
            outcome = FEngine->RunProcedure(c.Code);
        } catch (const Os::Exception &e) {
            error = e.Message();
        }
        EXPECT_EQ(error, c.Error) << error.toStdString();
        if (c.Error.isEmpty()) {
            EXPECT_EQ(outcome, c.Outcome);
        }
        EXPECT_EQ(Normalised(Lines()), c.Lines);
        ASSERT_EQ(ui.Boxes().size(), c.Question.isEmpty() ? 0 : 1);
        if (!c.Question.isEmpty()) {
            EXPECT_EQ(ui.Boxes().at(0).Text, c.Question);
        }
    }
}
