#include "Common/Impression/dmStructure_Printing_Unit.h"

#include "Common/Impression/ImpressionTexts.h"
#include "Common/Interbase/dmDBConnectionUnit.h"
#include "dbaccess/DbAccess.h"
#include "oslayer/Exceptions.h"
#include "oslayer/Paths.h"
#include "schema/IBManagers.h"

#include <QDir>

namespace {

// A print list that another workstation is writing at the same moment is written again
// after a random pause below 2 seconds (the pause of the user register), this often at
// the most: enough for every workstation of an office importing the same lists at once.
constexpr int ConflictAttempts = 10;

// A folder of this program is a Windows path of the prefix; a host path is taken as it is.
void CreateFolder(const QString &folder)
{
    QString hostPath = Os::HostPath(folder);
    if (hostPath.isEmpty())
        hostPath = folder;
    if (!QDir().mkpath(hostPath))
        throw Os::Exception(ImpressionTexts::CannotCreateFolder + folder);
}

} // namespace

TdmStructurePrinting::TdmStructurePrinting(QObject *owner, const QString &folder, TdmDBConnection *connection)
    : QObject(owner)
{
    FManagerPrintParams = std::make_unique<TTableManager>();
    FManagerPrintParams->setObjectName(QStringLiteral("ManagerPrintParams"));
    FManagerPrintImages = std::make_unique<TTableManager>();
    FManagerPrintImages->setObjectName(QStringLiteral("ManagerPrintImages"));
    FQueryPrint = std::make_unique<Db::TQuery>();
    FQueryPrint->SetName(QStringLiteral("QueryPrint"));
    FIBSQL1 = std::make_unique<Db::TStatement>();
    FIBSQL1->SetName(QStringLiteral("IBSQL1"));

    if (!folder.isEmpty()) {
        CreateFolder(folder);
        FFolder = folder;
    }
    FConnection = connection;
    DataModuleCreate();
}

TdmStructurePrinting::~TdmStructurePrinting()
{
    DataModuleDestroy();
    // The key queries of the table managers are registered with the connection's
    // database manager: hand them back while it still exists.
    FManagerPrintParams.reset();
    FManagerPrintImages.reset();
}

void TdmStructurePrinting::InitComponents()
{
    if (!FConnection)
        throw Os::EAssertionFailed(ImpressionTexts::ConnectionMissing);
    for (Db::TStatement *statement : { static_cast<Db::TStatement *>(FQueryPrint.get()), FIBSQL1.get() }) {
        if (!statement->Transaction())
            statement->SetTransaction(FConnection->GlobalTransaction());
    }
    for (TTableManager *manager : { FManagerPrintParams.get(), FManagerPrintImages.get() }) {
        if (!manager->DatabaseManager())
            manager->SetDatabaseManager(FConnection->DatabaseManager());
    }
}

void TdmStructurePrinting::DataModuleCreate()
{
    InitComponents();
    FQueryPrint->SetTransaction(FConnection->GlobalTransaction());
    FIBSQL1->SetTransaction(FConnection->GlobalTransaction());

    FManagerPrintParams->SetTableName(QStringLiteral("PRT_Params"));
    FManagerPrintParams->SetFieldDefs({
        QStringLiteral("pname VARCHAR(60) NOT NULL *"),
        QStringLiteral("d_text VARCHAR(90)"),
        QStringLiteral("f_text VARCHAR(90)"),
        QStringLiteral("i_text VARCHAR(90)"),
        QStringLiteral("compat VARCHAR(30)"),
        QStringLiteral("print_params BLOB SUB_TYPE 1 SEGMENT SIZE 80"),
    });
    FManagerPrintImages->SetTableName(QStringLiteral("PRT_Images"));
    FManagerPrintImages->SetFieldDefs({
        QStringLiteral("image_name VARCHAR(30) NOT NULL *"),
        QStringLiteral("image_data BLOB SUB_TYPE 0 SEGMENT SIZE 1024"),
    });
}

bool TdmStructurePrinting::PrintParamsExist(const QString &Name)
{
    bool found = false;
    FConnection->InTransactionLevel([&] { found = FManagerPrintParams->FindPK(QVariantList { Name }); });
    return found;
}

template <typename Write> void TdmStructurePrinting::RetryConflicts(Write &&write)
{
    // Only a write that is a transaction of its own can start again: inside a caller's
    // level the conflict is the caller's to settle.
    const bool ownTransaction = FConnection->GlobalTransaction()->Tag() == 0;
    FConnection->DatabaseManager()->Retry(ConflictAttempts, write, [ownTransaction](const std::exception &e) {
        const auto *error = dynamic_cast<const Db::EDatabaseError *>(&e);
        return ownTransaction && error && (Db::IsWriteConflict(*error) || Db::IsKeyViolation(*error));
    });
}

int TdmStructurePrinting::WriteText(const QString &Name, const QStringList &Lines)
{
    int rows = 0;
    FConnection->InTransactionLevel([&] {
        FQueryPrint->Close();
        FQueryPrint->SetSQL({ QStringLiteral("UPDATE PRT_Params SET print_params=:p0 WHERE pname=:p1") });
        FQueryPrint->SetParamString(0, PrintListHeader::LinesText(Lines));
        FQueryPrint->SetParamString(1, Name);
        FQueryPrint->Execute();
        rows = FQueryPrint->RowsAffected();
    });
    return rows;
}

void TdmStructurePrinting::UpdatePrintParams(const QString &Name, const QStringList &Lines)
{
    RetryConflicts([&] { WriteText(Name, Lines); });
}

TdmStructurePrinting::TStoredState TdmStructurePrinting::StoredState(
    const QString &Name, const QStringList &Lines)
{
    TStoredState state = TStoredState::Absent;
    FConnection->InTransactionLevel([&] {
        FQueryPrint->Close();
        FQueryPrint->SetSQL({ QStringLiteral(
            "SELECT d_text, f_text, i_text, compat, print_params FROM PRT_Params WHERE pname=:p0") });
        FQueryPrint->SetParamString(0, Name);
        try {
            FQueryPrint->Open();
            if (FQueryPrint->HasCurrentRow()) {
                const TPrintListHeader header = PrintListHeader::Read(Lines, Name);
                const bool same = FQueryPrint->AsString(0) == header.DescD
                    && FQueryPrint->AsString(1) == header.DescF && FQueryPrint->AsString(2) == header.DescI
                    && FQueryPrint->AsString(3) == header.Compat
                    && FQueryPrint->AsString(4) == PrintListHeader::LinesText(Lines);
                state = same ? TStoredState::Same : TStoredState::Different;
            }
        } catch (const Db::EDatabaseError &) {
            // Read while another workstation replaced the row, whose old text was gone by
            // then ("BLOB not found"): not this update's text, so it is written as any
            // other that differs; a failure that is no race fails that write in its turn.
            state = TStoredState::Different;
        }
        FQueryPrint->Close();
    });
    return state;
}

bool TdmStructurePrinting::InsertPrintParams(
    const QString &Name, const QStringList &Lines, QString &Description)
{
    const TPrintListHeader header = PrintListHeader::Read(Lines, Name);
    const bool ownTransaction = FConnection->GlobalTransaction()->Tag() == 0;
    bool stored = false;
    bool inserted = false;
    RetryConflicts([&] {
        inserted = false;
        try {
            stored = FConnection->InTransactionLevel([&] {
                FQueryPrint->Close();
                QStringList sql;
                FManagerPrintParams->BuildSQL4Insert(sql);
                FQueryPrint->SetSQL(sql);
                FQueryPrint->SetParamString(0, Name);
                FQueryPrint->SetParamString(1, header.DescD);
                FQueryPrint->SetParamString(2, header.DescF);
                FQueryPrint->SetParamString(3, header.DescI);
                FQueryPrint->SetParamString(4, header.Compat);
                FQueryPrint->SetParamString(5, PrintListHeader::LinesText(Lines));
                FQueryPrint->Execute();
            });
            inserted = stored;
        } catch (const Db::EDatabaseError &e) {
            // Another workstation has stored the list since PrintParamsExist looked: the
            // row it made takes this text, as the update of a stored list would. While
            // that row is not committed the update finds none, and the key violation
            // has the insert start again after the pause.
            if (!ownTransaction || !Db::IsKeyViolation(e) || WriteText(Name, Lines) == 0)
                throw;
            stored = true;
        }
    });
    if (stored)
        Description = header.DescI;
    return inserted;
}

void TdmStructurePrinting::ReadPrintListHeader(const QStringList &Lines, const QString &DefaultText,
    QString &Compat, QString &DescD, QString &DescI, QString &DescF)
{
    const TPrintListHeader header = PrintListHeader::Read(Lines, DefaultText);
    Compat = header.Compat;
    DescD = header.DescD;
    DescI = header.DescI;
    DescF = header.DescF;
}
