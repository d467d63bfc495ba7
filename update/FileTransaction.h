// One run's changes to the installed files, all or nothing. Every new file is first staged
// beside its target (same folder, so same file system) while nothing installed changes; the
// commit then moves each original aside under a sibling name and renames the staged file in.
// A failure, a signal or a kill is undone by renaming the originals back.
//
// The journal (<prefix>/.dremlix-update/journal) holds the plan: for each target, its staged
// and backup names and whether it existed. Renames are atomic, so the state of each file
// can be read from the names on disk; the journal needs to reach the disk only before the
// first rename ("commit") and once every file is in place ("placed"). A later run finishes
// a journal it finds: forward when "placed" is there, back otherwise.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>
#include <exception>

// Raised at the next safe point once SIGTERM, SIGINT or SIGHUP arrived during a run.
class EInterrupted : public std::exception {
public:
    const char *what() const noexcept override { return "the update was interrupted by a signal"; }
};

class TFileTransaction {
public:
    struct TEntry {
        QString Target; // Windows path, as the report names it
        QByteArray TargetHost;
        QByteArray Staged;
        QByteArray Backup;
        bool Existed = false;
        qint64 Size = 0;
    };
    enum class TRecovery { Nothing, RolledBack, Completed };

    // stateFolder: the host folder of the wizard's state in the prefix.
    explicit TFileTransaction(QString stateFolder);
    // What was staged and never committed is undone.
    ~TFileTransaction();
    TFileTransaction(const TFileTransaction &) = delete;
    TFileTransaction &operator=(const TFileTransaction &) = delete;

    // Checks the target (a plain file nobody else holds, in a folder we may write) and stages
    // the source beside it: moved when movable and on the same file system, copied otherwise.
    // 0, or the Windows error; nothing installed changes either way.
    uint32_t Stage(const QString &source, bool movable, const QString &target);
    // Creates the missing folders of the path, each recorded so that a rollback removes it.
    uint32_t ForceFolder(const QString &folder);
    bool Pending() const { return !FEntries.isEmpty() || !FFolders.isEmpty(); }
    // The files staged so far, in the order they were staged.
    const QList<TEntry> &Entries() const { return FEntries; }

    // Puts every staged file in place. 0 when done (no backup is left), otherwise the error
    // with the target it concerns (empty when a signal stopped it); the caller rolls back.
    uint32_t Commit(QString &failedTarget);
    // Restores every replaced file, removes every added file and created folder; the
    // entries whose target the commit had reached (and so were put back), in the order
    // they were staged.
    QList<TEntry> RollBack();

    // Finishes a journal left by an earlier run. Raises Os::Exception when another live
    // wizard owns it or a file cannot be put back.
    TRecovery Recover();

    // Signal handling for the length of a run: the handler only sets a flag.
    static void CatchSignals(bool on);
    static bool Interrupted();
    static void ThrowIfInterrupted();
    // The next commit fails after this many files are in place (negative: never). Tests.
    static void FailCommitAfterForTests(int placed);

private:
    bool OpenJournal();
    bool Append(const QByteArray &record, bool flush);
    void CloseJournal();
    QByteArray JournalPath() const;

    QString FStateFolder;
    QByteArray FTag;
    int FJournal = -1;
    int FCounter = 0;
    QList<TEntry> FEntries;
    // How many entries, from the first, the commit has changed on disk.
    qsizetype FTouched = 0;
    QList<QByteArray> FFolders;
};
