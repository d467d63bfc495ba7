#include "support/FirebirdTestServer.h"

#include <QFile>
#include <QSaveFile>
#include <QFileInfo>
#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <QStringList>

namespace {
QString Env(const char *name)
{
    return qEnvironmentVariable(name);
}
} // namespace

bool FirebirdTestServer::Available()
{
    return !Env("DREMLIX_FB_ROOT").isEmpty() && !Env("DREMLIX_FB_PORT").isEmpty() &&
           QFileInfo::exists(Env("DREMLIX_FB_ROOT") + QStringLiteral("/firebird.conf"));
}

QString FirebirdTestServer::MissingReason()
{
    if (Available())
        return QString();
    return QStringLiteral("no Firebird test server: run scripts/test, or tests/firebird/fbserver.sh start ROOT "
                          "and source ROOT/env.sh");
}

QString FirebirdTestServer::Root()
{
    return Env("DREMLIX_FB_ROOT");
}

int FirebirdTestServer::Port()
{
    return Env("DREMLIX_FB_PORT").toInt();
}

QString FirebirdTestServer::DataFolder()
{
    const QString data = Env("DREMLIX_FB_DATA");
    return data.isEmpty() ? Root() + QStringLiteral("/data") : data;
}

QString FirebirdTestServer::FreshDatabasePath(const QString &stem)
{
    static std::atomic<int> counter{0};
    for (;;) {
        QString path = QStringLiteral("%1/%2-%3-%4.fdb")
                           .arg(DataFolder(), stem)
                           .arg(static_cast<qint64>(getpid()))
                           .arg(++counter);
        if (!QFileInfo::exists(path))
            return path;
    }
}

namespace {

// Seconds of the last change, as Firebird compares them.
time_t ModifiedSeconds(const QByteArray &path)
{
    struct stat st {};
    return ::stat(path.constData(), &st) == 0 ? st.st_mtim.tv_sec : 0;
}

} // namespace

void FirebirdTestServer::AddAlias(const QString &alias, const QString &hostPath, const QString &root)
{
    const QString name = root + QStringLiteral("/databases.conf");
    const QByteArray encoded = QFile::encodeName(name);
    const time_t before = ModifiedSeconds(encoded);
    QFile conf(name);
    if (!conf.open(QIODevice::ReadOnly | QIODevice::Text))
        qFatal("cannot read %s", qPrintable(name));
    const QStringList lines = QString::fromUtf8(conf.readAll()).split(u'\n');
    conf.close();
    // The server refuses the whole file once an alias stands in it twice, so a
    // repeated alias replaces its line instead of adding one.
    auto key = [](const QString &text) { return text.trimmed().replace(u'\\', u'/').toUpper(); };
    const QString wanted = alias + QStringLiteral(" = ") + hostPath;
    QStringList kept;
    bool present = false;
    for (const QString &line : lines) {
        const qsizetype eq = line.indexOf(u'=');
        if (eq > 0 && !line.trimmed().startsWith(u'#') && key(line.left(eq)) == key(alias)) {
            if (!present)
                kept << wanted;
            present = true;
        } else {
            kept << line;
        }
    }
    if (present) {
        // Whole-file replacement by rename, so that the server never reads half a file.
        QFile tmp(name + QStringLiteral(".new"));
        if (!tmp.open(QIODevice::WriteOnly | QIODevice::Truncate))
            qFatal("cannot write %s", qPrintable(tmp.fileName()));
        tmp.write(kept.join(u'\n').toUtf8());
        tmp.close();
        if (::rename(QFile::encodeName(tmp.fileName()).constData(), encoded.constData()) != 0)
            qFatal("cannot replace %s", qPrintable(name));
    } else {
        QFile append(name);
        if (!append.open(QIODevice::Append | QIODevice::Text))
            qFatal("cannot append to %s", qPrintable(name));
        append.write((wanted + u'\n').toUtf8());
    }
    // Firebird reloads the file only when its modification second changes: a second
    // alias within the same second would stay unknown ("unavailable database").
    if (ModifiedSeconds(encoded) <= before) {
        struct timespec times[2];
        times[0].tv_sec = before + 1;
        times[0].tv_nsec = 0;
        times[1] = times[0];
        ::utimensat(AT_FDCWD, encoded.constData(), times, 0);
    }
}

QString FirebirdTestServer::TcpConnectionString(const QString &aliasOrPath)
{
    return QStringLiteral("127.0.0.1/%1:%2").arg(Port()).arg(aliasOrPath);
}

void FirebirdTestServer::SetFreeDiskSpace(std::optional<int64_t> bytes, QChar drive, const QString &root)
{
    QString name = root + QStringLiteral("/udf-free-space");
    if (!drive.isNull())
        name += u'-' + QString(drive.toUpper());
    if (!bytes) {
        QFile::remove(name);
        return;
    }
    // Other test processes' databases ask the server for the same drive while this one
    // writes: they must find the old value or the new one, never an emptied file (which
    // the server answers as "cannot tell", a warning box in the middle of their run).
    QSaveFile f(name);
    if (!f.open(QIODevice::WriteOnly) || f.write(QByteArray::number(static_cast<qlonglong>(*bytes))) < 0 || !f.commit())
        qFatal("cannot write %s", qPrintable(name));
}
