// Classification and split of connection strings, the drive letter for the free-space
// query, and the table of accepted client and server versions.
#include "Common/Interbase/AcceptedVersions.h"
#include "Common/Interbase/ConnectionStrings.h"
#include "oslayer/Exceptions.h"

#include <gtest/gtest.h>

namespace {

struct ClassifyCase {
    const char *Text;
    TConnectionType Type;
};

class ConnectionTypeTest : public ::testing::TestWithParam<ClassifyCase> { };

TEST_P(ConnectionTypeTest, Classifies)
{
    const ClassifyCase &c = GetParam();
    EXPECT_EQ(GetConnectionType(QString::fromUtf8(c.Text)), c.Type) << c.Text;
}

INSTANTIATE_TEST_SUITE_P(EveryForm, ConnectionTypeTest,
    ::testing::Values(ClassifyCase { "C:\\Data\\Base.fdb", ibctLocal }, ClassifyCase { "c:\\x", ibctLocal },
        ClassifyCase { "192.168.1.20:D:\\Data\\Base.fdb", ibctTCPIP },
        ClassifyCase { "dbserver:D:\\Dati\\Rossi.fdb", ibctTCPIP },
        ClassifyCase { "127.0.0.1/3051:D:\\Data\\Base.fdb", ibctTCPIP }, ClassifyCase { "", ibctTCPIP },
        ClassifyCase { "dbhost:/srv/data/base.fdb", ibctUNIX },
        // ":/" wins over everything that follows in the rule.
        ClassifyCase { "\\\\host\\x:/y", ibctUNIX },
        ClassifyCase { "\\\\dbhost\\Data\\Base.fdb", ibctNetBEUI },
        ClassifyCase { "server@vol:\\data\\base.fdb", ibctNetWare },
        ClassifyCase { "dbhost:base", ibctUnknown }, ClassifyCase { "Base.fdb", ibctUnknown },
        // Drive colon not in second place, and no host colon before it.
        ClassifyCase { "CC:\\Data\\Base.fdb", ibctUnknown },
        // A host whose colon is not followed by a one-letter drive.
        ClassifyCase { "host:DD:\\x", ibctUnknown }, ClassifyCase { "/srv/data/base.fdb", ibctUnknown }));

struct SplitCase {
    const char *Text;
    const char *Server;
    const char *File;
};

class SplitTest : public ::testing::TestWithParam<SplitCase> { };

TEST_P(SplitTest, GivesServerAndFile)
{
    const SplitCase &c = GetParam();
    QString server = QStringLiteral("stale");
    QString file = QStringLiteral("stale");
    SplitConnectionString(QString::fromUtf8(c.Text), server, file);
    EXPECT_EQ(server, QString::fromUtf8(c.Server)) << c.Text;
    EXPECT_EQ(file, QString::fromUtf8(c.File)) << c.Text;
}

INSTANTIATE_TEST_SUITE_P(SupportedForms, SplitTest,
    ::testing::Values(SplitCase { "C:\\Data\\Base.fdb", "", "C:\\Data\\Base.fdb" },
        SplitCase { "10.0.0.5:D:\\Data\\Base.fdb", "10.0.0.5", "D:\\Data\\Base.fdb" },
        SplitCase { "127.0.0.1/3051:D:\\x.fdb", "127.0.0.1/3051", "D:\\x.fdb" }, SplitCase { "", "", "" },
        SplitCase { "\\\\dbhost\\Data\\Base.fdb", "\\\\dbhost", "Data\\Base.fdb" },
        SplitCase { "\\\\dbhost", "\\\\", "dbhost" }));

TEST(SplitConnectionString, CutsLongFilePartsAt255Characters)
{
    const QString path = QStringLiteral("D:\\") + QString(300, QLatin1Char('a'));
    QString server;
    QString file;
    SplitConnectionString(QStringLiteral("host:") + path, server, file);
    EXPECT_EQ(server, QStringLiteral("host"));
    EXPECT_EQ(file, path.left(255));

    SplitConnectionString(QStringLiteral("\\\\srv\\") + QString(300, QLatin1Char('b')), server, file);
    EXPECT_EQ(server, QStringLiteral("\\\\srv"));
    // The rest after the two backslashes is cut first, then the file after the server.
    EXPECT_EQ(file, QString(255 - 4, QLatin1Char('b')));
}

TEST(SplitConnectionString, RefusesFormsWithoutServicesAccess)
{
    for (const char *text : { "dbhost:/srv/base.fdb", "server@vol:\\base.fdb", "dbhost:base" }) {
        QString server;
        QString file;
        try {
            SplitConnectionString(QString::fromUtf8(text), server, file);
            ADD_FAILURE() << "no error for " << text;
        } catch (const Os::Exception &e) {
            EXPECT_EQ(e.Message(), QStringLiteral("error 0203130939")) << text;
        }
    }
}

TEST(DatabaseDriveLetter, TakesTheDriveOfLocalAndRemoteStrings)
{
    EXPECT_EQ(DatabaseDriveLetter(QStringLiteral("C:\\Data\\Base.fdb")), QStringLiteral("C"));
    EXPECT_EQ(DatabaseDriveLetter(QStringLiteral("10.0.0.5:D:\\Data\\Base.fdb")), QStringLiteral("D"));
    // Whatever follows the host's colon is taken, also for a server-side alias.
    EXPECT_EQ(DatabaseDriveLetter(QStringLiteral("dbhost:base")), QStringLiteral("b"));
    for (const char *text : { "", "Base.fdb", "dbhost:" }) {
        try {
            DatabaseDriveLetter(QString::fromUtf8(text));
            ADD_FAILURE() << "no error for '" << text << "'";
        } catch (const Os::Exception &e) {
            EXPECT_EQ(e.Message(), QStringLiteral("0312181326")) << text;
        }
    }
}

TEST(AcceptedVersions, Firebird25PrefixIsExactAndSevenCharactersLong)
{
    EXPECT_TRUE(IsFirebird25Version(QStringLiteral("WI-V2.5")));
    EXPECT_TRUE(IsFirebird25Version(QStringLiteral("WI-V2.5.9.27139")));
    EXPECT_TRUE(IsFirebird25Version(QStringLiteral("WI-V2.5anything")));
    EXPECT_FALSE(IsFirebird25Version(QStringLiteral("wi-v2.5.9.27139")));
    EXPECT_FALSE(IsFirebird25Version(QStringLiteral("WI-V2.")));
    EXPECT_FALSE(IsFirebird25Version(QString()));
    EXPECT_FALSE(IsFirebird25Version(QStringLiteral(" WI-V2.5")));
}

struct ClientCase {
    const char *Client;
    bool Accepted;
};

class ClientVersionTest : public ::testing::TestWithParam<ClientCase> { };

TEST_P(ClientVersionTest, IsAcceptedOnlyWhenReleased)
{
    const ClientCase &c = GetParam();
    EXPECT_EQ(IsAcceptedClientVersion(DefaultAcceptedVersions(), QString::fromUtf8(c.Client)), c.Accepted)
        << c.Client;
}

INSTANTIATE_TEST_SUITE_P(DefaultTable, ClientVersionTest,
    ::testing::Values(ClientCase { "WI-V1.0.0.794", true }, ClientCase { "WI-V1.0.2.908", true },
        ClientCase { "WI-V6.3.0.4290", true }, ClientCase { "WI-V6.3.2.4731", true },
        ClientCase { "WI-V2.5", true }, ClientCase { "WI-V2.5.9.27139", true },
        ClientCase { "WI-V2.5.0.26074", true }, ClientCase { "?", false }, ClientCase { "", false },
        ClientCase { "WI-V3.0.11.33637", false }, ClientCase { "LI-V3.0.11.33637", false },
        ClientCase { "WI-V6.3.0.4290 ", false }, ClientCase { "wi-v1.0.0.794", false },
        ClientCase { "WI-V6.3.1.4481", false }));

struct PairCase {
    const char *Client;
    const char *Server;
    TIBServerType Type;
};

class ServerPairTest : public ::testing::TestWithParam<PairCase> { };

TEST_P(ServerPairTest, GivesTheFamilyOfTheFirstMatchingRow)
{
    const PairCase &c = GetParam();
    EXPECT_EQ(
        FindServerType(DefaultAcceptedVersions(), QString::fromUtf8(c.Client), QString::fromUtf8(c.Server)),
        c.Type)
        << c.Client << " / " << c.Server;
}

INSTANTIATE_TEST_SUITE_P(DefaultTable, ServerPairTest,
    ::testing::Values(PairCase { "WI-V1.0.0.794", "WI-V6.2.794 Firebird 1.0", Firebird10 },
        PairCase { "WI-V1.0.2.908", "WI-V6.2.908 Firebird 1.0", Firebird10 },
        // The 1.0 pairs are exact: a client of one build against the other's server.
        PairCase { "WI-V1.0.0.794", "WI-V6.2.908 Firebird 1.0", UnknownServer },
        PairCase { "WI-V6.3.0.4290", "WI-V1.5.0.4290 Firebird 1.5", Firebird15 },
        PairCase { "WI-V6.3.0.4290", "WI-V1.5.1.4481 Firebird 1.5", Firebird15 },
        PairCase { "WI-V6.3.2.4731", "WI-V1.5.2.4731 Firebird 1.5", Firebird15 },
        PairCase { "WI-V6.3.2.4731", "WI-V1.5.0.4290 Firebird 1.5", UnknownServer },
        PairCase { "WI-V2.5.0.26074", "WI-V2.5.9.27139 Firebird 2.5", Firebird25 },
        PairCase { "WI-V2.5", "LI-V2.5.9 Firebird 2.5", UnknownServer },
        PairCase { "WI-V2.5.9.27139", "WI-V1.5.2.4731 Firebird 1.5", UnknownServer },
        PairCase { "WI-V6.3.0.4290", "?", UnknownServer }, PairCase { "?", "?", UnknownServer },
        PairCase { "WI-V6.3.0.4290", "wi-v1.5.0.4290 firebird 1.5", UnknownServer }));

TEST(AcceptedVersions, ExtraRowsWidenBothChecks)
{
    // How a test admits the Debian server: one more row, nothing switched off.
    TAcceptedVersionTable table = DefaultAcceptedVersions();
    table.append({ TVersionPattern::StartingWith(QStringLiteral("WI-V2.5")),
        TVersionPattern::Exact(QStringLiteral("LI-V3.0.11.33637 Firebird 3.0")), Firebird25 });
    EXPECT_EQ(
        FindServerType(table, QStringLiteral("WI-V2.5.9"), QStringLiteral("LI-V3.0.11.33637 Firebird 3.0")),
        Firebird25);
    EXPECT_EQ(FindServerType(DefaultAcceptedVersions(), QStringLiteral("WI-V2.5.9"),
                  QStringLiteral("LI-V3.0.11.33637 Firebird 3.0")),
        UnknownServer);

    // The first matching row decides the family.
    TAcceptedVersionTable ordered = {
        { TVersionPattern::Exact(QStringLiteral("A")), TVersionPattern::StartingWith(QStringLiteral("S")),
            Firebird10 },
        { TVersionPattern::Exact(QStringLiteral("A")), TVersionPattern::Exact(QStringLiteral("S1")),
            Firebird15 },
    };
    EXPECT_EQ(FindServerType(ordered, QStringLiteral("A"), QStringLiteral("S1")), Firebird10);
    EXPECT_FALSE(IsAcceptedClientVersion(TAcceptedVersionTable {}, QStringLiteral("WI-V2.5")));
}

} // namespace
