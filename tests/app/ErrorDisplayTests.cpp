#include "AppFixture.h"

#include "app/AppErrors.h"
#include "app/WizardInstances.h"
#include "app/frmDisplayFileUnit.h"
#include "app/frmMainUnit.h"
#include "app/frmWelcomeUnit.h"
#include "oslayer/Exceptions.h"
#include "payload/PayloadWriter.h"
#include "platform/Messages.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QObject>
#include <QPushButton>
#include <gtest/gtest.h>
#include <stdexcept>

using namespace AppTest;

namespace {

// An object whose event handler raises, as a handler of the program may.
class TRaising final : public QObject {
public:
    std::function<void()> Raise;

protected:
    bool event(QEvent *e) override
    {
        if (e->type() == QEvent::User) {
            Raise();
            return true;
        }
        return QObject::event(e);
    }
};

struct ErrorCase {
    const char *Label;
    std::function<void()> Raise;
    bool Box;
    QString Text;
};

class ErrorDisplay : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ErrorDisplay, ErrorsReachingTheEventLoopAreShownOnce)
{
    ScriptedUiServices ui;
    TRaising receiver;
    receiver.Raise = GetParam().Raise;
    QCoreApplication::postEvent(&receiver, new QEvent(QEvent::User));
    RunIdle();
    if (!GetParam().Box) {
        EXPECT_TRUE(ui.Boxes().isEmpty());
        EXPECT_TRUE(ui.Beeps().isEmpty());
        return;
    }
    ASSERT_EQ(ui.Boxes().size(), 1);
    EXPECT_EQ(ui.Boxes().first().Kind, MessageKind::Error);
    EXPECT_EQ(ui.Boxes().first().Caption, ApplicationTitle());
    EXPECT_EQ(ui.Boxes().first().Text, GetParam().Text);
    EXPECT_EQ(ui.Beeps(), QList<uint32_t>{MB_ICONHAND});
}

INSTANTIATE_TEST_SUITE_P(Kinds, ErrorDisplay,
    ::testing::Values(
        ErrorCase { "OwnError", [] { throw Os::Exception(QStringLiteral("Somewhere no step.")); }, true,
            QStringLiteral("Somewhere no step.") },
        ErrorCase { "SystemError",
            [] { throw Os::EOSError(5, QStringLiteral("Erreur système.  Code : 5.\r\nAccess denied.")); },
            true, QStringLiteral("Erreur système.  Code : 5.\r\nAccess denied.") },
        ErrorCase { "StandardError", [] { throw std::runtime_error("disque plein"); }, true,
            QStringLiteral("disque plein") },
        ErrorCase { "SilentAbort", [] { throw Os::EAbort(); }, false, QString() }),
    [](const auto &info) { return std::string(info.param.Label); });

TEST(ErrorDisplayGuard, HandlerErrorsStopAtTheGuard)
{
    ScriptedUiServices ui;
    bool after = false;
    Guarded([] { throw Os::Exception(QStringLiteral("Handler failed")); });
    after = true;
    EXPECT_TRUE(after);
    ASSERT_EQ(ui.Boxes().size(), 1);
    EXPECT_EQ(ui.Boxes().first().Text, QStringLiteral("Handler failed"));
}

// The default error display as the window's own errors reach it: the boxCount-th box of
// the run, with its sound.
void ExpectErrorBox(const ScriptedUiServices &ui, const QString &text, int boxCount = 1)
{
    ASSERT_EQ(ui.Boxes().size(), boxCount);
    ASSERT_EQ(ui.Beeps().size(), boxCount);
    EXPECT_EQ(ui.Boxes().last().Kind, MessageKind::Error);
    EXPECT_EQ(ui.Boxes().last().Caption, ApplicationTitle());
    EXPECT_EQ(ui.Boxes().last().Text, text);
    EXPECT_EQ(ui.Beeps().last(), uint32_t(MB_ICONHAND));
}

TEST(WindowErrors, BackPressedTwiceBeforeTheWindowIsIdleFindsNoCurrentStep)
{
    TWizardRun run(StandardPayload());
    run.Start();
    TfrmMain &w = run.Main();
    ASSERT_TRUE(RunUntil([&] { return w.ButtonNext->isEnabled(); }));
    w.ButtonNext->click();
    ASSERT_TRUE(RunUntil([&] { return w.ButtonPrev->isEnabled(); }));
    ASSERT_EQ(w.CurrentStep(), frmDisplayFile);
    // Back stays enabled until the next idle pass, so a second press queued behind the
    // first goes back from the welcome step too.
    w.ButtonPrev->click();
    w.ButtonPrev->click();
    RunIdle();
    ExpectErrorBox(run.Ui(), QStringLiteral("Cannot get current step"));
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(w.CurrentStep(), nullptr);
    // Without a step nothing can be pressed but Cancel, from the next idle pass on.
    EXPECT_TRUE(RunUntil([&] { return !w.ButtonPrev->isEnabled() && !w.ButtonNext->isEnabled(); }));
    EXPECT_TRUE(w.ButtonNext->text().isEmpty());
    EXPECT_TRUE(w.ButtonCancel->isEnabled());
}

TEST(WindowErrors, NextWithNoStepAfterTheCurrentOne)
{
    // A damaged AppInfo1.txt stops the first show before the step sequence is built: the
    // welcome step still comes, but there is nothing after it.
    TWizardRun run(StandardPayload());
    QFile wizard(run.WizardPath());
    ASSERT_TRUE(wizard.open(QIODevice::ReadWrite));
    QByteArray bytes = wizard.readAll();
    const QByteArray entry = BuildEmbeddedContainer("Falcrest\r\n", PayloadBuilder::DefaultTimeStamp());
    const qsizetype at = bytes.indexOf(entry);
    ASSERT_GE(at, 0) << "AppInfo1.txt is not stored as built";
    bytes.replace(at + 2, entry.size() - 2, QByteArray(entry.size() - 2, '\xFF'));
    ASSERT_TRUE(wizard.seek(0));
    ASSERT_EQ(wizard.write(bytes), bytes.size());
    wizard.close();
    PayloadBuilder::UseAsOwnExecutable(run.WizardPath());

    run.Start();
    TfrmMain &w = run.Main();
    ASSERT_EQ(run.Ui().Boxes().size(), 1) << "the damaged list raises inside the first show";
    EXPECT_EQ(run.Ui().Boxes().first().Kind, MessageKind::Error);
    ASSERT_EQ(w.CurrentStep(), frmWelcome);
    EXPECT_TRUE(w.Steps().isEmpty());

    ASSERT_TRUE(RunUntil([&] { return w.ButtonNext->isEnabled(); }));
    w.ButtonNext->click();
    RunIdle();
    ExpectErrorBox(run.Ui(), QStringLiteral("Next step is missing."), 2);
    // The window stays as it was.
    EXPECT_EQ(w.CurrentStep(), frmWelcome);
    EXPECT_EQ(w.History().size(), 1);
    EXPECT_TRUE(frmWelcome->isVisible());
}

} // namespace
