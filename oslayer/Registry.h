// The Windows registry on the prefix's two hives, system.reg (HKEY_LOCAL_MACHINE)
// and user.reg (HKEY_CURRENT_USER), in Wine's text format.
//
// The calls follow the Win32 registry API: they return a Windows error code
// (0 on success, 2 for a missing key or value, 5 for a denied access) instead of
// raising, because callers branch on missing keys all the time. Faults of the hive
// file itself (a line that does not parse, a wineserver holding the prefix, a write
// that fails on disk) raise ERegistryError with the file and the reason.
#pragma once

#include "oslayer/Exceptions.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>

namespace Os {

enum RegValueType : uint32_t {
    REG_NONE = 0,
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4,
    REG_DWORD_BIG_ENDIAN = 5,
    REG_LINK = 6,
    REG_MULTI_SZ = 7,
    REG_QWORD = 11,
};

enum RegAccess : uint32_t {
    KEY_QUERY_VALUE = 0x0001,
    KEY_SET_VALUE = 0x0002,
    KEY_CREATE_SUB_KEY = 0x0004,
    KEY_ENUMERATE_SUB_KEYS = 0x0008,
    KEY_NOTIFY = 0x0010,
    KEY_READ = 0x20019,
    KEY_WRITE = 0x20006,
    KEY_ALL_ACCESS = 0xF003F,
    // The view of HKEY_LOCAL_MACHINE\Software on a win64 prefix: without either flag a
    // 32-bit program sees Software\Wow6432Node; KEY_WOW64_64KEY asks for the native keys
    // (Wine's own settings such as Software\Wine\Drives live there).
    KEY_WOW64_64KEY = 0x0100,
    KEY_WOW64_32KEY = 0x0200,
};

enum class RegRoot { CurrentUser, LocalMachine };

class ERegistryError : public Exception {
public:
    using Exception::Exception;
};

// A value as the registry stores it: its kind and its raw bytes (strings in UTF-16LE
// with their terminating NUL, as Windows keeps them).
struct RegValue {
    uint32_t Type = REG_NONE;
    QByteArray Data;

    static RegValue FromString(const QString &text, uint32_t type = REG_SZ);
    static RegValue FromDword(uint32_t value);
    static RegValue FromMultiString(const QStringList &items);
    static RegValue FromBinary(const QByteArray &bytes, uint32_t type = REG_BINARY);

    QString AsString() const;        // REG_SZ, REG_EXPAND_SZ (unexpanded), first item of REG_MULTI_SZ
    uint32_t AsDword() const;        // REG_DWORD (and 1 to 4 little-endian bytes of any kind)
    QStringList AsMultiString() const;
};

class RegKey {
public:
    RegKey();
    ~RegKey();
    RegKey(RegKey &&) noexcept;
    RegKey &operator=(RegKey &&) noexcept;

    // RegOpenKeyEx: the path is below the root ("Software\\DREMLIX S.A.\\Orvanta"),
    // found without regard to case. Asking for write access on a hive file that
    // cannot be written gives 5, as a denied key does.
    static uint32_t Open(RegRoot root, const QString &path, uint32_t access, RegKey &key);
    // RegCreateKeyEx: opens, creating the key and its missing parents.
    static uint32_t Create(RegRoot root, const QString &path, uint32_t access, RegKey &key);
    // RegDeleteKey: deletes a key without subkeys. DeleteTree removes it with everything below.
    // RegDeleteKeyEx: the view flags (KEY_WOW64_64KEY) of access choose the keys.
    static uint32_t DeleteKey(RegRoot root, const QString &path, uint32_t access = 0);
    static uint32_t DeleteTree(RegRoot root, const QString &path, uint32_t access = 0);

    bool IsOpen() const;
    uint32_t Access() const;

    uint32_t QueryValue(const QString &name, RegValue &value) const; // "" = the default value
    bool ValueExists(const QString &name) const;
    uint32_t SetValue(const QString &name, const RegValue &value);
    uint32_t DeleteValue(const QString &name);
    QStringList SubKeyNames() const;
    QStringList ValueNames() const;
    void Close();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// The host file of a root's hive in the current prefix.
QString HiveFilePath(RegRoot root);
// Parsed hives are kept while their file keeps its inode, size and modification time;
// this forgets them (benchmarks measure a cold read with it).
void ClearRegistryCache();

} // namespace Os
