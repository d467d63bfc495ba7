// The texts of the dialogs: captions of the toolkit in French, messages in Italian.
#pragma once

#include <QString>

namespace DialogsTexts {

// File-open dialog.
inline const QString FileOpenCaption = QStringLiteral("Fichier : ");
inline const QString Ok = QStringLiteral("OK");
inline const QString Annuler = QStringLiteral("Annuler");

// Connection dialog.
inline const QString ConnectionCaption = QStringLiteral("Connexion à la base de données");
inline const QString ConnLocal = QStringLiteral("Connexion locale");
inline const QString ConnTcp = QStringLiteral("Connexion locale ou distante par TCP/IP");
inline const QString ConnOther = QStringLiteral("Autre connexion");
inline const QString LocalFileLabel = QStringLiteral("Fichier :  ");
inline const QString ServerAddressLabel = QStringLiteral("Adresse IP du serveur : ");
inline const QString ServerFileLabel = QStringLiteral("Fichier sur le serveur : ");
inline const QString OtherNameLabel = QStringLiteral("Nom de la base : ");

// %1 is the name as the user typed it.
inline const QString FileNotFound = QStringLiteral("Archivio \"%1\" non trovato");
inline const QString BadServerFileName = QStringLiteral("Nome dell'archivio incorretto!");

} // namespace DialogsTexts
