// The texts of the print-parameter storage.
#pragma once

#include <QString>

namespace ImpressionTexts {

inline const QString ConnectionMissing = QStringLiteral("FConnection = NIL");
inline const QString CannotCreateFolder = QStringLiteral("Cannot create folder ");

} // namespace ImpressionTexts
