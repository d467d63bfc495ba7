#include "app/WizardMain.h"

#include "app/AppErrors.h"
#include "app/CommandLine.h"
#include "app/DremlixApplication.h"
#include "app/OneInst.h"
#include "app/QtUiServices.h"
#include "app/UnattendedUiServices.h"
#include "app/WizardInstances.h"
#include "app/frmEndInstallUnit.h"
#include "app/frmMainUnit.h"
#include "oslayer/Environment.h"
#include "oslayer/Exceptions.h"
#include "oslayer/ExeResources.h"
#include "oslayer/OsTexts.h"
#include "oslayer/WineRegistry.h"
#include "payload/EmbeddedFiles.h"
#include "payload/ManifestText.h"
#include "oslayer/SingleInstance.h"
#include "oslayer/VersionResource.h"
#include "platform/FileVersionInfo.h"
#include "update/RunRecord.h"
#include "update/dmUpdateCommonUnit.h"

#include <QDir>
#include <QFile>
#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QPrinter>
#include <QSaveFile>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>

#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString ProgramName(char **argv)
{
    return argv && argv[0] ? QFileInfo(QString::fromLocal8Bit(argv[0])).fileName() : QStringLiteral("wizard");
}

void Print(FILE *stream, const QString &text)
{
    std::fputs(text.toUtf8().constData(), stream);
    std::fflush(stream);
}

// Qt aborts with a core dump when it cannot reach the display it was told to use; tell
// the user what is wrong instead. Platforms other than X11 and Wayland need no display.
bool DisplayAvailable(int argc, char **argv)
{
    QString platform = qEnvironmentVariable("QT_QPA_PLATFORM");
    for (int i = 1; i + 1 < argc; ++i)
        if (qstrcmp(argv[i], "-platform") == 0)
            platform = QString::fromLocal8Bit(argv[i + 1]);
    const bool hasX11 = !qEnvironmentVariableIsEmpty("DISPLAY");
    const bool hasWayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    if (platform.isEmpty())
        return hasX11 || hasWayland;
    if (platform.startsWith(QLatin1String("xcb")))
        return hasX11;
    if (platform.startsWith(QLatin1String("wayland")))
        return hasWayland;
    return true;
}

// The toolkit ends the process with an abort when the display it was told to use does not
// answer; while it starts, that fatal message becomes the refusal it is.
void DisplayFatalHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtFatalMsg) {
        if (type == QtCriticalMsg || type == QtWarningMsg)
            Print(stderr, message + QLatin1Char('\n'));
        return;
    }
    Print(stderr, QStringLiteral("No display can be reached to show the wizard on (%1): start it in a desktop "
                                 "session, or run it with --unattended\n")
                      .arg(message.simplified()));
    std::_Exit(ecRefused);
}

// What makes a folder a Windows environment for the wizard: the drives and both hives.
QString MissingEnvironmentPart(const QString &prefix)
{
    if (QFileInfo::exists(prefix) && !QFileInfo(prefix).isDir())
        return QStringLiteral("%1 is not a folder").arg(prefix);
    if (!QFileInfo(prefix).isDir())
        return QStringLiteral("%1 is missing").arg(prefix);
    for (const char *part : {"dosdevices", "system.reg", "user.reg"}) {
        QString path = QDir(prefix).filePath(QString::fromLatin1(part));
        if (!QFileInfo::exists(path))
            return QStringLiteral("%1 is missing").arg(path);
    }
    return QString();
}

// A report file is checked before the update: a run whose report cannot be written is
// refused before it changes anything, instead of being noticed by nobody afterwards.
QString ReportDestinationFault(const QString &path)
{
    const QFileInfo info(path);
    const QByteArray native = QFile::encodeName(info.absoluteFilePath());
    struct stat st {};
    if (::stat(native.constData(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return QStringLiteral("%1 is a folder").arg(path);
        if (!S_ISREG(st.st_mode))
            return ::access(native.constData(), W_OK) == 0 ? QString()
                                                            : QStringLiteral("%1 cannot be written").arg(path);
    }
    const QString folder = info.absolutePath();
    if (!QFileInfo(folder).isDir())
        return QStringLiteral("the folder %1 does not exist").arg(folder);
    // The report is written beside its target and renamed: the folder takes the writes.
    if (::access(QFile::encodeName(folder).constData(), W_OK | X_OK) != 0)
        return QStringLiteral("the folder %1 cannot be written (%2)")
            .arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
    return QString();
}

// A device or a FIFO named as a report is written into, never replaced by a file: the
// rename of a whole-or-nothing write would put a regular file in the node's place.
bool IsSpecialFile(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

bool WriteInPlace(const QString &path, const QByteArray &bytes, QString &error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = QString::fromLocal8Bit(std::strerror(n < 0 ? errno : EIO));
            ::close(fd);
            return false;
        }
        done += n;
    }
    if (::close(fd) != 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    return true;
}

// A regular file is written whole or not at all; a device or FIFO in place.
bool WriteReportBytes(const QString &path, const QByteArray &bytes, QString &error)
{
    if (IsSpecialFile(path))
        return WriteInPlace(path, bytes, error);
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    error = file.errorString();
    return false;
}

// Run by root on a prefix that belongs to someone else, the wizard becomes that user before
// it reads anything there: the hives name the folders it writes in (TEMP, the product's
// folders, the drives), and those are the owner's to choose, with the owner's rights.
QString BecomePrefixOwner(const QString &prefix)
{
    if (::geteuid() != 0)
        return QString();
    struct stat st {};
    if (::stat(QFile::encodeName(prefix).constData(), &st) != 0 || st.st_uid == 0)
        return QString();
    errno = 0;
    const struct passwd *user = ::getpwuid(st.st_uid);
    if (!user)
        return QStringLiteral("the owner of %1 (uid %2) has no account here").arg(prefix).arg(st.st_uid);
    const QByteArray name = user->pw_name;
    const QByteArray home = user->pw_dir;
    const gid_t group = user->pw_gid;
    // The wizard reads itself all along: it must stay readable to the user it becomes.
    const QByteArray self = QFile::encodeName(Os::Environment::OwnExecutableHostPath());
    if (::initgroups(name.constData(), group) != 0 || ::setegid(group) != 0 || ::seteuid(st.st_uid) != 0)
        return QStringLiteral("cannot become %1, the owner of %2: %3")
            .arg(QString::fromLocal8Bit(name), prefix, QString::fromLocal8Bit(std::strerror(errno)));
    const bool readable = ::faccessat(AT_FDCWD, self.constData(), R_OK, AT_EACCESS) == 0;
    if (::seteuid(0) != 0 || !readable)
        return QStringLiteral("%1, the owner of %2, cannot read the wizard %3")
            .arg(QString::fromLocal8Bit(name), prefix, QString::fromLocal8Bit(self));
    if (::setgid(group) != 0 || ::setuid(st.st_uid) != 0)
        return QStringLiteral("cannot become %1, the owner of %2: %3")
            .arg(QString::fromLocal8Bit(name), prefix, QString::fromLocal8Bit(std::strerror(errno)));
    if (::setuid(0) == 0)
        return QStringLiteral("could become root again after becoming %1").arg(QString::fromLocal8Bit(name));
    qputenv("HOME", home);
    qputenv("USER", name);
    qputenv("LOGNAME", name);
    const QByteArray runtime = "/run/user/" + QByteArray::number(st.st_uid);
    if (::access(runtime.constData(), W_OK | X_OK) == 0)
        qputenv("XDG_RUNTIME_DIR", runtime);
    else
        qunsetenv("XDG_RUNTIME_DIR");
    return QString();
}

// The whole wizard is checked before anything is touched (its end, the index and every
// embedded file's own check), so that a wizard damaged in transit is refused instead of
// starting an update it cannot finish or finding nothing to update.
QString PayloadFault()
{
    try {
        VerifyOwnContainer();
    } catch (const Os::Exception &error) {
        return error.Message();
    }
    return QString();
}

QString VersionText(bool &damaged)
{
    QString version = ReadVersionInfo(QString()).FileVersion;
    if (version.isEmpty())
        version = QStringLiteral("?");
    QString text = QStringLiteral("%1 %2\n")
                       .arg(QFileInfo(Os::Environment::OwnExecutableHostPath()).fileName(), version);
    try {
        QByteArray data;
        Os::FileTime time{};
        auto firstLine = [&](const char *name) {
            data.clear();
            if (!ReadEmbeddedFile(QString::fromLatin1(name), data, time))
                return QString();
            return DecodeManifestLines(data).value(0);
        };
        const QString title = firstLine("AppInfo1.txt");
        const QString product = firstLine("Updates.txt");
        text += QStringLiteral("Product: %1\n").arg(product.isEmpty() ? QStringLiteral("none") : product);
        if (!title.isEmpty())
            text += QStringLiteral("Title: %1\n").arg(title);
        if (const Os::ResourceBlock *block = Os::ResourceBlock::Own()) {
            for (const auto &entry : block->Index()) {
                if (entry.Type != Os::RT_RCDATA || !entry.Name.endsWith(QLatin1String(".EXE")))
                    continue;
                data.clear();
                if (!ReadEmbeddedFile(entry.Name, data, time))
                    continue;
                const auto block = Os::VersionBlockOfPeImage(data);
                const auto info = block ? Os::VersionInfo::Parse(*block) : std::nullopt;
                QString version;
                for (const Os::Translation &t : info ? info->Translations() : QList<Os::Translation>{}) {
                    const QString name = QStringLiteral("%1%2").arg(t.Language, 4, 16, QLatin1Char('0'))
                                             .arg(t.CodePage, 4, 16, QLatin1Char('0')).toUpper();
                    version = info->String(name, QStringLiteral("FileVersion")).value_or(QString());
                    if (!version.isEmpty())
                        break;
                }
                const auto fixed = info ? info->Fixed() : std::nullopt;
                if (version.isEmpty() && fixed)
                    version = QStringLiteral("%1.%2.%3.%4")
                                  .arg(fixed->FileVersionMS >> 16)
                                  .arg(fixed->FileVersionMS & 0xffff)
                                  .arg(fixed->FileVersionLS >> 16)
                                  .arg(fixed->FileVersionLS & 0xffff);
                if (version.isEmpty())
                    version = QStringLiteral("?");
                // The block keeps names upper-cased; the product's program gets its own spelling.
                const QString own = product + QStringLiteral(".exe");
                const QString shown = own.compare(entry.Name, Qt::CaseInsensitive) == 0 ? own : entry.Name;
                text += QStringLiteral("Program: %1 %2\n").arg(shown, version);
            }
        }
    } catch (const Os::Exception &error) {
        text += QStringLiteral("Payload: damaged (%1)\n").arg(error.Message());
        damaged = true;
        return text;
    }
    const QString fault = PayloadFault();
    if (!fault.isEmpty()) {
        text += QStringLiteral("Payload: damaged (%1)\n").arg(fault);
        damaged = true;
    }
    return text;
}

// Nobody reads the toolkit's chatter in an unattended run (an offscreen window cannot be
// raised, and so on); standard error is kept for the boxes a person would have seen.
void QuietToolkitMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        Print(stderr, message + QLatin1Char('\n'));
}

int ExitCodeOf(const TfrmMain &window)
{
    if (!window.UpdateRun())
        return ecNotDone;
    if (window.Interrupted())
        return ecInterrupted;
    if (window.RunFailed())
        return ecFailure;
    switch (window.Outcome()) {
    case uoSuccess: return ecSuccess;
    case uoFailure: return ecFailure;
    case uoNotDone:
        // Declined only because the installed program has this version already.
        return dmUpdateCommon && dmUpdateCommon->DeclinedAsUpToDate() ? ecUpToDate : ecNotDone;
    case uoWarnings: return ecWarnings;
    default: return ecNothingToUpdate;
    }
}

// Ended well enough for a deployment tool to count the host done.
bool EndedWell(int code)
{
    return code == ecSuccess || code == ecWarnings || code == ecUpToDate;
}

QString OutcomeName(int code)
{
    switch (code) {
    case ecSuccess: return QStringLiteral("success");
    case ecFailure: return QStringLiteral("failure");
    case ecUsage: return QStringLiteral("usage");
    case ecNotDone: return QStringLiteral("not-done");
    case ecWarnings: return QStringLiteral("warnings");
    case ecNothingToUpdate: return QStringLiteral("nothing-to-update");
    case ecAlreadyRunning: return QStringLiteral("already-running");
    case ecRefused: return QStringLiteral("refused");
    case ecUpToDate: return QStringLiteral("up-to-date");
    case ecReportNotWritten: return QStringLiteral("report-not-written");
    default: return QStringLiteral("unknown");
    }
}

// What a run leaves for the machine-readable report, filled as the run goes.
struct TRunFacts {
    QDateTime Started = QDateTime::currentDateTimeUtc();
    QString Product;
    QString VersionAfter;
    TRunRecord Record;
};

// The report files of the command line, each written whole or not at all.
class TReportFiles {
public:
    explicit TReportFiles(const TCommandLine &options)
        : FText(options.ReportFile)
        , FPdf(options.ReportPdf)
    {
    }

    void Write(QTextDocument &report)
    {
        if (FWritten)
            return;
        FWritten = true;
        if (!FText.isEmpty())
            WriteText(report);
        if (!FPdf.isEmpty())
            WritePdf(report);
    }

    bool Failed() const { return FFailed; }

private:
    void Fail(const QString &path, const QString &why)
    {
        FFailed = true;
        Print(stderr, QStringLiteral("Cannot write the report to %1: %2\n").arg(path, why));
    }

    void WriteText(const QTextDocument &report)
    {
        QString text = report.toPlainText();
        text.replace(QChar::LineSeparator, QLatin1Char('\n'));
        text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
        if (!text.isEmpty() && !text.endsWith(QLatin1Char('\n')))
            text += QLatin1Char('\n');
        QString error;
        if (!WriteReportBytes(FText, text.toUtf8(), error))
            Fail(FText, error);
    }

    // The print button's job, on a PDF printer: written beside the target and renamed, or
    // for a device, printed in a folder of our own and written into it.
    void WritePdf(QTextDocument &report)
    {
        const bool special = IsSpecialFile(FPdf);
        QTemporaryDir scratch;
        const QString partial = special ? scratch.filePath(QStringLiteral("report.pdf")) : FPdf + QStringLiteral(".part");
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(partial);
        printer.setDocName(QStringLiteral("Update report"));
        report.print(&printer);
        if (special) {
            QFile printed(partial);
            QString error = QStringLiteral("the PDF could not be made");
            if (!printed.open(QIODevice::ReadOnly) || !WriteInPlace(FPdf, printed.readAll(), error))
                Fail(FPdf, error);
            return;
        }
        QFile::remove(FPdf);
        if (!QFileInfo(partial).isFile() || !QFile::rename(partial, FPdf)) {
            QFile::remove(partial);
            Fail(FPdf, QStringLiteral("the PDF could not be made or renamed"));
        }
    }

    QString FText;
    QString FPdf;
    bool FWritten = false;
    bool FFailed = false;
};

QString ErrorText(const std::exception &error)
{
    if (const auto *own = dynamic_cast<const Os::Exception *>(&error))
        return own->Message();
    return QString::fromUtf8(error.what());
}

QJsonArray JsonList(const QStringList &list)
{
    return QJsonArray::fromStringList(list);
}

// The outcome for programs; the schema is in docs/report-json.md.
bool WriteJsonReport(const QString &path, const TRunFacts &facts, int code, char **argv)
{
    QJsonObject wizard;
    wizard[QStringLiteral("name")] = ProgramName(argv);
    QString version = ReadVersionInfo(QString()).FileVersion;
    wizard[QStringLiteral("version")] = version;
    QJsonObject files;
    files[QStringLiteral("replaced")] = JsonList(facts.Record.Replaced);
    files[QStringLiteral("added")] = JsonList(facts.Record.Added);
    files[QStringLiteral("restored")] = JsonList(facts.Record.Restored);
    auto orNull = [](const QString &text) { return text.isEmpty() ? QJsonValue() : QJsonValue(text); };
    QJsonObject root;
    root[QStringLiteral("schema")] = 1;
    root[QStringLiteral("wizard")] = wizard;
    root[QStringLiteral("product")] = orNull(facts.Product);
    root[QStringLiteral("program")] = orNull(facts.Record.ComparedFile);
    root[QStringLiteral("version_before")] = orNull(facts.Record.VersionBefore);
    root[QStringLiteral("version_after")] = orNull(facts.VersionAfter);
    root[QStringLiteral("outcome")] = OutcomeName(code);
    root[QStringLiteral("exit_code")] = code;
    root[QStringLiteral("files")] = files;
    root[QStringLiteral("print_lists")] = JsonList(facts.Record.PrintLists);
    root[QStringLiteral("companies")] = JsonList(facts.Record.Companies);
    root[QStringLiteral("conflicts_retried")]
        = facts.Record.ConflictsRetried < 0 ? QJsonValue() : QJsonValue(facts.Record.ConflictsRetried);
    root[QStringLiteral("started")] = facts.Started.toString(Qt::ISODate);
    root[QStringLiteral("ended")] = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    root[QStringLiteral("host")] = QSysInfo::machineHostName();
    root[QStringLiteral("prefix")] = Os::Environment::PrefixRoot();
    QString error;
    if (WriteReportBytes(path, QJsonDocument(root).toJson(QJsonDocument::Indented), error))
        return true;
    Print(stderr, QStringLiteral("Cannot write the report to %1: %2\n").arg(path, error));
    return false;
}

QString FirstManifestLine(const char *name)
{
    try {
        QByteArray data;
        Os::FileTime time{};
        if (!ReadEmbeddedFile(QString::fromLatin1(name), data, time))
            return QString();
        return DecodeManifestLines(data).value(0);
    } catch (const Os::Exception &) {
        return QString();
    }
}

// What a dry run found it would do, after the report's lines.
void PrintPlan(const TRunRecord &record)
{
    auto orUnknown = [](const QString &version) { return version.isEmpty() ? QStringLiteral("?") : version; };
    QString text = QStringLiteral("\nDry run, nothing was changed. Plan:\n");
    for (const TPlannedFile &file : record.Planned) {
        switch (file.Action) {
        case TPlannedFile::Replace:
            text += QStringLiteral("replace %1 %2 -> %3\n")
                        .arg(file.Target, orUnknown(file.InstalledVersion), orUnknown(file.NewVersion));
            break;
        case TPlannedFile::Add:
            text += QStringLiteral("add %1 -> %2\n").arg(file.Target, orUnknown(file.NewVersion));
            break;
        case TPlannedFile::Keep:
            text += QStringLiteral("keep %1 %2 (payload %3)\n")
                        .arg(file.Target, orUnknown(file.InstalledVersion), orUnknown(file.NewVersion));
            break;
        }
    }
    for (const QString &list : record.PrintLists)
        text += QStringLiteral("print list %1\n").arg(list);
    for (const QString &company : record.Companies)
        text += QStringLiteral("company %1\n").arg(company);
    // No procedure of the engine writes registry values; the line says so rather than nothing.
    text += QStringLiteral("registry values: none\n");
    Print(stdout, text);
}

// The run with the toolkit up: every error that reaches here becomes a box in the window
// or a line on standard error, and a listed exit code.
int RunWithApplication(int argc, char **argv, const TCommandLine &options, TRunFacts &facts,
                       const std::function<void(TfrmMain &)> &firstStepShown)
{
    // Our options are ours: the toolkit sees only the program's name when there are any.
    int qtArgc = options.Given ? 1 : argc;
    if (options.Unattended) {
        // No window is ever shown, so no display is needed.
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qInstallMessageHandler(QuietToolkitMessages);
    } else if (!DisplayAvailable(qtArgc, argv)) {
        Print(stderr, ProgramName(argv)
                          + QStringLiteral(": no display to show the wizard on (DISPLAY is not set); start it "
                                           "in a desktop session, or run it with --unattended\n"));
        return ecRefused;
    }
    QtMessageHandler previous = nullptr;
    if (!options.Unattended)
        previous = qInstallMessageHandler(DisplayFatalHandler);
    TDremlixApplication application(qtArgc, argv);
    if (!options.Unattended)
        qInstallMessageHandler(previous);

    if (options.Given) {
        const QString missing = MissingEnvironmentPart(Os::Environment::PrefixRoot());
        if (!missing.isEmpty()) {
            Print(stderr, QStringLiteral("No Windows environment at %1: %2\n")
                              .arg(Os::Environment::PrefixRoot(), missing));
            return ecRefused;
        }
    }
    // While Windows programs run, the registry goes through Wine; a prefix that Wine must
    // first bring up to date would make the first registry call wait minutes for it.
    if (Os::Environment::WineserverRunning() && Os::Wine::PrefixNeedsUpdate()) {
        Print(stderr, Os::Texts::WinePrefixNeedsUpdate().arg(Os::Environment::PrefixRoot()) + QLatin1Char('\n'));
        return ecRefused;
    }
    if (options.Unattended) {
        const QString fault = PayloadFault();
        if (!fault.isEmpty()) {
            Print(stderr, QStringLiteral("The wizard's payload is damaged: %1\n").arg(fault));
            return ecRefused;
        }
    }
    // One wizard per prefix whoever runs it and whatever its file is called; the window's
    // own rule (one per user and title) is kept beside it.
    const QString canonical = QFileInfo(Os::Environment::PrefixRoot()).canonicalFilePath();
    // A dry run only looks whether another holds the lock: it makes nothing in the prefix.
    const Os::PrefixLock prefixLock(canonical.isEmpty() ? Os::Environment::PrefixRoot() : canonical, !options.DryRun);
    if (prefixLock.HeldByAnother() || AlreadyRunning()) {
        if (options.Unattended)
            Print(stderr, QStringLiteral("Another copy of the wizard runs on %1\n").arg(Os::Environment::PrefixRoot()));
        return ecAlreadyRunning;
    }

    std::unique_ptr<IUiServices> services;
    TUnattendedUiServices *unattended = nullptr;
    if (options.Unattended) {
        auto own = std::make_unique<TUnattendedUiServices>(options);
        unattended = own.get();
        services = std::move(own);
    } else {
        services = std::make_unique<TQtUiServices>();
    }
    std::optional<TWizardInstances> made;
    try {
        made.emplace();
    } catch (const std::exception &error) {
        // Nothing has run yet: the environment could not even be read.
        HandleException(error);
        return ecRefused;
    }
    TWizardInstances &instances = *made;
    TfrmMain &main = instances.Main();
    instances.Engine().SetRunRecord(&facts.Record);
    QTemporaryDir scratch;
    if (options.DryRun) {
        if (!scratch.isValid()) {
            Print(stderr, QStringLiteral("No private folder for the dry run: %1\n").arg(scratch.errorString()));
            return ecRefused;
        }
        instances.Engine().SetDryRun(scratch.path());
    }
    TReportFiles reports(options);
    QTextDocument &report = *instances.EndInstall().RichEditReport->document();
    QObject::connect(&main, &TfrmMain::RunFinished, &main, [&main, &reports, &report] {
        reports.Write(report);
        // Whoever sent the signal wants the wizard gone, with the report written.
        if (main.Interrupted())
            QCoreApplication::exit(ecInterrupted);
    });

    if (unattended) {
        main.SetReportEcho([](const QString &line) {
            QString text = line;
            text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
            Print(stdout, text + QLatin1Char('\n'));
        });
        // Once the first step is there: Next, then "Avviare", as a person would press them.
        QObject::connect(main.TimerOneTime, &QTimer::timeout, &main, [&main, unattended] {
            if (!main.Started() || main.UpdateRun())
                return;
            if (unattended->Terminated() || unattended->ErrorShown()) {
                QCoreApplication::exit(ecRefused);
                return;
            }
            Guarded([&main] { main.ActionNextExecute(); });
            Guarded([&main] { main.ActionNextExecute(); });
            QCoreApplication::exit(main.UpdateRun() ? ExitCodeOf(main) : ecFailure);
        }, Qt::QueuedConnection);
    } else if (firstStepShown) {
        QObject::connect(main.TimerOneTime, &QTimer::timeout, &main, [&main, firstStepShown] {
            if (main.Started())
                firstStepShown(main);
        }, Qt::QueuedConnection);
    }
    int code = ecFailure;
    try {
        main.show();
        const int loopCode = application.exec();
        if (UiServices().Terminated() && !main.UpdateRun())
            code = ecRefused;
        else
            code = unattended ? loopCode : ExitCodeOf(main);
    } catch (const std::exception &error) {
        HandleException(error);
        if (main.UpdateRun())
            instances.Engine().AddReportLine(QStringLiteral("\r\n") + ErrorText(error));
        code = main.UpdateRun() ? ecFailure : ecRefused;
    }
    reports.Write(report);
    if (main.UpdateRun() && !facts.Record.ComparedFile.isEmpty())
        facts.VersionAfter = GetFileVersionString(facts.Record.ComparedFile);
    if (options.DryRun)
        PrintPlan(facts.Record);
    if (reports.Failed() && EndedWell(code))
        code = ecReportNotWritten;
    return code;
}

} // namespace

int RunWizard(int argc, char **argv, const std::function<void(TfrmMain &)> &firstStepShown)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    TCommandLine options;
    if (!arguments.isEmpty()) {
        const TCommandLineResult parsed = ParseCommandLine(arguments);
        if (!parsed.Options) {
            Print(stderr, ProgramName(argv) + QStringLiteral(": ") + parsed.Error + QLatin1Char('\n')
                              + CommandLineUsage(ProgramName(argv)));
            return ecUsage;
        }
        options = *parsed.Options;
    }
    // A reader of the standard output that went away (a closed pipe) never stops an update:
    // the write fails and the run goes on.
    std::signal(SIGPIPE, SIG_IGN);
    if (options.Help) {
        Print(stdout, CommandLineUsage(ProgramName(argv)));
        return ecSuccess;
    }
    if (options.Version) {
        bool damaged = false;
        Print(stdout, VersionText(damaged));
        return damaged ? ecRefused : ecSuccess;
    }
    if (!options.Prefix.isEmpty())
        Os::Environment::SetPrefixRoot(QFileInfo(options.Prefix).absoluteFilePath());
    const QString refusal = BecomePrefixOwner(Os::Environment::PrefixRoot());
    if (!refusal.isEmpty()) {
        Print(stderr, QStringLiteral("Refused to run as root on %1: %2 (run it as the prefix's owner, e.g. with "
                                     "become_user)\n")
                          .arg(Os::Environment::PrefixRoot(), refusal));
        return ecRefused;
    }
    for (const QString &path : {options.ReportFile, options.ReportPdf, options.ReportJson}) {
        if (path.isEmpty())
            continue;
        const QString fault = ReportDestinationFault(path);
        if (!fault.isEmpty()) {
            Print(stderr, ProgramName(argv) + QStringLiteral(": cannot write the report to %1: %2\n").arg(path, fault));
            return ecUsage;
        }
    }

    TRunFacts facts;
    facts.Product = FirstManifestLine("Updates.txt");
    int code = ecFailure;
    try {
        code = RunWithApplication(argc, argv, options, facts, firstStepShown);
    } catch (const std::exception &error) {
        Print(stderr, QStringLiteral("%1: %2\n").arg(ProgramName(argv), ErrorText(error)));
        code = ecFailure;
    } catch (...) {
        Print(stderr, ProgramName(argv) + QStringLiteral(": unknown error\n"));
        code = ecFailure;
    }
    if (!options.ReportJson.isEmpty() && !WriteJsonReport(options.ReportJson, facts, code, argv) && EndedWell(code))
        code = ecReportNotWritten;
    return code;
}
