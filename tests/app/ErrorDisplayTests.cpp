#include "AppFixture.h"

#include "app/AppErrors.h"
#include "oslayer/Exceptions.h"
#include "platform/Messages.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
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

INSTANTIATE_TEST_SUITE_P(
    Kinds, ErrorDisplay,
    ::testing::Values(
        ErrorCase{"OwnError", [] { throw Os::Exception(QStringLiteral("Next step is missing.")); }, true,
                  QStringLiteral("Next step is missing.")},
        ErrorCase{"SystemError",
                  [] { throw Os::EOSError(5, QStringLiteral("Erreur système.  Code : 5.\r\nAccess denied.")); },
                  true, QStringLiteral("Erreur système.  Code : 5.\r\nAccess denied.")},
        ErrorCase{"StandardError", [] { throw std::runtime_error("disque plein"); }, true,
                  QStringLiteral("disque plein")},
        ErrorCase{"SilentAbort", [] { throw Os::EAbort(); }, false, QString()}),
    [](const auto &info) { return std::string(info.param.Label); });

TEST(ErrorDisplayGuard, HandlerErrorsStopAtTheGuard)
{
    ScriptedUiServices ui;
    bool after = false;
    Guarded([] { throw Os::Exception(QStringLiteral("Cannot get current step")); });
    after = true;
    EXPECT_TRUE(after);
    ASSERT_EQ(ui.Boxes().size(), 1);
    EXPECT_EQ(ui.Boxes().first().Text, QStringLiteral("Cannot get current step"));
}

} // namespace
