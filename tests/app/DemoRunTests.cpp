#include "AppFixture.h"

#include "app/CaptionLabel.h"
#include "app/frmDisplayFileUnit.h"
#include "app/frmEndInstallUnit.h"
#include "app/frmMainUnit.h"
#include "oslayer/Files.h"
#include "update/UpdateReport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QRegularExpression>
#include <QAction>
#include <QApplication>
#include <QMessageBox>
#include <QTextEdit>
#include <QTimer>
#include <gtest/gtest.h>

#include "app/QtUiServices.h"

using namespace AppTest;

namespace {

QByteArray DemoFile(const QString &name)
{
    QFile file(QStringLiteral(DREMLIX_SOURCE_DIR "/demo/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

Os::FileTime Stamp(int year, int month, int day)
{
    return Os::FileTimeFromMSecsSinceEpoch(QDateTime(QDate(year, month, day), QTime(8, 0), Qt::UTC).toMSecsSinceEpoch());
}

// The build of the demo: the files of demo/ under their own names.
PayloadBuilder DemoPayload()
{
    PayloadBuilder payload;
    for (const char *name : {"AppInfo1.txt", "AppInfo2.txt", "Updates.txt", "FileNames.txt", "PrintLists.txt",
                             "UpdateInfo.txt", "Falcrest.exe", "Falcrest.chm", "FalcrestGro.lst",
                             "FalcrestGrp.lst", "FalcrestPre.lst"}) {
        const QString file = QString::fromLatin1(name);
        payload.Add(file, DemoFile(file), Stamp(2021, 9, 15));
    }
    return payload;
}

const QByteArray OrvantaRegistered =
    "[Software\\\\DREMLIX S.A.\\\\Orvanta\\\\Program] 1700000000\n#time=1d9a0000000000\n"
    "\"Filename\"=\"C:\\\\WDremlix\\\\ORV\\\\Programs\\\\Orvanta.exe\"\n\n";

void Next(TfrmMain &w)
{
    w.ButtonNext->click();
    RunIdle();
}

class DemoRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        FRun = std::make_unique<TWizardRun>(DemoPayload(), OrvantaRegistered);
        QDir().mkpath(FRun->DriveC(QStringLiteral("C:\\WDremlix\\ORV\\Programs")));
        QDir().mkpath(FRun->DriveC(QStringLiteral("C:\\WDremlix\\Kestrin\\Programs")));
        Installed = FRun->DriveC(QStringLiteral("C:\\WDremlix\\Kestrin\\Programs\\Falcrest.exe"));
        QFile::copy(QStringLiteral(DREMLIX_SOURCE_DIR "/demo/installed/Falcrest.exe"), Installed);
        QFile::setPermissions(Installed, QFile::ReadOwner | QFile::WriteOwner);
        Temp = FRun->DriveC(QStringLiteral("C:\\users\\tester\\Temp"));
    }

    std::unique_ptr<TWizardRun> FRun;
    QString Installed;
    QString Temp;
};

TEST_F(DemoRun, FalcrestUpdateFromWelcomeToExit)
{
    ASSERT_FALSE(DemoFile(QStringLiteral("Falcrest.exe")).isEmpty());
    ASSERT_EQ(QFileInfo(Installed).size(), QFileInfo(QStringLiteral(DREMLIX_SOURCE_DIR "/demo/installed/Falcrest.exe")).size());
    FRun->Start();
    TfrmMain &w = FRun->Main();
    EXPECT_TRUE(FRun->Ui().Boxes().isEmpty());
    EXPECT_EQ(w.Products(), QStringList{QStringLiteral("Falcrest")});
    EXPECT_EQ(w.RzLabelTitle->text(), QStringLiteral("Falcrest"));

    Next(w);
    EXPECT_GT(frmDisplayFile->RichEditFile->document()->characterCount(), 10000);
    ASSERT_EQ(w.ButtonNext->text(), QStringLiteral("Avviare"));
    Next(w);
    ASSERT_EQ(w.CurrentStep(), frmEndInstall);
    EXPECT_TRUE(FRun->Ui().Boxes().isEmpty()) << FRun->Ui().Boxes().value(0).Text.toStdString();

    const QStringList lines = w.Report()->Lines();
    const QString all = lines.join(QStringLiteral("\n"));
    const QRegularExpression header(
        QStringLiteral("^Aggiornamento : Falcrest  \\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d$"));
    const QRegularExpression tempCopy(QStringLiteral("^Copia di C:\\\\users\\\\tester\\\\Temp\\\\Update\\d+\\.tmp$"));
    ASSERT_EQ(lines.size(), 14) << all.toStdString();
    EXPECT_TRUE(header.match(lines.at(0)).hasMatch()) << lines.at(0).toStdString();
    EXPECT_EQ(lines.at(1), QString());
    EXPECT_TRUE(tempCopy.match(lines.at(2)).hasMatch()) << lines.at(2).toStdString();
    EXPECT_EQ(lines.at(3), QStringLiteral("Verso C:\\WDremlix\\Kestrin\\Programs\\Falcrest.chm"));
    EXPECT_EQ(lines.at(4), QString());
    EXPECT_EQ(lines.at(5), QStringLiteral("I parametri di stampa : \"FalcrestGro.lst\" sono aggiornamento."));
    EXPECT_EQ(lines.at(6), QStringLiteral("I parametri di stampa : \"FalcrestGrp.lst\" sono aggiornamento."));
    EXPECT_EQ(lines.at(7), QStringLiteral("I parametri di stampa : \"FalcrestPre.lst\" sono aggiornamento."));
    EXPECT_EQ(lines.at(8), QString());
    EXPECT_TRUE(tempCopy.match(lines.at(9)).hasMatch()) << lines.at(9).toStdString();
    EXPECT_NE(lines.at(9), lines.at(2));
    EXPECT_EQ(lines.at(10), QStringLiteral("Verso C:\\WDremlix\\Kestrin\\Programs\\Falcrest.exe"));
    EXPECT_EQ(lines.at(11), QString());
    EXPECT_EQ(lines.at(12), QString());
    EXPECT_EQ(lines.at(13), QStringLiteral("L'aggiornamento terminato con successo."));
    // Each line's own size: the closing line's 10 does not merely carry over from the header.
    const QList<int> sizes = w.Report()->GivenPointSizes();
    EXPECT_EQ(sizes, (QList<int> { 10, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 10, 10 }));
    EXPECT_TRUE(frmEndInstall->RichEditReport->hasFocus());

    // The installed files: the payload's bytes, the program with the container's time stamp.
    const QString folder = FRun->DriveC(QStringLiteral("C:\\WDremlix\\Kestrin\\Programs\\"));
    QFile program(Installed);
    ASSERT_TRUE(program.open(QIODevice::ReadOnly));
    EXPECT_EQ(program.readAll(), DemoFile(QStringLiteral("Falcrest.exe")));
    Os::FileTime written = 0;
    ASSERT_TRUE(Os::GetFileLastWriteTime(QStringLiteral("C:\\WDremlix\\Kestrin\\Programs\\Falcrest.exe"), written));
    EXPECT_EQ(written / 10000000, Stamp(2021, 9, 15) / 10000000);
    for (const char *name : {"Falcrest.chm", "FalcrestGro.lst", "FalcrestGrp.lst", "FalcrestPre.lst"}) {
        QFile file(folder + QString::fromLatin1(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name;
        EXPECT_EQ(file.readAll(), DemoFile(QString::fromLatin1(name))) << name;
    }

    // Uscire closes the program; the engine's end leaves no temporary file of ours.
    EXPECT_EQ(w.ButtonNext->text(), QStringLiteral("Uscire"));
    EXPECT_FALSE(w.ButtonPrev->isEnabled());
    EXPECT_FALSE(w.ButtonCancel->isEnabled());
    Next(w);
    EXPECT_FALSE(w.isVisible());
    FRun->Destroy();
    EXPECT_EQ(QDir(Temp).entryList({QStringLiteral("Update*.tmp")}, QDir::Files), QStringList());
}

TEST_F(DemoRun, SameVersionDeclinedLeavesEverythingAsItWas)
{
    // The workstation already has the update's program.
    QFile::remove(Installed);
    QFile::copy(QStringLiteral(DREMLIX_SOURCE_DIR "/demo/Falcrest.exe"), Installed);
    FRun->Start();
    FRun->Ui().QueueAnswer(false);
    Next(FRun->Main());
    Next(FRun->Main());
    ASSERT_EQ(FRun->Ui().Boxes().size(), 1);
    EXPECT_TRUE(FRun->Ui().Boxes().first().YesNo);
    const QStringList lines = FRun->Main().Report()->Lines();
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.last(), QStringLiteral("L'aggiornamento non è stato effettuato."));
    EXPECT_FALSE(QFile::exists(FRun->DriveC(QStringLiteral("C:\\WDremlix\\Kestrin\\Programs\\Falcrest.chm"))));
    EXPECT_EQ(FRun->Main().ButtonNext->text(), QStringLiteral("Uscire"));
}

TEST_F(DemoRun, AListedFileThatCannotBeReplacedEndsWithTheWarningsLine)
{
    // A folder stands where the help file belongs: it cannot be replaced.
    const QString help = QStringLiteral("C:\\WDremlix\\Kestrin\\Programs\\Falcrest.chm");
    QDir().mkpath(FRun->DriveC(help));
    const QByteArray before = [this] {
        QFile file(Installed);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();
    FRun->Start();
    Next(FRun->Main());
    Next(FRun->Main());
    const QStringList lines = FRun->Main().Report()->Lines();
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.last(), QStringLiteral("L'aggiornamento è stato effettuato ma con avvertimenti !"));
    EXPECT_EQ(FRun->Main().Report()->GivenPointSizes().last(), 10);
    const QString all = lines.join(u'\n');
    EXPECT_TRUE(all.contains(QStringLiteral("Un errore si è prodotto durante l'aggiornamento di ") + help
        + QStringLiteral("\nError: Erreur système.  Code : 5.")))
        << all.toStdString();
    QFile program(Installed);
    ASSERT_TRUE(program.open(QIODevice::ReadOnly));
    EXPECT_EQ(program.readAll(), before) << "the program is not replaced after a listed file failed";
}

TEST_F(DemoRun, ProgramFolderMissingEndsInFailureLine)
{
    QFile::remove(Installed);
    FRun->Start();
    Next(FRun->Main());
    Next(FRun->Main());
    const QStringList lines = FRun->Main().Report()->Lines();
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_TRUE(lines.join(u'\n').contains(QStringLiteral("Programma C:\\WDremlix\\Kestrin\\Programs\\Falcrest.exe non trovato.")))
        << lines.join(u'\n').toStdString();
    EXPECT_EQ(lines.last(), QStringLiteral("L'aggiornamento è fallito !"));
}

// A real message box of the Qt services runs an event loop of its own, whose idle passes
// must not bring Back, Next or Cancel back while the procedure waits for the answer.
TEST_F(DemoRun, NavigationStaysDisabledWhileTheRunAsksAQuestion)
{
    QFile::remove(Installed);
    QFile::copy(QStringLiteral(DREMLIX_SOURCE_DIR "/demo/Falcrest.exe"), Installed);
    QFile::setPermissions(Installed, QFile::ReadOwner | QFile::WriteOwner);
    FRun->Start();
    TfrmMain &w = FRun->Main();
    TQtUiServices real; // over the scripted services for as long as the test runs
    Next(w);

    int seen = 0;
    QStringList enabledDuringBox;
    QTimer probe;
    probe.setInterval(20);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        // Several passes of the box's own loop, idle ones among them, before it is answered.
        if (++seen < 10)
            return;
        for (QAction *action : {w.ActionBack, w.ActionNext, w.ActionAnnuler})
            if (action->isEnabled())
                enabledDuringBox << action->objectName();
        for (QPushButton *button : {w.ButtonPrev, w.ButtonNext, w.ButtonCancel})
            if (button->isEnabled())
                enabledDuringBox << button->objectName();
        EXPECT_TRUE(box->text().contains(QStringLiteral("aggiornato"))) << box->text().toStdString();
        for (QAbstractButton *button : box->buttons())
            if (box->buttonRole(button) == QMessageBox::NoRole)
                button->click();
    });
    probe.start();
    w.ButtonNext->click(); // Avviare: the run asks whether to install the same version again
    probe.stop();
    RunIdle();

    EXPECT_GE(seen, 10) << "the question was never asked";
    EXPECT_TRUE(enabledDuringBox.isEmpty()) << enabledDuringBox.join(u',').toStdString();
    EXPECT_EQ(w.Report()->Lines().last(), QStringLiteral("L'aggiornamento non è stato effettuato."));
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(w.ButtonNext->text(), QStringLiteral("Uscire"));
    EXPECT_TRUE(w.ButtonNext->isEnabled());
    EXPECT_FALSE(w.ButtonPrev->isEnabled());
    EXPECT_FALSE(w.ButtonCancel->isEnabled());
}

} // namespace
