#include "AppFixture.h"

#include "app/CaptionLabel.h"
#include "app/WizardInstances.h"
#include "app/frmDisplayFileUnit.h"
#include "app/frmEndInstallUnit.h"
#include "app/frmMainUnit.h"
#include "app/frmWelcomeUnit.h"

#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QTextEdit>
#include <QToolButton>
#include <gtest/gtest.h>

using namespace AppTest;

namespace {

struct ButtonState {
    bool Back;
    bool Next;
    bool Cancel;
    QString NextCaption;
};

ButtonState Buttons(TfrmMain &w)
{
    return {w.ButtonPrev->isEnabled(), w.ButtonNext->isEnabled(), w.ButtonCancel->isEnabled(),
            w.ButtonNext->text()};
}

void ExpectButtons(TfrmMain &w, const ButtonState &expected)
{
    const ButtonState actual = Buttons(w);
    EXPECT_EQ(actual.Back, expected.Back);
    EXPECT_EQ(actual.Next, expected.Next);
    EXPECT_EQ(actual.Cancel, expected.Cancel);
    EXPECT_EQ(actual.NextCaption, expected.NextCaption);
}

void Click(QPushButton *button)
{
    button->click();
    RunIdle();
}

TEST(Navigation, BackNextCancelFollowTheCurrentStep)
{
    TWizardRun run(StandardPayload());
    run.Start();
    TfrmMain &w = run.Main();

    ASSERT_EQ(w.CurrentStep(), frmWelcome);
    EXPECT_TRUE(frmWelcome->isVisible());
    EXPECT_EQ(frmWelcome->parentWidget(), w.PanelCurrStep);
    EXPECT_EQ(w.ButtonPrev->text(), QStringLiteral("< Precedente"));
    EXPECT_EQ(w.ButtonCancel->text(), QStringLiteral("Annulare"));
    ExpectButtons(w, {false, true, true, QStringLiteral("Seguente >")});

    Click(w.ButtonNext);
    ASSERT_EQ(w.CurrentStep(), frmDisplayFile);
    EXPECT_FALSE(frmWelcome->isVisible());
    EXPECT_EQ(frmWelcome->parentWidget(), nullptr);
    ExpectButtons(w, {true, true, true, QStringLiteral("Avviare")});

    Click(w.ButtonPrev);
    ASSERT_EQ(w.CurrentStep(), frmWelcome);
    ExpectButtons(w, {false, true, true, QStringLiteral("Seguente >")});
    EXPECT_EQ(w.History().size(), 1);

    // A disabled Back does nothing, whatever presses it.
    w.ButtonPrev->click();
    w.ActionBack->trigger();
    RunIdle();
    EXPECT_EQ(w.CurrentStep(), frmWelcome);
}

TEST(Navigation, EveryControlCarriesItsCaptionAsAccessibleName)
{
    TWizardRun run(StandardPayload());
    run.Start();
    TfrmMain &w = run.Main();
    EXPECT_EQ(w.ButtonPrev->accessibleName(), QStringLiteral("< Precedente"));
    EXPECT_EQ(w.ButtonNext->accessibleName(), QStringLiteral("Seguente >"));
    EXPECT_EQ(w.ButtonCancel->accessibleName(), QStringLiteral("Annulare"));
    Click(w.ButtonNext);
    EXPECT_EQ(w.ButtonNext->accessibleName(), QStringLiteral("Avviare"));
    EXPECT_EQ(frmDisplayFile->RichEditFile->accessibleName(), QStringLiteral("Lista delle modificazionni"));
    EXPECT_EQ(frmEndInstall->RichEditReport->accessibleName(), QStringLiteral("Rapporto d'installazione"));
    EXPECT_FALSE(frmDisplayFile->SpeedButtonPrint->accessibleName().isEmpty());
    EXPECT_FALSE(frmEndInstall->SpeedButtonPrint->accessibleName().isEmpty());
    EXPECT_EQ(w.RzLabelTitle->accessibleName(), QStringLiteral("Falcrest"));
    EXPECT_TRUE(w.RzLabelVersion->accessibleName().startsWith(QStringLiteral("Version : ")));
}

struct CancelCase {
    bool Answer;
    bool StillOpen;
};

class CancelQuestion : public ::testing::TestWithParam<CancelCase> {};

TEST_P(CancelQuestion, AsksBeforeClosing)
{
    TWizardRun run(StandardPayload());
    run.Start();
    TfrmMain &w = run.Main();
    Click(w.ButtonNext);
    run.Ui().QueueAnswer(GetParam().Answer);
    Click(w.ButtonCancel);

    ASSERT_EQ(run.Ui().Boxes().size(), 1);
    const auto &box = run.Ui().Boxes().first();
    EXPECT_EQ(box.Caption, QStringLiteral("Avertissement"));
    EXPECT_EQ(box.Text, QStringLiteral("Volete annullare l'installazione?"));
    EXPECT_TRUE(box.YesNo);
    EXPECT_EQ(run.Ui().Beeps(), QList<uint32_t>{0x30});
    EXPECT_EQ(w.isVisible(), GetParam().StillOpen);
    EXPECT_EQ(w.CurrentStep(), frmDisplayFile);
}

INSTANTIATE_TEST_SUITE_P(Answers, CancelQuestion,
                         ::testing::Values(CancelCase{true, false}, CancelCase{false, true}));

TEST(Navigation, WindowGeometry)
{
    TWizardRun run(StandardPayload());
    run.Start();
    TfrmMain &w = run.Main();
    EXPECT_EQ(w.size(), QSize(947, 522));
    EXPECT_EQ(w.minimumSize(), QSize(500, 400));
    EXPECT_FALSE(w.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Aggiornamento di Dremlix"));
    EXPECT_EQ(w.PanelImage->width(), 154);
    EXPECT_EQ(w.RzLabelTitle->height(), 37);
    EXPECT_EQ(w.RzLabelTitle->Caption(), QStringLiteral("Falcrest"));
    // Buttons of 25 pixels: a row of 45 with a margin of 10 from the right edge.
    EXPECT_EQ(w.PanelButtons->height(), 45);
    EXPECT_EQ(w.ButtonCancel->geometry().right(), w.PanelButtons->width() - 10 - 1);
    EXPECT_EQ(w.ButtonCancel->y(), 10);
    // The step fills the step area, the picture sits in the middle of its strip.
    EXPECT_EQ(frmWelcome->geometry(), QRect(QPoint(0, 0), w.PanelCurrStep->size()));
    const QRect strip = w.PanelImage->contentsRect();
    EXPECT_EQ(w.ImageStep->size(), QSize(150, 245));
    EXPECT_EQ(w.ImageStep->x(), strip.left() + (strip.width() - 150) / 2);
    EXPECT_EQ(w.ImageStep->y(), strip.top() + (strip.height() - 245) / 2);
    const QImage bitmap = frmWelcome->GetBitmap();
    EXPECT_EQ(bitmap.format(), QImage::Format_RGB888);
    EXPECT_EQ(w.PanelImage->palette().color(QPalette::Window), bitmap.pixelColor(0, 244));

    w.resize(700, 450);
    RunIdle();
    EXPECT_EQ(frmWelcome->geometry(), QRect(QPoint(0, 0), w.PanelCurrStep->size()));
    EXPECT_EQ(w.ButtonCancel->geometry().right(), w.PanelButtons->width() - 10 - 1);
    EXPECT_EQ(w.ImageStep->y(), w.PanelImage->contentsRect().top() + (w.PanelImage->contentsRect().height() - 245) / 2);
}

TEST(Navigation, ShowsTheOwnFileVersion)
{
    TWizardRun run(StandardPayload());
    run.Start();
    EXPECT_EQ(run.Main().RzLabelVersion->text(), QStringLiteral("Version : " DREMLIX_VERSION));
}

TEST(Navigation, MinimisedWindowIsRestoredAndBroughtForward)
{
    TWizardRun run(StandardPayload());
    run.Start();
    TfrmMain &w = run.Main();
    w.showMinimized();
    RunIdle();
    ASSERT_TRUE(w.isMinimized());
    ForceForegroundWindow(&w);
    RunIdle();
    EXPECT_FALSE(w.isMinimized());
    EXPECT_TRUE(RunUntil([&] { return w.isActiveWindow(); }));
    EXPECT_TRUE(ForceForegroundWindow(&w));
}

} // namespace
