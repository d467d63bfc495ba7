// The connect sequence on the real test server: local strings through the embedded
// engine, TCP/IP through the server's Windows-style aliases, every refusal with its
// text, the free-space thresholds, the account variants and the workstation register.
// Where a connection must go all the way, the module gets the released table plus one
// row for the Debian server's version text (TableWithTestServer); no check is off.
#include "CommonDbFixture.h"

#include "Common/Interbase/dmDBConnectionUnit.h"
#include "dbaccess/DbAccess.h"
#include "oslayer/SystemInfo.h"
#include "platform/GeneralRoutines.h"
#include "support/FirebirdTestServer.h"
#include "schema/IBManagers.h"

#include <QMetaObject>
#include <QTimer>

namespace {

QString ErrorOf(const std::function<void()> &work)
{
    try {
        work();
    } catch (const Os::Exception &e) {
        return e.Message();
    }
    return QStringLiteral("<no error>");
}

const QString Crlf = QStringLiteral("\r\n");

QString Identification()
{
    return GetUserNameText() + QStringLiteral(" (") + GetComputerNameText() + QStringLiteral(") - Updater");
}

using ConnectionTest = CommonDbTest;

TEST_F(ConnectionTest, ConnectsOverTcpAndRegistersTheWorkstation)
{
    auto module = MakeModule();
    module->SetParams(TcpString(Database), QString(), QString(), QString());
    module->ConnectAsDremlix();

    EXPECT_TRUE(module->Connected());
    EXPECT_TRUE(module->WasConnected());
    EXPECT_EQ(module->ServerType(), Firebird25);
    EXPECT_EQ(module->DatabaseManager()->UserName(), QStringLiteral("DREMLIX"));
    EXPECT_EQ(module->DatabaseManager()->Password(), QStringLiteral("47219630"));
    EXPECT_TRUE(Ui.Boxes().isEmpty());
    EXPECT_EQ(CountRows(Database, QStringLiteral("Users"),
                  QStringLiteral("username = '") + Identification().left(60) + QStringLiteral("'")),
        1);

    module->Disconnect();
    EXPECT_FALSE(module->Connected());
    EXPECT_FALSE(module->WasConnected());
    EXPECT_EQ(CountRows(Database, QStringLiteral("Users")), 0);
}

TEST_F(ConnectionTest, EveryAcceptedFormAttaches)
{
    // Local: the prefix's drive mapped to the host path, attached by the embedded engine;
    // the default-port form takes its port from the test root's firebird.conf.
    for (const QString &cs : { LocalString(Database), TcpString(Database), TcpDefaultPortString(Database) }) {
        SCOPED_TRACE(cs.toStdString());
        auto module = MakeModule();
        module->SetParams(cs, QString(), QString(), QString());
        module->ConnectAsDremlix();
        EXPECT_TRUE(module->Connected());
        EXPECT_EQ(module->ServerType(), Firebird25);
        QString dbi;
        int32_t dbv = 0;
        module->DatabaseManager()->GetDBVersion(dbi, dbv);
        EXPECT_EQ(dbi, TestIdentifier);
        EXPECT_EQ(dbv, TestDBVersion);
        // The setting keeps the Windows form; only the attach saw the host path.
        EXPECT_EQ(module->DatabaseManager()->ConnectionString(), cs);
        module->Disconnect();
    }
}

TEST_F(ConnectionTest, RefusesAnUnknownClientBeforeAttaching)
{
    struct Case {
        QString FileVersion;
        QString LastLine;
    };
    for (const Case &c : { Case { QStringLiteral("WI-V3.0.11.33637"), QStringLiteral("WI-V3.0.11.33637") },
             Case { QStringLiteral("wi-v2.5.9.27139"), QStringLiteral("wi-v2.5.9.27139") },
             Case { QString(), QStringLiteral("?") } }) {
        SCOPED_TRACE(c.LastLine.toStdString());
        WriteClientLibrary(c.FileVersion);
        auto module = MakeModule();
        module->SetParams(TcpString(Database), QString(), QString(), QString());
        const QString error = ErrorOf([&] { module->ConnectAsDremlix(); });
        EXPECT_EQ(error,
            QStringLiteral("La versione del cliente Firebird utilizzato è sconosciuta del programma. "
                           "Per sicurezza, nessun collegamento alla base di dati sarà stabilito.")
                + Crlf + Crlf + c.LastLine);
        EXPECT_FALSE(module->Connected());
        EXPECT_FALSE(module->WasConnected());
    }
}

TEST_F(ConnectionTest, RefusesAnEmptyConnectionString)
{
    auto module = MakeModule();
    module->SetParams(QString(), QString(), QString(), QString());
    EXPECT_EQ(module->ConnectionType(), ibctTCPIP);
    EXPECT_EQ(ErrorOf([&] { module->ConnectAsDremlix(); }),
        QStringLiteral(
            "Nome della base dati mancante.\r\nVogliate completare la configurazione del programma."));
    EXPECT_FALSE(module->WasConnected());
}

TEST_F(ConnectionTest, RefusesAPairTheReleasedTableDoesNotHold)
{
    // The released table alone: a 2.5 client against the Debian 3.0 server.
    auto module = MakeModule(DefaultAcceptedVersions());
    module->SetParams(TcpString(Database), QString(), QString(), QString());
    EXPECT_EQ(ErrorOf([&] { module->ConnectAsDremlix(); }),
        QStringLiteral("La versione del cliente Firebird utilizzato non corrisponde a quella del server "
                       "Firebird. Per sicurezza, nessun collegamento alla base di dati sarà stabilito.")
            + Crlf + Crlf + QStringLiteral("Client : ") + TestClientVersion + Crlf
            + QStringLiteral("Server : ") + ServerVersion());
    EXPECT_FALSE(module->Connected());
    EXPECT_EQ(module->ServerType(), UnknownServer);
    EXPECT_EQ(CountRows(Database, QStringLiteral("Users")), 0);
}

TEST_F(ConnectionTest, RefusesAnAliasWithoutServicesAccessAfterAttaching)
{
    auto module = MakeModule();
    const QString cs = TcpAliasString(Database);
    module->SetParams(cs, QString(), QString(), QString());
    EXPECT_EQ(module->ConnectionType(), ibctUnknown);
    const QString error = ErrorOf([&] { module->ConnectAsDremlix(); });
    EXPECT_TRUE(
        error.endsWith(QStringLiteral("Client : ") + TestClientVersion + Crlf + QStringLiteral("Server : ?")))
        << error.toStdString();
    EXPECT_FALSE(module->Connected());
}

TEST_F(ConnectionTest, RefusesADifferentIdentifierOrVersion)
{
    struct Case {
        QString Identifier;
        int Version;
    };
    for (const Case &c :
        { Case { QStringLiteral("SORVANE"), TestDBVersion },
            Case { QStringLiteral("orvanta"), TestDBVersion }, Case { TestIdentifier, TestDBVersion + 1 } }) {
        SCOPED_TRACE(c.Identifier.toStdString());
        auto module = MakeModule();
        module->Init(c.Version, c.Identifier, QStringLiteral("Base de données"), QStringLiteral("Updater"));
        module->SetParams(TcpString(Database), QString(), QString(), QString());
        EXPECT_EQ(ErrorOf([&] { module->ConnectAsDremlix(); }),
            QStringLiteral("La base dati non è compatibile con il programma!\r\n\r\nDatabase : ORVANTA\r\n"
                           "Version : 27"));
        EXPECT_FALSE(module->Connected());
        EXPECT_EQ(CountRows(Database, QStringLiteral("Users")), 0);

        // The same database is fine when its identity does not matter.
        module->ConnectAnyVersion();
        EXPECT_TRUE(module->Connected());
        module->Disconnect();
    }
}

TEST_F(ConnectionTest, GetDBVersionLeavesTheAttachmentOpenWithoutRegistering)
{
    auto module = MakeModule();
    module->Init(99, QStringLiteral("OTHER"), QString(), QStringLiteral("Updater"));
    module->SetParams(TcpString(Database), QStringLiteral("DREMLIX"), QString(), QStringLiteral("47219630"));
    QString dbi;
    int32_t dbv = 0;
    module->GetDBVersion(dbi, dbv);
    EXPECT_EQ(dbi, TestIdentifier);
    EXPECT_EQ(dbv, TestDBVersion);
    EXPECT_TRUE(module->Connected());
    EXPECT_EQ(CountRows(Database, QStringLiteral("Users")), 0);
}

TEST_F(ConnectionTest, MissingIdentityTableLeavesTheAttachmentOpen)
{
    ExecOn(Database, { QStringLiteral("DROP TABLE ConnectionControl") });
    auto module = MakeModule();
    module->SetParams(TcpString(Database), QString(), QString(), QString());
    try {
        module->ConnectAsDremlix();
        FAIL() << "connected without ConnectionControl";
    } catch (const Db::EDatabaseError &e) {
        EXPECT_NE(e.FirebirdCode(), 0);
    }
    EXPECT_TRUE(module->Connected());
    EXPECT_EQ(CountRows(Database, QStringLiteral("Users")), 0);
}

TEST_F(ConnectionTest, AttachErrorsKeepTheirCodeAndGetTheUsersText)
{
    auto module = MakeModule();
    module->SetParams(TcpString(Database), QStringLiteral("DREMLIX"), QString(), QStringLiteral("wrong"));
    try {
        module->Connect();
        FAIL() << "connected with a wrong password";
    } catch (const Db::EDatabaseError &e) {
        EXPECT_EQ(e.FirebirdCode(), 335544472);
        EXPECT_EQ(TdmDBConnection::GetIBErrorMessage(e),
            QStringLiteral("Il vostro nome d'utente non é stato riconosciuto,\r\no la vostra pass-word non é "
                           "valida!"));
    }
    EXPECT_FALSE(module->Connected());

    // A port nobody listens on: the server cannot be reached.
    module->SetParams(QStringLiteral("127.0.0.1/1:Y:\\nowhere.fdb"), QStringLiteral("DREMLIX"), QString(),
        QStringLiteral("47219630"));
    try {
        module->Connect();
        FAIL() << "connected to a closed port";
    } catch (const Db::EDatabaseError &e) {
        EXPECT_TRUE(e.FirebirdCode() == 335544721 || e.FirebirdCode() == 335544375) << e.FirebirdCode();
        const QStringList lines = TdmDBConnection::GetIBErrorMessage(e).split(Crlf);
        // The raw message is one text of several lines of its own: it sits between the
        // empty line and the last one.
        ASSERT_GE(lines.size(), 12);
        EXPECT_EQ(lines.at(0), QStringLiteral("Non si é potuto stabilire nessuna connessione al server."));
        EXPECT_EQ(lines.at(8), QStringLiteral("   (L'opzione “cambio rapido utente” è stata attivata.)"));
        EXPECT_EQ(lines.at(9), QString());
        EXPECT_EQ(lines.mid(10, lines.size() - 11).join(Crlf), e.Message());
        bool number = false;
        lines.last().toUInt(&number);
        EXPECT_TRUE(number) << lines.last().toStdString();
    }
}

TEST_F(ConnectionTest, AccountVariantsKeepAndRestoreTheUsersAccount)
{
    auto module = MakeModule();
    module->SetParams(TcpString(Database), QStringLiteral("PUBLIC_READER"), QStringLiteral("ROLE_READER"),
        QStringLiteral("tarvel"));
    auto currentUser = [&] {
        module->DoStartTransaction(false);
        module->GeneralQuery()->Close();
        module->GeneralQuery()->SetSQL(
            { QStringLiteral("SELECT CURRENT_USER, CURRENT_ROLE FROM RDB$DATABASE") });
        module->GeneralQuery()->Open();
        QString user = module->GeneralQuery()->AsString(0).trimmed() + QLatin1Char('/')
            + module->GeneralQuery()->AsString(1).trimmed();
        module->GeneralQuery()->Close();
        module->DoCommit();
        return user;
    };

    module->ConnectAsDremlix();
    EXPECT_EQ(currentUser(), QStringLiteral("DREMLIX/NONE"));
    // The maker's account stays set: a plain Connect is the maker again.
    module->Connect();
    EXPECT_EQ(currentUser(), QStringLiteral("DREMLIX/NONE"));

    module->ReConnectAsUser();
    EXPECT_EQ(currentUser(), QStringLiteral("PUBLIC_READER/ROLE_READER"));
    EXPECT_EQ(module->DatabaseManager()->UserName(), QStringLiteral("PUBLIC_READER"));
    EXPECT_EQ(module->DatabaseManager()->Role(), QStringLiteral("ROLE_READER"));
}

TEST_F(ConnectionTest, MakersAccountStaysSetWhenTheConnectionIsRefused)
{
    auto module = MakeModule(DefaultAcceptedVersions());
    module->SetParams(
        TcpString(Database), QStringLiteral("PUBLIC_READER"), QString(), QStringLiteral("tarvel"));
    EXPECT_THROW(module->ConnectAsDremlix(), Os::Exception);
    EXPECT_EQ(module->DatabaseManager()->UserName(), QStringLiteral("DREMLIX"));
    EXPECT_EQ(module->DatabaseManager()->Password(), QStringLiteral("47219630"));
    EXPECT_EQ(module->DatabaseManager()->Role(), QString());
}

TEST_F(ConnectionTest, ServerInfoThroughTheServices)
{
    auto module = MakeModule();
    for (const QString &cs : { TcpString(Database), LocalString(Database) }) {
        SCOPED_TRACE(cs.toStdString());
        module->SetParams(cs, QString(), QString(), QString());
        QString version;
        QString implementation;
        int32_t serviceVersion = -1;
        module->GetServerInfo(version, implementation, serviceVersion);
        EXPECT_EQ(version, ServerVersion());
        EXPECT_FALSE(implementation.isEmpty());
        EXPECT_NE(implementation, QStringLiteral("?"));
        EXPECT_GT(serviceVersion, 0);
    }

    // A kind of string the services cannot be reached for is never asked about.
    module->SetParams(QStringLiteral("dbhost:/srv/base.fdb"), QString(), QString(), QString());
    QString version = QStringLiteral("x");
    QString implementation = QStringLiteral("x");
    int32_t serviceVersion = -1;
    module->GetServerInfo(version, implementation, serviceVersion);
    EXPECT_EQ(version, QStringLiteral("?"));
    EXPECT_EQ(implementation, QStringLiteral("?"));
    EXPECT_EQ(serviceVersion, 0);
    EXPECT_EQ(module->GetServerVersion(QStringLiteral("127.0.0.1")), QString());

    module->SetParams(TcpString(Database), QString(), QString(), QString());
    EXPECT_EQ(module->GetServerVersion(QStringLiteral("127.0.0.1/%1").arg(FirebirdTestServer::Port())),
        ServerVersion());
    // No server listening there: the services error comes through.
    EXPECT_THROW(module->GetServerVersion(QStringLiteral("127.0.0.1/1")), Db::EDatabaseError);
}

TEST_F(ConnectionTest, IdentificationNamesTheComputerOrTheRemoteSession)
{
    auto module = MakeModule();
    EXPECT_EQ(module->GetUserIdentification(), Identification());
    Os::SetRemoteSessionForTests(true, 7);
    EXPECT_EQ(module->GetUserIdentification(), GetUserNameText() + QStringLiteral(" (7) - Updater"));
    Os::SetRemoteSessionForTests(false, 0);
    module->SetShortClientName(QStringLiteral("X"));
    EXPECT_TRUE(module->GetUserIdentification().endsWith(QStringLiteral(") - X")));
}

TEST_F(ConnectionTest, TimersRunFromCreationAndRefreshTheRegistration)
{
    auto module = MakeModule();
    EXPECT_EQ(module->TimerUsers()->interval(), 1800000);
    EXPECT_EQ(module->TimerCheckDiskSpace()->interval(), 3600000);
    EXPECT_TRUE(module->TimerUsers()->isActive());
    EXPECT_TRUE(module->TimerCheckDiskSpace()->isActive());

    module->SetParams(TcpString(Database), QString(), QString(), QString());
    module->ConnectAsDremlix();
    const QString key = Identification().left(60);
    // An hour-old row of the workstation, as if the refresh had not run.
    ExecOn(Database,
        { QStringLiteral("UPDATE Users SET lastcheck = DATEADD(-60 MINUTE TO CURRENT_TIMESTAMP)") });
    QMetaObject::invokeMethod(module->TimerUsers(), "timeout");
    const QList<QVariantList> rows = Observe(Database,
        QStringLiteral("SELECT DATEDIFF(SECOND, lastcheck, CURRENT_TIMESTAMP) FROM Users WHERE username = '")
            + key + QStringLiteral("'"));
    ASSERT_EQ(rows.size(), 1);
    EXPECT_LT(rows.first().first().toLongLong(), 120);
}

TEST_F(ConnectionTest, DestroyingWithAClientDatasetLeftShowsCdsNotReleased)
{
    {
        auto module = MakeModule();
        module->CreateGlobalCDS();
        EXPECT_EQ(module->ClientDatasetCount(), 1);
    }
    ASSERT_EQ(Ui.Boxes().size(), 1);
    EXPECT_EQ(Ui.Boxes().first().Kind, MessageKind::Error);
    EXPECT_EQ(Ui.Boxes().first().Caption, QString());
    EXPECT_EQ(Ui.Boxes().first().Text, QStringLiteral("CDS NOT RELEASED\r\n"));

    auto module = MakeModule();
    TLocalClientDataset *cds = module->CreateGlobalCDS();
    module->FreeGlobalCDS(cds);
    EXPECT_EQ(cds, nullptr);
    EXPECT_EQ(module->ClientDatasetCount(), 0);
    module->FreeGlobalCDS(cds); // an empty reference does nothing

    // One the module did not make is left alone.
    TLocalClientDataset foreign;
    TLocalClientDataset *foreignRef = &foreign;
    EXPECT_EQ(ErrorOf([&] { module->FreeGlobalCDS(foreignRef); }),
        QStringLiteral("FreeGlobalCDS : ClientDataset not found"));
    EXPECT_EQ(foreignRef, &foreign);
}

// ---- Free space ----------------------------------------------------------------------

struct FreeSpaceCase {
    const char *Drive; // a letter no other test uses: the server's answer is per letter
    qint64 Bytes;
    QList<MessageKind> Boxes;
    const char *Text;
    bool StaysConnected;
};

void PrintTo(const FreeSpaceCase &c, std::ostream *os) { *os << c.Bytes << " bytes"; }

class FreeSpaceTest : public CommonDbTest, public ::testing::WithParamInterface<FreeSpaceCase> {
protected:
    QString DriveLetter() const override { return QString::fromLatin1(GetParam().Drive); }
};

TEST_P(FreeSpaceTest, ConnectAsDremlixChecksInsideAndAfterConnect)
{
    const FreeSpaceCase &c = GetParam();
    SetFreeSpace(c.Bytes);
    auto module = MakeModule();
    module->SetParams(TcpString(Database), QString(), QString(), QString());
    module->ConnectAsDremlix(); // never raises for the space

    ASSERT_EQ(Ui.Boxes().size(), c.Boxes.size());
    for (int i = 0; i < c.Boxes.size(); ++i) {
        EXPECT_EQ(Ui.Boxes().at(i).Kind, c.Boxes.at(i));
        EXPECT_EQ(Ui.Boxes().at(i).Text, QString::fromUtf8(c.Text));
    }
    EXPECT_EQ(module->Connected(), c.StaysConnected);
}

INSTANTIATE_TEST_SUITE_P(Thresholds, FreeSpaceTest,
    ::testing::Values(FreeSpaceCase { "P", 49999999, { MessageKind::Error },
                          "Spazio insufficente sul HD per la base dati!\r\n49 Mb", false },
        FreeSpaceCase { "Q", 50000000, { MessageKind::Warning, MessageKind::Warning },
            "Lo spazio sul disco per la base dati é insufficente!\r\nFare dello spazio sul disco.\r\n50 Mb",
            true },
        FreeSpaceCase { "R", 149999999, { MessageKind::Warning, MessageKind::Warning },
            "Lo spazio sul disco per la base dati é insufficente!\r\nFare dello spazio sul disco.\r\n149 Mb",
            true },
        FreeSpaceCase { "S", 150000000, {}, "", true },
        FreeSpaceCase { "T", 0, { MessageKind::Warning },
            "Il server Firebird non ha potuto determinare lo spazio restante sul disco per la base dati!",
            true },
        FreeSpaceCase { "U", -1, { MessageKind::Warning },
            "Il server Firebird non ha potuto determinare lo spazio restante sul disco per la base dati!",
            true }));

class UnknownFreeSpaceTest : public CommonDbTest {
protected:
    QString DriveLetter() const override { return QStringLiteral("V"); }
};

TEST_F(UnknownFreeSpaceTest, IsToldOnceForTheRestOfTheModulesLife)
{
    SetFreeSpace(0);
    auto module = MakeModule();
    module->SetParams(TcpString(Database), QString(), QString(), QString());
    module->ConnectAsDremlix();
    ASSERT_EQ(Ui.Boxes().size(), 1);

    // Another database, even with little room: no check runs any more.
    SetFreeSpace(1000);
    const QString other = CreateDatabase();
    module->SetParams(TcpString(other), QString(), QString(), QString());
    module->ConnectAsDremlix();
    QMetaObject::invokeMethod(module->TimerCheckDiskSpace(), "timeout");
    EXPECT_EQ(Ui.Boxes().size(), 1);
    EXPECT_TRUE(module->Connected());
    EXPECT_EQ(module->GetFreeDiskSpace(), 1000);
}

class CriticalFreeSpaceTest : public CommonDbTest {
protected:
    QString DriveLetter() const override { return QStringLiteral("W"); }
};

TEST_F(CriticalFreeSpaceTest, DetachesInsideConnectAndStillReturns)
{
    SetFreeSpace(1000000);
    auto module = MakeModule();
    module->SetParams(TcpString(Database), QStringLiteral("DREMLIX"), QString(), QStringLiteral("47219630"));
    int pauses = 0;
    module->DatabaseManager()->SetRetryPause([&pauses](int) { ++pauses; });
    module->Connect();
    EXPECT_FALSE(module->Connected());
    ASSERT_EQ(Ui.Boxes().size(), 1);
    EXPECT_EQ(
        Ui.Boxes().first().Text, QStringLiteral("Spazio insufficente sul HD per la base dati!\r\n1 Mb"));
    // The registration after the detach fails quietly, after its retries.
    EXPECT_EQ(pauses, 4);
    EXPECT_EQ(CountRows(Database, QStringLiteral("Users")), 0);

    // The hourly check on a module that is not attached does nothing.
    QMetaObject::invokeMethod(module->TimerCheckDiskSpace(), "timeout");
    EXPECT_EQ(Ui.Boxes().size(), 1);
}

TEST_F(ConnectionTest, FreeSpaceQueryErrorsComeOutOfConnect)
{
    ExecOn(Database, { QStringLiteral("DROP EXTERNAL FUNCTION GetFreeDiskSpace") });
    auto module = MakeModule();
    module->SetParams(TcpString(Database), QString(), QString(), QString());
    EXPECT_THROW(module->ConnectAsDremlix(), Db::EDatabaseError);
    // The level was rolled back; the attachment stays, unregistered.
    EXPECT_TRUE(module->Connected());
    EXPECT_EQ(module->TransactionState(), QStringLiteral("0"));
    EXPECT_FALSE(module->InTransaction());
    EXPECT_EQ(CountRows(Database, QStringLiteral("Users")), 0);
}

} // namespace
