// Windows error codes on a POSIX host: the last error, errno mapping, system texts.
#include "oslayer/WinError.h"

#include "oslayer/Exceptions.h"

#include <cerrno>
#include <unordered_map>

namespace Os {

namespace {

thread_local uint32_t tLastError = ERROR_SUCCESS;

// The texts the system gives through FormatMessage in English, without the final CR LF.
// Only codes this program can meet are listed; a code missing here reads as unknown, which
// the callers turn into "code : N".
const std::unordered_map<uint32_t, const char *> &SystemTexts()
{
    static const std::unordered_map<uint32_t, const char *> texts = {
        { 0, "The operation completed successfully." },
        { 1, "Incorrect function." },
        { 2, "The system cannot find the file specified." },
        { 3, "The system cannot find the path specified." },
        { 4, "The system cannot open the file." },
        { 5, "Access is denied." },
        { 6, "The handle is invalid." },
        { 8, "Not enough memory resources are available to process this command." },
        { 14, "Not enough memory resources are available to complete this operation." },
        { 15, "The system cannot find the drive specified." },
        { 16, "The directory cannot be removed." },
        { 17, "The system cannot move the file to a different disk drive." },
        { 18, "There are no more files." },
        { 19, "The media is write protected." },
        { 20, "The system cannot find the device specified." },
        { 21, "The device is not ready." },
        { 23, "Data error (cyclic redundancy check)." },
        { 29, "The system cannot write to the specified device." },
        { 30, "The system cannot read from the specified device." },
        { 31, "A device attached to the system is not functioning." },
        { 32, "The process cannot access the file because it is being used by another process." },
        { 33, "The process cannot access the file because another process has locked a portion of the "
              "file." },
        { 38, "Reached the end of the file." },
        { 39, "The disk is full." },
        { 50, "The request is not supported." },
        { 53, "The network path was not found." },
        { 80, "The file exists." },
        { 82, "The directory or file cannot be created." },
        { 87, "The parameter is incorrect." },
        { 112, "There is not enough space on the disk." },
        { 122, "The data area passed to a system call is too small." },
        { 123, "The filename, directory name, or volume label syntax is incorrect." },
        { 126, "The specified module could not be found." },
        { 127, "The specified procedure could not be found." },
        { 145, "The directory is not empty." },
        { 161, "The specified path is invalid." },
        { 183, "Cannot create a file when that file already exists." },
        { 206, "The filename or extension is too long." },
        { 259, "No more data is available." },
        { 267, "The directory name is invalid." },
        { 1008, "An attempt was made to reference a token that does not exist." },
        { 1011, "The configuration registry key could not be opened." },
        { 1012, "The configuration registry key could not be read." },
        { 1013, "The configuration registry key could not be written." },
        { 1015, "The registry is corrupted. The structure of one of the files containing registry data is "
                "corrupted, or the system's memory image of the file is corrupted, or the file could not be "
                "recovered because the alternate copy or log was absent or corrupted." },
        { 1018, "Illegal operation attempted on a registry key that has been marked for deletion." },
        { 1117, "The request could not be performed because of an I/O device error." },
        { 1223, "The operation was canceled by the user." },
        { 1245, "The operation being requested was not performed because the user has not logged on to "
                "the network. The specified service does not exist." },
        { 1392, "The file or directory is corrupted and unreadable." },
        { 1921, "The name of the file cannot be resolved by the system." },
    };
    return texts;
}

} // namespace

uint32_t GetLastError()
{
    return tLastError;
}

void SetLastError(uint32_t code)
{
    tLastError = code;
}

uint32_t ErrorFromErrno(int err)
{
    switch (err) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EROFS:
        return ERROR_WRITE_PROTECT;
    case EBUSY:
    case ETXTBSY:
        return ERROR_SHARING_VIOLATION;
    case EAGAIN:
        return ERROR_LOCK_VIOLATION;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case EXDEV:
        return ERROR_NOT_SAME_DEVICE;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ELOOP:
        return 1921; // ERROR_CANT_RESOLVE_FILENAME
    case ENXIO:
    case ENODEV:
    case ENOMEDIUM:
        return ERROR_NOT_READY;
    case EIO:
        return 1117; // ERROR_IO_DEVICE
    case ENOTSUP:
        return ERROR_NOT_SUPPORTED;
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ECONNREFUSED:
        return ERROR_BAD_NETPATH;
    default:
        return 31; // ERROR_GEN_FAILURE
    }
}

QString SysErrorMessage(uint32_t code)
{
    const auto &texts = SystemTexts();
    const auto it = texts.find(code);
    return it == texts.end() ? QString() : QString::fromLatin1(it->second);
}

QString OSErrorText(uint32_t code)
{
    return QStringLiteral("Erreur système.  Code : %1.\r\n%2").arg(code).arg(SysErrorMessage(code));
}

void RaiseLastOSError()
{
    throw EOSError(GetLastError());
}

EOSError::EOSError(uint32_t code) : Exception(OSErrorText(code)), FErrorCode(code) {}

} // namespace Os
