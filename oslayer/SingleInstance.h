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

} // namespace Os
