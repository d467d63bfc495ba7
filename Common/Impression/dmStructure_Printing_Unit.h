// The storage side of the print lists: one PRT_Params row per list, holding its whole
// text, its compatibility key and its descriptions, always written in the connection
// module's global transaction so that a caller's outer level commits it with the rest.
#pragma once

#include "Common/Impression/PrintListHeader.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>

class TdmDBConnection;
class TTableManager;

namespace Db {
class TStatement;
class TQuery;
} // namespace Db

class TdmStructurePrinting : public QObject {
    Q_OBJECT

public:
    // A non-empty folder is created with its parents and remembered. The connection
    // module is not owned; without one the creation fails with "FConnection = NIL".
    TdmStructurePrinting(QObject *owner, const QString &folder, TdmDBConnection *connection);
    ~TdmStructurePrinting() override;

    TTableManager *ManagerPrintParams() const { return FManagerPrintParams.get(); }
    TTableManager *ManagerPrintImages() const { return FManagerPrintImages.get(); }
    Db::TQuery *QueryPrint() const { return FQueryPrint.get(); }
    Db::TStatement *IBSQL1() const { return FIBSQL1.get(); }
    TdmDBConnection *Connection() const { return FConnection; }
    const QString &Folder() const { return FFolder; }

    // Each operation is a transaction of its own unless the caller has a level open. A
    // write of its own that meets another workstation's write of the same row (many
    // workstations import the same lists at once) starts again after a random pause.

    // Whether a row of that name is stored.
    bool PrintParamsExist(const QString &Name);
    // What is stored under Name compared with what Lines would store: no row, a row that
    // differs in its text or in a field its header sets, or a row that already holds it
    // all (then writing it again would change nothing but lock the row).
    enum class TStoredState { Absent, Different, Same };
    TStoredState StoredState(const QString &Name, const QStringList &Lines);
    // Replaces only the stored text; the descriptions stay as they were.
    void UpdatePrintParams(const QString &Name, const QStringList &Lines);
    // A new row with the header of Lines; Description is the I description. When another
    // workstation has stored the list meanwhile, its row takes the text instead: the
    // result is then false (the list was updated, not added).
    bool InsertPrintParams(const QString &Name, const QStringList &Lines, QString &Description);

    static void ReadPrintListHeader(const QStringList &Lines, const QString &DefaultText, QString &Compat,
        QString &DescD, QString &DescI, QString &DescF);
    static int FindCompatLine(const QStringList &Lines) { return PrintListHeader::FindCompatLine(Lines); }
    static int FindDescriptionLine(const QStringList &Lines, QChar Letter)
    {
        return PrintListHeader::FindDescriptionLine(Lines, Letter);
    }
    static QString StripComment(const QString &Text) { return PrintListHeader::StripComment(Text); }

private:
    // The text of a stored list, in a level of its own; the rows it changed.
    int WriteText(const QString &Name, const QStringList &Lines);
    template <typename Write> void RetryConflicts(Write &&write);
    void DataModuleCreate();
    void DataModuleDestroy() { }
    void InitComponents();

    TdmDBConnection *FConnection = nullptr;
    QString FFolder;
    std::unique_ptr<TTableManager> FManagerPrintParams;
    std::unique_ptr<TTableManager> FManagerPrintImages;
    std::unique_ptr<Db::TQuery> FQueryPrint;
    std::unique_ptr<Db::TStatement> FIBSQL1;
};
