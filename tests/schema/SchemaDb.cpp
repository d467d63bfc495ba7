#include "SchemaDb.h"

#include "oslayer/Exceptions.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <unistd.h>

namespace SchemaDb {

namespace {

QAtomicInt gDatabaseCounter;

} // namespace

QString ServerPort() { return qEnvironmentVariable("DREMLIX_FB_PORT"); }

QString ServerProblem()
{
    if (ServerPort().isEmpty() || qEnvironmentVariable("DREMLIX_FB_DATA").isEmpty())
        return QStringLiteral("The Firebird test server is not running: run scripts/test, or start "
                              "tests/firebird/fbserver.sh and source its env.sh");
    if (!QDir(qEnvironmentVariable("DREMLIX_FB_DATA")).exists())
        return QStringLiteral("DREMLIX_FB_DATA names no folder");
    return QString();
}

QString NewDatabaseFile(const QString &stem)
{
    QString path = QDir(qEnvironmentVariable("DREMLIX_FB_DATA"))
                       .filePath(QStringLiteral("schema_%1_%2_%3.fdb")
                                     .arg(stem)
                                     .arg(::getpid())
                                     .arg(gDatabaseCounter.fetchAndAddRelaxed(1)));
    QFile::remove(path);
    return path;
}

QString TcpString(const QString &hostPath)
{
    return QStringLiteral("127.0.0.1/") + ServerPort() + QLatin1Char(':') + hostPath;
}

TBench::TBench()
    : Manager(std::make_unique<TDatabaseManager>())
{
    Database.SetName(QStringLiteral("IBDatabase"));
    Transaction.SetName(QStringLiteral("GlobalTransaction"));
    Transaction.SetDefaultDatabase(&Database);
    // The connection module's global transaction.
    Transaction.SetParams({ QStringLiteral("write"), QStringLiteral("nowait"),
        QStringLiteral("read_committed"), QStringLiteral("rec_version") });
    Database.SetDefaultTransaction(&Transaction);
    Manager->SetName(QStringLiteral("DatabaseManager"));
    Manager->SetDatabase(&Database);
    Manager->SetTransaction(&Transaction);
    Manager->SetUserName(DremlixUser);
    Manager->SetPassword(DremlixPassword);
    // No test waits for real pauses unless it asks for them.
    Manager->SetRetryPause([](int) {});
}

TBench::~TBench()
{
    // Handed-out queries go before the attachment they run on.
    Manager.reset();
    Database.ForceClose();
}

void TBench::Connect(const QString &connectionString, const QString &role)
{
    Manager->SetConnectionString(connectionString);
    Manager->SetRole(role);
    Manager->Connect();
}

void CreateProductDatabase(TBench &bench, const QString &hostPath, const QString &identifier, int version)
{
    TDatabaseManager &manager = *bench.Manager;
    manager.SetConnectionString(TcpString(hostPath));
    manager.SetDBIdentifier(identifier);
    manager.SetDBVersionProperty(version);
    manager.CreateDatabase();
    // As the connection module does it: one level around both.
    manager.EnterTransaction();
    try {
        manager.RegisterUDF();
        manager.RegisterStoredProcs();
    } catch (...) {
        manager.AbortTransaction(std::current_exception());
    }
    manager.LeaveTransaction();
}

namespace {

struct TObserver {
    explicit TObserver(const QString &connectionString)
    {
        Database.SetDatabaseName(connectionString);
        Database.SetParams({ QStringLiteral("user_name=") + DremlixUser,
            QStringLiteral("password=") + DremlixPassword, QStringLiteral("lc_ctype=ISO8859_1") });
        Database.Open();
        Transaction.SetDefaultDatabase(&Database);
        Transaction.SetParams({ QStringLiteral("read"), QStringLiteral("read_committed"),
            QStringLiteral("rec_version"), QStringLiteral("nowait") });
    }
    ~TObserver()
    {
        try {
            if (Transaction.Active())
                Transaction.Rollback();
        } catch (...) {
        }
        Database.ForceClose();
    }
    Db::TDatabase Database;
    Db::TTransaction Transaction;
};

} // namespace

QList<QVariantList> Observe(const QString &connectionString, const QString &sql)
{
    TObserver observer(connectionString);
    observer.Transaction.Start();
    QList<QVariantList> rows;
    {
        Db::TQuery query(&observer.Database, &observer.Transaction);
        query.SetSQLText(sql);
        query.Open();
        while (!query.Eof()) {
            QVariantList row;
            for (int i = 0; i < query.FieldCount(); ++i)
                row.append(query.IsNull(i) ? QVariant() : query.AsVariant(i));
            rows.append(row);
            query.Next();
        }
        query.Close();
    }
    observer.Transaction.Commit();
    return rows;
}

int CountRows(const QString &connectionString, const QString &sql)
{
    const QList<QVariantList> rows = Observe(connectionString, sql);
    return rows.isEmpty() ? -1 : rows.first().value(0).toInt();
}

void Exec(const QString &connectionString, const QStringList &statements)
{
    TObserver observer(connectionString);
    observer.Transaction.SetParams({ QStringLiteral("write"), QStringLiteral("read_committed"),
        QStringLiteral("rec_version"), QStringLiteral("nowait") });
    observer.Transaction.Start();
    {
        Db::TStatement statement(&observer.Database, &observer.Transaction);
        statement.SetParamCheck(false);
        for (const QString &sql : statements) {
            statement.SetSQLText(sql);
            statement.Execute();
        }
    }
    observer.Transaction.Commit();
}

std::string ErrorOf(const std::function<void()> &work)
{
    try {
        work();
    } catch (const Os::Exception &e) {
        return e.Message().toStdString();
    } catch (const std::exception &e) {
        return std::string("std: ") + e.what();
    }
    return "no error";
}

} // namespace SchemaDb
