// The single-instance lock: flock on a file in the per-user runtime folder. The kernel
// drops a flock with the last descriptor of the process, so a crash never leaves it held.
#include "oslayer/SingleInstance.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Os {

namespace {

// A folder only this user may write in, so that nobody else can hold or fake the lock.
QString RuntimeFolder()
{
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return runtime;
    QString folder = QStringLiteral("/tmp/dremlix-%1").arg(::getuid());
    const QByteArray native = QFile::encodeName(folder);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return QString();
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
        return QString();
    if ((st.st_mode & 077) != 0)
        ::chmod(native.constData(), 0700);
    return folder;
}

QString SafeFileName(const QString &title)
{
    QString name = title;
    for (QChar &c : name)
        if (c == QLatin1Char('/') || c == QChar(0))
            c = QLatin1Char('_');
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        name = QStringLiteral("_") + name;
    return name;
}

// A scope of any length or content, folded into a short part of a file name.
QString ScopeSuffix(const QString &scope)
{
    if (scope.isEmpty())
        return QString();
    const QByteArray digest = QCryptographicHash::hash(scope.toUtf8(), QCryptographicHash::Sha256).toHex();
    return QLatin1Char('@') + QString::fromLatin1(digest.left(16));
}

} // namespace

InstanceLock::InstanceLock(const QString &title, const QString &scope)
{
    const QString folder = RuntimeFolder();
    if (folder.isEmpty())
        return;
    const QByteArray path = QFile::encodeName(folder + QLatin1Char('/') + SafeFileName(title) + ScopeSuffix(scope)
                                              + QStringLiteral(".lock"));
    FFd = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (FFd < 0)
        return;
    while (::flock(FFd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        // Another process holds it: the handle exists, the semaphore was already there.
        FAlreadyExisted = errno == EWOULDBLOCK;
        if (!FAlreadyExisted) {
            ::close(FFd);
            FFd = -1;
        }
        return;
    }
}

InstanceLock::~InstanceLock()
{
    if (FFd >= 0)
        ::close(FFd);
}

PrefixLock::PrefixLock(const QString &prefixHostPath, bool create)
{
    const QByteArray folder = QFile::encodeName(prefixHostPath + QStringLiteral("/.dremlix-update"));
    const QByteArray path = folder + "/lock";
    if (create && ::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST) {
        FError = QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    FFd = ::open(path.constData(), (create ? O_RDWR | O_CREAT : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (FFd < 0) {
        if (!create && errno == ENOENT)
            return;
        FError = QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    // A check leaves the lock to the real run: a shared lock tells the same and is let go.
    const int mode = create ? LOCK_EX : LOCK_SH;
    while (::flock(FFd, mode | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        if (errno == EWOULDBLOCK)
            FHeldByAnother = true;
        else
            FError = QString::fromLocal8Bit(std::strerror(errno));
        ::close(FFd);
        FFd = -1;
        return;
    }
    if (!create) {
        ::close(FFd);
        FFd = -1;
    }
}

PrefixLock::~PrefixLock()
{
    if (FFd >= 0)
        ::close(FFd);
}

} // namespace Os
