// The user texts of the platform helpers, in one place.
#pragma once

#include <QString>

namespace PlatformTexts {

// Error reports
inline QString CopyErrorCannotCopy() { return QStringLiteral("Copia archivio impossibile :"); }
inline QString CopyErrorTarget() { return QStringLiteral("Destinazione :"); }
inline QString DeleteErrorCannotDelete() { return QStringLiteral("l'archivio non può essere eliminato!"); }
inline QString AttributeErrorCannotChange()
{
    return QStringLiteral("Non può modificare gli attributi dell'archivio: ");
}
inline QString SysErrorUnknownCode() { return QStringLiteral("code : "); }
inline QString GetComputerNameFailed() { return QStringLiteral("GetComputerName "); }

// Registry
inline QString RegistryReadImpossible()
{
    return QStringLiteral("Lettura di un valore di registro umpossibile : \r\nControllare i vostri diritti di accesso.");
}
inline QString RegistryWriteImpossible()
{
    return QStringLiteral(
        "Scrittura di un valore di registro umpossibile : \r\nControllare i vostri diritti di accesso.");
}

// Versions
inline QString FileNotFound() { return QStringLiteral("File not found : "); }

// Installer helpers
inline QString NoWineboot()
{
    return QStringLiteral("Cannot restart: the program \"wineboot\" that restarts the Windows environment was not found.");
}
inline QString WinebootFailed() { return QStringLiteral("Cannot restart: \"wineboot -r\" failed.\r\n"); }
inline QString ShellLinkUnreadable() { return QStringLiteral("The file is not a shell link : "); }
inline QString ShellLinkSaveFailed() { return QStringLiteral("Cannot save the shell link : "); }

// File installation
inline QString BackupDirMissing() { return QStringLiteral("Backup directry does not exist :\r\n"); }
inline QString NoUniqueFileName() { return QStringLiteral("Cannot find unique filename for\r\n"); }
inline QString CannotMove() { return QStringLiteral("Cannot move : \r\n"); }
inline QString CannotMoveTo() { return QStringLiteral(" to"); }
inline QString TooManyFiles() { return QStringLiteral("Error Too many files in dir"); }
inline QString SharedDllsAccessError()
{
    return QStringLiteral("Registry access error : \r\nSoftware\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs");
}
inline QString DirectoryMissing() { return QStringLiteral("Directory does not exist :\r\n"); }
inline QString CannotCreateDirectory() { return QStringLiteral("Cannot create directory :\r\n"); }
inline QString NoUniqueDirectory() { return QStringLiteral("Cannot create unique directory in\r\n"); }

} // namespace PlatformTexts

namespace PlatformTexts {

// The shell's file operation, in the words of the environment's own shell
inline QString ConfirmDeleteOne() { return QStringLiteral("Are you sure you want to delete '%1'?"); }
inline QString ConfirmDeleteMany() { return QStringLiteral("Are you sure you want to delete these %1 items?"); }
inline QString ConfirmReplace()
{
    return QStringLiteral("This folder already contains a file called '%1'.\r\n\r\nDo you want to replace it?");
}
inline QString CannotDelete() { return QStringLiteral("Cannot delete %1:\r\n"); }
inline QString CannotCopy() { return QStringLiteral("Cannot copy %1:\r\n"); }
inline QString CannotMoveItem() { return QStringLiteral("Cannot move %1:\r\n"); }
inline QString CannotRename() { return QStringLiteral("Cannot rename %1:\r\n"); }
inline QString CopyOfPrefix() { return QStringLiteral("Copy of "); }
inline QString CopyNOfPrefix() { return QStringLiteral("Copy (%1) of "); }

} // namespace PlatformTexts
