#include "AppFixture.h"

#include "app/WizardInstances.h"
#include "app/frmEndInstallUnit.h"
#include "app/frmMainUnit.h"
#include "platform/GeneralRoutines.h"
#include "update/UpdateReport.h"
#include "update/dmUpdateCommonUnit.h"

#include <QPushButton>
#include <QRegularExpression>
#include <QTextEdit>
#include <gtest/gtest.h>

using namespace AppTest;

namespace {

void Next(TfrmMain &w)
{
    // Next is enabled by the idle pass after each step; a busy machine may be late for it.
    RunUntil([&] { return w.ButtonNext->isEnabled(); });
    w.ButtonNext->click();
    RunIdle();
}

struct SelectionCase {
    const char *Label;
    std::optional<QStringList> Updates;
    QStringList Products;
    uint8_t RunCode; // the code the run takes; 0: no product updated, no header
};

class ProductSelection : public ::testing::TestWithParam<SelectionCase> {};

TEST_P(ProductSelection, AcceptedNamesAndTheOneProductTheRunTakes)
{
    const SelectionCase &c = GetParam();
    PayloadBuilder payload = StandardPayload();
    if (c.Updates)
        payload.AddList(QStringLiteral("Updates.txt"), *c.Updates);
    TWizardRun run(payload);
    run.Start();
    TfrmMain &w = run.Main();
    EXPECT_EQ(w.Products(), c.Products);
    EXPECT_TRUE(run.Ui().Boxes().isEmpty());

    Next(w);
    Next(w);
    ASSERT_EQ(w.CurrentStep(), frmEndInstall);
    EXPECT_TRUE(w.UpdateRun());
    EXPECT_EQ(w.CurrentProduct(), c.RunCode);
    const QStringList lines = w.Report()->Lines();
    if (c.RunCode == 0) {
        EXPECT_TRUE(frmEndInstall->RichEditReport->toPlainText().isEmpty()) << lines.join(u'|').toStdString();
    } else {
        // Header, the empty line after it, and no closing line for a code without a procedure.
        ASSERT_EQ(lines.size(), 2) << lines.join(u'|').toStdString();
        EXPECT_TRUE(QRegularExpression(QStringLiteral(
                        "^Aggiornamento : Falcrest  \\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d$"))
                        .match(lines.at(0))
                        .hasMatch())
            << lines.at(0).toStdString();
        EXPECT_EQ(lines.at(1), QString());
        EXPECT_EQ(w.Report()->PointSizes().value(0), 10.0);
    }

    // After the run: Next reads "Uscire" and closes; Back and Cancel stay disabled.
    EXPECT_EQ(w.ButtonNext->text(), QStringLiteral("Uscire"));
    EXPECT_TRUE(w.ButtonNext->isEnabled());
    EXPECT_FALSE(w.ButtonPrev->isEnabled());
    EXPECT_FALSE(w.ButtonCancel->isEnabled());
    Next(w);
    EXPECT_FALSE(w.isVisible());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProductSelection,
    ::testing::Values(
        SelectionCase{"Absent", std::nullopt, {}, 0},
        SelectionCase{"SameNameTwiceInAnotherCase", Lines({"Quillox", "quillox"}), Lines({"Quillox"}), 5},
        SelectionCase{"FirstLettersOfAName", Lines({"Quil"}), Lines({"Quil"}), 0},
        SelectionCase{"NameInAnotherCase", Lines({"QUILLOX"}), {}, 0},
        SelectionCase{"AlternateName", Lines({"ORV_PRO"}), {}, 0},
        SelectionCase{"TwoProductsOnlyTheFirstRuns", Lines({"Quil", "Quillox", "Lumivrax"}),
                      Lines({"Quil", "Quillox", "Lumivrax"}), 5},
        SelectionCase{"BlankLine", QStringList{QString(), QStringLiteral("ZQV")}, Lines({"ZQV"}), 14}),
    [](const auto &info) { return std::string(info.param.Label); });

TEST(RunErrors, AnErrorTheProcedureLetsThroughIsShownAndEndsTheReport)
{
    // A Falcrest update whose payload lacks the program: the procedure raises before it
    // has anything of its own to report.
    PayloadBuilder payload = StandardPayload();
    payload.AddList(QStringLiteral("Updates.txt"), { QStringLiteral("Falcrest") });
    TWizardRun run(payload);
    run.Start();
    TfrmMain &w = run.Main();
    Next(w);
    Next(w);
    ASSERT_EQ(w.CurrentStep(), frmEndInstall);

    ASSERT_EQ(run.Ui().Boxes().size(), 1);
    const auto &box = run.Ui().Boxes().first();
    EXPECT_EQ(box.Kind, MessageKind::Error);
    EXPECT_EQ(box.Caption, QStringLiteral("Erreur"));
    EXPECT_EQ(box.Text, QStringLiteral("Cannot find Falcrest.exe"));
    EXPECT_EQ(run.Ui().Beeps(), QList<uint32_t> { 0x30 });
    const QStringList lines = w.Report()->Lines();
    ASSERT_EQ(lines.size(), 5) << lines.join(u'|').toStdString();
    EXPECT_TRUE(lines.at(0).startsWith(QStringLiteral("Aggiornamento : Falcrest  ")))
        << lines.at(0).toStdString();
    EXPECT_EQ(lines.mid(1),
        (QStringList { QString(), QStringLiteral("Cannot find Falcrest.exe"), QString(),
            QStringLiteral("L'aggiornamento è fallito !") }));

    // The run is over all the same: Next reads "Uscire" and closes.
    EXPECT_EQ(w.ButtonNext->text(), QStringLiteral("Uscire"));
    EXPECT_FALSE(w.ButtonPrev->isEnabled());
    EXPECT_FALSE(w.ButtonCancel->isEnabled());
    Next(w);
    EXPECT_FALSE(w.isVisible());
}

TEST(TemporaryNames, DrawFromTheGeneratorTheWindowSeedsWhenFirstShown)
{
    constexpr uint32_t Range = 10000000;
    TWizardRun run(StandardPayload());
    // The numbers after a known seed: had the first show not seeded the generator again,
    // what it draws afterwards would go on with them.
    RandSeed(42);
    QList<uint32_t> known;
    for (int i = 0; i < 1000; ++i)
        known.append(Random(Range));
    RandSeed(42);
    run.Start();
    QList<uint32_t> drawn;
    for (int i = 0; i < 3; ++i)
        drawn.append(Random(Range));
    bool continuesKnown = false;
    for (qsizetype i = 0; i + drawn.size() <= known.size(); ++i)
        continuesKnown = continuesKnown || known.mid(i, drawn.size()) == drawn;
    EXPECT_FALSE(continuesKnown) << "the first show did not seed the generator";

    // The engine's temporary names are that generator's numbers.
    RandSeed(7);
    const uint32_t next = Random(Range);
    RandSeed(7);
    const QString name = dmUpdateCommon->TempFileName(QStringLiteral("Update"));
    EXPECT_TRUE(name.endsWith(QStringLiteral("\\Update%1.tmp").arg(next))) << name.toStdString();
}

TEST(StartupCheck, IncompatibleWorkstationEndsTheWizard)
{
    PayloadBuilder payload = StandardPayload();
    payload.AddList(QStringLiteral("Updates.txt"), {QStringLiteral("Orvanta")});
    TWizardRun run(payload);
    run.Start();
    // Neither a database client nor an address component on this workstation.
    ASSERT_EQ(run.Ui().Boxes().size(), 1);
    const auto &box = run.Ui().Boxes().first();
    EXPECT_EQ(box.Caption, QStringLiteral("Avertissement"));
    EXPECT_TRUE(box.Text.startsWith(QStringLiteral(
        "ATTENZIONE !!!\r\n\r\nQuest'aggiornamento ha individuato una versione incompatibile di Firebird e di "
        "indirizzi.\r\n\r\nVolete contattare la società Dremlix.\r\n\r\nL'applicazione si concluderà.\r\n\r\n"
        "Path=\"")))
        << box.Text.toStdString();
    EXPECT_TRUE(box.Text.endsWith(QStringLiteral("Vestrel\\Programs\\OVVestrel2.dll\" Ver=\"?\"")))
        << box.Text.toStdString();
    EXPECT_TRUE(run.Ui().Terminated());
    EXPECT_TRUE(run.Main().Products().isEmpty());
}

} // namespace
