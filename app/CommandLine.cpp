#include "app/CommandLine.h"

#include <QCommandLineParser>

namespace {

struct TValueOption {
    const char *Name;
    QString TCommandLine::*Field;
};

const TValueOption ValueOptions[] = {
    {"prefix", &TCommandLine::Prefix},
    {"report", &TCommandLine::ReportFile},
    {"report-pdf", &TCommandLine::ReportPdf},
    {"report-json", &TCommandLine::ReportJson},
    {"product-folder", &TCommandLine::ProductFolder},
    {"program-file", &TCommandLine::ProgramFile},
    {"company", &TCommandLine::Company},
};

struct TFlagOption {
    const char *Name;
    bool TCommandLine::*Field;
};

const TFlagOption FlagOptions[] = {
    {"help", &TCommandLine::Help},
    {"version", &TCommandLine::Version},
    {"unattended", &TCommandLine::Unattended},
    {"dry-run", &TCommandLine::DryRun},
    {"allow-older", &TCommandLine::AllowOlder},
    {"allow-same", &TCommandLine::AllowSame},
};

} // namespace

TCommandLineResult ParseCommandLine(const QStringList &arguments)
{
    TCommandLineResult result;
    QCommandLineParser parser;
    for (const TFlagOption &flag : FlagOptions)
        parser.addOption(QCommandLineOption(QString::fromLatin1(flag.Name)));
    for (const TValueOption &option : ValueOptions)
        parser.addOption(QCommandLineOption(QString::fromLatin1(option.Name), QString(), QStringLiteral("value")));

    // The parser takes the first entry for the program's name.
    if (!parser.parse(QStringList{QStringLiteral("wizard")} + arguments)) {
        result.Error = parser.errorText();
        return result;
    }
    if (!parser.positionalArguments().isEmpty()) {
        result.Error = QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().first());
        return result;
    }

    TCommandLine options;
    options.Given = !arguments.isEmpty();
    for (const TFlagOption &flag : FlagOptions)
        options.*flag.Field = parser.isSet(QString::fromLatin1(flag.Name));
    // A dry run is a run without a person that changes nothing.
    options.Unattended = options.Unattended || options.DryRun;
    for (const TValueOption &option : ValueOptions) {
        const QString name = QString::fromLatin1(option.Name);
        if (!parser.isSet(name))
            continue;
        const QString value = parser.value(name);
        if (value.isEmpty()) {
            result.Error = QStringLiteral("Empty value for '--%1'.").arg(name);
            return result;
        }
        options.*option.Field = value;
    }
    result.Options = options;
    return result;
}

QString CommandLineUsage(const QString &programName)
{
    return QStringLiteral(
               "Usage: %1 [OPTION]...\n"
               "Updates the Dremlix product this wizard carries, in a Wine prefix.\n"
               "Without options the wizard opens its window.\n"
               "\n"
               "  --unattended           no window and no box, no display needed: run the update\n"
               "                         at once and exit; report lines go to standard output,\n"
               "                         boxes to standard error\n"
               "  --dry-run              --unattended that changes nothing: every check of the run,\n"
               "                         then the plan on standard output (files to replace, add\n"
               "                         or keep with both versions, print lists, companies); exits\n"
               "                         0 (would update), 8 (up to date) or the run's own code\n"
               "  --prefix=DIR           the Windows environment (else $WINEPREFIX, else ~/.wine)\n"
               "  --report=FILE          write the report's text (UTF-8) to FILE when the run ends\n"
               "  --report-pdf=FILE      print the report to the PDF file FILE\n"
               "  --report-json=FILE     write the outcome of the run as JSON to FILE (versions,\n"
               "                         files, times); every report's folder is checked before\n"
               "                         the update, and a device or FIFO is written in place\n"
               "  --allow-older          answer Yes to installing an older copy (else No)\n"
               "  --allow-same           answer Yes to installing the same version again (else No)\n"
               "  --product-folder=PATH  Windows folder to give where the product folder is asked\n"
               "                         (else the question is cancelled)\n"
               "  --program-file=PATH    Windows file to give where the program file is asked\n"
               "                         (else the question is cancelled)\n"
               "  --company=NAME         company to pick where the company list asks (else cancel)\n"
               "  --help                 show this help and exit\n"
               "  --version              show the wizard's version, the product it updates and the\n"
               "                         version of the program it carries; checks the whole wizard\n"
               "                         and exits 7 when it is damaged\n"
               "\n"
               "Exit status:\n"
               "  0  success\n"
               "  1  the update failed (the report says why); the product's files were put back\n"
               "  2  unknown option or bad value\n"
               "  3  not done: a question was answered No, or the window closed before the update\n"
               "  4  done with warnings\n"
               "  5  nothing to update\n"
               "  6  another copy of the wizard runs on this prefix\n"
               "  7  refused before the update: no Windows environment at the prefix, incompatible\n"
               "     components, a damaged wizard, an unreadable hive, or no display that can be\n"
               "     reached without --unattended\n"
               "  8  already up to date: the installed program has this version (no --allow-same)\n"
               "  9  the run ended with 0, 4 or 8 but a report file could not be written\n"
               "  10 interrupted by SIGTERM, SIGINT or SIGHUP: the product's files were put back\n")
        .arg(programName);
}
