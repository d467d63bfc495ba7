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
#include "platform/FileVersionInfo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPrinter>
#include <QSaveFile>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>

#include <cstdio>

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

// What makes a folder a Windows environment for the wizard: the drives and both hives.
QString MissingEnvironmentPart(const QString &prefix)
{
    if (!QFileInfo(prefix).isDir())
        return prefix;
    for (const char *part : {"dosdevices", "system.reg", "user.reg"}) {
        QString path = QDir(prefix).filePath(QString::fromLatin1(part));
        if (!QFileInfo::exists(path))
            return path;
    }
    return QString();
}

// The payload's index and its manifests are read before anything is touched, so that a
// wizard damaged in transit is refused instead of starting an update it cannot finish.
// The product files are checked when they are extracted: a damaged one never replaces
// an installed file, and the run reports it.
QString PayloadFault()
{
    static const char *const manifests[] = {"AppInfo1.txt", "AppInfo2.txt", "UpdateInfo.txt", "Steps.txt",
                                            "Updates.txt",  "FileNames.txt", "PrintLists.txt"};
    try {
        Os::ResourceBlock::Own();
        for (const char *name : manifests) {
            QByteArray data;
            Os::FileTime time{};
            ReadEmbeddedFile(QString::fromLatin1(name), data, time);
        }
    } catch (const Os::Exception &error) {
        return error.Message();
    }
    return QString();
}

QString VersionText()
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
    } catch (const Os::Exception &error) {
        text += QStringLiteral("Payload: damaged (%1)\n").arg(error.Message());
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
    if (window.RunFailed())
        return ecFailure;
    switch (window.Outcome()) {
    case uoSuccess: return ecSuccess;
    case uoFailure: return ecFailure;
    case uoNotDone: return ecNotDone;
    case uoWarnings: return ecWarnings;
    default: return ecNothingToUpdate;
    }
}

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

private:
    void WriteText(const QTextDocument &report)
    {
        QString text = report.toPlainText();
        text.replace(QChar::LineSeparator, QLatin1Char('\n'));
        text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
        if (!text.isEmpty() && !text.endsWith(QLatin1Char('\n')))
            text += QLatin1Char('\n');
        QSaveFile file(FText);
        if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit())
            Print(stderr, QStringLiteral("Cannot write the report to %1: %2\n").arg(FText, file.errorString()));
    }

    // The print button's job, on a PDF printer: written beside the target and renamed.
    void WritePdf(QTextDocument &report)
    {
        const QString partial = FPdf + QStringLiteral(".part");
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(partial);
        printer.setDocName(QStringLiteral("Update report"));
        report.print(&printer);
        QFile::remove(FPdf);
        if (!QFileInfo(partial).isFile() || !QFile::rename(partial, FPdf)) {
            QFile::remove(partial);
            Print(stderr, QStringLiteral("Cannot write the report to %1\n").arg(FPdf));
        }
    }

    QString FText;
    QString FPdf;
    bool FWritten = false;
};

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
    if (options.Help) {
        Print(stdout, CommandLineUsage(ProgramName(argv)));
        return ecSuccess;
    }
    if (options.Version) {
        Print(stdout, VersionText());
        return ecSuccess;
    }
    if (!options.Prefix.isEmpty())
        Os::Environment::SetPrefixRoot(QFileInfo(options.Prefix).absoluteFilePath());

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
    TDremlixApplication application(qtArgc, argv);

    if (options.Given) {
        const QString missing = MissingEnvironmentPart(Os::Environment::PrefixRoot());
        if (!missing.isEmpty()) {
            Print(stderr, QStringLiteral("No Windows environment at %1: %2 is missing\n")
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
    if (AlreadyRunning()) {
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
    TWizardInstances instances;
    TfrmMain &main = instances.Main();
    TReportFiles reports(options);
    QTextDocument &report = *instances.EndInstall().RichEditReport->document();
    QObject::connect(&main, &TfrmMain::RunFinished, &main, [&reports, &report] { reports.Write(report); });

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
    main.show();
    const int loopCode = application.exec();
    reports.Write(report);

    if (UiServices().Terminated() && !main.UpdateRun())
        return ecRefused;
    if (unattended)
        return loopCode;
    return ExitCodeOf(main);
}
