// Rows per second of 20 KB print-list texts inserted through the access layer in one
// transaction, against isql-fb inserting the same rows in the same run.
// Run with the test server's env.sh sourced: bench_db_insert [rows] [repetitions]
#include "dbaccess/DbAccess.h"
#include "support/FirebirdTestServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const QStringList kLogin{QStringLiteral("user_name=DREMLIX"), QStringLiteral("password=47219630"),
                         QStringLiteral("lc_ctype=ISO8859_1")};

QString PrintList(int n)
{
    // About 20 KB of print-list lines, CR LF ended, a little different per row.
    QString text = QStringLiteral("COM:Stampa %1\r\nDES:Elenco clienti n. %1\r\n").arg(n);
    int line = 0;
    while (text.size() < qsizetype(20) * 1024) {
        text += QStringLiteral("FLD%1=Campo %2;X=%3;Y=%4;Font=Arial;Size=10;Bold=F\r\n").arg(line).arg(n).arg(line * 7).arg(line * 3);
        ++line;
    }
    return text;
}

QString NewDatabase(const QString &stem)
{
    QString path = FirebirdTestServer::FreshDatabasePath(stem);
    Db::TDatabase db;
    db.CreateDatabase(path, {QStringLiteral("USER 'DREMLIX'"), QStringLiteral("PASSWORD '47219630'"),
                             QStringLiteral("PAGE_SIZE 4096"), QStringLiteral("DEFAULT CHARACTER SET ISO8859_1")});
    Db::TTransaction tr(&db);
    tr.Start();
    Db::TStatement st(&db, &tr);
    st.SetSQLText(QStringLiteral("CREATE TABLE PRT_Params (pname VARCHAR(60) NOT NULL PRIMARY KEY, "
                                 "d_text VARCHAR(90), print_params BLOB SUB_TYPE 1 SEGMENT SIZE 80)"));
    st.Execute();
    tr.Commit();
    db.Close();
    return path;
}

double LayerSeconds(const QString &connection, int rows)
{
    Db::TDatabase db;
    db.SetDatabaseName(connection);
    db.SetParams(kLogin);
    db.Open();
    Db::TTransaction tr(&db);
    tr.SetParams({QStringLiteral("write"), QStringLiteral("nowait"), QStringLiteral("read_committed"),
                  QStringLiteral("rec_version")});
    Db::TStatement st(&db, &tr);
    st.SetSQL({QStringLiteral("INSERT INTO PRT_Params (pname, d_text, print_params)"),
               QStringLiteral("VALUES (:p0, :p1, :p2)")});
    std::vector<QString> texts;
    texts.reserve(size_t(rows));
    for (int i = 0; i < rows; ++i)
        texts.push_back(PrintList(i));
    QElapsedTimer timer;
    timer.start();
    tr.Start();
    for (int i = 0; i < rows; ++i) {
        st.SetParamString(0, QStringLiteral("LIST%1.LST").arg(i));
        st.SetParamString(1, QStringLiteral("Elenco clienti n. %1").arg(i));
        st.SetParamString(2, texts[static_cast<size_t>(i)]);
        st.Execute();
    }
    tr.Commit();
    const double s = timer.nsecsElapsed() / 1e9;
    db.Close();
    return s;
}

double IsqlSeconds(const QString &connection, int rows)
{
    const QString script = FirebirdTestServer::DataFolder() + QStringLiteral("/bench-insert.sql");
    QFile f(script);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(script));
    f.write("SET AUTODDL OFF;\n");
    for (int i = 0; i < rows; ++i) {
        QString text = PrintList(i);
        text.replace(u'\'', QStringLiteral("''"));
        f.write(QStringLiteral("INSERT INTO PRT_Params (pname, d_text, print_params) VALUES ('LIST%1.LST', "
                               "'Elenco clienti n. %1', '%2');\n")
                    .arg(i)
                    .arg(text)
                    .toLatin1());
    }
    f.write("COMMIT;\n");
    f.close();
    QProcess isql;
    QElapsedTimer timer;
    timer.start();
    isql.start(QStringLiteral("isql-fb"), {QStringLiteral("-q"), QStringLiteral("-user"), QStringLiteral("DREMLIX"),
                                           QStringLiteral("-password"), QStringLiteral("47219630"),
                                           QStringLiteral("-ch"), QStringLiteral("ISO8859_1"), QStringLiteral("-i"),
                                           script, connection});
    isql.waitForFinished(-1);
    const double s = timer.nsecsElapsed() / 1e9;
    const QByteArray err = isql.readAllStandardError() + isql.readAllStandardOutput();
    if (isql.exitCode() != 0 || !err.trimmed().isEmpty())
        qFatal("isql-fb failed: %s", err.constData());
    QFile::remove(script);
    return s;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (!FirebirdTestServer::Available()) {
        std::fprintf(stderr, "%s\n", qPrintable(FirebirdTestServer::MissingReason()));
        return 2;
    }
    const int rows = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 3;
    std::vector<double> layer, isql;
    for (int r = 0; r < repetitions; ++r) {
        // Each side gets a database of its own, over TCP/IP to the test server.
        layer.push_back(LayerSeconds(FirebirdTestServer::TcpConnectionString(NewDatabase(QStringLiteral("bench-layer"))), rows));
        isql.push_back(IsqlSeconds(FirebirdTestServer::TcpConnectionString(NewDatabase(QStringLiteral("bench-isql"))), rows));
    }
    const double l = Median(layer), i = Median(isql);
    std::printf("rows %d of %d bytes, %d repetitions, TCP/IP to 127.0.0.1\n", rows, static_cast<int>(PrintList(0).size()), repetitions);
    std::printf("access layer: median %.3f s, %.0f rows/s\n", l, rows / l);
    std::printf("isql-fb:      median %.3f s, %.0f rows/s\n", i, rows / i);
    std::printf("ratio (layer rows/s / isql rows/s): %.2f\n", i / l);
    return 0;
}
