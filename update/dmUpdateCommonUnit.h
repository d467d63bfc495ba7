// The update engine: reads the payload, keeps the report, finds the installed products,
// replaces their files by version and runs the product procedures and the print-list update.
#pragma once

#include "Common/Interbase/AcceptedVersions.h"
#include "update/UpdateOutcome.h"
#include "update/UpdateReport.h"
#include "update/RunRecord.h"

#include <QBuffer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>

class QTextDocument;
class TWindowsInstaller;
class TdmDBConnection;
class TdmStructurePrinting;
class TFMultiSte;
class TFileTransaction;

class TdmUpdateCommon : public QObject {
    Q_OBJECT
public:
    // DataModuleCreate: the company list form (loaded at once), the installer, the lists,
    // then the connection module and the print-parameter storage. The accepted Firebird
    // versions go to the connection module; the program always runs with the released table.
    explicit TdmUpdateCommon(
        QObject *owner = nullptr, TAcceptedVersionTable acceptedVersions = DefaultAcceptedVersions());
    // DataModuleDestroy: frees what it owns, then deletes every "Update*.tmp" of the
    // temporary folder, also those left by earlier runs.
    ~TdmUpdateCommon() override;

    // --- Payload --------------------------------------------------------------------
    // Lines of an embedded text file; 0 when it is absent or empty.
    int LoadList(const QString &name, QStringList &list);
    // Streams an embedded RTF file into the document; its line count, 0 when absent.
    int LoadRichText(const QString &name, QTextDocument &document);
    // Whether LoadRichText would give a document any line, decided without building one.
    bool HasRichText(const QString &name);

    // --- Report ---------------------------------------------------------------------
    // Not owned. Lines written before a report is bound are dropped.
    void SetReport(IUpdateReport *report) { FReport = report; }
    IUpdateReport *Report() const { return FReport; }
    void AddReportLine(const QString &text, int pointSize = 0, const QString &fontName = QString());

    // --- Temporary area and product folders -----------------------------------------
    // A fresh path "<temp folder><prefix><0..9999999>.tmp", created empty and exclusively
    // so that nobody else can slip a file or a link in under that name before we write it.
    QString TempFileName(const QString &prefix);
    // The temporary folder with a trailing backslash, asked of the system once: the files
    // of this run are made and deleted in one place.
    const QString &TempFolder();

    // Reports the deletion first, then deletes; raises the system error when it fails.
    void DeleteFileLogged(const QString &path);
    // Deletes every file of the temporary folder matching the mask; false on any failure.
    bool DeleteTempFiles(const QString &mask);
    // Looks for the top-level folder on the fixed and network drives; asks with the folder
    // browser when it is found on none or on several. The path is left empty (or at the
    // first hit) when the user cancels.
    void LocateFolder(const QString &name, QString &path);
    // Drive type of the wizard's own executable (5: it runs from a CD-ROM).
    static uint32_t OwnDriveType();
    // The program-file question: an error box, then the open-file dialog. True with the
    // chosen file, false (file emptied) when cancelled.
    bool AskProgramFile(QString &fileName);
    // OpenDialogProg.Execute: the engine's open-file dialog, without a title of its own.
    bool OpenDialogProgExecute(QString &fileName);

    // --- Installed-file replacement -------------------------------------------------
    // Puts the source in the target's place with the two report lines (when log is set):
    // a file this engine extracted and nobody reads again is moved there, any other copied.
    // Raises with source, target and the system's error when it fails.
    void CopyFileLogged(const QString &source, const QString &target, bool log);
    // 1 go ahead or replaced, 2 the copy failed, 3 the user declined.
    TUpdateOutcome ReplaceIfNewer(
        const QString &newFile, const QString &installedFile, bool mustExist, bool checkOnly);
    // Copies every name of FFileNames from the payload into the folder; false when any
    // file was missing, refused or not copyable (the others are still copied).
    bool InstallListedFiles(const QString &folder, bool log);
    // The listed files a batch extracts before they are put in place (tests shrink it).
    static void SetListedBatchBytes(uint64_t bytes);

    // --- The run's file transaction -------------------------------------------------
    // Each procedure (and each copy step called on its own) is one transaction: its copies
    // are staged beside their targets and put in place at its end, or undone on outcome 2,
    // an error or a signal, with the report's lines for what was put back.
    // Puts the staged files in place now (before a database phase needs them there); false,
    // with the report's lines, when it failed and everything was put back.
    bool CommitFiles();
    // Finishes what an interrupted earlier run left in the prefix, with the report's line.
    void FinishInterruptedRun();
    void LogUpToDate(const QString &installedFile);
    void LogNotReplaced(const QString &installedFile);
    // Whether the last replacement declined was declined because the installed file has
    // the payload's version already: the product is up to date, nothing was wrong.
    bool DeclinedAsUpToDate() const { return FDeclinedAsUpToDate; }

    // Not owned; null: nothing is recorded. Every file put in place, the compared version,
    // the print lists and companies go into it as the run does them.
    void SetRunRecord(TRunRecord *record) { FRecord = record; }
    // A dry run goes through every check of the run and changes nothing: the payload's
    // files are extracted into scratchHostFolder (outside the prefix), and each copy, new
    // folder, print list and database import is only recorded in the run record, after
    // the in-use test the copy would meet.
    void SetDryRun(const QString &scratchHostFolder);
    bool DryRun() const { return !FDryRunFolder.isEmpty(); }

    // --- Product procedures ---------------------------------------------------------
    TUpdateOutcome UpdateOrvanta(); // codes 1 and 2
    TUpdateOutcome UpdateVestrel(); // code 3
    TUpdateOutcome UpdateBruncet(); // code 4
    TUpdateOutcome UpdateSorvane(); // code 6
    TUpdateOutcome UpdateFalcrest(); // code 7
    TUpdateOutcome UpdateNimbrelCalvane(uint8_t code); // codes 8 and 9
    TUpdateOutcome UpdateXtq(); // code 10
    TUpdateOutcome UpdateCommonPrograms(); // code 12
    TUpdateOutcome UpdateTrevisk(); // code 13
    TUpdateOutcome UpdatePdfLibrary(); // called by UpdateOrvanta

    // The dispatch table of the run: the procedure of a code (0 for the codes without one).
    // Errors a procedure lets through reach the caller.
    TUpdateOutcome RunProcedure(uint8_t code);

    // --- Print lists ----------------------------------------------------------------
    // Folder: the program folder for Falcrest, empty for the database products.
    TUpdateOutcome UpdatePrintLists(const QString &folder);
    bool UpdateCompanyPrintLists(const QString &company);
    bool ConnectCompany(const QString &company);
    bool TryConnectCompany(int databaseVersion, const QString &identifier, const QString &company);
    void ImportPrintList(const QString &name);
    // Write conflicts with other workstations that the print-list import of this engine
    // met and settled by starting a company again.
    int ConflictCount() const { return FConflictCount; }
    // Whether the prefix records a database phase of this product that a wizard carrying
    // these same print lists left unfinished; the run then finishes it (see RunProcedure).
    bool HasPendingDbPhase();
    // Imports the print lists of every company again, the program files being in place
    // already; the outcome of UpdatePrintLists, with its error reported as the failure.
    TUpdateOutcome FinishPendingDbPhase();

    // --- Owned parts, for the GUI and the tests -------------------------------------
    TWindowsInstaller *Installer() const { return FInstaller.get(); }
    TdmDBConnection *Connection() const { return FConnection; }
    TdmStructurePrinting *PrintStorage() const { return FPrintStorage.get(); }
    // The program's one company form, loaded when the engine was created.
    TFMultiSte *CompanyForm() const;
    // The lines of "FileNames.txt" that InstallListedFiles copies; the procedures load them.
    QStringList &FileNames() { return FFileNames; }
    const QStringList &PrintLists() const { return FPrintLists; }

    // Code of the product being updated; set by the run before it calls a procedure.
    uint8_t FProductCode = 0;

private:
    struct TListedFile;

    TUpdateOutcome Transacted(const std::function<TUpdateOutcome()> &body);
    TFileTransaction &Transaction();
    void RollBackFiles();
    void ForceFolder(const QString &folder);
    QString SharedProgramsFolder(bool create = true);
    TUpdateOutcome OrvantaSteps();
    TUpdateOutcome VestrelSteps();
    TUpdateOutcome BruncetSteps();
    TUpdateOutcome SorvaneSteps();
    TUpdateOutcome FalcrestSteps();
    TUpdateOutcome NimbrelCalvaneSteps(uint8_t code);
    TUpdateOutcome XtqSteps();
    TUpdateOutcome CommonProgramsSteps();
    TUpdateOutcome TreviskSteps();
    TUpdateOutcome PdfLibrarySteps();
    bool InstallListedFilesSteps(const QString &folder, bool log);
    TUpdateOutcome PrintListsSteps(const QString &folder);
    TUpdateOutcome ReplaceIfNewerSteps(
        const QString &newFile, const QString &installedFile, bool mustExist, bool checkOnly);

    // A payload file in a fresh temporary file; empty when the payload lacks an optional one.
    QString Extract(const QString &name, bool required);
    // The copy of CopyFileLogged without its error: false with the system's code.
    bool CopyLogged(const QString &source, const QString &target, bool log, uint32_t &error);
    // Extracts the listed files from next on, until the batch holds enough bytes.
    QList<TListedFile> ExtractListedFiles(qsizetype &next);
    // Forces every extracted file to the disk at once, so that moving them needs no flush each.
    void FlushExtractedFiles();
    void ReportListedFileError(const QString &target, const QString &message);
    void CopyOptionalCompanions(std::initializer_list<const char *> names, const QString &folder,
        bool onlyWhenInstalled, QString &current);
    bool InstallFileNames(const QString &folder, bool log);
    // The procedures' error line for an error they catch: the body's outcome, or 2 after the
    // line with the current name (the bare message when bareWhenNoName and the name is empty).
    TUpdateOutcome WithErrorLine(
        const QString &current, const std::function<TUpdateOutcome()> &body, bool bareWhenNoName = false);
    void ReportProcedureError(const QString &currentName, const QString &message);
    // The program-file question when the file is missing: false when it is still missing.
    bool FindProgramFile(QString &installed);
    // Reads both major versions and applies the major-version guard: false when refused.
    bool PassesMajorGuard(uint16_t guardedMajor, const QString &extracted, const QString &installed);
    bool LockTestFails(const QString &path);
    QString FindRootFolder();
    void DisconnectCompany();
    // The accepted Firebird pairs of the payload's "Servers.txt", when it has one.
    void LoadServerPins();
    // The companies' print-list work; the companies that remain are written down for the
    // next run, and the first import error reaches the caller.
    bool UpdateCompaniesPrintLists();
    // A hash of the print-list manifest and of every list it names.
    QString PrintListsIdentity();
    // ImportPrintList's report line, held back while a company's transaction may still
    // be started again.
    void ReportImport(const QString &line);
    void ResetStream();
    uint16_t MajorVersion(const QString &path) const;
    bool RefusedByMajorVersion(uint16_t guardedMajor, uint16_t installedMajor, uint16_t newMajor);

    IUpdateReport *FReport = nullptr;
    std::unique_ptr<TWindowsInstaller> FInstaller;
    QStringList FPrintLists;
    QStringList FFileNames;
    TdmDBConnection *FConnection = nullptr; // a child of this module
    std::unique_ptr<TdmStructurePrinting> FPrintStorage;
    QBuffer FStream; // file contents of the print-list import
    // Files extracted from the payload that nothing has read since, each with whether its
    // data is on the disk already: they are moved into place instead of copied.
    QHash<QString, bool> FScratch;
    // Every temporary name this engine drew: none of them is ever taken for a stale file.
    QSet<QString> FOwnTemp;
    QString FTempFolder;
    std::unique_ptr<TFileTransaction> FTransaction;
    int FTransactionDepth = 0;
    bool FDeclinedAsUpToDate = false;
    TRunRecord *FRecord = nullptr;
    QString FDryRunFolder;
    bool PlanCopy(const QString &source, const QString &target, bool existed, uint32_t &error);
    void PlanKeep(const QString &newFile, const QString &installedFile);
    // The errors of the last company's connection attempts, one per distinct text.
    QStringList FConnectErrors;
    QStringList *FHeldLines = nullptr;
    int FConflictCount = 0;
};
