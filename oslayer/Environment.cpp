// Where the prefix is, what it plays, and which file stands for the running program.
#include "oslayer/Environment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <QDirIterator>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace Os {

namespace {

struct EnvironmentState {
    std::mutex Lock;
    QString PrefixRoot;
    QString OwnExecutable;
    // The arch line is read once per version of system.reg, not on every registry call.
    QString ArchFile;
    qint64 ArchMTime = -1;
    qint64 ArchSize = -1;
    bool ArchWin64 = false;
};

EnvironmentState &State()
{
    static EnvironmentState state;
    return state;
}

// "#arch=win64" stands in the first lines of a hive Wine wrote; later lines are keys.
bool HiveSaysWin64(const QString &hivePath)
{
    QFile file(hivePath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    for (int i = 0; i < 16 && !file.atEnd(); ++i) {
        const QByteArray line = file.readLine(512).trimmed();
        if (line.startsWith("#arch="))
            return line.mid(6) == "win64";
        if (line.startsWith('['))
            break;
    }
    return false;
}

} // namespace

QString Environment::PrefixRoot()
{
    auto &state = State();
    {
        std::lock_guard guard(state.Lock);
        if (!state.PrefixRoot.isEmpty())
            return state.PrefixRoot;
    }
    const QString fromEnvironment = qEnvironmentVariable("WINEPREFIX");
    if (!fromEnvironment.isEmpty())
        return QDir::cleanPath(QDir(fromEnvironment).absolutePath());
    return QDir::cleanPath(QDir::homePath() + QStringLiteral("/.wine"));
}

void Environment::SetPrefixRoot(const QString &hostPath)
{
    auto &state = State();
    std::lock_guard guard(state.Lock);
    state.PrefixRoot = hostPath.isEmpty() ? QString() : QDir::cleanPath(QDir(hostPath).absolutePath());
    state.ArchFile.clear();
}

QString Environment::ExplicitPrefixRoot()
{
    auto &state = State();
    std::lock_guard guard(state.Lock);
    return state.PrefixRoot;
}

bool Environment::IsWin64Prefix()
{
    const QString hive = PrefixRoot() + QStringLiteral("/system.reg");
    struct stat st {};
    const QByteArray native = QFile::encodeName(hive);
    if (::stat(native.constData(), &st) != 0) {
        // A prefix without its machine hive yet: the user hive tells the same.
        return HiveSaysWin64(PrefixRoot() + QStringLiteral("/user.reg"));
    }
    auto &state = State();
    {
        std::lock_guard guard(state.Lock);
        if (state.ArchFile == hive && state.ArchMTime == qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec
            && state.ArchSize == st.st_size)
            return state.ArchWin64;
    }
    const bool win64 = HiveSaysWin64(hive);
    std::lock_guard guard(state.Lock);
    state.ArchFile = hive;
    state.ArchMTime = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    state.ArchSize = st.st_size;
    state.ArchWin64 = win64;
    return win64;
}

QString Environment::OwnExecutableHostPath()
{
    auto &state = State();
    {
        std::lock_guard guard(state.Lock);
        if (!state.OwnExecutable.isEmpty())
            return state.OwnExecutable;
    }
    // Started by the launcher of a self-contained wizard from the user's cache: the wizard
    // is the file the user started, which the launcher names.
    QString launched = qEnvironmentVariable("DREMLIX_WIZARD_FILE");
    if (!launched.isEmpty())
        return launched;
    QString self = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    return self;
}

void Environment::SetOwnExecutableHostPath(const QString &hostPath)
{
    auto &state = State();
    std::lock_guard guard(state.Lock);
    state.OwnExecutable = hostPath;
}

namespace {

// Where Wine puts the server of a prefix: /tmp/.wine-<uid>/server-<dev>-<inode>, or, in
// the Wine 8 of Debian, under a private folder of /tmp whose name the prefix keeps in its
// file "wineserver".
QStringList ServerFolders(const QString &prefix)
{
    struct stat st {};
    const QByteArray native = QFile::encodeName(prefix);
    if (::stat(native.constData(), &st) != 0)
        return {};
    const QString leaf = QStringLiteral("server-%1-%2").arg(qulonglong(st.st_dev), 0, 16).arg(qulonglong(st.st_ino), 0, 16);
    QStringList folders;
    QFile pointer(prefix + QStringLiteral("/wineserver"));
    if (pointer.open(QIODevice::ReadOnly)) {
        const QString name = QString::fromLocal8Bit(pointer.read(256)).trimmed();
        static const QRegularExpression safe(QStringLiteral("^[A-Za-z0-9._-]+$"));
        if (safe.match(name).hasMatch() && name != QLatin1String(".") && name != QLatin1String(".."))
            folders.append(QStringLiteral("/tmp/") + name + QLatin1Char('/') + leaf);
    }
    folders.append(QStringLiteral("/tmp/.wine-%1/").arg(::getuid()) + leaf);
    return folders;
}

bool SocketAnswers(const QString &folder)
{
    const QByteArray socketPath = QFile::encodeName(folder + QStringLiteral("/socket"));
    struct stat st {};
    if (::lstat(socketPath.constData(), &st) != 0 || !S_ISSOCK(st.st_mode)
        || socketPath.size() >= qsizetype(sizeof(sockaddr_un::sun_path)))
        return false;
    // Without blocking: a server whose queue of connections is full (busy, or hung) counts
    // as running, and does not hold the caller up.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.constData(), size_t(socketPath.size()));
    const bool answered = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        || errno == EAGAIN || errno == EINPROGRESS;
    ::close(fd);
    return answered;
}

} // namespace

QString Environment::WineserverFolder()
{
    const QStringList folders = ServerFolders(PrefixRoot());
    for (const QString &folder : folders)
        if (QFileInfo(folder).isDir())
            return folder;
    return folders.isEmpty() ? QString() : folders.first();
}

bool Environment::WineserverRunning()
{
    const QStringList folders = ServerFolders(PrefixRoot());
    if (folders.isEmpty())
        return false;
    for (const QString &folder : folders)
        if (SocketAnswers(folder))
            return true;

    // A server that is starting, or one whose socket we may not reach: look for the process.
    const QString prefix = PrefixRoot();
    QStringList knownFolders = folders;
    for (const QString &folder : folders) {
        const QString canonical = QFileInfo(folder).canonicalFilePath();
        if (!canonical.isEmpty())
            knownFolders.append(canonical);
    }
    const QByteArray prefixSetting = "WINEPREFIX=" + QFile::encodeName(prefix);
    QDirIterator processes(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (processes.hasNext()) {
        const QString dir = processes.next();
        const QString pid = processes.fileName();
        if (pid.isEmpty() || !pid.at(0).isDigit())
            continue;
        QFile comm(dir + QStringLiteral("/comm"));
        if (!comm.open(QIODevice::ReadOnly))
            continue;
        if (!comm.readAll().startsWith("wineserver"))
            continue;
        const QString cwd = QFile::symLinkTarget(dir + QStringLiteral("/cwd"));
        if (!cwd.isEmpty() && knownFolders.contains(cwd))
            return true;
        QFile environ(dir + QStringLiteral("/environ"));
        if (environ.open(QIODevice::ReadOnly)) {
            const QList<QByteArray> settings = environ.readAll().split('\0');
            for (const QByteArray &setting : settings) {
                if (setting == prefixSetting || setting == prefixSetting + '/')
                    return true;
            }
        }
    }
    return false;
}

} // namespace Os
