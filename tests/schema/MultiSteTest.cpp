// The company list in a temporary prefix: the file, its search order, the company
// chosen last, the choice, and additions to the list.
#include "schema/MultiSte.h"

#include "support/ScriptedUiServices.h"
#include "support/TempPrefix.h"

#include "oslayer/Exceptions.h"
#include "oslayer/Files.h"
#include "oslayer/Registry.h"
#include "platform/ProductCatalog.h"

#include <QFile>
#include <gtest/gtest.h>
#include <ostream>

namespace {

const QString LastCompanyKey = QStringLiteral("Software\\DREMLIX S.A.\\Multiste");

QString ReadLastCompany()
{
    Os::RegKey key;
    if (Os::RegKey::Open(Os::RegRoot::CurrentUser, LastCompanyKey, Os::KEY_READ, key) != 0)
        return QStringLiteral("<no key>");
    Os::RegValue value;
    if (key.QueryValue(QStringLiteral("LastCompany"), value) != 0)
        return QStringLiteral("<no value>");
    return value.AsString();
}

QByteArray HostBytes(const QString &hostPath)
{
    QFile file(hostPath);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return file.readAll();
}

class MultiSteTest : public ::testing::Test {
protected:
    void WriteList(const QString &windowsPath, const QByteArray &bytes)
    {
        Prefix.WriteFile(windowsPath, bytes);
    }
    void SetLast(const QString &company)
    {
        Prefix.SetRegString(Os::RegRoot::CurrentUser, LastCompanyKey, QStringLiteral("LastCompany"), company);
    }

    TempPrefix Prefix;
    ScriptedUiServices Ui;
};

TEST_F(MultiSteTest, WithoutAFileTheDefaultCompanyIsTheOnlyOne)
{
    TFMultiSte form;
    EXPECT_TRUE(form.DemandeSte());
    EXPECT_TRUE(form.Filename().isEmpty());
    EXPECT_TRUE(form.Companies().isEmpty());
    EXPECT_EQ(form.ItemIndex(), -1);
    EXPECT_EQ(form.SteChoisie(), QString());
    EXPECT_EQ(form.CompanyNameOrDefault(), QStringLiteral("Default"));
    EXPECT_TRUE(Ui.Boxes().isEmpty());
}

TEST_F(MultiSteTest, EveryLineIsACompanyAndAnEmptyOneIsTheDefault)
{
    // Windows-1252 bytes, as the products write the list: E0 is "à".
    WriteList(QStringLiteral("C:\\dremlix\\multiste.txt"), QByteArray("Alfa\r\n\r\nSociet\xe0 Rossi\r\n"));
    SetLast(QStringLiteral("società rossi"));
    TFMultiSte form;
    form.ChargeFichier();
    EXPECT_EQ(form.Companies(),
        (QStringList { QStringLiteral("Alfa"), QString(), QStringLiteral("Società Rossi") }));
    EXPECT_EQ(form.Filename(), QStringLiteral("C:\\dremlix\\multiste.txt"));
    // The company chosen last, found without regard to letter case.
    EXPECT_EQ(form.ItemIndex(), 2);

    form.SetSociete(QString());
    EXPECT_EQ(form.ItemIndex(), 1);
    EXPECT_EQ(form.SteChoisie(), QString());
    EXPECT_EQ(form.CompanyNameOrDefault(), QStringLiteral("Default"));
}

TEST_F(MultiSteTest, LastCompanyNotInTheListSelectsTheFirst)
{
    WriteList(QStringLiteral("C:\\dremlix\\multiste.txt"), QByteArray("Alfa\r\nBeta\r\n"));
    SetLast(QStringLiteral("Gamma"));
    TFMultiSte form;
    form.ChargeFichier();
    EXPECT_EQ(form.ItemIndex(), 0);
    EXPECT_EQ(form.SteChoisie(), QStringLiteral("Alfa"));
}

TEST_F(MultiSteTest, SearchOrderOfTheListFile)
{
    // Orvanta registered in an existing folder makes C:\W\Common\Programs\ the shared folder.
    Prefix.WriteFile(QStringLiteral("C:\\W\\ORV\\Programs\\Orvanta.exe"), QByteArray("x"));
    Prefix.SetRegString(Os::RegRoot::CurrentUser, QStringLiteral("Software\\DREMLIX S.A.\\Orvanta\\Program"),
        QStringLiteral("Filename"), QStringLiteral("C:\\W\\ORV\\Programs\\Orvanta.exe"));
    ASSERT_EQ(GetProductPath(QStringLiteral("Common"), false), QStringLiteral("C:\\W\\Common\\Programs\\"));

    // From the last candidate to the first: each new file must win over those before.
    const QStringList candidates {
        QStringLiteral("C:\\W\\Common\\Programs\\multiste.txt"),
        QStringLiteral("C:\\wdremlix\\multiste.txt.txt"),
        QStringLiteral("C:\\wdremlix\\multiste.txt"),
        QStringLiteral("C:\\dremlix\\multiste.txt.txt"),
        QStringLiteral("C:\\dremlix\\multiste.txt"),
    };
    EXPECT_EQ(TFMultiSte::GetMultisteFilename(), QString());
    for (const QString &candidate : candidates) {
        WriteList(candidate, QByteArray("X\r\n"));
        EXPECT_EQ(TFMultiSte::GetMultisteFilename(), candidate);
    }
}

TEST_F(MultiSteTest, NoSharedFolderMeansNoCandidateThere)
{
    // Without a registered product there is no shared folder: a list beside the
    // current folder must not be picked up.
    EXPECT_EQ(TFMultiSte::FindCompanyListFile(QLatin1Char('C')), QString());
}

TEST_F(MultiSteTest, TheLegacyMachineKeyIsRemoved)
{
    const QString legacy = QStringLiteral("Software\\DREMLIX S.A.\\MultiSte");
    Prefix.SetRegString(Os::RegRoot::LocalMachine, legacy, QStringLiteral("Actif"), QStringLiteral("1"));
    Prefix.SetRegString(Os::RegRoot::LocalMachine, legacy + QStringLiteral("\\Below"), QStringLiteral("X"),
        QStringLiteral("y"));
    TFMultiSte::GetMultisteFilename();
    Os::RegKey key;
    EXPECT_EQ(Os::RegKey::Open(Os::RegRoot::LocalMachine, legacy, Os::KEY_READ, key), 2u);
    // The user's own key of the same name is left alone.
    SetLast(QStringLiteral("Alfa"));
    TFMultiSte::GetMultisteFilename();
    EXPECT_EQ(ReadLastCompany(), QStringLiteral("Alfa"));
}

TEST_F(MultiSteTest, ChoosingAmongSeveralCompanies)
{
    WriteList(QStringLiteral("C:\\dremlix\\multiste.txt"), QByteArray("Alfa\r\nBeta\r\nGamma\r\n"));
    SetLast(QStringLiteral("Alfa"));
    TFMultiSte form;

    Ui.QueueCompany(2);
    EXPECT_TRUE(form.DemandeSte());
    EXPECT_FALSE(form.Abandon);
    EXPECT_EQ(form.SteChoisie(), QStringLiteral("Gamma"));
    EXPECT_EQ(ReadLastCompany(), QStringLiteral("Gamma"));

    // Cancelled: no company, and the one chosen last stays.
    Ui.QueueCompany(-1);
    EXPECT_FALSE(form.DemandeSte());
    EXPECT_TRUE(form.Abandon);
    EXPECT_EQ(ReadLastCompany(), QStringLiteral("Gamma"));
}

TEST_F(MultiSteTest, OneCompanyIsChosenWithoutAsking)
{
    WriteList(QStringLiteral("C:\\dremlix\\multiste.txt"), QByteArray("Solo"));
    TFMultiSte form;
    Ui.QueueCompany(-1); // would cancel, were the person asked
    EXPECT_TRUE(form.DemandeSte());
    EXPECT_EQ(form.SteChoisie(), QStringLiteral("Solo"));
}

TEST_F(MultiSteTest, KeysOfTheCompanyBox)
{
    WriteList(QStringLiteral("C:\\dremlix\\multiste.txt"), QByteArray("Alfa\r\nBeta\r\n"));
    TFMultiSte form;
    form.ChargeFichier();
    form.SetItemIndex(1);
    form.ComboBoxCompaniesKeyDown(Qt::Key_Return);
    EXPECT_FALSE(form.Abandon);
    EXPECT_EQ(ReadLastCompany(), QStringLiteral("Beta"));
    form.ComboBoxCompaniesKeyDown(Qt::Key_Escape);
    EXPECT_TRUE(form.Abandon);

    form.Button1Click();
    ASSERT_EQ(Ui.Boxes().size(), 1);
    EXPECT_EQ(Ui.Boxes().at(0).Caption, QStringLiteral("Informations"));
    EXPECT_EQ(Ui.Boxes().at(0).Text, QStringLiteral("Lista dei impresa :\r\nC:\\dremlix\\multiste.txt"));
}

TEST_F(MultiSteTest, SetSocieteOfAnUnknownCompanyRaises)
{
    WriteList(QStringLiteral("C:\\dremlix\\multiste.txt"), QByteArray("Alfa\r\n"));
    TFMultiSte form;
    try {
        form.SetSociete(QStringLiteral("Zeta"));
        FAIL() << "no error";
    } catch (const Os::Exception &e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Société non trouvée : Zeta"));
    }
    form.SetSociete(QStringLiteral("ALFA"));
    EXPECT_EQ(form.SteChoisie(), QStringLiteral("Alfa"));
}

TEST_F(MultiSteTest, AddSocieteMakesTheListWhenThereIsNone)
{
    TFMultiSte::AddSociete(QStringLiteral("Società Rossi"));
    EXPECT_EQ(HostBytes(Prefix.HostPath(QStringLiteral("C:\\dremlix\\multiste.txt"))),
        QByteArray("Societ\xe0 Rossi\r\n"));
}

TEST_F(MultiSteTest, AddSocieteDropsBlankLinesAndAddsOnlyNewNames)
{
    const QString list = QStringLiteral("C:\\wdremlix\\multiste.txt");
    WriteList(list, QByteArray("Alfa\r\n   \r\n\r\nBeta\r\n"));
    TFMultiSte::AddSociete(QStringLiteral("Gamma"));
    EXPECT_EQ(HostBytes(Prefix.HostPath(list)), QByteArray("Alfa\r\nBeta\r\nGamma\r\n"));

    // Already listed in another letter case: the file is not written again.
    WriteList(list, QByteArray("Alfa\r\n\r\nBeta"));
    TFMultiSte::AddSociete(QStringLiteral("BETA"));
    EXPECT_EQ(HostBytes(Prefix.HostPath(list)), QByteArray("Alfa\r\n\r\nBeta"));
}

TEST_F(MultiSteTest, AddSocieteKeepsANameTheCodePageCannotHold)
{
    const QString list = QStringLiteral("C:\\dremlix\\multiste.txt");
    WriteList(list, QByteArray("Alfa\r\n"));
    const QString name = QStringLiteral("Łódź Sp. z o.o.");
    TFMultiSte::AddSociete(name);
    TFMultiSte form;
    form.ChargeFichier();
    EXPECT_EQ(form.Companies(), (QStringList { QStringLiteral("Alfa"), name }));
}

struct EncodingCase {
    const char *Title;
    QByteArray Before;
    QByteArray After;
};

void PrintTo(const EncodingCase &c, std::ostream *os) { *os << c.Title; }

class AddSocieteEncodingTest : public MultiSteTest, public ::testing::WithParamInterface<EncodingCase> { };

TEST_P(AddSocieteEncodingTest, TheFileKeepsItsEncoding)
{
    const QString list = QStringLiteral("C:\\dremlix\\multiste.txt");
    WriteList(list, GetParam().Before);
    TFMultiSte::AddSociete(QStringLiteral("Città"));
    EXPECT_EQ(
        HostBytes(Prefix.HostPath(list)).toHex(' ').toStdString(), GetParam().After.toHex(' ').toStdString());
}

INSTANTIATE_TEST_SUITE_P(Files, AddSocieteEncodingTest,
    ::testing::Values(EncodingCase { "Ansi", QByteArray("A\r\n"), QByteArray("A\r\nCitt\xe0\r\n") },
        EncodingCase { "Utf8Bom",
            QByteArray("\xef\xbb\xbf"
                       "A\r\n"),
            QByteArray("\xef\xbb\xbf"
                       "A\r\nCitt\xc3\xa0\r\n") },
        EncodingCase { "Utf16LeBom",
            QByteArray("\xff\xfe"
                       "A\0\r\0\n\0",
                8),
            QByteArray("\xff\xfe"
                       "A\0\r\0\n\0C\0i\0t\0t\0\xe0\0\r\0\n\0",
                22) }),
    [](const ::testing::TestParamInfo<EncodingCase> &info) { return std::string(info.param.Title); });

struct CompareCase {
    const char *First;
    const char *Second;
    bool Equal;
};

void PrintTo(const CompareCase &c, std::ostream *os) { *os << c.First << " / " << c.Second; }

class CompareSocietesTest : public ::testing::TestWithParam<CompareCase> { };

TEST_P(CompareSocietesTest, Compares)
{
    const CompareCase &c = GetParam();
    EXPECT_EQ(TFMultiSte::CompareSocietes(QString::fromUtf8(c.First), QString::fromUtf8(c.Second)), c.Equal)
        << c.First << " / " << c.Second;
}

INSTANTIATE_TEST_SUITE_P(Names, CompareSocietesTest,
    ::testing::Values(CompareCase { "", "Default", true }, CompareCase { "", "", true },
        CompareCase { " default ", "", true }, CompareCase { "Rossi", "  ROSSI ", true },
        CompareCase { "Società", "SOCIETÀ", true }, CompareCase { "Rossi & Figli", "Rossi", false },
        CompareCase { "Rossi", "Bianchi", false }, CompareCase { " ", "Default", false }));

} // namespace
