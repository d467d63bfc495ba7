#include "AppFixture.h"

#include "app/CaptionLabel.h"
#include "app/WizardInstances.h"
#include "app/frmBaseStepUnit.h"
#include "app/frmDisplayFileUnit.h"
#include "app/frmEndInstallUnit.h"
#include "app/frmMainUnit.h"
#include "app/frmWelcomeUnit.h"
#include "platform/Messages.h"

#include <QLabel>
#include <QFile>
#include <QPushButton>
#include <QScrollBar>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

using namespace AppTest;

namespace {

const QString Warning = QStringLiteral(
    "Prima di effettuare l'aggiornamento chiudere applicazione Dremlix su tutti i posti di lavoro !");

struct WelcomeCase {
    const char *Label;
    std::optional<QStringList> AppInfo1; // nullopt: not in the payload
    QStringList AppInfo2;
    QString Info;
};

class WelcomeTexts : public ::testing::TestWithParam<WelcomeCase> {};

TEST_P(WelcomeTexts, TitleAndExtraText)
{
    const WelcomeCase &c = GetParam();
    PayloadBuilder payload;
    if (c.AppInfo1)
        payload.AddList(QStringLiteral("AppInfo1.txt"), *c.AppInfo1);
    payload.AddList(QStringLiteral("AppInfo2.txt"), c.AppInfo2);
    payload.Add(QStringLiteral("UpdateInfo.txt"), SmallRtf());
    TWizardRun run(payload);
    run.Start();
    EXPECT_EQ(frmWelcome->LabelWarning->Caption(), Warning);
    EXPECT_EQ(frmWelcome->LabelInfo->Caption(), c.Info);
    // What is shown has the line breaks of the caption.
    EXPECT_EQ(frmWelcome->LabelInfo->text(), QString(c.Info).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WelcomeTexts,
    ::testing::Values(
        WelcomeCase{"TitleNoExtra", QStringList{QStringLiteral("Falcrest")}, {},
                    QStringLiteral("Questo assistente aggiornerà Falcrest.\r\n\r\nNessun dato esistente sarà "
                                   "cancellato.\r\n\r\n")},
        WelcomeCase{"EmptyTitleLine", QStringList{QString()}, {},
                    QStringLiteral("Questo assistente aggiornerà ?.\r\n\r\nNessun dato esistente sarà "
                                   "cancellato.\r\n\r\n")},
        WelcomeCase{"NoTitleFile", std::nullopt, {QStringLiteral("Riga uno")},
                    QStringLiteral("Questo assistente aggiornerà ?.\r\n\r\nNessun dato esistente sarà "
                                   "cancellato.\r\n\r\nRiga uno\r\n")},
        WelcomeCase{"OnlyFirstTitleLineAndTwoExtraLines",
                    QStringList{QStringLiteral("Orvanta"), QStringLiteral("ignored")},
                    {QStringLiteral("Riga uno"), QString(), QStringLiteral("Riga tre")},
                    QStringLiteral("Questo assistente aggiornerà Orvanta.\r\n\r\nNessun dato esistente sarà "
                                   "cancellato.\r\n\r\nRiga uno\r\n\r\nRiga tre\r\n")}),
    [](const auto &info) { return std::string(info.param.Label); });

TEST(WelcomeStep, LabelsFollowTheStepSize)
{
    TWizardRun run(StandardPayload());
    run.Start();
    TfrmMain &w = run.Main();
    for (const QSize size : {QSize(947, 522), QSize(1200, 800), QSize(640, 430), QSize(500, 400)}) {
        w.resize(size);
        RunIdle();
        const int h = frmWelcome->height();
        const int wd = frmWelcome->width();
        const int a = h / 4;
        ASSERT_EQ(frmWelcome->size(), w.PanelCurrStep->size()) << size.width();
        EXPECT_EQ(frmWelcome->LabelWarning->geometry(), QRect(20, a, wd - 40, h - 2 * a - 80)) << size.width();
        EXPECT_EQ(frmWelcome->LabelInfo->geometry(), QRect(20, h - a - 60, wd - 40, h - 2 * a - 40))
            << size.width();
    }
}

TEST(WelcomeStep, BlinksOnlyWhileShownAndRestartsOnReturn)
{
    TWizardRun run(StandardPayload());
    run.Start();
    TfrmMain &w = run.Main();
    EXPECT_TRUE(frmWelcome->TimerBlink->isActive());
    EXPECT_EQ(frmWelcome->TimerBlink->interval(), 500);
    EXPECT_TRUE(RunUntil([] { return frmWelcome->LabelWarning->FontColor() == TfrmWelcome::Red(); }));
    EXPECT_TRUE(RunUntil([] { return frmWelcome->LabelWarning->FontColor() == TfrmWelcome::Maroon(); }));

    w.ButtonNext->click();
    RunIdle();
    EXPECT_FALSE(frmWelcome->TimerBlink->isActive());

    w.ButtonPrev->click();
    RunIdle();
    EXPECT_TRUE(frmWelcome->TimerBlink->isActive());
    EXPECT_EQ(frmWelcome->LabelWarning->FontColor(), TfrmWelcome::Maroon());
}

// Further forms the release engineer may name in "Steps.txt".
class TfrmExtraStep : public TFrmStep {
public:
    explicit TfrmExtraStep(const QString &name) : TFrmStep(name) {}
};

struct StepsCase {
    const char *Label;
    QStringList Lines;
    QStringList Expected;
};

class StepsOrder : public ::testing::TestWithParam<StepsCase> {};

TEST_P(StepsOrder, FormsNamedInStepsTxtFollowTheChanges)
{
    const StepsCase &c = GetParam();
    PayloadBuilder payload = StandardPayload();
    payload.AddList(QStringLiteral("Steps.txt"), c.Lines);
    TWizardRun run(payload);
    run.Create();
    TfrmExtraStep extraA(QStringLiteral("frmExtraA"));
    TfrmExtraStep extraB(QStringLiteral("frmExtraB"));
    run.Main().show();
    RunUntil([&] { return run.Main().Started(); });

    QStringList names;
    for (const TFrmStep *step : run.Main().Steps())
        names << step->objectName();
    EXPECT_EQ(names, c.Expected);

    // Next walks them in that order.
    QStringList walked{run.Main().CurrentStep()->objectName()};
    while (run.Main().CurrentStep() != frmEndInstall) {
        // Next is enabled by the idle pass that follows each step.
        ASSERT_TRUE(RunUntil([&] { return run.Main().ButtonNext->isEnabled(); }));
        run.Main().ButtonNext->click();
        RunIdle();
        walked << run.Main().CurrentStep()->objectName();
        ASSERT_LE(walked.size(), names.size());
    }
    EXPECT_EQ(walked, names.mid(0, names.indexOf(QStringLiteral("frmEndInstall")) + 1));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StepsOrder,
    ::testing::Values(
        StepsCase{"None", {}, Lines({"frmWelcome", "frmDisplayFile", "frmEndInstall"})},
        StepsCase{"CaseIgnoredUnknownAndRepeatsSkipped",
                  Lines({"FRMEXTRAB", "frmNowhere", "frmextraa", "frmExtraB", "frmWelcome"}),
                  Lines({"frmWelcome", "frmDisplayFile", "frmExtraB", "frmExtraA", "frmEndInstall"})},
        StepsCase{"ReportNamedEarlier",
                  Lines({"frmEndInstall", "frmExtraA"}),
                  Lines({"frmWelcome", "frmDisplayFile", "frmEndInstall", "frmExtraA"})},
        // The window itself is no step: naming it must not make it its own child.
        StepsCase{"MainWindowIgnored", Lines({"frmMain", "frmExtraA"}),
                  Lines({"frmWelcome", "frmDisplayFile", "frmExtraA", "frmEndInstall"})}),
    [](const auto &info) { return std::string(info.param.Label); });

struct ChangesCase {
    const char *Label;
    std::optional<QByteArray> UpdateInfo;
};

class MissingChanges : public ::testing::TestWithParam<ChangesCase> {};

TEST_P(MissingChanges, MessageThenDefaultText)
{
    PayloadBuilder payload;
    payload.AddList(QStringLiteral("AppInfo1.txt"), {QStringLiteral("Falcrest")});
    if (GetParam().UpdateInfo)
        payload.Add(QStringLiteral("UpdateInfo.txt"), *GetParam().UpdateInfo);
    TWizardRun run(payload);
    run.Start();

    ASSERT_EQ(run.Ui().Boxes().size(), 1);
    const auto &box = run.Ui().Boxes().first();
    EXPECT_EQ(box.Kind, MessageKind::Plain);
    EXPECT_EQ(box.Caption, ApplicationTitle());
    EXPECT_EQ(box.Text, QStringLiteral("Cannot load resource file UpdateInfo.txt"));
    EXPECT_EQ(frmDisplayFile->RichEditFile->toPlainText(),
              QStringLiteral("\nQuest'aggiornamento comporta soltanto correzioni interne."));
    EXPECT_EQ(frmDisplayFile->RichEditFile->document()->blockCount(), 2);
    // The wizard goes on.
    EXPECT_EQ(run.Main().CurrentStep(), frmWelcome);
}

INSTANTIATE_TEST_SUITE_P(Cases, MissingChanges,
                         ::testing::Values(ChangesCase{"Absent", std::nullopt},
                                           ChangesCase{"Empty", QByteArray()}),
                         [](const auto &info) { return std::string(info.param.Label); });

TEST(ChangesStep, ShowsTheChangeListWithoutMessage)
{
    TWizardRun run(StandardPayload());
    run.Start();
    EXPECT_TRUE(run.Ui().Boxes().isEmpty());
    // Built when the step is first shown, not before the welcome step.
    EXPECT_TRUE(frmDisplayFile->ChangeListPending());
    EXPECT_TRUE(frmDisplayFile->RichEditFile->document()->isEmpty());
    run.Main().ButtonNext->click();
    RunIdle();
    ASSERT_EQ(run.Main().CurrentStep(), frmDisplayFile);
    EXPECT_FALSE(frmDisplayFile->ChangeListPending());
    const QString text = frmDisplayFile->RichEditFile->toPlainText();
    EXPECT_TRUE(text.contains(QStringLiteral("Stampa dei registri IVA corretta."))) << text.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral("Quest'aggiornamento")));
    EXPECT_TRUE(frmDisplayFile->RichEditFile->isReadOnly());
    EXPECT_EQ(frmDisplayFile->PanelButtons->text(), QStringLiteral("Lista delle modificazionni"));
    EXPECT_EQ(frmDisplayFile->PanelButtons->height(), 32);
    EXPECT_EQ(frmDisplayFile->SpeedButtonPrint->geometry(), QRect(4, 4, 24, 24));
}

TEST(ChangesStep, OpensAtTheStartOfALongList)
{
    QFile demo(QStringLiteral(DREMLIX_SOURCE_DIR "/demo/UpdateInfo.txt"));
    ASSERT_TRUE(demo.open(QIODevice::ReadOnly));
    PayloadBuilder payload;
    payload.AddList(QStringLiteral("AppInfo1.txt"), {QStringLiteral("Falcrest")});
    payload.Add(QStringLiteral("UpdateInfo.txt"), demo.readAll());
    TWizardRun run(payload);
    run.Start();
    run.Main().ButtonNext->click();
    RunIdle();
    ASSERT_EQ(run.Main().CurrentStep(), frmDisplayFile);
    QTextEdit *edit = frmDisplayFile->RichEditFile;
    EXPECT_EQ(edit->textCursor().position(), 0);
    EXPECT_EQ(edit->verticalScrollBar()->value(), 0);
}

TEST(ReportStep, HeadingAppearsWhenTheStepBecomesCurrent)
{
    TWizardRun run(StandardPayload());
    run.Start();
    EXPECT_TRUE(frmEndInstall->PanelButtons->text().isEmpty());
    run.Main().ButtonNext->click();
    RunIdle();
    run.Main().ButtonNext->click();
    RunIdle();
    ASSERT_EQ(run.Main().CurrentStep(), frmEndInstall);
    EXPECT_EQ(frmEndInstall->PanelButtons->text(), QStringLiteral("Rapporto d'installazione"));
    EXPECT_EQ(frmEndInstall->RichEditReport->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_TRUE(frmEndInstall->RichEditReport->isReadOnly());
}

} // namespace
