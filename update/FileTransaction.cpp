#include "update/FileTransaction.h"

#include "oslayer/Exceptions.h"
#include "oslayer/Files.h"
#include "oslayer/Paths.h"
#include "oslayer/WinError.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t gSignal = 0;
bool gSignalConsumed = false;
bool gCatching = false;
int gFailAfter = -1;
constexpr int CaughtSignals[] = { SIGTERM, SIGINT, SIGHUP };
struct sigaction gPrevious[3];

extern "C" void OnStopSignal(int signal) { gSignal = signal; }

constexpr uint32_t ErrorCorrupt = 1392;

QByteArray ParentOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash <= 0 ? QByteArray("/") : path.left(slash);
}

bool Exists(const QByteArray &path)
{
    struct stat st { };
    return ::lstat(path.constData(), &st) == 0;
}

void SyncFolder(const QByteArray &folder)
{
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

void SyncFoldersOf(const QList<QByteArray> &paths)
{
    QSet<QByteArray> done;
    for (const QByteArray &path : paths) {
        const QByteArray folder = ParentOf(path);
        if (!done.contains(folder)) {
            done.insert(folder);
            SyncFolder(folder);
        }
    }
}

// ENOENT is 2 when the folder exists and 3 when it does not, as on Windows.
uint32_t WindowsError(int err, const QByteArray &path)
{
    if (err != ENOENT)
        return Os::ErrorFromErrno(err);
    struct stat st { };
    return ::stat(ParentOf(path).constData(), &st) == 0 && S_ISDIR(st.st_mode) ? Os::ERROR_FILE_NOT_FOUND
                                                                               : Os::ERROR_PATH_NOT_FOUND;
}

// Puts one target back as it was before the run, whatever step the run had reached: the
// backup exists only between the first rename and the end, and the staged file only before
// it was renamed in, so the names on disk tell the step.
bool Restore(const QByteArray &target, const QByteArray &staged, const QByteArray &backup, bool existed)
{
    bool ok = true;
    if (Exists(backup)) {
        ok = ::rename(backup.constData(), target.constData()) == 0;
    } else if (!existed && !Exists(staged)) {
        // Ours, renamed in: there was nothing under this name before the run.
        if (::unlink(target.constData()) != 0 && errno != ENOENT)
            ok = false;
    }
    if (::unlink(staged.constData()) != 0 && errno != ENOENT)
        ok = false;
    return ok;
}

QByteArray Field(const QByteArray &text) { return text.toPercentEncoding("/"); }

bool ProcessAlive(qint64 pid)
{
    if (pid <= 0 || pid == ::getpid())
        return false;
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

} // namespace

TFileTransaction::TFileTransaction(QString stateFolder)
    : FStateFolder(std::move(stateFolder))
    , FTag(QByteArray::number(QRandomGenerator::system()->generate(), 36))
{
}

TFileTransaction::~TFileTransaction()
{
    if (Pending())
        RollBack();
    CloseJournal();
}

QByteArray TFileTransaction::JournalPath() const { return QFile::encodeName(FStateFolder) + "/journal"; }

bool TFileTransaction::OpenJournal()
{
    if (FJournal >= 0)
        return true;
    const QByteArray folder = QFile::encodeName(FStateFolder);
    if (::mkdir(folder.constData(), 0700) == 0) {
        // The prefix's owner keeps the wizard's state, also when root runs the update.
        struct stat prefix { };
        if (::geteuid() == 0 && ::stat(ParentOf(folder).constData(), &prefix) == 0)
            (void)::chown(folder.constData(), prefix.st_uid, prefix.st_gid);
        SyncFolder(ParentOf(folder));
    }
    FJournal
        = ::open(JournalPath().constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (FJournal < 0)
        return false;
    SyncFolder(folder);
    return Append("run " + QByteArray::number(::getpid()) + '\n', false);
}

bool TFileTransaction::Append(const QByteArray &record, bool flush)
{
    if (FJournal < 0)
        return false;
    if (::write(FJournal, record.constData(), size_t(record.size())) != record.size())
        return false;
    return !flush || ::fdatasync(FJournal) == 0;
}

void TFileTransaction::CloseJournal()
{
    if (FJournal < 0)
        return;
    ::close(FJournal);
    FJournal = -1;
    ::unlink(JournalPath().constData());
}

uint32_t TFileTransaction::Stage(const QString &source, bool movable, const QString &target)
{
    ThrowIfInterrupted();
    const QString sourceHostText = Os::HostPath(source);
    if (sourceHostText.isEmpty())
        return std::max(Os::GetLastError(), uint32_t(Os::ERROR_PATH_NOT_FOUND));
    const QString targetHostText = Os::HostPath(target);
    if (targetHostText.isEmpty())
        return std::max(Os::GetLastError(), uint32_t(Os::ERROR_PATH_NOT_FOUND));
    const QByteArray from = QFile::encodeName(sourceHostText);
    const QByteArray to = QFile::encodeName(targetHostText);
    const QByteArray folder = ParentOf(to);

    struct stat sourceStat { };
    if (::stat(from.constData(), &sourceStat) != 0)
        return WindowsError(errno, from);
    if (!S_ISREG(sourceStat.st_mode))
        return Os::ERROR_ACCESS_DENIED;
    struct stat existing { };
    bool existed = false;
    if (::lstat(to.constData(), &existing) == 0) {
        if (!S_ISREG(existing.st_mode) && !S_ISLNK(existing.st_mode))
            return Os::ERROR_ACCESS_DENIED;
        if (existing.st_dev == sourceStat.st_dev && existing.st_ino == sourceStat.st_ino)
            return Os::ERROR_SHARING_VIOLATION;
        // Held by a running program: found now, before anything installed has changed.
        if (Os::HostFileInUse(targetHostText))
            return Os::ERROR_SHARING_VIOLATION;
        existed = true;
    } else if (errno != ENOENT) {
        return Os::ErrorFromErrno(errno);
    }
    struct stat folderStat { };
    if (::stat(folder.constData(), &folderStat) != 0 || !S_ISDIR(folderStat.st_mode))
        return Os::ERROR_PATH_NOT_FOUND;
    if (::access(folder.constData(), W_OK) != 0)
        return Os::ERROR_ACCESS_DENIED;
    if (!OpenJournal())
        return Os::ErrorFromErrno(errno);

    // The same target staged twice in one run: the later file wins, under the same names.
    qsizetype index = -1;
    for (qsizetype i = 0; i < FEntries.size(); ++i)
        if (FEntries.at(i).TargetHost == to)
            index = i;
    TEntry entry;
    if (index >= 0) {
        entry = FEntries.at(index);
        ::unlink(entry.Staged.constData());
    } else {
        const QByteArray stem = folder + "/.~dmx" + FTag + '-' + QByteArray::number(++FCounter);
        entry.Target = target;
        entry.TargetHost = to;
        entry.Staged = stem + ".new";
        entry.Backup = stem + ".old";
        entry.Existed = existed;
        // Written before the staged file exists, so that a kill never leaves one unknown.
        if (!Append("stage " + Field(to) + ' ' + Field(entry.Staged) + ' ' + Field(entry.Backup) + ' '
                    + (existed ? "1" : "0") + '\n',
                false))
            return Os::ErrorFromErrno(errno);
    }

    // A staging that fails leaves the target as it is: the journal's record of it undoes
    // nothing, since neither the staged file nor a backup exists.
    const auto failed = [&](uint32_t error) {
        ::unlink(entry.Staged.constData());
        if (index >= 0)
            FEntries.removeAt(index);
        return error;
    };
    bool moved = false;
    if (movable) {
        if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, entry.Staged.constData(), RENAME_NOREPLACE)
            == 0)
            moved = true;
        else if (errno != EXDEV)
            return failed(WindowsError(errno, from));
    }
    // Another file system: a copy, forced to the disk, with the source's time. The staged
    // name is reached by its host path: a name looked up on the drive costs a pass over its
    // folder while it is not there yet.
    const QString stagedPath = QStringLiteral("\\\\?\\unix")
        + QFile::decodeName(entry.Staged).replace(QLatin1Char('/'), QLatin1Char('\\'));
    if (!moved && !Os::CopyFile(source, stagedPath, true))
        return failed(Os::GetLastError());

    // The new file takes the place of the old one as the old one was: same owner, group and
    // mode. A new name takes the owner of its folder, which matters when root updates the
    // prefix of a user.
    const struct stat &model = existed ? existing : folderStat;
    if (existed && S_ISREG(existing.st_mode))
        ::chmod(entry.Staged.constData(), model.st_mode & 07777);
    struct stat staged { };
    if (::stat(entry.Staged.constData(), &staged) == 0 && ::geteuid() == 0
        && (staged.st_uid != model.st_uid || staged.st_gid != model.st_gid))
        (void)::chown(entry.Staged.constData(), model.st_uid, model.st_gid);
    // A copied file is a plain one, as Windows leaves it: not read-only, no DOS attributes.
    Os::SetFileAttributes(stagedPath, Os::FILE_ATTRIBUTE_NORMAL);
    if (::stat(entry.Staged.constData(), &staged) != 0 || staged.st_size != sourceStat.st_size)
        return failed(ErrorCorrupt);
    entry.Size = staged.st_size;
    if (index >= 0)
        FEntries[index] = entry;
    else
        FEntries.append(entry);
    return Os::ERROR_SUCCESS;
}

uint32_t TFileTransaction::ForceFolder(const QString &folder)
{
    const QString hostText = Os::HostPath(folder);
    if (hostText.isEmpty())
        return Os::GetLastError();
    QByteArray host = QFile::encodeName(hostText);
    while (host.size() > 1 && host.endsWith('/'))
        host.chop(1);
    QList<QByteArray> missing;
    for (QByteArray path = host; path.size() > 1; path = ParentOf(path)) {
        struct stat st { };
        if (::stat(path.constData(), &st) == 0) {
            if (!S_ISDIR(st.st_mode))
                return Os::ERROR_ALREADY_EXISTS;
            break;
        }
        missing.prepend(path);
    }
    for (const QByteArray &path : std::as_const(missing)) {
        if (!OpenJournal() || !Append("dir " + Field(path) + '\n', false))
            return Os::ErrorFromErrno(errno);
        FFolders.append(path);
        if (::mkdir(path.constData(), 0777) != 0 && errno != EEXIST)
            return Os::ErrorFromErrno(errno);
        struct stat parent { };
        if (::geteuid() == 0 && ::stat(ParentOf(path).constData(), &parent) == 0)
            (void)::chown(path.constData(), parent.st_uid, parent.st_gid);
    }
    return Os::ERROR_SUCCESS;
}

uint32_t TFileTransaction::Commit(QString &failedTarget)
{
    failedTarget.clear();
    if (FEntries.isEmpty()) {
        FFolders.clear();
        CloseJournal();
        return Os::ERROR_SUCCESS;
    }
    // Every target once more, now that the whole run is staged: a program started since its
    // file was staged is found before the first file changes.
    QList<QByteArray> staged;
    for (const TEntry &entry : std::as_const(FEntries)) {
        failedTarget = entry.Target;
        struct stat st { };
        if (::stat(entry.Staged.constData(), &st) != 0 || st.st_size != entry.Size)
            return ErrorCorrupt;
        if (entry.Existed && Os::HostFileInUse(QFile::decodeName(entry.TargetHost)))
            return Os::ERROR_SHARING_VIOLATION;
        staged.append(entry.Staged);
    }
    failedTarget.clear();
    // The staged data and the plan reach the disk before the first rename.
    QSet<dev_t> flushed;
    for (const QByteArray &path : std::as_const(staged)) {
        struct stat st { };
        if (::stat(path.constData(), &st) != 0 || flushed.contains(st.st_dev))
            continue;
        flushed.insert(st.st_dev);
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ::syncfs(fd);
            ::close(fd);
        }
    }
    if (!Append("commit\n", true))
        return Os::ErrorFromErrno(errno);

    int placed = 0;
    for (const TEntry &entry : std::as_const(FEntries)) {
        if (Interrupted())
            return Os::ERROR_INVALID_FUNCTION;
        failedTarget = entry.Target;
        if (gFailAfter >= 0 && placed >= gFailAfter) {
            gFailAfter = -1;
            return Os::ERROR_NOT_READY;
        }
        if (entry.Existed
            && ::renameat2(AT_FDCWD, entry.TargetHost.constData(), AT_FDCWD, entry.Backup.constData(),
                   RENAME_NOREPLACE)
                != 0)
            return WindowsError(errno, entry.TargetHost);
        // From its first rename on, the target is one a rollback puts back.
        FTouched = placed + 1;
        if (::rename(entry.Staged.constData(), entry.TargetHost.constData()) != 0)
            return WindowsError(errno, entry.TargetHost);
        ++placed;
    }
    failedTarget.clear();
    QList<QByteArray> targets;
    for (const TEntry &entry : std::as_const(FEntries))
        targets.append(entry.TargetHost);
    SyncFoldersOf(targets);
    if (!Append("placed\n", true))
        return Os::ErrorFromErrno(errno);
    // From here the run is done: the backups go, also when this is cut short.
    for (const TEntry &entry : std::as_const(FEntries))
        ::unlink(entry.Backup.constData());
    FEntries.clear();
    FTouched = 0;
    FFolders.clear();
    CloseJournal();
    return Os::ERROR_SUCCESS;
}

QList<TFileTransaction::TEntry> TFileTransaction::RollBack()
{
    // Files only staged never changed the product: putting them away is no restoring.
    const QList<TEntry> undone = FEntries.mid(0, FTouched);
    FTouched = 0;
    if (!Pending()) {
        CloseJournal();
        return undone;
    }
    Append("rollback\n", true);
    bool ok = true;
    QList<QByteArray> targets;
    for (qsizetype i = FEntries.size() - 1; i >= 0; --i) {
        const TEntry &entry = FEntries.at(i);
        ok = Restore(entry.TargetHost, entry.Staged, entry.Backup, entry.Existed) && ok;
        targets.append(entry.TargetHost);
    }
    for (qsizetype i = FFolders.size() - 1; i >= 0; --i) {
        ::rmdir(FFolders.at(i).constData());
        targets.append(FFolders.at(i));
    }
    SyncFoldersOf(targets);
    FEntries.clear();
    FFolders.clear();
    if (ok) {
        CloseJournal();
    } else if (FJournal >= 0) {
        // What could not be put back is left to the next run, which finishes the journal.
        ::close(FJournal);
        FJournal = -1;
    }
    return undone;
}

TFileTransaction::TRecovery TFileTransaction::Recover()
{
    if (FJournal >= 0)
        return TRecovery::Nothing;
    QFile file(QFile::decodeName(JournalPath()));
    if (!file.exists())
        return TRecovery::Nothing;
    if (!file.open(QIODevice::ReadOnly))
        throw Os::EOSError(Os::ERROR_ACCESS_DENIED);
    const QList<QByteArray> records = file.readAll().split('\n');
    file.close();

    struct TStep {
        QByteArray Target, Staged, Backup;
        bool Existed;
    };
    QList<TStep> steps;
    QList<QByteArray> folders;
    bool placed = false;
    for (const QByteArray &record : records) {
        const QList<QByteArray> fields = record.split(' ');
        const QByteArray &kind = fields.at(0);
        if (kind == "run" && fields.size() == 2 && ProcessAlive(fields.at(1).toLongLong()))
            throw Os::Exception(
                QStringLiteral("The update journal %1 belongs to a wizard still running (%2)")
                    .arg(QFile::decodeName(JournalPath()), QString::fromLatin1(fields.at(1))));
        if (kind == "stage" && fields.size() == 5)
            steps.append({ QByteArray::fromPercentEncoding(fields.at(1)),
                QByteArray::fromPercentEncoding(fields.at(2)), QByteArray::fromPercentEncoding(fields.at(3)),
                fields.at(4) == "1" });
        else if (kind == "dir" && fields.size() == 2)
            folders.append(QByteArray::fromPercentEncoding(fields.at(1)));
        else if (kind == "placed")
            placed = true;
    }

    QList<QByteArray> touched;
    if (placed) {
        for (const TStep &step : std::as_const(steps)) {
            ::unlink(step.Backup.constData());
            ::unlink(step.Staged.constData());
        }
    } else {
        bool ok = true;
        for (qsizetype i = steps.size() - 1; i >= 0; --i) {
            const TStep &step = steps.at(i);
            ok = Restore(step.Target, step.Staged, step.Backup, step.Existed) && ok;
            touched.append(step.Target);
        }
        if (!ok)
            throw Os::EOSError(Os::ErrorFromErrno(errno));
        for (qsizetype i = folders.size() - 1; i >= 0; --i) {
            ::rmdir(folders.at(i).constData());
            touched.append(folders.at(i));
        }
        SyncFoldersOf(touched);
    }
    ::unlink(JournalPath().constData());
    return placed ? TRecovery::Completed : TRecovery::RolledBack;
}

void TFileTransaction::CatchSignals(bool on)
{
    if (on == gCatching)
        return;
    gCatching = on;
    if (on) {
        gSignal = 0;
        gSignalConsumed = false;
        struct sigaction action { };
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        for (int i = 0; i < 3; ++i)
            ::sigaction(CaughtSignals[i], &action, &gPrevious[i]);
        return;
    }
    for (int i = 0; i < 3; ++i)
        ::sigaction(CaughtSignals[i], &gPrevious[i], nullptr);
    // A signal that came after the last safe point still has its usual effect.
    if (gSignal != 0 && !gSignalConsumed) {
        const int signal = gSignal;
        gSignal = 0;
        ::raise(signal);
    }
}

bool TFileTransaction::Interrupted() { return gSignal != 0; }

void TFileTransaction::ThrowIfInterrupted()
{
    if (gSignal == 0)
        return;
    gSignalConsumed = true;
    throw EInterrupted();
}

void TFileTransaction::FailCommitAfterForTests(int placed) { gFailAfter = placed; }
