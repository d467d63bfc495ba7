// The server-side function module, called through the server as the products call it.
#include "DbTestUtil.h"

#include <sys/statvfs.h>

using namespace DbTest;

namespace {

class Udf : public ServerTest {
protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        if (IsSkipped())
            return;
        const QString ov = QStringLiteral("MODULE_NAME 'ov_udf.dll'");
        FPath = CreateDatabaseFile(
            {QStringLiteral("DECLARE EXTERNAL FUNCTION GetFreeDiskSpace\nCSTRING(1)\nRETURNS NUMERIC(18, 0) BY VALUE\n"
                            "ENTRY_POINT 'GetFreeDiskSpace'\n") + ov,
             QStringLiteral("DECLARE EXTERNAL FUNCTION GetDLLVersion\nRETURNS Integer BY VALUE\nENTRY_POINT 'GetDLLVersion'\n") + ov,
             QStringLiteral("DECLARE EXTERNAL FUNCTION IsANumber CSTRING(32767)\nRETURNS Integer BY VALUE\nENTRY_POINT 'IsANumber'\n") + ov,
             QStringLiteral("DECLARE EXTERNAL FUNCTION GetStrLen\nCSTRING(32767)\nRETURNS Integer BY VALUE\nENTRY_POINT 'GetStrLen'\n") + ov,
             QStringLiteral("DECLARE EXTERNAL FUNCTION FindStringsInString CSTRING(32767), CSTRING(32767)\nRETURNS Integer BY VALUE\n"
                            "ENTRY_POINT 'FindStringsInString'\n") + ov,
             QStringLiteral("DECLARE EXTERNAL FUNCTION FindStringsInBlob BLOB, CSTRING(32767)\nRETURNS Integer BY VALUE\n"
                            "ENTRY_POINT 'FindStringsInBlob'\n") + ov,
             QStringLiteral("DECLARE EXTERNAL FUNCTION GetLogData\nBLOB\nRETURNS PARAMETER 1\nENTRY_POINT 'GetLogData'\n") + ov,
             QStringLiteral("DECLARE EXTERNAL FUNCTION bin_or Integer, Integer\nRETURNS Integer BY VALUE\n"
                            "ENTRY_POINT 'IB_UDF_bin_or'\nMODULE_NAME 'ib_udf.dll'"),
             QStringLiteral("create procedure GETLOG\nreturns (LOGDATA blob)\nas\nbegin\nLOGDATA = GetLogData();\nsuspend;\nend")});
        FTcp = FirebirdTestServer::TcpConnectionString(FPath);
    }
    QString Ask(const QString &expression)
    {
        return QueryElsewhere(FTcp, QStringLiteral("SELECT ") + expression + QStringLiteral(" FROM rdb$database"));
    }

    QString FPath;
    QString FTcp;
};

TEST_F(Udf, FreeDiskSpaceIsTheDataFoldersOrTheTestsAnswer)
{
    struct statvfs st;
    ASSERT_EQ(statvfs(FirebirdTestServer::DataFolder().toLocal8Bit().constData(), &st), 0);
    const double real = static_cast<double>(st.f_bavail) * static_cast<double>(st.f_frsize);
    const double answered = Ask(QStringLiteral("GetFreeDiskSpace('C')")).toDouble();
    EXPECT_GT(answered, 0);
    EXPECT_NEAR(answered, real, 200e6) << "free bytes of the file system holding the databases";

    // Drive letters of this test's own: other test programs run beside it and keep
    // theirs (a drive without a file of its own gets the free bytes read above).
    struct Cleanup {
        ~Cleanup() { FirebirdTestServer::SetFreeDiskSpace(std::nullopt, u'Q'); }
    } cleanup;
    FirebirdTestServer::SetFreeDiskSpace(50000000, u'Q');
    EXPECT_EQ(Ask(QStringLiteral("GetFreeDiskSpace('Q')")), QStringLiteral("50000000"));
    EXPECT_EQ(Ask(QStringLiteral("GetFreeDiskSpace('q')")), QStringLiteral("50000000")) << "either letter case";
    EXPECT_NE(Ask(QStringLiteral("GetFreeDiskSpace('R')")), QStringLiteral("50000000"));
    struct Case {
        int64_t Written;
        const char *Answered;
    };
    for (const Case &c : {Case{149999999, "149999999"}, Case{-1, "-1"}, Case{0, "0"}, Case{10000000000LL, "10000000000"}}) {
        FirebirdTestServer::SetFreeDiskSpace(c.Written, u'Q');
        EXPECT_EQ(Ask(QStringLiteral("GetFreeDiskSpace('Q')")), QString::fromLatin1(c.Answered));
    }
    FirebirdTestServer::SetFreeDiskSpace(std::nullopt, u'Q');
    EXPECT_GT(Ask(QStringLiteral("GetFreeDiskSpace('Q')")).toDouble(), 0);
}

TEST_F(Udf, VersionAndSmallFunctions)
{
    EXPECT_EQ(Ask(QStringLiteral("GetDLLVersion()")), QStringLiteral("1"));
    EXPECT_EQ(Ask(QStringLiteral("bin_or(5, 10)")), QStringLiteral("15"));
    struct Case {
        const char *Expression;
        const char *Expected;
    };
    for (const Case &c : {Case{"IsANumber('12.5')", "1"}, Case{"IsANumber(' -3 ')", "1"}, Case{"IsANumber('1e5x')", "0"},
                          Case{"IsANumber('')", "0"}, Case{"GetStrLen('abcd')", "4"}, Case{"GetStrLen('')", "0"},
                          Case{"FindStringsInString('Società Rossi & Figli', 'rossi figli')", "1"},
                          Case{"FindStringsInString('Società Rossi', 'rossi bianchi')", "0"},
                          Case{"FindStringsInString('x', '')", "1"},
                          Case{"FindStringsInBlob(CAST('COM:Fattura cliente' AS BLOB SUB_TYPE 1), 'FATTURA')", "1"}}) {
        SCOPED_TRACE(c.Expression);
        EXPECT_EQ(Ask(QString::fromUtf8(c.Expression)), QString::fromUtf8(c.Expected));
    }
}

TEST_F(Udf, LogProcedureReturnsTheServersLog)
{
    const QString log = QueryElsewhere(FTcp, QStringLiteral("SELECT LOGDATA FROM GETLOG"));
    EXPECT_FALSE(log.isEmpty()) << "the test server has written its start to its log";
}

} // namespace
