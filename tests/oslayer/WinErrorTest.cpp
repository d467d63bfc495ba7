// Windows error codes: the texts a person reads in the report and the errno mapping.
#include "oslayer/Exceptions.h"
#include "oslayer/WinError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

using namespace Os;

TEST(WinError, SystemTextsAsWindowsWordsThem)
{
    const std::pair<uint32_t, const char *> rows[] = {
        { 2, "The system cannot find the file specified." },
        { 3, "The system cannot find the path specified." },
        { 5, "Access is denied." },
        { 15, "The system cannot find the drive specified." },
        { 19, "The media is write protected." },
        { 21, "The device is not ready." },
        { 32, "The process cannot access the file because it is being used by another process." },
        { 33, "The process cannot access the file because another process has locked a portion of the file." },
        { 39, "The disk is full." },
        { 53, "The network path was not found." },
        { 80, "The file exists." },
        { 87, "The parameter is incorrect." },
        { 112, "There is not enough space on the disk." },
        { 123, "The filename, directory name, or volume label syntax is incorrect." },
        { 183, "Cannot create a file when that file already exists." },
        { 267, "The directory name is invalid." },
        { 1245, "The operation being requested was not performed because the user has not logged on to the "
                "network. The specified service does not exist." },
    };
    for (const auto &[code, text] : rows)
        EXPECT_EQ(SysErrorMessage(code), QString::fromLatin1(text)) << code;
    EXPECT_TRUE(SysErrorMessage(4242).isEmpty());
}

TEST(WinError, OsErrorCarriesTheRuntimeText)
{
    const EOSError error(5);
    EXPECT_EQ(error.ErrorCode(), 5u);
    EXPECT_EQ(error.Message(), QStringLiteral("Erreur système.  Code : 5.\r\nAccess is denied."));
    SetLastError(32);
    try {
        RaiseLastOSError();
    } catch (const EOSError &raised) {
        EXPECT_EQ(raised.ErrorCode(), 32u);
        EXPECT_TRUE(raised.Message().startsWith(QStringLiteral("Erreur système.  Code : 32.\r\nThe process")));
    }
}

TEST(WinError, ErrnoMapsToTheCodeWin32WouldSet)
{
    const std::pair<int, uint32_t> rows[] = {
        { ENOENT, 2 }, { ENOTDIR, 3 }, { EACCES, 5 }, { EPERM, 5 }, { EEXIST, 80 }, { ENOSPC, 112 },
        { EDQUOT, 112 }, { EROFS, 19 }, { ETXTBSY, 32 }, { EBUSY, 32 }, { ENOTEMPTY, 145 }, { EXDEV, 17 },
        { ENAMETOOLONG, 206 }, { EMFILE, 4 }, { EINVAL, 87 }, { 0, 0 },
    };
    for (const auto &[err, code] : rows)
        EXPECT_EQ(ErrorFromErrno(err), code) << err;
}

TEST(WinError, LastErrorBelongsToTheThread)
{
    SetLastError(183);
    uint32_t other = 1;
    std::thread([&other] { other = GetLastError(); }).join();
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(GetLastError(), 183u);
}
