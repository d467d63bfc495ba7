#include "support/QStringPrinter.h"
#include "support/ScriptedUiServices.h"

#include "platform/Messages.h"
#include "oslayer/Exceptions.h"

#include <functional>
#include <gtest/gtest.h>

TEST(MessageBoxes, CaptionKindSoundAndAnswerOfEachRoutine)
{
    const struct {
        const char *Name;
        std::function<bool(const QString &)> Show;
        MessageKind Kind;
        const char *Caption;
        uint32_t Sound;
        bool YesNo;
    } cases[] = {
        {"ShowError", [](const QString &t) { ShowError(t); return true; }, MessageKind::Error, "Erreur", 0x30, false},
        {"ShowWarning", [](const QString &t) { ShowWarning(t); return true; }, MessageKind::Warning, "Avertissement", 0x30, false},
        {"ShowInfo", [](const QString &t) { ShowInfo(t); return true; }, MessageKind::Information, "Informations", 0x30, false},
        {"AskConfirm", [](const QString &t) { return AskConfirm(t); }, MessageKind::Confirmation, "Confirmer", 0x20, true},
        {"AskWarning", [](const QString &t) { return AskWarning(t); }, MessageKind::Warning, "Avertissement", 0x30, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Name);
        ScriptedUiServices ui;
        // The sound comes before the box opens.
        QList<uint32_t> beepsWhenShown;
        ui.OnBox = [&](const ScriptedUiServices::Box &) { beepsWhenShown = ui.Beeps(); };
        const QString text = QStringLiteral("Testo è\r\nseconda riga");
        ui.QueueAnswer(true);
        EXPECT_TRUE(c.Show(text));
        if (c.YesNo) {
            // Without an answer (the box closed any other way) it is No.
            EXPECT_FALSE(c.Show(text));
            ui.QueueAnswer(false);
            EXPECT_FALSE(c.Show(text));
        }
        ASSERT_EQ(ui.Boxes().size(), c.YesNo ? 3 : 1);
        for (const ScriptedUiServices::Box &box : ui.Boxes()) {
            EXPECT_EQ(box.Kind, c.Kind);
            EXPECT_EQ(box.Caption, QLatin1String(c.Caption));
            EXPECT_EQ(box.Text, text);
            EXPECT_EQ(box.YesNo, c.YesNo);
        }
        EXPECT_EQ(beepsWhenShown.value(0), c.Sound);
        EXPECT_EQ(ui.Beeps().size(), ui.Boxes().size());
    }
}

TEST(MessageBoxes, WithoutServicesEverythingIsSilentAndNo)
{
    EXPECT_FALSE(AskConfirm(QStringLiteral("Continuare?")));
    EXPECT_NO_THROW(ShowError(QStringLiteral("x")));
}

TEST(WaitCursorTests, NestedRequestsAndTooManyEnds)
{
    ScriptedUiServices ui;
    BeginWait();
    BeginWait();
    EXPECT_TRUE(ui.WaitCursorOn);
    EXPECT_EQ(ui.WaitCursorChanges, 1);
    EndWait();
    EXPECT_TRUE(ui.WaitCursorOn);
    EndWait();
    EXPECT_FALSE(ui.WaitCursorOn);
    EXPECT_EQ(WaitCount(), 0);
    EndWait(); // one end too many stays at zero
    EXPECT_EQ(WaitCount(), 0);
    BeginWait();
    EXPECT_TRUE(ui.WaitCursorOn);
    EndWait();
    try {
        WaitCursor scope;
        EXPECT_TRUE(ui.WaitCursorOn);
        throw Os::Exception(QStringLiteral("work failed"));
    } catch (const Os::Exception &) {
    }
    EXPECT_FALSE(ui.WaitCursorOn);
    EXPECT_EQ(WaitCount(), 0);
}

TEST(ApplicationTitleTests, NameUpToTheFirstDotWithTheRestLowerCased)
{
    const struct {
        const char *File, *Title;
    } cases[] = {
        {"SETUP.EXE", "Setup"}, {"update.v2.exe", "update"}, {"AggiornaFalcrest.exe", "Aggiornafalcrest"},
        {"x", "x"},             {"", ""},                     {"dremlix-UPDATE", "dremlix-update"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.File);
        EXPECT_EQ(ApplicationTitleFor(QLatin1String(c.File)), QLatin1String(c.Title));
    }
}
