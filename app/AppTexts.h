// The user texts of the wizard shell, character for character ("\r\n" is CR LF).
#pragma once

#include <QString>

namespace AppTexts {

inline QString MainCaption() { return QStringLiteral("Aggiornamento di Dremlix"); }
inline QString VersionPrefix() { return QStringLiteral("Version : "); }
inline QString UnknownVersion() { return QStringLiteral("?"); }
inline QString ActionBackDesign() { return QStringLiteral("< Précédant"); }
inline QString ActionNextDesign() { return QStringLiteral("Suivant >"); }
inline QString ActionAnnulerDesign() { return QStringLiteral("Annuler"); }
inline QString ActionBack() { return QStringLiteral("< Precedente"); }
inline QString ActionAnnuler() { return QStringLiteral("Annulare"); }
inline QString NextCaption() { return QStringLiteral("Seguente >"); }
inline QString StartCaption() { return QStringLiteral("Avviare"); }
inline QString ExitCaption() { return QStringLiteral("Uscire"); }
inline QString AskCancel() { return QStringLiteral("Volete annullare l'installazione?"); }

inline QString CannotLoadResource() { return QStringLiteral("Cannot load resource file %1"); }
inline QString UpdateInfoName() { return QStringLiteral("UpdateInfo.txt"); }
inline QString AppInfo1Name() { return QStringLiteral("AppInfo1.txt"); }
inline QString AppInfo2Name() { return QStringLiteral("AppInfo2.txt"); }
inline QString StepsName() { return QStringLiteral("Steps.txt"); }
inline QString UpdatesName() { return QStringLiteral("Updates.txt"); }
inline QString DefaultChanges() { return QStringLiteral("Quest'aggiornamento comporta soltanto correzioni interne."); }
inline QString NoCurrentStep() { return QStringLiteral("Cannot get current step"); }
inline QString NoNextStep() { return QStringLiteral("Next step is missing."); }

inline QString WelcomeWarning()
{
    return QStringLiteral("Prima di effettuare l'aggiornamento chiudere applicazione Dremlix su tutti i posti di lavoro !");
}
inline QString WelcomeInfo1() { return QStringLiteral("Questo assistente aggiornerà "); }
inline QString WelcomeInfo2() { return QStringLiteral("Nessun dato esistente sarà cancellato."); }
inline QString WelcomeWarningDesign() { return QStringLiteral("Info2"); }
inline QString WelcomeInfoDesign() { return QStringLiteral("Info1"); }

inline QString ChangesHeading() { return QStringLiteral("Lista delle modificazionni"); }
inline QString ReportHeading() { return QStringLiteral("Rapporto d'installazione"); }
inline QString ReportJobName() { return QStringLiteral("Update report"); }
inline QString PrintButton() { return QStringLiteral("Stampa"); }

// The run (product selection and report lines).
inline QString ReportHeader() { return QStringLiteral("Aggiornamento : %1 "); }
inline QString OutcomeSuccess() { return QStringLiteral("L'aggiornamento terminato con successo."); }
inline QString OutcomeFailure() { return QStringLiteral("L'aggiornamento è fallito !"); }
inline QString OutcomeNotDone() { return QStringLiteral("L'aggiornamento non è stato effettuato."); }
inline QString OutcomeWarnings() { return QStringLiteral("L'aggiornamento è stato effettuato ma con avvertimenti !"); }

// The start-up compatibility check.
inline QString IncompatibleHead()
{
    return QStringLiteral("ATTENZIONE !!!\r\n\r\nQuest'aggiornamento ha individuato una versione incompatibile ");
}
inline QString IncompatibleTail()
{
    return QStringLiteral(".\r\n\r\nVolete contattare la società Dremlix.\r\n\r\nL'applicazione si concluderà.");
}
inline QString IncompatiblePathVer() { return QStringLiteral("Path=\"%1\" Ver=\"%2\""); }
inline QString WordsClient() { return QStringLiteral("di Firebird"); }
inline QString WordsAnd() { return QStringLiteral(" e "); }
inline QString WordsComponent() { return QStringLiteral("di indirizzi"); }

// The Qt message boxes.
inline QString Yes() { return QStringLiteral("&Oui"); }
inline QString No() { return QStringLiteral("&Non"); }
inline QString Ok() { return QStringLiteral("OK"); }
inline QString ChooseCompanyCaption() { return QStringLiteral("Scelta della società"); }
inline QString Cancel() { return QStringLiteral("Annuler"); }

} // namespace AppTexts
