// The Windows environment the program runs against: a Wine-style prefix.
#pragma once

#include <QString>

namespace Os {

// The prefix folder: set explicitly (tests, the demo), else $WINEPREFIX, else ~/.wine.
// Every other part of the host layer asks this for its root.
class Environment {
public:
    static QString PrefixRoot();
    // Tests point the layer at a temporary prefix; an empty path goes back to the default.
    static void SetPrefixRoot(const QString &hostPath);
    // What SetPrefixRoot set (empty when the default applies), so that a test can put it back.
    static QString ExplicitPrefixRoot();

    // "#arch=win64" in the hives: HKLM\Software is seen through Wow6432Node,
    // system32 is syswow64 and the program-files folder is "Program Files (x86)".
    static bool IsWin64Prefix();

    // A wineserver serves the prefix: its socket in /tmp/.wine-<uid>/server-<dev>-<inode>/
    // answers, or a wineserver process works in that folder or names the prefix in its
    // WINEPREFIX. Wine then owns the hives and rewrites them from memory when it exits.
    static bool WineserverRunning();
    // The server folder Wine uses for the prefix (it need not exist).
    static QString WineserverFolder();

    // The running executable (the wizard), as a host path. Tests may set another
    // file to stand for it (its resources are then read from that file). A wizard started
    // by the launcher of a self-contained wizard is the file named by DREMLIX_WIZARD_FILE.
    static QString OwnExecutableHostPath();
    static void SetOwnExecutableHostPath(const QString &hostPath);
};

} // namespace Os
