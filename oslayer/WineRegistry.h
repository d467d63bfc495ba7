// The registry as Wine itself sees it, for the time a wineserver runs for the prefix: the
// server then holds the keys in memory and writes the hive files only now and then and when
// it exits, so the files may be stale and a write into them would be overwritten.
// `reg export` and `reg import`, run under Wine, reach the running server.
#pragma once

#include "oslayer/Registry.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <memory>

namespace Os {

class Wine {
public:
    // The wine program: $WINE when set, else `wine` on the PATH, else Debian's
    // /usr/lib/wine/wine64. Empty when there is none.
    static QString Program();
    // Wine would bring the prefix up to date (wineboot) before it runs anything: the
    // prefix's .update-timestamp does not name the time of the installed wine.inf.
    static bool PrefixNeedsUpdate();
    // Wine processes the registry started in this process (figures for the benchmarks).
    static int Calls();
};

namespace Detail {

class Hive;

// A key and everything below it, as a path under its root (empty: the whole root).
struct WineKey {
    RegRoot Root = RegRoot::CurrentUser;
    QStringList Path;
};

// What one export gave for a key: its keys, or null when the key does not exist.
struct WineExported {
    WineKey Key;
    std::shared_ptr<Hive> Keys;
};

// One Wine call exporting every key asked (the native view: paths are real keys, with
// Wow6432Node where the 32-bit view leads). Raises ERegistryError when Wine cannot be run.
QList<WineExported> WineExport(const QList<WineKey> &keys);

// One registry change in the form of a .reg file's lines.
struct WineChange {
    enum Kind { SetValue, DeleteValue, CreateKey, DeleteTree } What = SetValue;
    WineKey Key;
    QString Name;
    RegValue Value;
};

// Imports the change and exports its key in the same Wine call; the export tells whether
// the change holds. Raises ERegistryError when Wine cannot be run; otherwise gives an empty
// text when the change holds, else what Wine said.
QString WineApply(const WineChange &change);

// Whether the change is what hive shows (hive null: the key does not exist).
bool ChangeHolds(const WineChange &change, Hive *hive);

// A file in the format `reg export` writes (UTF-16 "Windows Registry Editor Version 5.00",
// or REGEDIT4) as Wine's hive text, so that one parser reads both.
QByteArray HiveTextFromRegFile(const QByteArray &regFile, bool machineHive, bool win64);
// The .reg text of a change, as `reg import` reads it.
QByteArray RegFileOfChange(const WineChange &change);

} // namespace Detail
} // namespace Os
