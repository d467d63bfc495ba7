// The engine's texts, character for character as the user reads them.
#pragma once

#include <QString>

namespace UpdateTexts {

// Report lines
inline const QString CopyOf = QStringLiteral("Copia di ");
inline const QString CopyTo = QStringLiteral("Verso ");
inline const QString TheFile = QStringLiteral("L'archivio ");
inline const QString NotReplaced = QStringLiteral("non è sostituito !!!");
inline const QString UpToDateNotReplaced = QStringLiteral("è aggiornati: non è sostituito.");
inline const QString FileDeleted = QStringLiteral("Archivio %1 è eliminato.");
inline const QString UpdateImpossible
    = QStringLiteral("Aggiornamento impossibile, grazie di contattare Dremlix");
inline const QString DataFiles = QStringLiteral("archivio di dati...");
inline const QString ErrorDuringUpdate
    = QStringLiteral("Un errore si è prodotto durante l'aggiornamento di %1");

// An update undone, interrupted, or finished by the next run
inline const QString FileRestored = QStringLiteral("L'archivio %1 è ripristinato.");
inline const QString FileRemoved = QStringLiteral("L'archivio %1 è eliminato.");
inline const QString FilesRolledBack
    = QStringLiteral("Aggiornamento annullato: gli archivi del prodotto sono tornati come prima dell'aggiornamento.");
inline const QString UpdateInterrupted = QStringLiteral("L'aggiornamento è stato interrotto.");
inline const QString EarlierRunRolledBack = QStringLiteral(
    "Un aggiornamento precedente era stato interrotto: i suoi archivi sono tornati come prima.");
inline const QString EarlierRunCompleted = QStringLiteral(
    "Un aggiornamento precedente era stato interrotto: i suoi archivi erano già al loro posto, è stato completato.");

// Print lists
inline const QString CompanyLists = QStringLiteral("Aggiornamento di elenchi per la società ");
inline const QString CompanyUnreachable
    = QStringLiteral("Fallimento di collegamento alla società %1, aggiornamento delle liste non effettuato.");
inline const QString PrintParams = QStringLiteral("I parametri di stampa : ");
inline const QString PrintParamsUpdated = QStringLiteral(" sono aggiornamento.");
inline const QString PrintParamsAdded = QStringLiteral(" sono stati aggiunti.");
inline const QString DefaultCompany = QStringLiteral("Default");
// A company's import that broke off: the list being imported, the company.
inline const QString ListOfCompany = QStringLiteral("\"%1\" della società %2");
inline const QString ListsOfCompany = QStringLiteral("elenchi della società %1");
inline const QString CompaniesRemaining = QStringLiteral(
    "Elenchi non aggiornati per le società : %1. Eseguire di nuovo questo aggiornamento per completarli.");
inline const QString PendingListsResumed = QStringLiteral(
    "I programmi sono già aggiornati : completamento degli elenchi delle società.");
inline const QString ClientShortName = QStringLiteral("Updater");
inline const QString DatabaseDescription = QStringLiteral("Base de données");

// Questions and boxes
inline const QString InstalledIsNewer = QStringLiteral(
    " presente sul vostro sistema è più recente\r\nche quello che è contenuto in quest'aggiornamento.\r\n"
    "Poteste installare un vecchio archivio  ?");
inline const QString InstalledIsSame = QStringLiteral(
    " presente sul vostro sistema è aggiornato.\r\nVolete tuttavia effettuare l'aggiornamento ?");
inline const QString FolderNotFound = QStringLiteral("Cartella %1 non trovata.");
inline const QString PointToIt = QStringLiteral("Volete indicare la sua posizione.");
inline const QString SeveralFolders
    = QStringLiteral("%1 cartella %2 non trovata, scegliere l'ubicazione corretta.");
inline const QString SelectFolder = QStringLiteral("Selezionare la cartella \"%1\"");
inline const QString ProgramNotFound = QStringLiteral("Programma %1 non trovato.");

// Errors
inline const QString FileNotFound = QStringLiteral("Archivio non trovato : %1");
inline const QString CannotFind = QStringLiteral("Cannot find ");
inline const QString UnknownVersion = QStringLiteral("Versione dell'archivio sconosciuta o incompatibile.");
inline const QString NotInstalled = QStringLiteral("L'impianto di %1 non è stato certamente effettuato !!!");
inline const QString CopySource = QStringLiteral("Source: ");
inline const QString CopyTarget = QStringLiteral("Target: ");
inline const QString CopyError = QStringLiteral("Error: ");
inline const QString CannotImport = QStringLiteral("Cannot import resource files");
// A manifest name that would land outside the product's folder.
inline const QString NameOutsideFolder = QStringLiteral("Nome di archivio non valido : %1");

} // namespace UpdateTexts
