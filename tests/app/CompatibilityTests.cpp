#include "AppFixture.h"

#include "app/frmMainUnit.h"
#include "support/PeWriter.h"

#include <QDir>
#include <gtest/gtest.h>

using namespace AppTest;

namespace {

const QByteArray OrvantaAtWDremlix =
    "[Software\\\\DREMLIX S.A.\\\\Orvanta\\\\Program] 1700000000\n#time=1d9a0000000000\n"
    "\"Filename\"=\"C:\\\\WDremlix\\\\ORV\\\\Programs\\\\Orvanta.exe\"\n\n";

struct Component {
    uint16_t A, B, C, D;
    const char *Text; // the FileVersion string; nullptr: no such file
};

struct CompatCase {
    const char *Label;
    Component Client;
    Component Address;
    const char *Wrong; // nullptr: accepted, no box
};

class StartupCompatibility : public ::testing::TestWithParam<CompatCase> {};

TEST_P(StartupCompatibility, ClientAndAddressComponentVersions)
{
    const CompatCase &c = GetParam();
    TWizardRun run(StandardPayload(), OrvantaAtWDremlix);
    QDir().mkpath(run.DriveC(QStringLiteral("C:\\WDremlix\\ORV\\Programs")));
    if (c.Client.Text)
        WritePe(run.DriveC(QStringLiteral("C:\\windows\\system32\\gds32.dll")), c.Client.A, c.Client.B, c.Client.C,
                c.Client.D, QString::fromLatin1(c.Client.Text));
    const QString componentPath = QStringLiteral("C:\\WDremlix\\Vestrel\\Programs\\OVVestrel2.dll");
    if (c.Address.Text)
        WritePe(run.DriveC(componentPath), c.Address.A, c.Address.B, c.Address.C, c.Address.D,
                QString::fromLatin1(c.Address.Text));

    const bool accepted = CheckCompatibility();
    EXPECT_EQ(accepted, c.Wrong == nullptr);
    if (!c.Wrong) {
        EXPECT_TRUE(run.Ui().Boxes().isEmpty());
        return;
    }
    ASSERT_EQ(run.Ui().Boxes().size(), 1);
    const auto &box = run.Ui().Boxes().first();
    EXPECT_EQ(box.Kind, MessageKind::Warning);
    EXPECT_EQ(box.Caption, QStringLiteral("Avertissement"));
    EXPECT_FALSE(box.YesNo);
    EXPECT_EQ(run.Ui().Beeps(), QList<uint32_t>{0x30});
    const QString version = c.Address.Text ? QString::fromLatin1(c.Address.Text) : QStringLiteral("?");
    EXPECT_EQ(box.Text, QStringLiteral("ATTENZIONE !!!\r\n\r\nQuest'aggiornamento ha individuato una versione "
                                       "incompatibile ")
                            + QString::fromUtf8(c.Wrong)
                            + QStringLiteral(".\r\n\r\nVolete contattare la società Dremlix.\r\n\r\n"
                                             "L'applicazione si concluderà.\r\n\r\nPath=\"")
                            + componentPath + QStringLiteral("\" Ver=\"") + version + QStringLiteral("\""));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartupCompatibility,
    ::testing::Values(
        CompatCase{"BothKnown", {2, 5, 2, 26540, "WI-V2.5.2.26540"}, {2, 1, 0, 3, "2.1.0.3"}, nullptr},
        CompatCase{"ComponentOnlyFirstCharacterCounts", {6, 3, 2, 4731, "WI-V6.3.2.4731"}, {20, 1, 0, 0, "20.1"},
                   nullptr},
        CompatCase{"OlderClient", {2, 5, 1, 26351, "WI-V2.5.1.26351"}, {2, 0, 0, 0, "2.0"}, "di Firebird"},
        CompatCase{"ClientStringMustMatchExactly", {2, 5, 2, 26540, "WI-V2.5.2.26540 "}, {2, 0, 0, 0, "2.0"},
                   "di Firebird"},
        CompatCase{"OldComponent", {6, 3, 0, 4290, "WI-V6.3.0.4290"}, {1, 9, 4, 0, "1.9.4.0"}, "di indirizzi"},
        CompatCase{"ComponentMissing", {6, 3, 0, 4290, "WI-V6.3.0.4290"}, {0, 0, 0, 0, nullptr}, "di indirizzi"},
        CompatCase{"BothWrong", {0, 0, 0, 0, nullptr}, {1, 0, 0, 0, "1.0"}, "di Firebird e di indirizzi"}),
    [](const auto &info) { return std::string(info.param.Label); });

} // namespace
