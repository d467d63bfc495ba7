// The texts of the connection module: what the user reads, and the internal codes
// support staff recognise in a report.
#pragma once

#include <QString>

namespace InterbaseTexts {

inline const QString CrLf = QStringLiteral("\r\n");

// Connect sequence.
inline const QString DatabaseNameMissing = QStringLiteral(
    "Nome della base dati mancante.\r\nVogliate completare la configurazione del programma.");
inline const QString DatabaseNotCompatible
    = QStringLiteral("La base dati non è compatibile con il programma!");
inline const QString DatabaseLabel = QStringLiteral("Database : ");
inline const QString VersionLabel = QStringLiteral("Version : ");

// Version check.
inline const QString ClientVersionUnknown = QStringLiteral(
    "La versione del cliente Firebird utilizzato è sconosciuta del programma. Per sicurezza, "
    "nessun collegamento alla base di dati sarà stabilito.");
inline const QString ClientServerMismatch = QStringLiteral(
    "La versione del cliente Firebird utilizzato non corrisponde a quella del server Firebird. Per "
    "sicurezza, nessun collegamento alla base di dati sarà stabilito.");
inline const QString ClientLabel = QStringLiteral("Client : ");
inline const QString ServerLabel = QStringLiteral("Server : ");

// Free disk space.
inline const QString FreeSpaceUnknown = QStringLiteral(
    "Il server Firebird non ha potuto determinare lo spazio restante sul disco per la base dati!");
inline const QString FreeSpaceCritical = QStringLiteral("Spazio insufficente sul HD per la base dati!");
inline const QString FreeSpaceLow
    = QStringLiteral("Lo spazio sul disco per la base dati é insufficente!\r\nFare dello spazio sul disco.");
inline const QString MegabyteSuffix = QStringLiteral(" Mb");

// Database error messages: lines 1 to 7, then 8, then 9 of the unreachable-server text.
inline const QString ServerUnreachable
    = QStringLiteral("Non si é potuto stabilire nessuna connessione al server.\r\n"
                     "Possibili cause : \r\n"
                     "1) Il server non è in funzione.\r\n"
                     "2) L'indirizzo del server non è corretto.\r\n"
                     "3) Il server Firebird non è partito sul server.\r\n"
                     "4) Il cavo di connessione rete é interrotto.\r\n"
                     "5) Un Firewall del vostro posto di lavoro blocca la connessione.");
inline const QString OtherSessionOpen
    = QStringLiteral("6) Sul vostro di lavoro é rimasta aperta un'altra sessione.");
inline const QString FastUserSwitching
    = QStringLiteral("   (L'opzione \u201Ccambio rapido utente\u201D è stata attivata.)");
inline const QString LoginRefused = QStringLiteral(
    "Il vostro nome d'utente non é stato riconosciuto,\r\no la vostra pass-word non é valida!");

// Write-back of a client dataset.
inline const QString ModifyFailed = QStringLiteral("La modifica nella base dati non é stata eseguita.");
inline const QString InsertFailed = QStringLiteral("L'inserimento nella base dati non é stata eseguita.");
inline const QString DeleteFailed = QStringLiteral("La cancellazione nella base dati non é stata eseguita.");

// Internal texts and codes.
inline const QString UnsupportedConnectionString = QStringLiteral("error 0203130939");
inline const QString NoDriveLetter = QStringLiteral("0312181326");
inline const QString TransactionManagementError = QStringLiteral("TRANSACTION MANAGEMENT ERROR");
inline const QString CdsNotReleased = QStringLiteral("CDS NOT RELEASED\r\n");
inline const QString CdsNotFound = QStringLiteral("FreeGlobalCDS : ClientDataset not found");
inline const QString TagUnknown = QStringLiteral("Tag unknown in DataSet ");
inline const QString UnknownText = QStringLiteral("?");

// The maker's privileged account, also the login of every services call.
inline const QString MakerUserName = QStringLiteral("DREMLIX");
inline const QString MakerPassword = QStringLiteral("47219630");
inline const QString ServiceManager = QStringLiteral("service_mgr");
inline const QString ClientLibraryName = QStringLiteral("gds32.dll");

} // namespace InterbaseTexts
