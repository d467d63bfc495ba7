// The Firebird client and server versions the products were released for. One table
// serves both checks: a client is known when some row names it, and a connection
// stands only when one row names both its client and its server.
#pragma once

#include <QList>
#include <QString>

enum TIBServerType { UnknownServer, Firebird10, Firebird15, Firebird25 };

// A version text as a row names it: the whole text, or (for a family whose builds all
// work together) its first characters.
struct TVersionPattern {
    QString Text;
    bool Prefix = false;

    static TVersionPattern Exact(const QString &text) { return { text, false }; }
    static TVersionPattern StartingWith(const QString &text) { return { text, true }; }
    // Exact and case-sensitive; a prefix compares the first characters of the version
    // (all of it when it is shorter).
    bool Matches(const QString &version) const;
};

struct TAcceptedVersion {
    TVersionPattern Client;
    TVersionPattern Server;
    TIBServerType ServerType = UnknownServer;
};

using TAcceptedVersionTable = QList<TAcceptedVersion>;

// The released combinations, in the order the server check tries them.
const TAcceptedVersionTable &DefaultAcceptedVersions();

// The pairs an update certifies instead of the released ones, one a line: client version
// text, a tab, server version text, a tab, the family ("Firebird10", "Firebird15",
// "Firebird25"). A version text ending in "*" names every text that begins with what
// comes before it; otherwise the text must be the same. Empty lines are skipped; any other
// line that is not three such fields raises, naming its number, so that a mistyped pin
// cannot quietly refuse (or admit) a site's server.
TAcceptedVersionTable ParseAcceptedVersions(const QStringList &lines);

// Whether a text begins with "WI-V2.5".
bool IsFirebird25Version(const QString &version);

// Whether some row accepts this client version.
bool IsAcceptedClientVersion(const TAcceptedVersionTable &table, const QString &clientVersion);
// The family of the first row that names both; UnknownServer when none does.
TIBServerType FindServerType(
    const TAcceptedVersionTable &table, const QString &clientVersion, const QString &serverVersion);
