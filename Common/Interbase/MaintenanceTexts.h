// The texts of the maintenance services, utilities and command scripts of the connection
// module: what the user reads, and the codes support staff recognise.
#pragma once

#include <QString>

namespace MaintenanceTexts {

// Services actions: the first text for a connection string of no known form, the second
// for the forms the services cannot be reached for.
inline const QString HeaderInfoUnknown = QStringLiteral("error 0203121447");
inline const QString HeaderInfoOther = QStringLiteral("error 0111071724");
inline const QString SweepUnknown = QStringLiteral("error 0203121450");
inline const QString SweepOther = QStringLiteral("error 0203121451");
inline const QString SweepIntervalUnknown = QStringLiteral("error 0206181013");
inline const QString SweepIntervalOther = QStringLiteral("error 0206181014");
inline const QString ForcedWritesUnknown = QStringLiteral("error 0207161027");
inline const QString ForcedWritesOther = QStringLiteral("error 0207161028");
inline const QString DatabaseNotLocal = QStringLiteral("Database is not local");
inline const QString BackupErrorMarker = QStringLiteral("ERROR:");

// Connection test.
inline const QString TestUserName = QStringLiteral("PUBLIC_READER_WRITER");
inline const QString TestPassword = QStringLiteral("tarvel");
inline const QString TestRole = QStringLiteral("ROLE_READER_WRITER");
inline const QString TestShortName = QStringLiteral("TEST");
inline const QString VestrelIdentifier = QStringLiteral("OV_Vestrel");
inline const QString ConnectionOk = QStringLiteral("Connessione \"%s\" OK.");

inline const QString NotConnected = QStringLiteral("not connected");

// Command scripts.
inline const QString ScriptStart = QStringLiteral("STARTSQL");
inline const QString ScriptEnd = QStringLiteral("ENDSQL");
inline const QString OrderNotForThisDatabase = QStringLiteral("Ordine non destinato a questa base dati!");
inline const QString DatabaseTooOld
    = QStringLiteral("La bese dati non é aggiornata per eseguire questo ordine!");
inline const QString OrdersObsolete = QStringLiteral("Questi ordini sono obsoleti!");

} // namespace MaintenanceTexts
