// Another process for the sharing and locking tests: this test program started again in
// a role (holding a file open, holding it mapped, holding the instance lock, copying).
#pragma once

#include <QString>
#include <QStringList>
#include <sys/types.h>

// Runs the role named in argv and returns its exit code, or -1 when argv names none.
int RunChildRole(int argc, char **argv);

class ChildProcess {
public:
    // Starts "<this program> <role> <arguments...>" and waits until it says it is ready.
    ChildProcess(const QString &role, const QStringList &arguments);
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    bool Ready() const { return FReady; }
    pid_t Pid() const { return FPid; }
    // SIGKILL, then reaps it: nothing of the child runs after this returns.
    void Kill();
    // Waits for the end and gives the exit code (-1 when killed).
    int Wait();

private:
    pid_t FPid = -1;
    bool FReady = false;
};
