// The roles of the second process, and starting it.
#include "ChildProcess.h"

#include "oslayer/Files.h"
#include "oslayer/SingleInstance.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void SayReady()
{
    const char text[] = "ready\n";
    [[maybe_unused]] const ssize_t n = ::write(STDOUT_FILENO, text, sizeof text - 1);
}

[[noreturn]] void WaitForever()
{
    for (;;)
        ::pause();
}

} // namespace

int RunChildRole(int argc, char **argv)
{
    if (argc < 3)
        return -1;
    const QByteArray role = argv[1];
    if (role == "--hold-open") {
        const int fd = ::open(argv[2], O_RDONLY);
        if (fd < 0)
            return 2;
        SayReady();
        WaitForever();
    }
    if (role == "--hold-open-write") {
        const int fd = ::open(argv[2], O_WRONLY);
        if (fd < 0)
            return 2;
        SayReady();
        WaitForever();
    }
    if (role == "--hold-mapped") {
        // Only the mapping stays, as with a program image: no descriptor is left open.
        const int fd = ::open(argv[2], O_RDONLY);
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size == 0)
            return 2;
        void *map = ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        ::close(fd);
        if (map == MAP_FAILED)
            return 2;
        SayReady();
        WaitForever();
    }
    if (role == "--hold-lock") {
        // argv[2] title; the runtime folder comes from XDG_RUNTIME_DIR.
        Os::InstanceLock lock(QString::fromUtf8(argv[2]));
        if (!lock.Valid() || lock.AlreadyExisted())
            return 3;
        SayReady();
        WaitForever();
    }
    if (role == "--as-user" && argc >= 4) {
        // Drops root for another user (argv[2], a number; its own group too), then plays the role.
        const auto user = uid_t(std::strtoul(argv[2], nullptr, 10));
        if (::setgroups(0, nullptr) != 0 || ::setresgid(user, user, user) != 0
            || ::setresuid(user, user, user) != 0)
            return 4;
        return RunChildRole(argc - 2, argv + 2);
    }
    if (role == "--in-use") // exit code 1 when another process holds the file, else 0
        return Os::HostFileInUse(QString::fromUtf8(argv[2])) ? 1 : 0;
    if (role == "--copy" && argc >= 4) {
        SayReady();
        return Os::CopyFile(QString::fromUtf8(argv[2]), QString::fromUtf8(argv[3]), false) ? 0 : 1;
    }
    return -1;
}

ChildProcess::ChildProcess(const QString &role, const QStringList &arguments)
{
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return;
    QList<QByteArray> args;
    args.append(QByteArray("/proc/self/exe"));
    args.append(role.toUtf8());
    for (const QString &a : arguments)
        args.append(a.toUtf8());
    std::vector<char *> argv;
    for (QByteArray &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    // The path is resolved before fork: after it, /proc/self is the child.
    char self[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return;
    FPid = ::fork();
    if (FPid == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        ::execv(self, argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    if (FPid < 0) {
        ::close(pipeFds[0]);
        return;
    }
    char buffer[16] = {};
    pollfd p { pipeFds[0], POLLIN, 0 };
    if (::poll(&p, 1, 10000) > 0 && ::read(pipeFds[0], buffer, sizeof buffer - 1) > 0)
        FReady = std::strncmp(buffer, "ready", 5) == 0;
    ::close(pipeFds[0]);
}

ChildProcess::~ChildProcess()
{
    Kill();
}

void ChildProcess::Kill()
{
    if (FPid <= 0)
        return;
    ::kill(FPid, SIGKILL);
    int status = 0;
    while (::waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
    }
    FPid = -1;
}

int ChildProcess::Wait()
{
    if (FPid <= 0)
        return -1;
    int status = 0;
    while (::waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
    }
    FPid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
