// A transaction on one attachment.
#pragma once

#include <QStringList>
#include <cstdint>
#include <vector>

namespace Db {

class TDatabase;
class TStatement;

class TTransaction {
public:
    TTransaction();
    explicit TTransaction(TDatabase *database);
    ~TTransaction(); // rolls back when active, ignoring errors
    TTransaction(const TTransaction &) = delete;
    TTransaction &operator=(const TTransaction &) = delete;

    const QString &Name() const { return FName; }
    void SetName(const QString &name) { FName = name; }

    TDatabase *DefaultDatabase() const { return FDatabase; }
    void SetDefaultDatabase(TDatabase *database);

    // Parameter names in order: write, read, nowait, read_committed, rec_version,
    // no_rec_version, concurrency. Empty gives the server default (concurrency,
    // write, wait). A name outside the list raises at Start before the server is
    // contacted.
    QStringList &Params() { return FParams; }
    const QStringList &Params() const { return FParams; }
    void SetParams(const QStringList &params) { FParams = params; }

    // Free for the caller: the layers above keep their nesting depth in it.
    int32_t Tag() const { return FTag; }
    void SetTag(int32_t tag) { FTag = tag; }

    bool Active() const { return FHandle != 0; }

    // Raises when already active, without a database, or when the database is
    // not attached (unless it may reattach, see TDatabase::AutoReconnect).
    void Start();
    // Commit and Rollback end the transaction and close the open cursors of the
    // queries that run in it; the *Retaining forms keep it (and them) open.
    void Commit();
    void CommitRetaining();
    void Rollback();
    void RollbackRetaining();

    unsigned int *Handle() { return &FHandle; }
    // Called by the database when its attachment ends: the handle is gone.
    void Forget();
    void Attach(TStatement *statement);
    void Detach(TStatement *statement);

private:
    void CheckActive(const char *operation) const;
    void CloseCursors();

    QString FName;
    TDatabase *FDatabase = nullptr;
    QStringList FParams;
    int32_t FTag = 0;
    unsigned int FHandle = 0;
    std::vector<TStatement *> FStatements;
};

} // namespace Db
