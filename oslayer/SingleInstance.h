// The named semaphore of the single-instance rule, as an advisory lock (flock) on a file
// named with the application title and a scope in the per-user runtime folder; the
// system drops it when the process ends, also after a crash.
#pragma once

#include <QString>

namespace Os {

class InstanceLock {
public:
    // Under Wine named objects live per wineserver, that is per prefix: the wizard passes
    // the prefix as the scope, so that wizards on two prefixes run side by side.
    explicit InstanceLock(const QString &title, const QString &scope = QString());
    ~InstanceLock();
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

    // The lock was created (a handle exists).
    bool Valid() const { return FFd >= 0; }
    // ERROR_ALREADY_EXISTS: another process holds it.
    bool AlreadyExisted() const { return FAlreadyExisted; }

private:
    int FFd = -1;
    bool FAlreadyExisted = false;
};

// One wizard per prefix whatever its file name and whoever runs it: an advisory lock on
// <prefix>/.dremlix-update/lock. The window's lock above only keeps one copy per user and
// title; this one lives where every copy and every user meets, the prefix itself.
class PrefixLock {
public:
    // Takes the lock, making the folder (0700) and the file when they are missing; with
    // create false nothing is made, and a missing folder means that nobody holds it.
    explicit PrefixLock(const QString &prefixHostPath, bool create = true);
    ~PrefixLock();
    PrefixLock(const PrefixLock &) = delete;
    PrefixLock &operator=(const PrefixLock &) = delete;

    bool HeldByAnother() const { return FHeldByAnother; }
    // Why the lock could not be taken or checked (empty when it was, or when another holds it).
    const QString &Error() const { return FError; }

private:
    int FFd = -1;
    bool FHeldByAnother = false;
    QString FError;
};

} // namespace Os
