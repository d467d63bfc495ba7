#include "Common/Interbase/AcceptedVersions.h"

#include "oslayer/Exceptions.h"

#include <QStringList>

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

namespace {

TVersionPattern PatternOf(const QString &field)
{
    if (field.endsWith(QLatin1Char('*')))
        return TVersionPattern::StartingWith(field.left(field.size() - 1));
    return TVersionPattern::Exact(field);
}

} // namespace

TAcceptedVersionTable ParseAcceptedVersions(const QStringList &lines)
{
    TAcceptedVersionTable table;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        if (line.trimmed().isEmpty())
            continue;
        const QStringList fields = line.split(QLatin1Char('\t'));
        const auto refuse = [&](const QString &why) {
            throw Os::Exception(QStringLiteral("Servers.txt, line %1: %2: %3").arg(i + 1).arg(why, line));
        };
        if (fields.size() != 3)
            refuse(QStringLiteral("expected client version, tab, server version, tab, server type"));
        if (fields.at(0).isEmpty() || fields.at(1).isEmpty())
            refuse(QStringLiteral("empty version text"));
        TIBServerType type = UnknownServer;
        const QString family = fields.at(2).trimmed();
        if (family == QLatin1String("Firebird10"))
            type = Firebird10;
        else if (family == QLatin1String("Firebird15"))
            type = Firebird15;
        else if (family == QLatin1String("Firebird25"))
            type = Firebird25;
        else
            refuse(QStringLiteral("unknown server type \"%1\"").arg(family));
        table.append({ PatternOf(fields.at(0)), PatternOf(fields.at(1)), type });
    }
    return table;
}
