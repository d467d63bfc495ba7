#include "Common/Interbase/AcceptedVersions.h"

namespace {

const QString Firebird25Prefix = QStringLiteral("WI-V2.5");

} // namespace

bool TVersionPattern::Matches(const QString &version) const
{
    if (Prefix)
        return version.left(Text.size()) == Text;
    return version == Text;
}

const TAcceptedVersionTable &DefaultAcceptedVersions()
{
    using P = TVersionPattern;
    static const TAcceptedVersionTable table = {
        { P::Exact(QStringLiteral("WI-V1.0.0.794")), P::Exact(QStringLiteral("WI-V6.2.794 Firebird 1.0")),
            Firebird10 },
        { P::Exact(QStringLiteral("WI-V1.0.2.908")), P::Exact(QStringLiteral("WI-V6.2.908 Firebird 1.0")),
            Firebird10 },
        { P::Exact(QStringLiteral("WI-V6.3.0.4290")), P::Exact(QStringLiteral("WI-V1.5.0.4290 Firebird 1.5")),
            Firebird15 },
        { P::Exact(QStringLiteral("WI-V6.3.0.4290")), P::Exact(QStringLiteral("WI-V1.5.1.4481 Firebird 1.5")),
            Firebird15 },
        { P::Exact(QStringLiteral("WI-V6.3.2.4731")), P::Exact(QStringLiteral("WI-V1.5.2.4731 Firebird 1.5")),
            Firebird15 },
        { P::StartingWith(Firebird25Prefix), P::StartingWith(Firebird25Prefix), Firebird25 },
    };
    return table;
}

bool IsFirebird25Version(const QString &version)
{
    return TVersionPattern::StartingWith(Firebird25Prefix).Matches(version);
}

bool IsAcceptedClientVersion(const TAcceptedVersionTable &table, const QString &clientVersion)
{
    for (const TAcceptedVersion &row : table) {
        if (row.Client.Matches(clientVersion))
            return true;
    }
    return false;
}

TIBServerType FindServerType(
    const TAcceptedVersionTable &table, const QString &clientVersion, const QString &serverVersion)
{
    for (const TAcceptedVersion &row : table) {
        if (row.Client.Matches(clientVersion) && row.Server.Matches(serverVersion))
            return row.ServerType;
    }
    return UnknownServer;
}
