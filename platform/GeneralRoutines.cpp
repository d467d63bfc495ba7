#include "platform/GeneralRoutines.h"

#include "platform/Messages.h"
#include "platform/PlatformTexts.h"
#include "platform/UiServices.h"
#include "oslayer/Exceptions.h"
#include "oslayer/Files.h"
#include "oslayer/Paths.h"
#include "oslayer/SystemInfo.h"
#include "oslayer/WinError.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <random>

using namespace Os;

namespace {

const QString CrLf = QStringLiteral("\r\n");

// The runtime's own words for a value of the wrong kind.
[[noreturn]] void RaiseInvalidRegType(const QString &valueName)
{
    throw ERegistryError(QStringLiteral("Type de données incorrect pour '%1'").arg(valueName));
}

// A string kind or the integer kind; anything else is refused the way the runtime does.
QVariant ValueAsVariant(const QString &valueName, const RegValue &value)
{
    switch (value.Type) {
    case REG_DWORD:
        return QVariant(static_cast<int>(value.AsDword()));
    case REG_SZ:
    case REG_EXPAND_SZ:
        return QVariant(value.AsString());
    default:
        RaiseInvalidRegType(valueName);
    }
}

} // namespace

// ---- System error texts and error reports -------------------------------------------

QString GetSysErrorText(uint32_t code)
{
    QString text = SysErrorMessage(code);
    if (text.isEmpty())
        return PlatformTexts::SysErrorUnknownCode() + QString::number(code);
    return text;
}

QString GetLastSysErrorText()
{
    return GetSysErrorText(GetLastError());
}

void ShowLastError(const QString &text, bool continueAfter)
{
    ShowError(text + CrLf + GetLastSysErrorText());
    if (!continueAfter)
        throw EAbort();
}

void ReportCopyError(const QString &source, const QString &target, bool showOnly)
{
    const QString text = PlatformTexts::CopyErrorCannotCopy() + CrLf + source + CrLf
        + PlatformTexts::CopyErrorTarget() + CrLf + target + CrLf + GetLastSysErrorText();
    if (!showOnly)
        throw Exception(text);
    ShowError(text);
}

void ReportDeleteError(const QString &path, bool showOnly)
{
    const QString text = PlatformTexts::DeleteErrorCannotDelete() + CrLf + path + CrLf + GetLastSysErrorText();
    if (!showOnly)
        throw Exception(text);
    ShowError(text);
}

void ReportAttributeError(const QString &path, bool continueAfter)
{
    ShowError(PlatformTexts::AttributeErrorCannotChange() + CrLf + path + CrLf + GetLastSysErrorText());
    if (!continueAfter)
        throw EAbort();
}

// ---- Random numbers -------------------------------------------------------------------

namespace {

std::mt19937_64 &Generator()
{
    static std::mt19937_64 generator(QRandomGenerator::system()->generate64());
    return generator;
}

} // namespace

void Randomize() { RandSeed(QRandomGenerator::system()->generate64()); }

void RandSeed(uint64_t seed) { Generator().seed(seed); }

uint32_t Random(uint32_t range) { return std::uniform_int_distribution<uint32_t>(0, range - 1)(Generator()); }

// ---- Waiting --------------------------------------------------------------------------

void WaitMilliseconds(int32_t ms)
{
    // A message wait lets windows repaint; where nobody looks at one it is time lost.
    if (ms > 0 && !UiServices().HasWindows())
        return;
    // Elapsed time is measured as an unsigned difference, so a wait across the
    // counter's wrap-around still lasts what was asked.
    const uint32_t span = ms < 0 ? 0u - static_cast<uint32_t>(ms) : static_cast<uint32_t>(ms);
    const uint32_t start = GetTickCount();
    const auto left = [&] {
        const uint32_t elapsed = GetTickCount() - start;
        return elapsed < span ? span - elapsed : 0u;
    };
    QCoreApplication *const application = QCoreApplication::instance();
    const bool processEvents = ms > 0 && application && QThread::currentThread() == application->thread();
    for (uint32_t rest = left(); rest > 0 && !UiServices().Terminated(); rest = left()) {
        if (!processEvents) {
            // Nothing may be handled meanwhile: the thread sleeps in steps of a millisecond
            // and reads the tick count between them, the count being the clock of the wait.
            QThread::msleep(1);
            continue;
        }
        // The thread sleeps in the event loop until the time is up, handling whatever comes
        // meanwhile (repaints, timers). A request to terminate made as a flag alone is seen
        // before the loop sleeps again; a quit of the application (its last window closed)
        // ends every loop, this one too, and with it the wait.
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        bool due = false;
        QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
            due = true;
            loop.quit();
        });
        QObject::connect(
            QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, &loop, [&] {
                if (UiServices().Terminated())
                    loop.quit();
            });
        timer.start(static_cast<int>(std::min<uint32_t>(rest, INT_MAX)));
        loop.exec();
        if (!due)
            return;
    }
}

// ---- Paths and names ------------------------------------------------------------------

QString AddTrailingBackslash(const QString &path)
{
    QString result = path;
    AddTrailingBackslashInPlace(result);
    return result;
}

void AddTrailingBackslashInPlace(QString &path)
{
    if (!path.isEmpty() && !path.endsWith(QLatin1Char('\\')))
        path += QLatin1Char('\\');
}

QString GetParentFolder(const QString &path)
{
    for (qsizetype i = path.size() - 2; i >= 1; --i) {
        if (path.at(i) == QLatin1Char('\\'))
            return path.left(i + 1);
    }
    return path.left(3);
}

QString ExtractFilePath(const QString &path)
{
    for (qsizetype i = path.size() - 1; i >= 0; --i) {
        const QChar c = path.at(i);
        if (c == QLatin1Char('\\') || c == QLatin1Char(':'))
            return path.left(i + 1);
    }
    return QString();
}

QString ExtractFileName(const QString &path)
{
    return path.mid(ExtractFilePath(path).size());
}

QString GetWindowsFolder()
{
    const QString folder = WindowsFolder();
    if (folder.size() < 1 || folder.size() > 259)
        return QString();
    return AddTrailingBackslash(folder);
}

QString GetComputerNameText()
{
    QString name;
    if (GetComputerName(name))
        return name;
    const uint32_t error = GetLastError();
    if (error == ERROR_NOT_LOGGED_ON)
        return QStringLiteral("?");
    ShowLastError(PlatformTexts::GetComputerNameFailed() + QString::number(error), false);
    return QString();
}

QString GetUserNameText()
{
    // A stale 1245 of an earlier call must not turn a name that was read into "?".
    SetLastError(ERROR_SUCCESS);
    QString name;
    const bool ok = GetUserName(name);
    if (GetLastError() == ERROR_NOT_LOGGED_ON)
        return QStringLiteral("?");
    return ok ? name.left(80) : QString();
}

// ---- Registry values ------------------------------------------------------------------

QVariant ReadRegistryValue(RegRoot root, const QString &key, const QString &valueName, uint32_t access,
                           const QString &defaultText, bool createKey)
{
    QVariant result(0);
    const uint32_t mask = access == RegDefaultAccess ? static_cast<uint32_t>(KEY_ALL_ACCESS) : access;
    RegKey regKey;
    const uint32_t rc = createKey ? RegKey::Create(root, key, mask, regKey) : RegKey::Open(root, key, mask, regKey);
    if (rc == ERROR_SUCCESS) {
        RegValue value;
        if (regKey.QueryValue(valueName, value) == ERROR_SUCCESS)
            result = ValueAsVariant(valueName, value);
        else
            result = QVariant(QString());
    } else if (defaultText != QLatin1String("0")) {
        result = QVariant(defaultText);
    }
    return result;
}

QString RegistryValueText(const QVariant &value)
{
    if (value.typeId() == QMetaType::Int)
        return QString::number(value.toInt());
    return value.toString();
}

bool WriteRegistryValue(RegRoot root, const QString &key, const QString &valueName, const QVariant &value,
                        bool createKey)
{
    if (key.isEmpty())
        return false;
    RegKey regKey;
    const uint32_t rc = createKey ? RegKey::Create(root, key, KEY_ALL_ACCESS, regKey)
                                  : RegKey::Open(root, key, KEY_ALL_ACCESS, regKey);
    if (rc != ERROR_SUCCESS)
        return false;
    const QString text = RegistryValueText(value);
    RegValue existing;
    if (regKey.QueryValue(valueName, existing) == ERROR_SUCCESS && existing.Type == REG_DWORD) {
        bool ok = false;
        const int number = text.toInt(&ok, 10);
        if (!ok)
            throw EConvertError(QStringLiteral("'%1' n'est pas une valeur entière valide").arg(text));
        return regKey.SetValue(valueName, RegValue::FromDword(static_cast<uint32_t>(number))) == ERROR_SUCCESS;
    }
    return regKey.SetValue(valueName, RegValue::FromString(text)) == ERROR_SUCCESS;
}

QString ReadRegistryString(RegRoot root, const QString &key, const QString &valueName)
{
    RegKey regKey;
    const uint32_t rc = RegKey::Open(root, key, KEY_READ, regKey);
    if (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND)
        return QString();
    if (rc != ERROR_SUCCESS)
        throw Exception(PlatformTexts::RegistryReadImpossible());
    RegValue value;
    if (regKey.QueryValue(valueName, value) != ERROR_SUCCESS)
        return QString();
    if (value.Type != REG_SZ && value.Type != REG_EXPAND_SZ)
        RaiseInvalidRegType(valueName);
    return value.AsString();
}

void WriteRegistryString(RegRoot root, const QString &key, const QString &valueName, const QString &text)
{
    RegKey regKey;
    if (RegKey::Create(root, key, KEY_ALL_ACCESS, regKey) != ERROR_SUCCESS)
        throw Exception(PlatformTexts::RegistryWriteImpossible());
    if (regKey.SetValue(valueName, RegValue::FromString(text)) != ERROR_SUCCESS)
        throw Exception(PlatformTexts::RegistryWriteImpossible());
}

// ---- Folder browser and drives --------------------------------------------------------

bool BrowseForFolder(const QString &title, quintptr, QString &path, uint32_t flags, const QString &rootPath)
{
    QString chosen = path;
    if (!UiServices().BrowseForFolder(title, chosen, flags | BIF_NEWDIALOGSTYLE, rootPath))
        return false;
    path = chosen;
    return true;
}

QString GetDriveLetters()
{
    QString letters;
    for (const QString &root : LogicalDriveRoots()) {
        for (const QChar c : root) {
            if (c.isLetter() && letters.size() < 26)
                letters += c.toUpper();
        }
    }
    return letters;
}

// ---- Shell file operation -------------------------------------------------------------

namespace {

QStringList SplitNames(const QString &names)
{
    return names.split(QChar(0), Qt::SkipEmptyParts);
}

bool HasMask(const QString &path)
{
    const QString name = ExtractFileName(path);
    return name.contains(QLatin1Char('*')) || name.contains(QLatin1Char('?'));
}

QString StripTrailingBackslash(const QString &path)
{
    if (path.size() > 3 && path.endsWith(QLatin1Char('\\')))
        return path.left(path.size() - 1);
    return path;
}

QString JoinPath(const QString &folder, const QString &name)
{
    return AddTrailingBackslash(folder) + name;
}

// The shell's own code for a destination inside the source folder.
constexpr uint32_t DE_DESTSUBTREE = 0x76;

bool IsDots(const QString &name)
{
    return name == QLatin1String(".") || name == QLatin1String("..");
}

class ShellOperation {
public:
    ShellOperation(uint32_t op, uint32_t flags) : FOp(op), FFlags(flags) {}

    int32_t Run(const QStringList &from, const QStringList &to);
    bool Aborted() const { return FAborted; }

private:
    // The names a source stands for: its mask expanded, or itself when it exists.
    uint32_t Expand(const QString &source, QStringList &items) const;
    bool Confirm(const QString &text);
    uint32_t Fail(const QString &textPattern, const QString &path, uint32_t code);
    uint32_t DeleteItem(const QString &path);
    uint32_t CopyItem(const QString &source, const QString &target, bool move);
    QString CollisionName(const QString &target) const;

    uint32_t FOp;
    uint32_t FFlags;
    bool FAborted = false;
};

uint32_t ShellOperation::Expand(const QString &source, QStringList &items) const
{
    if (HasMask(source)) {
        const QString folder = ExtractFilePath(source);
        if (!DirectoryExists(StripTrailingBackslash(folder)))
            return ERROR_PATH_NOT_FOUND;
        const QStringList names = FindFiles(folder, ExtractFileName(source), !(FFlags & FOF_FILESONLY));
        for (const QString &name : names) {
            if (!IsDots(name))
                items.append(folder + name);
        }
        return ERROR_SUCCESS;
    }
    const QString path = StripTrailingBackslash(source);
    if (GetFileAttributes(path) == INVALID_FILE_ATTRIBUTES) {
        const uint32_t error = GetLastError();
        return error != ERROR_SUCCESS ? error : static_cast<uint32_t>(ERROR_FILE_NOT_FOUND);
    }
    items.append(path);
    return ERROR_SUCCESS;
}

bool ShellOperation::Confirm(const QString &text)
{
    if (FFlags & FOF_NOCONFIRMATION)
        return true;
    if (AskConfirm(text))
        return true;
    FAborted = true;
    return false;
}

uint32_t ShellOperation::Fail(const QString &textPattern, const QString &path, uint32_t code)
{
    if (code == ERROR_SUCCESS)
        code = ERROR_ACCESS_DENIED;
    if (!(FFlags & FOF_NOERRORUI))
        ShowError(textPattern.arg(path) + GetSysErrorText(code));
    SetLastError(code);
    return code;
}

uint32_t ShellOperation::DeleteItem(const QString &path)
{
    const uint32_t attributes = GetFileAttributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return Fail(PlatformTexts::CannotDelete(), path, GetLastError());
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        for (const QString &name : FindFiles(path, QStringLiteral("*"), true)) {
            if (IsDots(name))
                continue;
            if (const uint32_t rc = DeleteItem(JoinPath(path, name)))
                return rc;
        }
        if (!RemoveDirectory(path))
            return Fail(PlatformTexts::CannotDelete(), path, GetLastError());
        return ERROR_SUCCESS;
    }
    // The shell removes read-only files too, once the user agreed to the deletion.
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributes(path, attributes & ~static_cast<uint32_t>(FILE_ATTRIBUTE_READONLY));
    if (!DeleteFile(path))
        return Fail(PlatformTexts::CannotDelete(), path, GetLastError());
    return ERROR_SUCCESS;
}

QString ShellOperation::CollisionName(const QString &target) const
{
    const QString folder = ExtractFilePath(target);
    const QString name = ExtractFileName(target);
    for (int i = 1;; ++i) {
        const QString prefix
            = i == 1 ? PlatformTexts::CopyOfPrefix() : PlatformTexts::CopyNOfPrefix().arg(i);
        QString candidate = folder + prefix + name;
        if (GetFileAttributes(candidate) == INVALID_FILE_ATTRIBUTES)
            return candidate;
    }
}

uint32_t ShellOperation::CopyItem(const QString &source, const QString &target, bool move)
{
    const QString failText = move ? PlatformTexts::CannotMoveItem() : PlatformTexts::CannotCopy();
    if (source.compare(target, Qt::CaseInsensitive) == 0)
        return Fail(failText, source, ERROR_ALREADY_EXISTS);
    const uint32_t attributes = GetFileAttributes(source);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return Fail(failText, source, GetLastError());
    QString destination = target;
    const uint32_t targetAttributes = GetFileAttributes(destination);
    const bool targetExists = targetAttributes != INVALID_FILE_ATTRIBUTES;

    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        // A folder copied into itself would never end; the shell refuses it.
        if (destination.startsWith(AddTrailingBackslash(source), Qt::CaseInsensitive))
            return Fail(failText, source, DE_DESTSUBTREE);
        if (targetExists && !(targetAttributes & FILE_ATTRIBUTE_DIRECTORY))
            return Fail(failText, source, ERROR_ALREADY_EXISTS);
        if (!targetExists && !ForceDirectories(destination))
            return Fail(failText, source, GetLastError());
        for (const QString &name : FindFiles(source, QStringLiteral("*"), true)) {
            if (IsDots(name))
                continue;
            if (const uint32_t rc = CopyItem(JoinPath(source, name), JoinPath(destination, name), move))
                return rc;
            if (FAborted)
                return ERROR_SUCCESS;
        }
        if (move && !RemoveDirectory(source))
            return Fail(failText, source, GetLastError());
        return ERROR_SUCCESS;
    }

    if (targetExists) {
        if (targetAttributes & FILE_ATTRIBUTE_DIRECTORY)
            return Fail(failText, source, ERROR_ALREADY_EXISTS);
        if (FFlags & FOF_RENAMEONCOLLISION) {
            destination = CollisionName(destination);
        } else if (!Confirm(PlatformTexts::ConfirmReplace().arg(ExtractFileName(destination)))) {
            return ERROR_SUCCESS;
        }
    }
    const QString folder = ExtractFilePath(destination);
    if (!folder.isEmpty() && !DirectoryExists(StripTrailingBackslash(folder))
        && !ForceDirectories(StripTrailingBackslash(folder)))
        return Fail(failText, source, GetLastError());
    if (move) {
        // The copy goes through a temporary file beside the target, so nothing half-written
        // is left when it fails; the source goes only once the copy is complete.
        if (!CopyFile(source, destination, false))
            return Fail(failText, source, GetLastError());
        if (!DeleteFile(source))
            return Fail(PlatformTexts::CannotDelete(), source, GetLastError());
        return ERROR_SUCCESS;
    }
    if (!CopyFile(source, destination, false))
        return Fail(failText, source, GetLastError());
    return ERROR_SUCCESS;
}

int32_t ShellOperation::Run(const QStringList &from, const QStringList &to)
{
    QStringList items;
    QList<int> itemSource; // index of the `from` name each item came from
    for (int i = 0; i < from.size(); ++i) {
        const qsizetype before = items.size();
        if (const uint32_t rc = Expand(from.at(i), items))
            return static_cast<int32_t>(Fail(
                FOp == FO_DELETE ? PlatformTexts::CannotDelete() : PlatformTexts::CannotCopy(), from.at(i), rc));
        for (qsizetype k = before; k < items.size(); ++k)
            itemSource.append(i);
    }

    switch (FOp) {
    case FO_DELETE: {
        if (items.isEmpty())
            return 0;
        const QString question = items.size() == 1
            ? PlatformTexts::ConfirmDeleteOne().arg(ExtractFileName(items.first()))
            : PlatformTexts::ConfirmDeleteMany().arg(items.size());
        if (!Confirm(question))
            return -1;
        for (const QString &item : items) {
            if (const uint32_t rc = DeleteItem(item))
                return static_cast<int32_t>(rc);
        }
        return 0;
    }
    case FO_RENAME: {
        if (items.size() != 1 || to.size() != 1)
            return static_cast<int32_t>(Fail(PlatformTexts::CannotRename(), from.value(0), ERROR_INVALID_PARAMETER));
        const QString source = items.first();
        QString target = to.first();
        if (ExtractFilePath(target).isEmpty())
            target = ExtractFilePath(source) + target;
        if (GetFileAttributes(target) != INVALID_FILE_ATTRIBUTES && source.compare(target, Qt::CaseInsensitive) != 0)
            return static_cast<int32_t>(Fail(PlatformTexts::CannotRename(), source, ERROR_ALREADY_EXISTS));
        if (!MoveFile(source, target))
            return static_cast<int32_t>(Fail(PlatformTexts::CannotRename(), source, GetLastError()));
        return 0;
    }
    case FO_COPY:
    case FO_MOVE: {
        const bool move = FOp == FO_MOVE;
        if (to.isEmpty())
            return static_cast<int32_t>(
                Fail(move ? PlatformTexts::CannotMoveItem() : PlatformTexts::CannotCopy(), from.value(0),
                     ERROR_INVALID_PARAMETER));
        const bool perItem = (FFlags & FOF_MULTIDESTFILES) && to.size() == from.size();
        for (int k = 0; k < items.size(); ++k) {
            const QString &item = items.at(k);
            QString target;
            if (perItem && !HasMask(from.at(itemSource.at(k)))) {
                target = StripTrailingBackslash(to.at(itemSource.at(k)));
            } else {
                const QString dest = StripTrailingBackslash(perItem ? to.at(itemSource.at(k)) : to.first());
                const bool intoFolder = DirectoryExists(dest) || items.size() > 1 || HasMask(from.first());
                target = intoFolder ? JoinPath(dest, ExtractFileName(item)) : dest;
            }
            if (const uint32_t rc = CopyItem(item, target, move))
                return static_cast<int32_t>(rc);
            if (FAborted)
                return -1;
        }
        return 0;
    }
    default:
        return static_cast<int32_t>(ERROR_INVALID_PARAMETER);
    }
}

} // namespace

int32_t ShellFileOperation(uint32_t operation, const QString &from, const QString &to,
                           const QString &progressTitle, uint32_t flags, quintptr)
{
    // With a progress title the shell shows one simple progress, and the caller's flags
    // no longer count.
    const uint32_t effectiveFlags = progressTitle.isEmpty() ? flags : static_cast<uint32_t>(FOF_SIMPLEPROGRESS);
    ShellOperation shellOp(operation, effectiveFlags);
    const int32_t rc = shellOp.Run(SplitNames(from), SplitNames(to));
    if (shellOp.Aborted())
        return -1;
    return rc;
}
