// Version information of files: the fixed version numbers, the string table of the
// first translation, and the last-write times the version comparison falls back on.
// Every call reads the file afresh; a bare name ("gds32.dll") follows the DLL search.
#pragma once

#include "oslayer/Files.h"
#include "oslayer/VersionResource.h"

#include <QString>
#include <cstdint>

// The version strings of a file; every missing value is empty.
struct TjdFileVersionInfo {
    QString LangId;          // language of the first translation, 4 upper-case hex digits
    QString LangName;        // the system's name of that language, at most 80 characters
    QString CharSet;         // code page of the first translation, 4 upper-case hex digits
    QString CompanyName;
    QString FileDescription;
    QString FileVersion;
    QString InternalName;
    QString LegalCopyRight;
    QString LegalTradeMark;  // the value "LegalTrademarks"
    QString OriginalFileName;
    QString ProductName;
    QString ProductVersion;
    QString Comments;
};

// An empty name describes the running program.
TjdFileVersionInfo ReadVersionInfo(const QString &fileName);
// The string valueName of the first translation's block; for an empty valueName the
// translation code itself (8 hex digits, "041004E4"). Empty when anything is missing.
QString QueryVersionString(const QString &fileName, const QString &valueName);
// Hex digits (spaces skipped) to a number; 0 for an empty text, one longer than 8
// characters, or one with any other character.
int32_t HexToInt(const QString &text);
// The "FileVersion" string of the first translation; "?" when the file has no version
// information (and also when it has no translation table).
QString GetFileVersionString(const QString &fileName);
bool GetFixedFileInfo(const QString &fileName, Os::FixedFileInfo &info);
bool GetFixedFileVersion(const QString &fileName, uint32_t &versionMS, uint32_t &versionLS);
// Last-write time of a file (not a folder): UTC, or converted to local time.
// False and a zero time when there is no such file.
bool GetFileWriteTime(const QString &fileName, Os::FileTime &time);
bool GetFileLocalWriteTime(const QString &fileName, Os::FileTime &time);
