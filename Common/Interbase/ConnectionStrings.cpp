#include "Common/Interbase/ConnectionStrings.h"

#include "Common/Interbase/InterbaseTexts.h"
#include "oslayer/Exceptions.h"
#include "oslayer/Paths.h"

namespace {

// File parts are cut where the services API of the released servers cut them.
constexpr int MaxFilePart = 255;

} // namespace

TConnectionType GetConnectionType(const QString &connectionString)
{
    const QString &s = connectionString;
    if (s.isEmpty())
        return ibctTCPIP;
    if (s.contains(QStringLiteral(":/")))
        return ibctUNIX;
    if (s.contains(QStringLiteral("\\\\")))
        return ibctNetBEUI;
    if (s.contains(QLatin1Char('@')))
        return ibctNetWare;
    const qsizetype colon = s.indexOf(QLatin1Char(':'));
    const qsizetype colonBackslash = s.indexOf(QStringLiteral(":\\"));
    // A host, a colon, then a drive path: the drive's colon-backslash follows the
    // host's colon after exactly one letter.
    if (colon >= 0 && colonBackslash >= 0 && colonBackslash - colon == 2)
        return ibctTCPIP;
    if (colonBackslash == 1)
        return ibctLocal;
    return ibctUnknown;
}

void SplitConnectionString(const QString &connectionString, QString &serverName, QString &fileName)
{
    switch (GetConnectionType(connectionString)) {
    case ibctLocal:
        serverName.clear();
        fileName = connectionString;
        return;
    case ibctTCPIP: {
        const qsizetype colon = connectionString.indexOf(QLatin1Char(':'));
        if (colon < 0) {
            // Only the empty string gets here.
            serverName.clear();
            fileName.clear();
            return;
        }
        serverName = connectionString.left(colon);
        fileName = connectionString.mid(colon + 1, MaxFilePart);
        return;
    }
    case ibctNetBEUI: {
        const QString rest = connectionString.mid(2, MaxFilePart);
        const qsizetype backslash = rest.indexOf(QLatin1Char('\\'));
        serverName = QStringLiteral("\\\\") + (backslash < 0 ? QString() : rest.left(backslash));
        fileName = rest.mid(backslash + 1, MaxFilePart);
        return;
    }
    default:
        throw Os::Exception(InterbaseTexts::UnsupportedConnectionString);
    }
}

QString DatabaseDriveLetter(const QString &connectionString)
{
    const qsizetype colon = connectionString.indexOf(QLatin1Char(':'));
    if (colon == 1)
        return connectionString.left(1);
    if (colon < 0 || colon + 1 >= connectionString.size())
        throw Os::Exception(InterbaseTexts::NoDriveLetter);
    return connectionString.mid(colon + 1, 1);
}

QString LocalFileName(const QString &windowsPath)
{
    const QString host = Os::HostPath(windowsPath);
    return host.isEmpty() ? windowsPath : host;
}

QString AttachName(const QString &connectionString)
{
    return GetConnectionType(connectionString) == ibctLocal ? LocalFileName(connectionString)
                                                            : connectionString;
}
