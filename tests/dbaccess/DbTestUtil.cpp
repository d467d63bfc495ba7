#include "DbTestUtil.h"

#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace DbTest {

QStringList Login(const QString &charset, const QString &user, const QString &password)
{
    QStringList params{QStringLiteral("user_name=") + user, QStringLiteral("password=") + password};
    if (!charset.isEmpty())
        params << QStringLiteral("lc_ctype=") + charset;
    return params;
}

QString CreateDatabaseFile(const QStringList &ddl)
{
    QString path = FirebirdTestServer::FreshDatabasePath();
    Db::TDatabase db;
    db.CreateDatabase(path, {QStringLiteral("USER 'DREMLIX'"), QStringLiteral("PASSWORD '47219630'"),
                             QStringLiteral("PAGE_SIZE 4096"), QStringLiteral("DEFAULT CHARACTER SET ISO8859_1")});
    if (!ddl.isEmpty()) {
        Db::TTransaction tr(&db);
        Db::TStatement st(&db, &tr);
        for (const QString &sql : ddl) {
            tr.Start();
            st.SetSQLText(sql);
            st.Execute();
            tr.Commit();
        }
    }
    db.Close();
    return path;
}

int DeadPort()
{
    // Bound but never listening: connections to it are refused.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    // Without a port of its own the test would dial port 0, which proves nothing.
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0
        || getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        throw std::runtime_error("cannot bind a port on 127.0.0.1");
    static std::vector<int> keep;
    keep.push_back(fd);
    return ntohs(addr.sin_port);
}

void ExecuteElsewhere(const QString &connection, const QString &sql)
{
    Db::TDatabase db;
    db.SetDatabaseName(connection);
    db.SetParams(Login());
    db.Open();
    Db::TTransaction tr(&db);
    tr.Start();
    Db::TStatement st(&db, &tr);
    st.SetSQLText(sql);
    st.Execute();
    tr.Commit();
    db.Close();
}

QString QueryElsewhere(const QString &connection, const QString &sql)
{
    Db::TDatabase db;
    db.SetDatabaseName(connection);
    db.SetParams(Login());
    db.Open();
    Db::TTransaction tr(&db);
    tr.Start();
    Db::TQuery q(&db, &tr);
    q.SetSQLText(sql);
    q.Open();
    QString value = q.Eof() ? QString() : q.AsString(0);
    q.Close();
    tr.Commit();
    db.Close();
    return value;
}

Db::EDatabaseError ExpectDbError(const std::function<void()> &body)
{
    try {
        body();
    } catch (const Db::EDatabaseError &e) {
        return e;
    }
    ADD_FAILURE() << "no database error was raised";
    return Db::EDatabaseError(QString());
}

} // namespace DbTest
