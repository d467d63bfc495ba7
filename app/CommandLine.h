// The wizard's command line, for administrators who roll an update out without anyone at
// the screen. Started without arguments the wizard reads none of this.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// The documented exit codes; deployment tools decide on them whether a host is done.
enum TExitCode : int {
    ecSuccess = 0,        // outcome 1
    ecFailure = 1,        // outcome 2, or an error that reached the run
    ecUsage = 2,          // unknown option or bad value
    ecNotDone = 3,        // a question answered No (outcome 3), or closed before the run
    ecWarnings = 4,       // outcome 4
    ecNothingToUpdate = 5, // no accepted product, or a product without procedure
    ecAlreadyRunning = 6, // another wizard runs on this prefix
    ecRefused = 7,        // no Windows environment, incompatible components, damaged wizard, no display
    ecUpToDate = 8,       // the installed program has the payload's version already (no --allow-same)
    ecReportNotWritten = 9, // the run ended well (0, 4 or 8) but a report file could not be written
    ecInterrupted = 10,   // SIGTERM, SIGINT or SIGHUP during the run: the product's files rolled back
};

struct TCommandLine {
    bool Help = false;
    bool Version = false;
    bool Unattended = false;
    bool DryRun = false;  // unattended, and nothing is changed: the plan goes to standard output
    QString Prefix;       // host folder; empty: $WINEPREFIX, else ~/.wine
    QString ReportFile;   // UTF-8 text of the report
    QString ReportPdf;    // the report printed to PDF
    QString ReportJson;   // the run's outcome for programs (schema in docs/report-json.md)
    bool AllowOlder = false;
    bool AllowSame = false;
    QString ProductFolder; // Windows path: the folder browser's answer
    QString ProgramFile;   // Windows path: the program-file question's answer
    QString Company;       // the company to pick where the company list asks
    // Whether anything was given at all: without arguments the wizard is the plain GUI.
    bool Given = false;
};

struct TCommandLineResult {
    std::optional<TCommandLine> Options; // empty when the line did not parse
    QString Error;                       // one line, for standard error
};

// Parses the arguments after the program name (GNU style: --name=value or --name value).
TCommandLineResult ParseCommandLine(const QStringList &arguments);

// The usage text for --help and after a usage error; the program's file name goes in it.
QString CommandLineUsage(const QString &programName);
