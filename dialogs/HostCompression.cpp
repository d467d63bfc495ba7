#include "dialogs/HostCompression.h"

#include <QFile>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Dialogs {

bool IsHostFileCompressed(const QString &hostPath)
{
    const QByteArray native = QFile::encodeName(hostPath);
    // Only files and folders are opened: opening a device (a drive may reach /dev) can have
    // effects of its own, and a FIFO would block the listing.
    struct stat st {};
    if (::stat(native.constData(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)))
        return false;
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return false;
    int flags = 0;
    const bool compressed = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_COMPR_FL) != 0;
    ::close(fd);
    return compressed;
}

} // namespace Dialogs
