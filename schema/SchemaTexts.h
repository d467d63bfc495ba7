// The texts of the schema components and the company list, in one place. The internal
// error texts stay as the components have always written them (English or French).
#pragma once

#include <QString>

namespace SchemaTexts {

// ---- Database manager --------------------------------------------------------------

inline QString NilDatabase() { return QStringLiteral("Nil Database"); }
inline QString AlreadyConnected() { return QStringLiteral("Already connected!"); }
inline QString NoTransactionSuffix() { return QStringLiteral(" no transaction"); }
inline QString TransactionManagementError() { return QStringLiteral("TRANSACTION MANAGEMENT ERROR"); }
inline QString TransactionActive() { return QStringLiteral("A transaction is active!"); }
inline QString ManagerHasNoTransaction() { return QStringLiteral("DatabaseManager has no transaction"); }
inline QString FreeDatasetNotFound() { return QStringLiteral("FreeDataset : not found"); }
inline QString IBQueryNotFound() { return QStringLiteral("IBQuery not found"); }
inline QString GetKeynameFailed() { return QStringLiteral("TDatabaseManager.GetKeyname"); }
inline QString GetConstraintIndexNameFailed()
{
    return QStringLiteral("TDatabaseManager.GetConstraintIndexName");
}
inline QString GetConstraintIndexNameEmpty()
{
    return QStringLiteral("DatabaseManager.GetConstraintIndexName : résultat vide");
}
inline QString DatasetNotReleased() { return QStringLiteral("DataSet NOT RELEASED !\r\n"); }
inline QString TransactionNotReleased() { return QStringLiteral("Transaction NOT RELEASED\r\n"); }

// ---- Table manager -----------------------------------------------------------------

inline QString NoDatabase(int code) { return QStringLiteral("no database! (%1)").arg(code); }
inline QString FindPKCountMismatch() { return QStringLiteral("FindPK : count mismatch"); }
inline QString KeyMismatch() { return QStringLiteral("key mismatch"); }
inline QString QueryFPKActive() { return QStringLiteral("Query FPK is active"); }
inline QString QueryFWKActive() { return QStringLiteral("Query FWK is active"); }
inline QString ValuesMismatch() { return QStringLiteral("Values mismatch"); }
inline QString IncompatibleDeleteOptions() { return QStringLiteral("Incompatible delete options"); }
inline QString FieldSizeDomainNotFound() { return QStringLiteral("0406291509"); }
inline QString FieldSizeLengthNotFound() { return QStringLiteral("0406291510"); }
inline QString FieldTypeDomainNotFound() { return QStringLiteral("0406291619"); }
inline QString FieldTypeNumberNotFound() { return QStringLiteral("0406291620"); }
inline QString FieldTypeNameNotFound() { return QStringLiteral("0406291621"); }
inline QString ConversionColumnsMissing(const QString &table, const QString &field)
{
    return QStringLiteral("0406291613:") + table + QLatin1Char(' ') + field;
}

// ---- Company list ------------------------------------------------------------------

inline QString CompanyFormCaptionDesign() { return QStringLiteral("Sélection de la société"); }
inline QString CompanyFormCaption() { return QStringLiteral("Selezione della società"); }
inline QString CompanyLabelCaption() { return QStringLiteral("Società : "); }
inline QString CompanyCancelCaption() { return QStringLiteral("Annullare"); }
inline QString CompanyOkCaption() { return QStringLiteral("OK"); }
inline QString CompanyInfoCaption() { return QStringLiteral("Info"); }
inline QString CompanyListInfo() { return QStringLiteral("Lista dei impresa :"); }
inline QString CompanyNotFound() { return QStringLiteral("Société non trouvée : "); }
inline QString DefaultCompany() { return QStringLiteral("Default"); }

} // namespace SchemaTexts
