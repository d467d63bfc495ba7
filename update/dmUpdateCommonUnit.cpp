#include "update/dmUpdateCommonUnit.h"

#include "update/FileTransaction.h"
#include "update/PendingDbPhase.h"
#include "update/UpdateTexts.h"

#include "oslayer/Environment.h"
#include "oslayer/Exceptions.h"
#include "oslayer/Files.h"
#include "oslayer/Paths.h"
#include "oslayer/WinError.h"
#include "payload/CodePages.h"
#include "payload/EmbeddedFiles.h"
#include "payload/ManifestText.h"
#include "payload/RtfReader.h"
#include "platform/FileVersionInfo.h"
#include "platform/GeneralRoutines.h"
#include "platform/InstallTools2.h"
#include "platform/Messages.h"
#include "platform/ProductCatalog.h"
#include "platform/UiServices.h"
#include "schema/MultiSte.h"
#include "Common/Impression/dmStructure_Printing_Unit.h"
#include "Common/Interbase/dmDBConnectionUnit.h"
#include "dbaccess/DbError.h"
#include "schema/IBManagers.h"

#include <QDir>
#include <QCryptographicHash>
#include <QTextDocument>

#include <utility>

using namespace UpdateTexts;

namespace {

const QString CrLf = QStringLiteral("\r\n");
const QString TempPrefix = QStringLiteral("Update");
// Extracted files are not forced to the disk as they come out of the payload: that
// happens once they are to be put in place (a batch with one flush, or the move itself).
constexpr bool ScratchOnly = false;

// A name of a manifest list becomes a path below the product's folder. One that is
// absolute, names a drive (or a stream, with its colon) or climbs above the folder with
// ".." would write outside the product, so it is never used as a target.
bool IsNameInsideFolder(const QString &name)
{
    if (name.contains(QLatin1Char(':')) || name.startsWith(QLatin1Char('\\'))
        || name.startsWith(QLatin1Char('/')))
        return false;
    int depth = 0;
    const QStringList parts
        = QString(name).replace(QLatin1Char('/'), QLatin1Char('\\')).split(QLatin1Char('\\'));
    for (const QString &part : parts) {
        const QString trimmed = part.trimmed();
        if (trimmed.isEmpty() || trimmed == QLatin1String("."))
            continue;
        if (trimmed == QLatin1String("..")) {
            if (--depth < 0)
                return false;
        } else {
            ++depth;
        }
    }
    return true;
}

bool FileExists(const QString &path) { return !path.isEmpty() && TWindowsInstaller::FileExists(path); }

bool FolderExists(const QString &path) { return !path.isEmpty() && Os::DirectoryExists(path); }

} // namespace

TdmUpdateCommon::TdmUpdateCommon(QObject *owner, TAcceptedVersionTable acceptedVersions)
    : QObject(owner)
{
    // The company list is loaded once, here, and not again during the update.
    EnsureFMultiSte().ChargeFichier();
    FInstaller = std::make_unique<TWindowsInstaller>(QString());
    FStream.open(QIODevice::ReadWrite);
    FConnection = new TdmDBConnection(this, std::move(acceptedVersions));
    FPrintStorage = std::make_unique<TdmStructurePrinting>(nullptr, QString(), FConnection);
}

TdmUpdateCommon::~TdmUpdateCommon()
{
    // Whatever was staged and never committed is undone before the temporary files go.
    FTransaction.reset();
    FPrintStorage.reset();
    FInstaller.reset();
    // Our own extracted files only: the mask keeps every other file of the folder.
    DeleteTempFiles(TempPrefix + QLatin1String("*.tmp"));
}

// --- Payload -------------------------------------------------------------------------

int TdmUpdateCommon::LoadList(const QString &name, QStringList &list)
{
    list.clear();
    QBuffer stream;
    stream.open(QIODevice::ReadWrite);
    if (!ReadEmbeddedToStream(name, stream))
        return 0;
    list = DecodeManifestLines(stream.data());
    return int(list.size());
}

int TdmUpdateCommon::LoadRichText(const QString &name, QTextDocument &document)
{
    document.clear();
    QBuffer stream;
    stream.open(QIODevice::ReadWrite);
    if (!ReadEmbeddedToStream(name, stream))
        return 0;
    stream.seek(0);
    StreamRichText(document, stream);
    // An empty document still has its one empty block: it holds no line.
    if (document.isEmpty())
        return 0;
    return document.blockCount();
}

bool TdmUpdateCommon::HasRichText(const QString &name)
{
    QBuffer stream;
    stream.open(QIODevice::ReadWrite);
    return ReadEmbeddedToStream(name, stream) && RichTextHasContent(stream.data());
}

// --- Report --------------------------------------------------------------------------

void TdmUpdateCommon::AddReportLine(const QString &text, int pointSize, const QString &fontName)
{
    if (FReport)
        FReport->AddLine(text, pointSize, fontName);
}

// --- Temporary area and product folders ----------------------------------------------

void TdmUpdateCommon::SetDryRun(const QString &scratchHostFolder)
{
    FDryRunFolder = scratchHostFolder;
    FTempFolder = AddTrailingBackslash(
        QStringLiteral("\\\\?\\unix") + QString(scratchHostFolder).replace(QLatin1Char('/'), QLatin1Char('\\')));
}

bool TdmUpdateCommon::PlanCopy(const QString &source, const QString &target, bool existed, uint32_t &error)
{
    // The test the copy would meet: a file held open by another process.
    error = existed ? GetFileLockError(target) : 0;
    if (error != 0)
        return false;
    if (FRecord) {
        (existed ? FRecord->Replaced : FRecord->Added).append(target);
        FRecord->Planned.append({existed ? TPlannedFile::Replace : TPlannedFile::Add, target,
                                 existed ? GetFileVersionString(target) : QString(), GetFileVersionString(source)});
    }
    return true;
}

void TdmUpdateCommon::PlanKeep(const QString &newFile, const QString &installedFile)
{
    if (DryRun() && FRecord)
        FRecord->Planned.append(
            {TPlannedFile::Keep, installedFile, GetFileVersionString(installedFile), GetFileVersionString(newFile)});
}


const QString &TdmUpdateCommon::TempFolder()
{
    if (FTempFolder.isEmpty())
        FTempFolder = AddTrailingBackslash(Os::TempFolder());
    return FTempFolder;
}

QString TdmUpdateCommon::TempFileName(const QString &prefix)
{
    const QString folder = TempFolder();
    const auto taken
        = [](uint32_t error) { return error == Os::ERROR_FILE_EXISTS || error == Os::ERROR_ALREADY_EXISTS; };
    // A name taken by someone else between our test and our creation is simply skipped;
    // after this many tries the folder is not usable and the system's error says why.
    uint32_t error = Os::ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString path = folder + prefix + QString::number(Random(10000000)) + QLatin1String(".tmp");
        if (Os::CreateNewFile(path)) {
            FOwnTemp.insert(path);
            return path;
        }
        error = Os::GetLastError();
        // A file under the name (one of an earlier run) is deleted, which the report tells;
        // anything else there, such as a planted link, is passed by. A name this engine drew
        // may still hold a file it has not put in place yet: another name is drawn.
        if (taken(error) && !FOwnTemp.contains(path)
            && Os::GetFileAttributes(path) != Os::INVALID_FILE_ATTRIBUTES) {
            DeleteFileLogged(path);
            if (Os::CreateNewFile(path)) {
                FOwnTemp.insert(path);
                return path;
            }
            error = Os::GetLastError();
        }
        if (!taken(error))
            throw Os::EOSError(error);
    }
    throw Os::EOSError(error);
}

void TdmUpdateCommon::DeleteFileLogged(const QString &path)
{
    AddReportLine(FileDeleted.arg(path) + CrLf);
    if (!Os::DeleteFile(path))
        Os::RaiseLastOSError();
}

bool TdmUpdateCommon::DeleteTempFiles(const QString &mask)
{
    try {
        const QString folder = TempFolder();
        bool ok = true;
        for (const QString &name : Os::FindFiles(folder, mask))
            ok = Os::DeleteFile(folder + name) && ok;
        return ok;
    } catch (const std::exception &) {
        return false;
    }
}

void TdmUpdateCommon::LocateFolder(const QString &name, QString &path)
{
    int hits = 0;
    QString firstHit;
    for (const QChar letter : GetDriveLetters()) {
        const QString root = QString(letter) + QLatin1String(":\\");
        const uint32_t type = Os::GetDriveType(root);
        if (type != Os::DRIVE_FIXED && type != Os::DRIVE_REMOTE)
            continue;
        if (Os::DirectoryExists(root + name)) {
            if (++hits == 1)
                firstHit = root + name;
        }
    }
    if (hits > 0)
        path = firstHit;
    if (hits == 1)
        return;

    for (;;) {
        if (hits == 0)
            ShowError(FolderNotFound.arg(name) + QLatin1Char(' ') + PointToIt);
        else
            ShowError(SeveralFolders.arg(QString::number(hits), name));
        QString chosen = path;
        if (!BrowseForFolder(SelectFolder.arg(name), 0, chosen,
                BIF_RETURNONLYFSDIRS | BIF_STATUSTEXT | BIF_VALIDATE, QString())) {
            // A choice that did not hold the folder is never handed back as if it did.
            path = firstHit;
            return;
        }
        path = GetParentFolder(chosen) + name;
        hits = 0;
        if (Os::DirectoryExists(path))
            return;
    }
}

uint32_t TdmUpdateCommon::OwnDriveType()
{
    const QString own = Os::WindowsPath(Os::Environment::OwnExecutableHostPath());
    return Os::GetDriveType(own.left(3));
}

bool TdmUpdateCommon::OpenDialogProgExecute(QString &fileName)
{
    return UiServices().OpenFile(QString(), fileName);
}

bool TdmUpdateCommon::AskProgramFile(QString &fileName)
{
    ShowError(ProgramNotFound.arg(fileName) + QLatin1Char(' ') + PointToIt);
    QString chosen = fileName;
    if (OpenDialogProgExecute(chosen) && !chosen.isEmpty()) {
        fileName = chosen;
        return true;
    }
    fileName.clear();
    return false;
}

// --- Installed-file replacement ------------------------------------------------------

bool TdmUpdateCommon::CopyLogged(const QString &source, const QString &target, bool log, uint32_t &error)
{
    if (log) {
        AddReportLine(CopyOf + source);
        AddReportLine(CopyTo + target + CrLf);
        WaitMilliseconds(10);
    }
    if (DryRun()) {
        const bool existed = Os::GetFileAttributes(target) != Os::INVALID_FILE_ATTRIBUTES;
        return PlanCopy(source, target, existed, error);
    }
    // The file is staged beside the target and put in place when the transaction commits.
    // An extracted file is read by nobody after its copy: it is moved there itself, so that
    // its bytes are written once.
    const auto scratch = FScratch.constFind(source);
    const bool movable = scratch != FScratch.constEnd();
    error = Transaction().Stage(source, movable, target);
    if (error == 0 && movable)
        FScratch.erase(scratch);
    return error == 0;
}

void TdmUpdateCommon::CopyFileLogged(const QString &source, const QString &target, bool log)
{
    Transacted([&] {
        uint32_t error = 0;
        if (!CopyLogged(source, target, log, error))
            throw Os::Exception(CopySource + source + CrLf + CopyTarget + target + CrLf + CrLf + CopyError
                + Os::OSErrorText(error));
        return uoSuccess;
    });
}

TUpdateOutcome TdmUpdateCommon::ReplaceIfNewer(
    const QString &newFile, const QString &installedFile, bool mustExist, bool checkOnly)
{
    return Transacted([&] { return ReplaceIfNewerSteps(newFile, installedFile, mustExist, checkOnly); });
}

TUpdateOutcome TdmUpdateCommon::ReplaceIfNewerSteps(
    const QString &newFile, const QString &installedFile, bool mustExist, bool checkOnly)
{
    if (mustExist && !FileExists(installedFile))
        throw Os::Exception(FileNotFound.arg(installedFile));

    const int32_t comparison = FInstaller->CompareFileVersion(installedFile, newFile);
    if (FRecord && FRecord->ComparedFile.isEmpty()) {
        FRecord->ComparedFile = installedFile;
        FRecord->VersionBefore = GetFileVersionString(installedFile);
    }
    if (comparison < 0) {
        MessageBeep(MB_ICONEXCLAMATION);
        if (!AskConfirm(TheFile + ExtractFileName(installedFile) + InstalledIsNewer)) {
            FDeclinedAsUpToDate = false;
            PlanKeep(newFile, installedFile);
            LogNotReplaced(installedFile);
            return uoNotDone;
        }
    } else if (comparison == 0) {
        MessageBeep(MB_ICONEXCLAMATION);
        if (!AskConfirm(TheFile + ExtractFileName(installedFile) + InstalledIsSame)) {
            FDeclinedAsUpToDate = true;
            PlanKeep(newFile, installedFile);
            LogUpToDate(installedFile);
            return uoNotDone;
        }
    }
    if (checkOnly)
        return uoSuccess;
    // The two copy lines already tell which file it was; the outcome says it failed.
    uint32_t error = 0;
    return CopyLogged(newFile, installedFile, true, error) ? uoSuccess : uoFailure;
}

namespace {

// Keeps the lines written while a file is extracted, so that they can still be written
// where that file's copy stands in the report.
class TLineBuffer final : public IUpdateReport {
public:
    struct TLine {
        QString Text;
        int PointSize;
        QString FontName;
    };
    void AddLine(const QString &text, int pointSize, const QString &fontName) override
    {
        FLines.append({ text, pointSize, fontName });
    }
    QList<TLine> Take() { return std::exchange(FLines, {}); }

private:
    QList<TLine> FLines;
};

// A batch of extracted files is flushed once; this bounds the bytes a batch holds on the
// disk before its files are in place, and the time the window goes without repainting.
uint64_t ListedBatchBytes = uint64_t(64) * 1024 * 1024;

} // namespace

struct TdmUpdateCommon::TListedFile {
    QString Name;
    QString Extracted;
    QString Error; // why it could not be extracted
    QList<TLineBuffer::TLine> Lines; // written while it was extracted
    bool Outside = false; // a name that would land outside the folder
};

QList<TdmUpdateCommon::TListedFile> TdmUpdateCommon::ExtractListedFiles(qsizetype &next)
{
    TLineBuffer buffer;
    IUpdateReport *const report = std::exchange(FReport, &buffer);
    struct TRebind {
        IUpdateReport *&Bound;
        IUpdateReport *Report;
        ~TRebind() { Bound = Report; }
    } rebind { FReport, report };

    QList<TListedFile> files;
    uint64_t bytes = 0;
    while (next < FFileNames.size() && bytes < ListedBatchBytes) {
        TFileTransaction::ThrowIfInterrupted();
        TListedFile file;
        file.Name = FFileNames.at(next++);
        file.Outside = !IsNameInsideFolder(file.Name);
        if (!file.Outside) {
            try {
                file.Extracted = Extract(file.Name, false);
                uint64_t size = 0;
                if (!file.Extracted.isEmpty() && Os::GetFileSize(file.Extracted, size))
                    bytes += size;
            } catch (const Os::Exception &e) {
                file.Error = e.Message();
            }
        }
        file.Lines = buffer.Take();
        files.append(file);
    }
    return files;
}

void TdmUpdateCommon::ReportListedFileError(const QString &target, const QString &message)
{
    AddReportLine(ErrorDuringUpdate.arg(target) + CrLf + CopyError + message + CrLf);
}

void TdmUpdateCommon::SetListedBatchBytes(uint64_t bytes) { ListedBatchBytes = bytes; }

bool TdmUpdateCommon::InstallListedFiles(const QString &folder, bool log)
{
    bool result = true;
    // A file that failed leaves the others to be put in place, as the caller decides.
    Transacted([&] {
        result = InstallListedFilesSteps(folder, log);
        return uoSuccess;
    });
    return result;
}

bool TdmUpdateCommon::InstallListedFilesSteps(const QString &folder, bool log)
{
    bool result = true;
    const QString target = AddTrailingBackslash(folder);
    qsizetype next = 0;
    while (next < FFileNames.size()) {
        // A batch comes out of the payload first; each copy is then a rename beside its
        // target, and the commit brings them all to the disk with one flush. The report
        // reads as if each file were extracted just before its copy.
        const QList<TListedFile> files = ExtractListedFiles(next);
        for (const TListedFile &file : files) {
            for (const auto &line : file.Lines)
                AddReportLine(line.Text, line.PointSize, line.FontName);
            if (file.Outside) {
                AddReportLine(NameOutsideFolder.arg(file.Name) + CrLf);
                result = false;
                continue;
            }
            // A failed file is named with the system's reason, so that the user knows
            // which files of the product are still the old ones.
            if (!file.Error.isEmpty()) {
                ReportListedFileError(target + file.Name, file.Error);
                result = false;
                continue;
            }
            uint32_t error = 0;
            if (!CopyLogged(file.Extracted, target + file.Name, log, error)) {
                ReportListedFileError(target + file.Name, Os::OSErrorText(error));
                result = false;
            }
        }
    }
    return result;
}

void TdmUpdateCommon::LogUpToDate(const QString &installedFile)
{
    AddReportLine(TheFile + installedFile);
    AddReportLine(UpToDateNotReplaced + CrLf);
}

void TdmUpdateCommon::LogNotReplaced(const QString &installedFile)
{
    AddReportLine(TheFile + installedFile);
    AddReportLine(NotReplaced + CrLf);
}

// --- Shared steps of the procedures --------------------------------------------------

QString TdmUpdateCommon::Extract(const QString &name, bool required)
{
    QString written;
    ExtractEmbeddedFile(name, TempFileName(TempPrefix), written, ScratchOnly);
    if (written.isEmpty()) {
        if (required)
            throw Os::Exception(CannotFind + name);
        return written;
    }
    FScratch.insert(written, false);
    return written;
}

void TdmUpdateCommon::CopyOptionalCompanions(std::initializer_list<const char *> names, const QString &folder,
    bool onlyWhenInstalled, QString &current)
{
    for (const char *name : names) {
        current = QString::fromLatin1(name);
        const QString extracted = Extract(current, false);
        if (extracted.isEmpty())
            continue;
        const QString target = AddTrailingBackslash(folder) + current;
        if (onlyWhenInstalled && !FileExists(target))
            continue;
        CopyFileLogged(extracted, target, true);
    }
}

bool TdmUpdateCommon::InstallFileNames(const QString &folder, bool log)
{
    LoadList(QStringLiteral("FileNames.txt"), FFileNames);
    return InstallListedFiles(folder, log);
}

TUpdateOutcome TdmUpdateCommon::WithErrorLine(
    const QString &current, const std::function<TUpdateOutcome()> &body, bool bareWhenNoName)
{
    try {
        return body();
    } catch (const Os::Exception &e) {
        if (bareWhenNoName && current.isEmpty())
            AddReportLine(e.Message());
        else
            ReportProcedureError(current, e.Message());
        return uoFailure;
    }
}

void TdmUpdateCommon::ReportProcedureError(const QString &currentName, const QString &message)
{
    AddReportLine(ErrorDuringUpdate.arg(currentName) + CrLf + message);
}

bool TdmUpdateCommon::FindProgramFile(QString &installed)
{
    if (FileExists(installed))
        return true;
    AskProgramFile(installed);
    return FileExists(installed);
}

uint16_t TdmUpdateCommon::MajorVersion(const QString &path) const
{
    uint16_t v1 = 0, v2 = 0, v3 = 0, v4 = 0;
    if (!TWindowsInstaller::GetFileVersion(path, v1, v2, v3, v4))
        throw Os::Exception(path + CrLf + UnknownVersion);
    return v1;
}

bool TdmUpdateCommon::PassesMajorGuard(
    uint16_t guardedMajor, const QString &extracted, const QString &installed)
{
    const uint16_t newMajor = MajorVersion(extracted);
    const uint16_t installedMajor = MajorVersion(installed);
    return !RefusedByMajorVersion(guardedMajor, installedMajor, newMajor);
}

bool TdmUpdateCommon::RefusedByMajorVersion(uint16_t guardedMajor, uint16_t installedMajor, uint16_t newMajor)
{
    if (OwnDriveType() == Os::DRIVE_CDROM || installedMajor != guardedMajor || newMajor <= installedMajor)
        return false;
    MessageBeep(MB_ICONEXCLAMATION);
    AddReportLine(CrLf + UpdateImpossible);
    ShowPlainMessage(UpdateImpossible);
    return true;
}

bool TdmUpdateCommon::LockTestFails(const QString &path)
{
    const uint32_t code = GetFileLockError(path);
    if (code == 0)
        return false;
    ShowPlainMessage(ErrorDuringUpdate.arg(path) + CrLf + GetSysErrorText(code) + QLatin1String(" (")
        + QString::number(code) + QLatin1Char(')'));
    return true;
}

QString TdmUpdateCommon::FindRootFolder()
{
    QString root = GetBaseFolder();
    if (root.isEmpty()) {
        LocateFolder(QStringLiteral("WDremlix"), root);
        root = AddTrailingBackslash(root);
    }
    return root;
}

// --- The run's file transaction --------------------------------------------------------

TFileTransaction &TdmUpdateCommon::Transaction()
{
    if (!FTransaction)
        FTransaction = std::make_unique<TFileTransaction>(
            QDir(Os::Environment::PrefixRoot()).filePath(QStringLiteral(".dremlix-update")));
    return *FTransaction;
}

TUpdateOutcome TdmUpdateCommon::Transacted(const std::function<TUpdateOutcome()> &body)
{
    // A dry run stages nothing: there is nothing to finish, put in place or put back.
    if (FTransactionDepth > 0 || DryRun())
        return body();
    struct TSignals {
        TSignals() { TFileTransaction::CatchSignals(true); }
        ~TSignals() { TFileTransaction::CatchSignals(false); }
    } signalsCaught;
    FinishInterruptedRun();
    TUpdateOutcome outcome = uoNothing;
    ++FTransactionDepth;
    try {
        outcome = body();
        TFileTransaction::ThrowIfInterrupted();
    } catch (...) {
        FTransactionDepth = 0;
        RollBackFiles();
        throw;
    }
    FTransactionDepth = 0;
    if (outcome == uoFailure) {
        RollBackFiles();
        return outcome;
    }
    return CommitFiles() ? outcome : uoFailure;
}

bool TdmUpdateCommon::CommitFiles()
{
    if (!FTransaction || !FTransaction->Pending())
        return true;
    QString target;
    const QList<TFileTransaction::TEntry> staged = FTransaction->Entries();
    const uint32_t error = FTransaction->Commit(target);
    if (error == 0) {
        if (FRecord) {
            for (const TFileTransaction::TEntry &entry : staged)
                (entry.Existed ? FRecord->Replaced : FRecord->Added).append(entry.Target);
        }
        return true;
    }
    if (TFileTransaction::Interrupted()) {
        RollBackFiles();
        TFileTransaction::ThrowIfInterrupted();
    }
    ReportListedFileError(target, Os::OSErrorText(error));
    RollBackFiles();
    return false;
}

void TdmUpdateCommon::RollBackFiles()
{
    if (!FTransaction)
        return;
    const QList<TFileTransaction::TEntry> undone = FTransaction->RollBack();
    if (undone.isEmpty())
        return;
    for (const TFileTransaction::TEntry &entry : undone) {
        AddReportLine((entry.Existed ? FileRestored : FileRemoved).arg(entry.Target));
        if (FRecord)
            FRecord->Restored.append(entry.Target);
    }
    AddReportLine(FilesRolledBack + CrLf);
}

void TdmUpdateCommon::FinishInterruptedRun()
{
    switch (Transaction().Recover()) {
    case TFileTransaction::TRecovery::RolledBack:
        AddReportLine(EarlierRunRolledBack + CrLf);
        break;
    case TFileTransaction::TRecovery::Completed:
        AddReportLine(EarlierRunCompleted + CrLf);
        break;
    case TFileTransaction::TRecovery::Nothing:
        break;
    }
}

// As before, a folder that cannot be made is told by the copies into it.
void TdmUpdateCommon::ForceFolder(const QString &folder)
{
    if (!DryRun())
        Transaction().ForceFolder(folder);
}

// --- Procedures of the main products --------------------------------------------------

TUpdateOutcome TdmUpdateCommon::UpdateOrvanta()
{
    return Transacted([this] { return OrvantaSteps(); });
}

TUpdateOutcome TdmUpdateCommon::OrvantaSteps()
{
    QString current = QStringLiteral("Orvanta.exe");
    const QString extracted = Extract(current, true);
    return WithErrorLine(
        current,
        [&] {
            const QString root = FindRootFolder();
            if (!FolderExists(root))
                return uoFailure;
            QString installed = root + ProductFolder(FProductCode) + QLatin1String("\\Programs\\Orvanta.exe");
            if (!FindProgramFile(installed) || !PassesMajorGuard(4, extracted, installed)
                || LockTestFails(installed))
                return uoFailure;

            const QString folder = ExtractFilePath(installed);
            current = QStringLiteral("ORV_DB_INTF.dll");
            const QString library = Extract(current, false);
            QString installedLibrary;
            if (!library.isEmpty()) {
                installedLibrary = folder + QLatin1String("ORV_DB_INTF") + QLatin1String(".dll");
                if (LockTestFails(installedLibrary))
                    return uoFailure;
            }

            const TUpdateOutcome replaced = ReplaceIfNewer(extracted, installed, true, false);
            if (replaced != uoSuccess)
                return replaced;
            if (!installedLibrary.isEmpty() && FileExists(installedLibrary))
                CopyFileLogged(library, installedLibrary, true);
            CopyOptionalCompanions(
                { "Dremlix.dll", "Orvanta_FR.chm", "Orvanta_IT.chm" }, folder, false, current);
            current.clear();
            const TUpdateOutcome outcome = UpdatePrintLists(QString());
            UpdatePdfLibrary();
            return outcome;
        },
        true);
}

TUpdateOutcome TdmUpdateCommon::UpdateVestrel()
{
    return Transacted([this] { return VestrelSteps(); });
}

TUpdateOutcome TdmUpdateCommon::VestrelSteps()
{
    QString current = QStringLiteral("OVVestrel2.dll");
    const QString extracted = Extract(current, true);
    return WithErrorLine(current, [&] {
        const QString root = FindRootFolder();
        if (!FolderExists(root))
            return uoFailure;
        const QString name = ProductName(PC_VESTREL);
        const QString installed = root + name + QLatin1String("\\Programs\\OVVestrel2.dll");
        if (!FileExists(installed))
            throw Os::Exception(FileNotFound.arg(installed));
        const TUpdateOutcome replaced = ReplaceIfNewer(extracted, installed, true, false);
        if (replaced != uoSuccess)
            return replaced;
        SetProductPath(name, installed);
        CopyOptionalCompanions({ "Norkel.dll", "Vestrel.chm" }, ExtractFilePath(installed), false, current);
        current.clear();
        return UpdatePrintLists(QString());
    });
}

TUpdateOutcome TdmUpdateCommon::UpdateSorvane()
{
    return Transacted([this] { return SorvaneSteps(); });
}

TUpdateOutcome TdmUpdateCommon::SorvaneSteps()
{
    QString current;
    return WithErrorLine(current, [&] {
        QString installed = GetProductPath(ProductName(PC_SORVANE), true);
        if (!FindProgramFile(installed))
            return uoFailure;
        const QString folder = ExtractFilePath(installed);
        const QString installedLibrary = folder + QLatin1String("SVE_INTF") + QLatin1String(".dll");
        if (!FileExists(installedLibrary))
            throw Os::Exception(NotInstalled.arg(installedLibrary));

        current = QStringLiteral("Sorvane.exe");
        const QString extracted = Extract(current, true);
        if (!PassesMajorGuard(5, extracted, installed) || LockTestFails(installed)
            || LockTestFails(installedLibrary))
            return uoFailure;
        const TUpdateOutcome replaced = ReplaceIfNewer(extracted, installed, true, false);
        if (replaced != uoSuccess)
            return replaced;

        current = QStringLiteral("SVE_INTF.dll");
        CopyFileLogged(Extract(current, true), installedLibrary, true);
        CopyOptionalCompanions(
            { "SVKELT.exe", "SVMRA.exe", "SVDOUN.exe", "XKJ.exe", "XKJw.exe" }, folder, true, current);
        CopyOptionalCompanions({ "Sorvane.chm" }, folder, false, current);
        current.clear();
        return UpdatePrintLists(QString());
    });
}

TUpdateOutcome TdmUpdateCommon::UpdateXtq()
{
    return Transacted([this] { return XtqSteps(); });
}

TUpdateOutcome TdmUpdateCommon::XtqSteps()
{
    QString current = QStringLiteral("XTQ.exe");
    const QString extracted = Extract(current, true);
    return WithErrorLine(current, [&] {
        QString installed = GetProductPath(ProductName(PC_XTQ), true);
        if (!FindProgramFile(installed))
            return uoFailure;
        const TUpdateOutcome replaced = ReplaceIfNewer(extracted, installed, true, false);
        if (replaced != uoSuccess)
            return replaced;
        CopyOptionalCompanions({ "XTQDOC.pdf", "XTQHELP.rtf" }, ExtractFilePath(installed), false, current);
        return UpdatePrintLists(QString());
    });
}

// --- Procedures of the listed-file products ------------------------------------------

TUpdateOutcome TdmUpdateCommon::UpdateBruncet()
{
    return Transacted([this] { return BruncetSteps(); });
}

TUpdateOutcome TdmUpdateCommon::BruncetSteps()
{
    // Every error here reaches the run, which shows it and reports the failure.
    const QString name = ProductName(PC_BRUNCET);
    const QString extracted = Extract(QStringLiteral("Bruncet.exe"), true);
    QString base = GetProductPath(name, true);
    if (base.isEmpty())
        throw Os::Exception(ProgramNotFound.arg(name));
    base = AddTrailingBackslash(base);
    const QString installed = base + QLatin1String("Bruncet.exe");
    if (!FileExists(installed))
        throw Os::Exception(ProgramNotFound.arg(installed));
    uint16_t v1 = 0, v2 = 0, v3 = 0, v4 = 0;
    if (!TWindowsInstaller::GetFileVersion(installed, v1, v2, v3, v4) || v1 != 3)
        throw Os::Exception(installed + CrLf + UnknownVersion);

    const TUpdateOutcome outcome = ReplaceIfNewer(extracted, installed, true, false);
    if (outcome != uoSuccess)
        return outcome;

    CopyFileLogged(Extract(QStringLiteral("Bruncet.etf"), false), base + name + QLatin1String(".etf"), true);

    LoadList(QStringLiteral("FileNames.txt"), FFileNames);
    for (qsizetype i = 0; i < FFileNames.size(); ++i) {
        if (FFileNames.at(i).compare(QLatin1String("Bruncet.etf"), Qt::CaseInsensitive) == 0) {
            FFileNames.removeAt(i);
            break;
        }
    }
    AddReportLine(CopyOf + DataFiles);
    WaitMilliseconds(100);
    return InstallListedFiles(base + QLatin1String("Data"), false) ? uoSuccess : uoFailure;
}

TUpdateOutcome TdmUpdateCommon::UpdateFalcrest()
{
    return Transacted([this] { return FalcrestSteps(); });
}

TUpdateOutcome TdmUpdateCommon::FalcrestSteps()
{
    const QString current = QStringLiteral("Falcrest.exe");
    const QString extracted = Extract(current, true);
    return WithErrorLine(current, [&] {
        // Falcrest lives beside the main product: <root>\Kestrin\Programs\.
        const QString mainFolder = GetProductPath(ProductName(PC_ORVANTA), false);
        const QString folder = GetParentFolder(GetParentFolder(mainFolder)) + QLatin1String("Kestrin\\")
            + QLatin1String("Programs\\");
        const QString installed = folder + current;
        if (!FileExists(installed))
            throw Os::Exception(ProgramNotFound.arg(installed));

        const TUpdateOutcome replaced = ReplaceIfNewer(extracted, installed, true, true);
        if (replaced != uoSuccess)
            return replaced;
        if (!InstallFileNames(folder, true))
            return uoWarnings;
        UpdatePrintLists(folder);
        // The program goes last, so that a failure before leaves the old one working.
        CopyFileLogged(extracted, installed, true);
        return uoSuccess;
    });
}

TUpdateOutcome TdmUpdateCommon::UpdateNimbrelCalvane(uint8_t code)
{
    return Transacted([this, code] { return NimbrelCalvaneSteps(code); });
}

TUpdateOutcome TdmUpdateCommon::NimbrelCalvaneSteps(uint8_t code)
{
    const QString relative
        = code == PC_NIMBREL ? QStringLiteral("qrt\\SA-00.int") : QStringLiteral("gs\\GS-00.int");
    const QString name = ProductName(code);
    const QString extracted = Extract(relative, true);

    QString base;
    const QString registered = GetProductPath(name, false);
    if (!registered.isEmpty())
        base = GetParentFolder(registered);
    if (base.isEmpty())
        LocateFolder(QStringLiteral("Dremlix5"), base);
    if (base.isEmpty())
        throw Os::Exception(FolderNotFound.arg(QStringLiteral("Dremlix5")));
    base = AddTrailingBackslash(base);

    return WithErrorLine(relative, [&] {
        const QString installed = base + relative;
        SetProductPath(name, installed);
        const TUpdateOutcome replaced = ReplaceIfNewer(extracted, installed, true, true);
        if (replaced != uoSuccess)
            return replaced;
        ForceFolder(base + QLatin1String("Images07"));
        if (!InstallFileNames(base, true))
            return uoWarnings;
        CopyFileLogged(extracted, installed, true);
        return uoSuccess;
    });
}

// The products' shared programs folder (empty without a root folder), created when missing
// and asked for.
QString TdmUpdateCommon::SharedProgramsFolder(bool create)
{
    const QString root = GetBaseFolder();
    if (root.isEmpty())
        return {};
    QString folder = AddTrailingBackslash(root) + QLatin1String("Common\\") + QLatin1String("Programs\\");
    if (create && !FolderExists(folder))
        ForceFolder(folder);
    return folder;
}

TUpdateOutcome TdmUpdateCommon::UpdateCommonPrograms()
{
    return Transacted([this] { return CommonProgramsSteps(); });
}

TUpdateOutcome TdmUpdateCommon::CommonProgramsSteps()
{
    return WithErrorLine(QStringLiteral("Common_Programs"), [&] {
        const QString folder = SharedProgramsFolder();
        if (folder.isEmpty())
            return uoFailure;
        return InstallFileNames(folder, true) ? uoSuccess : uoFailure;
    });
}

TUpdateOutcome TdmUpdateCommon::UpdatePdfLibrary()
{
    return Transacted([this] { return PdfLibrarySteps(); });
}

TUpdateOutcome TdmUpdateCommon::PdfLibrarySteps()
{
    return WithErrorLine(QStringLiteral("Common_Programs"), [&] {
        const QString folder = SharedProgramsFolder();
        if (folder.isEmpty())
            return uoFailure;
        const QString library = Extract(QStringLiteral("wPDF300A.dll"), false);
        if (library.isEmpty())
            return uoFailure;
        AddReportLine(QString());
        CopyFileLogged(library, folder + QLatin1String("wPDF300A.dll"), true);
        return uoSuccess;
    });
}

TUpdateOutcome TdmUpdateCommon::UpdateTrevisk()
{
    return Transacted([this] { return TreviskSteps(); });
}

TUpdateOutcome TdmUpdateCommon::TreviskSteps()
{
    const QString current = QStringLiteral("Trevisk.exe");
    const QString extracted = Extract(current, true);
    return WithErrorLine(current, [&] {
        QString folder = SharedProgramsFolder(false);
        if (folder.isEmpty())
            folder = ExtractFilePath(ReadRegistryString(Os::RegRoot::LocalMachine,
                ProductsRegistryRoot() + QLatin1String("Trevisk\\Program"), QStringLiteral("Filename")));
        if (folder.isEmpty())
            return uoFailure;
        if (!FolderExists(folder))
            ForceFolder(folder);
        const QString installed = AddTrailingBackslash(folder) + current;
        if (!FileExists(installed))
            throw Os::Exception(ProgramNotFound.arg(installed));
        const TUpdateOutcome replaced = ReplaceIfNewer(extracted, installed, true, false);
        if (replaced != uoSuccess)
            return replaced;
        return InstallFileNames(folder, true) ? uoSuccess : uoFailure;
    });
}

// --- Dispatch ------------------------------------------------------------------------

TUpdateOutcome TdmUpdateCommon::RunProcedure(uint8_t code)
{
    // A run of this same update left companies without their lists: its files are in
    // place, so the program's "already up to date" must not stop the lists.
    if (HasPendingDbPhase())
        return FinishPendingDbPhase();
    switch (code) {
    case PC_ORVANTA:
    case PC_ORVANTA_ZELMIC:
        return UpdateOrvanta();
    case PC_VESTREL:
        return UpdateVestrel();
    case PC_BRUNCET:
        return UpdateBruncet();
    case PC_SORVANE:
        return UpdateSorvane();
    case PC_FALCREST:
        return UpdateFalcrest();
    case PC_NIMBREL:
    case PC_DREMLIX_CALVANE:
        return UpdateNimbrelCalvane(code);
    case PC_XTQ:
        return UpdateXtq();
    case PC_COMMON:
        return UpdateCommonPrograms();
    case PC_TREVISK:
        return UpdateTrevisk();
    default:
        return uoNothing;
    }
}

// --- Print lists ---------------------------------------------------------------------

TFMultiSte *TdmUpdateCommon::CompanyForm() const { return FMultiSte(); }

TUpdateOutcome TdmUpdateCommon::UpdatePrintLists(const QString &folder)
{
    return Transacted([this, &folder] { return PrintListsSteps(folder); });
}

TUpdateOutcome TdmUpdateCommon::PrintListsSteps(const QString &folder)
{
    switch (FProductCode) {
    case PC_ORVANTA:
    case PC_ORVANTA_ZELMIC:
    case PC_VESTREL:
    case PC_SORVANE:
    case PC_FALCREST:
    case PC_XTQ:
        break;
    default:
        return uoSuccess;
    }
    if (LoadList(QStringLiteral("PrintLists.txt"), FPrintLists) == 0)
        return uoSuccess;
    if (FRecord)
        FRecord->PrintLists = FPrintLists;

    if (FProductCode != PC_FALCREST) {
        // A malformed "Servers.txt" is the update's own fault: its line is the report's.
        LoadServerPins();
    }
    bool ok = true;
    try {
        if (FProductCode == PC_FALCREST) {
            // Falcrest keeps its print lists as files beside its program.
            const QString target = AddTrailingBackslash(folder);
            for (const QString &name : std::as_const(FPrintLists)) {
                if (!IsNameInsideFolder(name)) {
                    AddReportLine(NameOutsideFolder.arg(name) + CrLf);
                    ok = false;
                    continue;
                }
                // Beside the program, so they go in and out with the other files of the run.
                const QString extracted = Extract(name, false);
                if (!extracted.isEmpty()) {
                    uint32_t error = 0;
                    if (!CopyLogged(extracted, target + name, false, error))
                        throw Os::EOSError(error);
                }
                AddReportLine(PrintParams + QLatin1Char('"') + name + QLatin1Char('"') + PrintParamsUpdated);
            }
            AddReportLine(QString());
        } else {
            // The companies' lists belong to the program as it is after the update.
            if (!CommitFiles())
                return uoFailure;
            ok = UpdateCompaniesPrintLists();
        }
    } catch (const EInterrupted &) {
        throw;
    } catch (const std::exception &) {
        throw Os::Exception(CannotImport);
    }
    return ok ? uoSuccess : uoWarnings;
}

bool TdmUpdateCommon::UpdateCompaniesPrintLists()
{
    QStringList companies;
    const TFMultiSte *form = CompanyForm();
    if (form && !form->Companies().isEmpty())
        companies = form->Companies();
    else
        companies << QString();
    const auto label = [](const QString &company) { return company.isEmpty() ? DefaultCompany : company; };

    QStringList remaining;
    const auto recordRemaining = [&] {
        // A dry run only plans the companies: the prefix keeps whatever it recorded.
        if (DryRun())
            return;
        if (remaining.isEmpty()) {
            PendingDbPhase::Remove();
            return;
        }
        AddReportLine(CrLf + CompaniesRemaining.arg(remaining.join(QStringLiteral(", "))));
        TPendingDbPhase phase;
        phase.ProductCode = FProductCode;
        phase.Product = ProductName(FProductCode);
        phase.PayloadIdentity = PrintListsIdentity();
        phase.Companies = remaining;
        try {
            PendingDbPhase::Write(phase);
        } catch (const Os::Exception &e) {
            AddReportLine(e.Message());
        }
    };
    for (qsizetype i = 0; i < companies.size(); ++i) {
        try {
            if (!UpdateCompanyPrintLists(companies.at(i)))
                remaining << label(companies.at(i));
        } catch (...) {
            for (qsizetype j = i; j < companies.size(); ++j)
                remaining << label(companies.at(j));
            recordRemaining();
            throw;
        }
    }
    recordRemaining();
    return remaining.isEmpty();
}

namespace {

// A whole company is started again this often when it meets another workstation's write
// (many workstations import the same lists at once), after the register's random pause.
// Once one workstation has committed the lists, the others find them current and write
// nothing; but thirty workstations whose lists all differ met up to twelve conflicts in
// a row on two cores.
constexpr int CompanyAttempts = 30;

bool IsConflict(const std::exception &e)
{
    const auto *error = dynamic_cast<const Db::EDatabaseError *>(&e);
    return error && (Db::IsWriteConflict(*error) || Db::IsKeyViolation(*error));
}

QString ErrorText(const std::exception &e)
{
    if (const auto *error = dynamic_cast<const Os::Exception *>(&e))
        return error->Message();
    return QString::fromUtf8(e.what());
}

} // namespace

bool TdmUpdateCommon::UpdateCompanyPrintLists(const QString &company)
{
    const QString label = company.isEmpty() ? DefaultCompany : company;
    if (FRecord)
        FRecord->Companies.append(label);
    AddReportLine(CrLf + CompanyLists + label);
    if (DryRun())
        return true;
    FConnectErrors.clear();
    if (!ConnectCompany(company)) {
        AddReportLine(CompanyUnreachable.arg(label));
        // Why, in the words of the server or of the version check, as a failed copy says.
        for (const QString &error : std::as_const(FConnectErrors))
            AddReportLine(CopyError + error);
        return false;
    }
    if (FRecord && FRecord->ConflictsRetried < 0)
        FRecord->ConflictsRetried = 0;
    // One transaction for the whole company: every list is imported, or none is. Its
    // report lines wait for the commit, as a conflict starts the company again.
    QStringList held;
    QString current;
    try {
        FConnection->DatabaseManager()->Retry(
            CompanyAttempts,
            [&] {
                held.clear();
                FHeldLines = &held;
                FConnection->InTransactionLevel([&] {
                    ResetStream();
                    for (const QString &name : std::as_const(FPrintLists)) {
                        const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
                        const QString extension = dot < 0 ? QString() : name.mid(dot).toLower();
                        current = name;
                        if (extension == QLatin1String(".lst") && ReadEmbeddedToStream(name, FStream))
                            ImportPrintList(name);
                    }
                    current.clear();
                });
                FHeldLines = nullptr;
            },
            [this](const std::exception &e) {
                FHeldLines = nullptr;
                if (!IsConflict(e))
                    return false;
                ++FConflictCount;
                if (FRecord)
                    FRecord->ConflictsRetried = FConflictCount;
                return true;
            });
    } catch (const std::exception &e) {
        FHeldLines = nullptr;
        const QString what = current.isEmpty() ? ListsOfCompany.arg(label) : ListOfCompany.arg(current, label);
        AddReportLine(ErrorDuringUpdate.arg(what) + CrLf + CopyError + ErrorText(e));
        DisconnectCompany();
        throw;
    }
    DisconnectCompany();
    for (const QString &line : std::as_const(held))
        AddReportLine(line);
    return true;
}

void TdmUpdateCommon::ReportImport(const QString &line)
{
    if (FHeldLines)
        FHeldLines->append(line);
    else
        AddReportLine(line);
}

void TdmUpdateCommon::LoadServerPins()
{
    QStringList pins;
    if (LoadList(QStringLiteral("Servers.txt"), pins) > 0)
        FConnection->SetAcceptedVersions(ParseAcceptedVersions(pins));
}

QString TdmUpdateCommon::PrintListsIdentity()
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QStringList names;
    LoadList(QStringLiteral("PrintLists.txt"), names);
    for (const QString &name : std::as_const(names)) {
        QBuffer bytes;
        bytes.open(QIODevice::ReadWrite);
        ReadEmbeddedToStream(name, bytes);
        hash.addData(name.toUtf8());
        hash.addData(QByteArrayView("\n", 1));
        hash.addData(QCryptographicHash::hash(bytes.data(), QCryptographicHash::Sha256));
    }
    return QString::fromLatin1(hash.result().toHex());
}

bool TdmUpdateCommon::HasPendingDbPhase()
{
    const std::optional<TPendingDbPhase> pending = PendingDbPhase::Read();
    return pending && pending->ProductCode == FProductCode && pending->PayloadIdentity == PrintListsIdentity();
}

TUpdateOutcome TdmUpdateCommon::FinishPendingDbPhase()
{
    AddReportLine(PendingListsResumed);
    try {
        return UpdatePrintLists(QString());
    } catch (const Os::Exception &e) {
        AddReportLine(e.Message());
        return uoFailure;
    }
}

void TdmUpdateCommon::ResetStream()
{
    FStream.close();
    FStream.setData(QByteArray());
    FStream.open(QIODevice::ReadWrite);
}

namespace {

struct TDatabaseIdentity {
    int Version;
    const char *Identifier;
};

// The databases a product's companies may have, tried in this order.
QList<TDatabaseIdentity> DatabaseIdentities(uint8_t productCode)
{
    switch (productCode) {
    case PC_ORVANTA:
        return { { 2, "ORV_PRO" }, { 2, "ORV_DX" } };
    case PC_ORVANTA_ZELMIC:
        return { { 2, "ORV_ING" } };
    case PC_VESTREL:
        return { { 2, "OV_Vestrel" } };
    case PC_SORVANE:
        return { { 1, "Sorvane" } };
    case PC_XTQ:
        return { { 1, "XTQ" } };
    default:
        return {};
    }
}

// Lines at CR, LF or CR LF; a final break does not add an empty line.
QStringList SplitLines(const QString &text)
{
    QStringList lines;
    qsizetype start = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
            lines.append(text.mid(start, i - start));
            if (c == QLatin1Char('\r') && i + 1 < n && text.at(i + 1) == QLatin1Char('\n'))
                ++i;
            start = i + 1;
        }
    }
    if (start < n)
        lines.append(text.mid(start));
    return lines;
}

} // namespace

bool TdmUpdateCommon::ConnectCompany(const QString &company)
{
    if (FConnection->Connected())
        return true;
    for (const TDatabaseIdentity &identity : DatabaseIdentities(FProductCode)) {
        if (TryConnectCompany(identity.Version, QString::fromLatin1(identity.Identifier), company))
            return true;
    }
    return false;
}

bool TdmUpdateCommon::TryConnectCompany(
    int databaseVersion, const QString &identifier, const QString &company)
{
    const QString name = company.isEmpty() ? DefaultCompany : company;
    const QString location = GetProductDatabaseName(ProductName(FProductCode), name, true);
    if (location.isEmpty())
        return false;
    WaitCursor wait;
    FConnection->Init(databaseVersion, identifier, DatabaseDescription, ClientShortName);
    FConnection->SetParams(location, QString(), QString(), QString());
    try {
        FConnection->ConnectAsDremlix();
        return true;
    } catch (const std::exception &e) {
        // A refused identity or an unreachable server only means: try the next one. What
        // was refused is kept for the report, should no identity connect.
        const QString error = ErrorText(e);
        if (!FConnectErrors.contains(error))
            FConnectErrors.append(error);
        return false;
    }
}

void TdmUpdateCommon::ImportPrintList(const QString &name)
{
    if (FStream.size() == 0)
        return;
    const QByteArray bytes = FStream.data();
    ResetStream();
    // Print-list files are 8-bit text in the Windows code page.
    const QStringList lines = SplitLines(CodePages::FromWindows1252(bytes));
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString listName = (dot < 0 ? name : name.left(dot)).toLower();
    const QString updated = PrintParams + QLatin1Char('"') + listName + QLatin1Char('"') + PrintParamsUpdated;
    switch (FPrintStorage->StoredState(listName, lines)) {
    case TdmStructurePrinting::TStoredState::Same:
        // Already what this update brings: the row is left alone, the line is the same.
        ReportImport(updated);
        break;
    case TdmStructurePrinting::TStoredState::Different:
        FPrintStorage->UpdatePrintParams(listName, lines);
        ReportImport(updated);
        break;
    case TdmStructurePrinting::TStoredState::Absent: {
        QString description;
        if (FPrintStorage->InsertPrintParams(listName, lines, description))
            ReportImport(PrintParams + QLatin1Char('"') + description + QLatin1Char('"') + PrintParamsAdded);
        else
            ReportImport(updated);
        break;
    }
    }
}

void TdmUpdateCommon::DisconnectCompany() { FConnection->Disconnect(); }
