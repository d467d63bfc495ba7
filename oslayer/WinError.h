// Windows error codes, the thread's last error, and their English system texts.
#pragma once

#include <QString>
#include <cstdint>

namespace Os {

enum WinErrorCode : uint32_t {
    ERROR_SUCCESS = 0,
    ERROR_INVALID_FUNCTION = 1,
    ERROR_FILE_NOT_FOUND = 2,
    ERROR_PATH_NOT_FOUND = 3,
    ERROR_TOO_MANY_OPEN_FILES = 4,
    ERROR_ACCESS_DENIED = 5,
    ERROR_INVALID_HANDLE = 6,
    ERROR_NOT_ENOUGH_MEMORY = 8,
    ERROR_INVALID_DRIVE = 15,
    ERROR_NOT_SAME_DEVICE = 17,
    ERROR_NO_MORE_FILES = 18,
    ERROR_WRITE_PROTECT = 19,
    ERROR_NOT_READY = 21,
    ERROR_SHARING_VIOLATION = 32,
    ERROR_LOCK_VIOLATION = 33,
    ERROR_HANDLE_DISK_FULL = 39,
    ERROR_NOT_SUPPORTED = 50,
    ERROR_BAD_NETPATH = 53,
    ERROR_FILE_EXISTS = 80,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_DISK_FULL = 112,
    ERROR_INSUFFICIENT_BUFFER = 122,
    ERROR_INVALID_NAME = 123,
    ERROR_MOD_NOT_FOUND = 126,
    ERROR_PROC_NOT_FOUND = 127,
    ERROR_DIR_NOT_EMPTY = 145,
    ERROR_ALREADY_EXISTS = 183,
    ERROR_FILENAME_EXCED_RANGE = 206,
    ERROR_NO_MORE_ITEMS = 259,
    ERROR_DIRECTORY = 267,
    ERROR_NOT_LOGGED_ON = 1245,
    ERROR_NO_TOKEN = 1008,
    ERROR_CANTOPEN = 1011,
    ERROR_CANTREAD = 1012,
    ERROR_CANTWRITE = 1013,
    ERROR_REGISTRY_CORRUPT = 1015,
    ERROR_KEY_DELETED = 1018,
};

// The calling thread's last error, as GetLastError/SetLastError keep it.
uint32_t GetLastError();
void SetLastError(uint32_t code);

// Maps an errno value to the Windows code a Win32 call would have set.
uint32_t ErrorFromErrno(int err);

// The system's English message for a code (as FormatMessage gives it, with its
// trailing CR LF removed); empty for codes the system does not know.
QString SysErrorMessage(uint32_t code);

// The runtime's text for a failed call: "Erreur système.  Code : %d.\r\n%s".
QString OSErrorText(uint32_t code);

// Raises EOSError for the thread's last error.
[[noreturn]] void RaiseLastOSError();

} // namespace Os
