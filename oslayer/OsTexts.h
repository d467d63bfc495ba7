// The texts of the host layer: faults of the prefix that reach a person through the
// callers' error boxes. The program's own internal texts are English.
#pragma once

#include <QString>

namespace Os::Texts {

// %1 file, %2 line, %3 what is wrong
inline QString RegistryParseError()
{
    return QStringLiteral("The registry file %1 cannot be read: line %2: %3.");
}
// %1 file, %2 prefix
inline QString RegistryWineserverRunning()
{
    return QStringLiteral("The registry file %1 cannot be written while Wine runs programs in the prefix %2 "
                          "(its wineserver would overwrite the change). Close the Windows programs of the "
                          "prefix, or run \"wineserver -k\", then try again.");
}
// %1 prefix, %2 what Wine said
inline QString RegistryWineFailed()
{
    return QStringLiteral("Wine cannot be run on the prefix %1 to reach its registry while its programs run: %2");
}
// %1 key, %2 prefix, %3 what Wine said
inline QString RegistryWineWriteFailed()
{
    return QStringLiteral("The registry key %1 of the prefix %2 cannot be written through Wine: %3");
}
// %1 prefix
inline QString WinePrefixNeedsUpdate()
{
    return QStringLiteral("The prefix %1 must first be brought up to date for the installed Wine (\"wineboot -u\", "
                          "which can take minutes); the wizard does not start that while Windows programs of the "
                          "prefix run. Close them, or run \"wineboot -u\" in the prefix, then try again.");
}
// %1 file, %2 system text
inline QString RegistryWriteFailed()
{
    return QStringLiteral("The registry file %1 cannot be written: %2");
}
// %1 file, %2 system text
inline QString RegistryReadFailed()
{
    return QStringLiteral("The registry file %1 cannot be read: %2");
}
inline QString RegistryNotWineFile()
{
    return QStringLiteral("not a Wine registry file (first line \"WINE REGISTRY Version 2\" missing)");
}
inline QString RegistryBadKeyLine()
{
    return QStringLiteral("a key line must be [name] followed by an optional time");
}
inline QString RegistryBadValueLine()
{
    return QStringLiteral("a value line must be \"name\"=data or @=data");
}
inline QString RegistryBadData()
{
    return QStringLiteral("the data of the value cannot be read");
}
inline QString RegistryValueOutsideKey()
{
    return QStringLiteral("a value stands before the first key");
}
inline QString RegistryUnexpectedText()
{
    return QStringLiteral("unexpected text");
}
inline QString RegistryUnterminatedString()
{
    return QStringLiteral("a string is not closed");
}
// %1 the most levels a key may have
inline QString RegistryKeyTooDeep()
{
    return QStringLiteral("the key is deeper than %1 levels");
}

} // namespace Os::Texts
