// The user texts of the payload, in one place.
#pragma once

#include <QString>

namespace PayloadTexts {

// The runtime's text for a stream that gave fewer bytes than asked.
inline QString StreamReadError() { return QStringLiteral("Erreur de lecture du flux"); }
inline QString StreamWriteError() { return QStringLiteral("Erreur d'écriture du flux"); }

inline QString Damaged(const QString &name, const QString &why)
{
    if (name.isEmpty())
        return QStringLiteral("The embedded file is damaged: %1.").arg(why);
    return QStringLiteral("The embedded file \"%1\" is damaged: %2.").arg(name, why);
}

} // namespace PayloadTexts
