// The wizard without a person: its command line, the unattended run and its exit codes,
// the report files and the lock per prefix, each run as the real packed wizard in a
// process of its own without any display.
#include "AppFixture.h"

#include "app/CommandLine.h"
#include "app/UnattendedUiServices.h"
#include "platform/GeneralRoutines.h"
#include "support/TempPrefix.h"
#include "update/UpdateTexts.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QTimer>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <csignal>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <gtest/gtest.h>

using namespace AppTest;

namespace {

QByteArray DemoFile(const QString &name)
{
    QFile file(QStringLiteral(DREMLIX_SOURCE_DIR "/demo/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray ReadFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QString InstalledProgram = QStringLiteral("C:\\WDremlix\\Kestrin\\Programs\\Falcrest.exe");

// The build of the demo: the files of demo/ under their own names, some of them replaced.
PayloadBuilder DemoPayload(const QMap<QString, QByteArray> &replaced = {})
{
    PayloadBuilder payload;
    for (const char *name : {"AppInfo1.txt", "AppInfo2.txt", "Updates.txt", "FileNames.txt", "PrintLists.txt",
                             "UpdateInfo.txt", "Falcrest.exe", "Falcrest.chm", "FalcrestGro.lst",
                             "FalcrestGrp.lst", "FalcrestPre.lst"}) {
        const QString file = QString::fromLatin1(name);
        payload.Add(file, replaced.value(file, DemoFile(file)));
    }
    return payload;
}

QByteArray ListBytes(const QStringList &lines)
{
    return lines.join(QStringLiteral("\r\n")).toLatin1() + "\r\n";
}

struct Result {
    int ExitCode = -1;
    QString Out;
    QString Err;
};

// A workstation with Orvanta registered and an older Falcrest installed, and a packed
// wizard beside it. Runs have no display at all: no DISPLAY, no platform chosen.
class Workstation {
public:
    Workstation()
    {
        FPrefix.SetRegString(Os::RegRoot::CurrentUser, QStringLiteral("Software\\DREMLIX S.A.\\Orvanta\\Program"),
                             QStringLiteral("Filename"), QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe"));
        FPrefix.MakeFolder(QStringLiteral("C:\\WDremlix\\ORV\\Programs"));
        InstallProgram(DemoFile(QStringLiteral("installed/Falcrest.exe")));
        QDir().mkpath(Runtime());
        QFile::setPermissions(Runtime(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        Pack(DemoPayload());
    }

    void Pack(const PayloadBuilder &payload) { payload.Write(Wizard(), QStringLiteral(DREMLIX_WIZARD_EXE)); }
    void InstallProgram(const QByteArray &bytes)
    {
        FPrefix.WriteFile(InstalledProgram, bytes, QDateTime(QDate(2021, 5, 3), QTime(9, 30), Qt::UTC));
    }

    QString Wizard() const { return FDir.path() + QStringLiteral("/FalcrestUpdate"); }
    QString Runtime() const { return FDir.path() + QStringLiteral("/run"); }
    QString File(const QString &name) const { return FDir.path() + QLatin1Char('/') + name; }
    QString Prefix() const { return FPrefix.Root(); }
    QString Installed() const { return FPrefix.HostPath(InstalledProgram); }
    TempPrefix &PrefixBuilder() { return FPrefix; }

    QProcessEnvironment Environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "WINEPREFIX"})
            env.remove(QString::fromLatin1(name));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), Runtime());
        return env;
    }

    QProcess *Start(const QStringList &args, const QProcessEnvironment &env) const
    {
        auto *process = new QProcess;
        process->setProcessEnvironment(env);
        process->start(Wizard(), args);
        process->waitForStarted(10000);
        return process;
    }

    Result Run(const QStringList &args) const { return Run(args, Environment()); }
    Result Run(const QStringList &args, const QProcessEnvironment &env) const
    {
        std::unique_ptr<QProcess> process(Start(args, env));
        Result result;
        if (!process->waitForFinished(60000)) {
            process->kill();
            process->waitForFinished();
            result.Err = QStringLiteral("(did not end)");
            return result;
        }
        result.ExitCode = process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -process->exitCode();
        result.Out = QString::fromUtf8(process->readAllStandardOutput());
        result.Err = QString::fromUtf8(process->readAllStandardError());
        return result;
    }

    QStringList Unattended(const QStringList &more = {}) const
    {
        return QStringList{QStringLiteral("--unattended"), QStringLiteral("--prefix=") + Prefix()} + more;
    }

private:
    QTemporaryDir FDir;
    TempPrefix FPrefix;
};

// Every entry under a folder with its type, mode, size, time and content digest: two
// snapshots are equal only when nothing in it was made, removed or touched.
QStringList Snapshot(const QString &root)
{
    QStringList lines;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st {};
        ::lstat(QFile::encodeName(path).constData(), &st);
        QString digest;
        if (S_ISREG(st.st_mode))
            digest = QString::fromLatin1(QCryptographicHash::hash(ReadFile(path), QCryptographicHash::Sha256).toHex());
        lines.append(QStringLiteral("%1 %2 %3 %4 %5")
                         .arg(path.mid(root.size()))
                         .arg(st.st_mode, 0, 8)
                         .arg(S_ISDIR(st.st_mode) ? 0 : st.st_size)
                         .arg(S_ISDIR(st.st_mode) ? 0 : qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec)
                         .arg(digest));
    }
    lines.sort();
    return lines;
}

QStringList Lines(const QString &text)
{
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

std::string Explain(const Result &r)
{
    return QStringLiteral("exit %1\n--- stdout\n%2--- stderr\n%3").arg(r.ExitCode).arg(r.Out, r.Err).toStdString();
}

// ---- Parsing --------------------------------------------------------------------------------

TEST(CommandLine, OptionsAndTheirValuesInBothSpellings)
{
    const TCommandLineResult parsed = ParseCommandLine(
        {QStringLiteral("--unattended"), QStringLiteral("--prefix=/srv/ws1/.wine"), QStringLiteral("--report"),
         QStringLiteral("/tmp/r.txt"), QStringLiteral("--report-pdf=/tmp/r.pdf"), QStringLiteral("--allow-same"),
         QStringLiteral("--product-folder=C:\\WDremlix\\Kestrin\\Programs\\"),
         QStringLiteral("--program-file=C:\\P\\x.exe"), QStringLiteral("--company=Rossi S.p.A.")});
    ASSERT_TRUE(parsed.Options) << parsed.Error.toStdString();
    const TCommandLine &o = *parsed.Options;
    EXPECT_TRUE(o.Given && o.Unattended && o.AllowSame);
    EXPECT_FALSE(o.AllowOlder || o.Help || o.Version);
    EXPECT_EQ(o.Prefix, QStringLiteral("/srv/ws1/.wine"));
    EXPECT_EQ(o.ReportFile, QStringLiteral("/tmp/r.txt"));
    EXPECT_EQ(o.ReportPdf, QStringLiteral("/tmp/r.pdf"));
    EXPECT_EQ(o.ProductFolder, QStringLiteral("C:\\WDremlix\\Kestrin\\Programs\\"));
    EXPECT_EQ(o.ProgramFile, QStringLiteral("C:\\P\\x.exe"));
    EXPECT_EQ(o.Company, QStringLiteral("Rossi S.p.A."));

    const TCommandLineResult none = ParseCommandLine({});
    ASSERT_TRUE(none.Options);
    EXPECT_FALSE(none.Options->Given);
}

TEST(CommandLine, BadLinesAreRefusedWithOneLine)
{
    const QList<QStringList> bad{
        {QStringLiteral("--bogus")},
        {QStringLiteral("--prefix")},
        {QStringLiteral("--prefix=")},
        {QStringLiteral("--allow-same=yes")},
        {QStringLiteral("FalcrestUpdate.exe")},
        {QStringLiteral("-u")},
    };
    for (const QStringList &line : bad) {
        const TCommandLineResult parsed = ParseCommandLine(line);
        EXPECT_FALSE(parsed.Options) << line.join(u' ').toStdString();
        EXPECT_FALSE(parsed.Error.isEmpty());
        EXPECT_FALSE(parsed.Error.contains(QLatin1Char('\n')));
    }
}

// ---- The answers of an unattended run ---------------------------------------------------

TEST(UnattendedAnswers, OnlyTheQuestionAnOptionNamesIsAnsweredYes)
{
    TCommandLine options;
    options.AllowSame = true;
    QTemporaryFile log;
    ASSERT_TRUE(log.open());
    FILE *stream = fdopen(dup(log.handle()), "w");
    {
        TUnattendedUiServices services(options, stream);
        MessageRequest same{MessageKind::Confirmation, QStringLiteral("Confirmer"),
                            UpdateTexts::TheFile + QStringLiteral("Falcrest.exe") + UpdateTexts::InstalledIsSame, true};
        MessageRequest older = same;
        older.Text = UpdateTexts::TheFile + QStringLiteral("Falcrest.exe") + UpdateTexts::InstalledIsNewer;
        MessageRequest other = same;
        other.Text = QStringLiteral("Volete annullare l'installazione?");
        EXPECT_TRUE(services.ShowMessage(same));
        EXPECT_FALSE(services.ShowMessage(older));
        EXPECT_FALSE(services.ShowMessage(other));
        EXPECT_FALSE(services.ErrorShown());
        EXPECT_FALSE(services.HasWindows());

        QString folder = QStringLiteral("C:\\");
        EXPECT_FALSE(services.BrowseForFolder(QStringLiteral("Selezionare"), folder, 0, QString()));
        QString file;
        EXPECT_FALSE(services.OpenFile(QString(), file));
        int index = 0;
        EXPECT_FALSE(services.ChooseCompany({QStringLiteral("Alfa")}, index));
    }
    std::fclose(stream);
    const QString written = QString::fromUtf8(ReadFile(log.fileName()));
    EXPECT_EQ(written.count(QStringLiteral("[Oui]")), 1) << written.toStdString();
    EXPECT_EQ(written.count(QStringLiteral("[Non]")), 2) << written.toStdString();
    EXPECT_FALSE(written.contains(QLatin1Char('\r')));

    options = TCommandLine{};
    options.ProductFolder = QStringLiteral("D:\\WDremlix\\Kestrin\\Programs\\");
    options.ProgramFile = QStringLiteral("D:\\WDremlix\\ORV\\Programs\\Orvanta.exe");
    options.Company = QStringLiteral("beta srl");
    FILE *quiet = std::fopen("/dev/null", "w");
    TUnattendedUiServices services(options, quiet);
    QString folder;
    ASSERT_TRUE(services.BrowseForFolder(QStringLiteral("Selezionare"), folder, 0, QString()));
    EXPECT_EQ(folder, options.ProductFolder);
    QString file;
    ASSERT_TRUE(services.OpenFile(QString(), file));
    EXPECT_EQ(file, options.ProgramFile);
    int index = 0;
    ASSERT_TRUE(services.ChooseCompany({QStringLiteral("Alfa"), QStringLiteral("Beta SRL")}, index));
    EXPECT_EQ(index, 1);
    EXPECT_FALSE(services.ChooseCompany({QStringLiteral("Alfa")}, index));
    EXPECT_EQ(index, 1);
    std::fclose(quiet);
}

TEST(UnattendedAnswers, MessageWaitsHandleNothingWhereNoWindowIsShown)
{
    bool handled = false;
    QTimer::singleShot(0, [&handled] { handled = true; });
    {
        FILE *quiet = std::fopen("/dev/null", "w");
        TUnattendedUiServices services(TCommandLine{}, quiet);
        WaitMilliseconds(200);
        EXPECT_FALSE(handled) << "the wait handled events of a window nobody sees";
        std::fclose(quiet);
    }
    // With windows the same wait lets the pending event through.
    WaitMilliseconds(50);
    EXPECT_TRUE(handled);
}

// ---- Whole runs ---------------------------------------------------------------------------------

TEST(Unattended, UpdatesWithoutADisplayAndWritesTheReportFiles)
{
    Workstation ws;
    const QString report = ws.File(QStringLiteral("reports/ws1.txt"));
    const QString pdf = ws.File(QStringLiteral("ws1.pdf"));
    QDir().mkpath(QFileInfo(report).path());
    const Result r = ws.Run(ws.Unattended({QStringLiteral("--report=") + report, QStringLiteral("--report-pdf=") + pdf}));
    ASSERT_EQ(r.ExitCode, 0) << Explain(r);
    EXPECT_EQ(ReadFile(ws.Installed()), DemoFile(QStringLiteral("Falcrest.exe")));

    const QString text = QString::fromUtf8(ReadFile(report));
    const QStringList lines = text.split(QLatin1Char('\n'));
    ASSERT_GT(lines.size(), 4) << text.toStdString();
    EXPECT_TRUE(QRegularExpression(QStringLiteral(
                    "^Aggiornamento : [^ ].*  \\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d$"))
                    .match(lines.first())
                    .hasMatch())
        << lines.first().toStdString();
    EXPECT_TRUE(text.endsWith(QStringLiteral("\nL'aggiornamento terminato con successo.\n"))) << text.toStdString();
    EXPECT_FALSE(text.contains(QLatin1Char('\r')));
    EXPECT_TRUE(text.contains(QStringLiteral("Verso C:\\WDremlix\\Kestrin\\Programs\\Falcrest.exe")));
    // The same lines went to standard output as they were added.
    EXPECT_EQ(r.Out, text);
    // No temporary file of the report is left beside it.
    EXPECT_EQ(QDir(QFileInfo(report).path()).entryList(QDir::Files), QStringList{QStringLiteral("ws1.txt")});

    const QByteArray pdfBytes = ReadFile(pdf);
    ASSERT_TRUE(pdfBytes.startsWith("%PDF")) << "no PDF written";
    EXPECT_FALSE(QFileInfo::exists(pdf + QStringLiteral(".part")));
    if (!QStandardPaths::findExecutable(QStringLiteral("pdfinfo")).isEmpty()) {
        QProcess info;
        info.start(QStringLiteral("pdfinfo"), {pdf});
        info.waitForFinished();
        EXPECT_TRUE(QRegularExpression(QStringLiteral("(^|\\n)Title: +Update report\\n"))
                        .match(QString::fromUtf8(info.readAllStandardOutput()))
                        .hasMatch());
        QProcess toText;
        toText.start(QStringLiteral("pdftotext"), {pdf, QStringLiteral("-")});
        toText.waitForFinished();
        EXPECT_TRUE(QString::fromUtf8(toText.readAllStandardOutput()).contains(QStringLiteral("terminato con successo")));
    }
}

struct VersionCase {
    const char *Label;
    const char *PayloadProgram;   // file of demo/ the payload carries
    const char *InstalledProgram; // file of demo/ installed on the workstation
    const char *Option;           // empty: no answer given
    int ExitCode;
    const char *Answer;           // the answer the box shows on standard error
};

class UnattendedQuestions : public ::testing::TestWithParam<VersionCase> {};

TEST_P(UnattendedQuestions, AreAnsweredByTheirOptionElseNo)
{
    const VersionCase &c = GetParam();
    Workstation ws;
    ws.Pack(DemoPayload({{QStringLiteral("Falcrest.exe"), DemoFile(QString::fromLatin1(c.PayloadProgram))}}));
    ws.InstallProgram(DemoFile(QString::fromLatin1(c.InstalledProgram)));
    QStringList args = ws.Unattended();
    if (*c.Option)
        args.append(QString::fromLatin1(c.Option));
    const Result r = ws.Run(args);
    EXPECT_EQ(r.ExitCode, c.ExitCode) << Explain(r);
    EXPECT_TRUE(r.Err.contains(QStringLiteral("Confirmer: L'archivio Falcrest.exe presente sul vostro sistema")))
        << Explain(r);
    EXPECT_TRUE(r.Err.contains(QString::fromLatin1(c.Answer))) << Explain(r);
    EXPECT_EQ(ReadFile(ws.Installed()),
              DemoFile(QString::fromLatin1(c.ExitCode == 0 ? c.PayloadProgram : c.InstalledProgram)));
    if (c.ExitCode == 3 || c.ExitCode == 8) {
        EXPECT_TRUE(r.Out.endsWith(QStringLiteral("L'aggiornamento non è stato effettuato.\n"))) << Explain(r);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnattendedQuestions,
    ::testing::Values(VersionCase{"SameWithoutAnswer", "Falcrest.exe", "Falcrest.exe", "", 8, "[Non]"},
                      VersionCase{"SameAllowed", "Falcrest.exe", "Falcrest.exe", "--allow-same", 0, "[Oui]"},
                      VersionCase{"OlderWithoutAnswer", "installed/Falcrest.exe", "Falcrest.exe", "", 3, "[Non]"},
                      VersionCase{"OlderAllowed", "installed/Falcrest.exe", "Falcrest.exe", "--allow-older", 0,
                                  "[Oui]"},
                      // The answer to the other question does not answer this one.
                      VersionCase{"OlderWithTheOtherAnswer", "installed/Falcrest.exe", "Falcrest.exe",
                                  "--allow-same", 3, "[Non]"}),
    [](const auto &info) { return std::string(info.param.Label); });

TEST(Unattended, ExitCodesOfTheOutcomes)
{
    {
        // A listed file the payload lacks: done with warnings.
        Workstation ws;
        ws.Pack(DemoPayload({{QStringLiteral("FileNames.txt"),
                               ListBytes({QStringLiteral("Falcrest.chm"), QStringLiteral("Absent.dll")})}}));
        const Result r = ws.Run(ws.Unattended());
        EXPECT_EQ(r.ExitCode, 4) << Explain(r);
        EXPECT_TRUE(r.Out.endsWith(QStringLiteral("L'aggiornamento è stato effettuato ma con avvertimenti !\n")))
            << Explain(r);
    }
    {
        // An error that reaches the run: the payload lacks the product's program.
        Workstation ws;
        PayloadBuilder payload;
        for (const char *name : {"AppInfo1.txt", "Updates.txt"})
            payload.Add(QString::fromLatin1(name), DemoFile(QString::fromLatin1(name)));
        ws.Pack(payload);
        const Result r = ws.Run(ws.Unattended());
        EXPECT_EQ(r.ExitCode, 1) << Explain(r);
        EXPECT_TRUE(Lines(r.Out).contains(QStringLiteral("Cannot find Falcrest.exe"))) << Explain(r);
        EXPECT_EQ(Lines(r.Out).last(), QStringLiteral("L'aggiornamento è fallito !")) << Explain(r);
    }
    {
        // Refused at the first step: the database client and component an Orvanta update
        // needs are not on this workstation.
        Workstation ws;
        ws.Pack(DemoPayload({{QStringLiteral("Updates.txt"), ListBytes({QStringLiteral("Orvanta")})}}));
        const Result r = ws.Run(ws.Unattended());
        EXPECT_EQ(r.ExitCode, 7) << Explain(r);
        EXPECT_TRUE(Lines(r.Err).first().startsWith(QStringLiteral("Avertissement: ATTENZIONE !!!"))) << Explain(r);
        EXPECT_TRUE(r.Out.isEmpty()) << Explain(r);
        EXPECT_EQ(ReadFile(ws.Installed()), DemoFile(QStringLiteral("installed/Falcrest.exe")));
    }
    for (const QStringList &updates : {QStringList{QStringLiteral("Quillox")}, QStringList{QStringLiteral("Nobody")}}) {
        // A product without procedure, or none the catalogue knows: nothing to update.
        Workstation ws;
        ws.Pack(DemoPayload({{QStringLiteral("Updates.txt"), ListBytes(updates)}}));
        const Result r = ws.Run(ws.Unattended());
        EXPECT_EQ(r.ExitCode, 5) << Explain(r);
        EXPECT_EQ(ReadFile(ws.Installed()), DemoFile(QStringLiteral("installed/Falcrest.exe")));
    }
}

TEST(Unattended, AProgramHeldOpenFailsWithError32InTheReport)
{
    Workstation ws;
    QFile holder(ws.Installed());
    ASSERT_TRUE(holder.open(QIODevice::ReadOnly));
    const QString report = ws.File(QStringLiteral("report.txt"));
    const Result r = ws.Run(ws.Unattended({QStringLiteral("--report=") + report}));
    EXPECT_EQ(r.ExitCode, 1) << Explain(r);
    const QString text = QString::fromUtf8(ReadFile(report));
    EXPECT_TRUE(Lines(text).contains(QStringLiteral("Error: Erreur système.  Code : 32."))) << text.toStdString();
    EXPECT_TRUE(text.endsWith(QStringLiteral("L'aggiornamento è fallito !\n"))) << text.toStdString();
    EXPECT_EQ(ReadFile(ws.Installed()), DemoFile(QStringLiteral("installed/Falcrest.exe")));
}

// SIGTERM in the middle of a run: the wizard stops at the next file, puts the product back,
// writes its report with the line that says so, and ends with its own code.
TEST(Unattended, ASignalDuringTheRunPutsTheProductBackAndEndsWith10)
{
    Workstation ws;
    QStringList names;
    for (int i = 0; i < 300; ++i)
        names.append(QStringLiteral("Dati%1.dat").arg(i));
    PayloadBuilder payload = DemoPayload({{QStringLiteral("FileNames.txt"), ListBytes(names)}});
    for (int i = 0; i < 300; ++i)
        payload.Add(names.at(i), QByteArray(200 * 1024, char('a' + i % 26)));
    ws.Pack(payload);
    const QString folder = QFileInfo(ws.Installed()).absolutePath();
    const QStringList before = Snapshot(folder);
    const QString report = ws.File(QStringLiteral("report.txt"));

    std::unique_ptr<QProcess> process(ws.Start(ws.Unattended({QStringLiteral("--report=") + report}), ws.Environment()));
    // The first copy line: the run is staging its files, and nothing installed has changed.
    QByteArray out;
    while (!out.contains("\nCopia di ") && process->state() == QProcess::Running) {
        process->waitForReadyRead(100);
        out += process->readAllStandardOutput();
    }
    ASSERT_EQ(process->state(), QProcess::Running) << out.toStdString();
    ::kill(pid_t(process->processId()), SIGTERM);
    ASSERT_TRUE(process->waitForFinished(60000));
    EXPECT_EQ(process->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process->exitCode(), 10) << process->readAllStandardError().toStdString();
    const QString text = QString::fromUtf8(ReadFile(report));
    EXPECT_TRUE(text.endsWith(QStringLiteral("\nL'aggiornamento è stato interrotto.\n"))) << text.toStdString();
    EXPECT_EQ(Snapshot(folder), before);
    EXPECT_FALSE(QFileInfo::exists(ws.Prefix() + QStringLiteral("/.dremlix-update/journal")));
}

TEST(Unattended, RefusedBeforeTheRun)
{
    Workstation ws;
    {
        const Result r = ws.Run({QStringLiteral("--unattended"), QStringLiteral("--prefix=") + ws.File(QStringLiteral("none"))});
        EXPECT_EQ(r.ExitCode, 7) << Explain(r);
        EXPECT_TRUE(r.Err.contains(ws.File(QStringLiteral("none")))) << Explain(r);
    }
    {
        // A file where the prefix should be is named as what it is.
        const QString file = ws.File(QStringLiteral("FalcrestUpdate"));
        const Result r = ws.Run({QStringLiteral("--unattended"), QStringLiteral("--prefix=") + file});
        EXPECT_EQ(r.ExitCode, 7) << Explain(r);
        EXPECT_EQ(Lines(r.Err), QStringList{QStringLiteral("No Windows environment at %1: %1 is not a folder").arg(file)})
            << Explain(r);
    }
    {
        QFile::rename(ws.Prefix() + QStringLiteral("/user.reg"), ws.Prefix() + QStringLiteral("/user.reg.away"));
        const Result r = ws.Run(ws.Unattended());
        EXPECT_EQ(r.ExitCode, 7) << Explain(r);
        EXPECT_TRUE(r.Err.contains(QStringLiteral("user.reg"))) << Explain(r);
        QFile::rename(ws.Prefix() + QStringLiteral("/user.reg.away"), ws.Prefix() + QStringLiteral("/user.reg"));
    }
    {
        // A payload damaged in transit: one byte of the first embedded file flipped (the
        // block's index comes last and still loads).
        QByteArray bytes = ReadFile(ws.Wizard());
        const qsizetype stub = QFileInfo(QStringLiteral(DREMLIX_WIZARD_EXE)).size();
        bytes[stub + 40] = char(bytes[stub + 40] ^ 0x55);
        QFile out(ws.Wizard());
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(bytes);
        out.close();
        const Result r = ws.Run(ws.Unattended());
        EXPECT_EQ(r.ExitCode, 7) << Explain(r);
        EXPECT_TRUE(r.Err.contains(QStringLiteral("damaged"))) << Explain(r);
        EXPECT_EQ(ReadFile(ws.Installed()), DemoFile(QStringLiteral("installed/Falcrest.exe")));
    }
    {
        // Without --unattended a display is needed: a message, not a core dump.
        ws.Pack(DemoPayload());
        QProcessEnvironment env = ws.Environment();
        env.insert(QStringLiteral("WINEPREFIX"), ws.Prefix());
        for (const QStringList &args : {QStringList{}, QStringList{QStringLiteral("--prefix=") + ws.Prefix()}}) {
            const Result r = ws.Run(args, env);
            EXPECT_EQ(r.ExitCode, 7) << Explain(r);
            EXPECT_TRUE(r.Err.contains(QStringLiteral("--unattended"))) << Explain(r);
        }
    }
}

TEST(Unattended, HelpVersionAndUsageErrorsNeedNoDisplay)
{
    Workstation ws;
    const Result help = ws.Run({QStringLiteral("--help")});
    EXPECT_EQ(help.ExitCode, 0) << Explain(help);
    EXPECT_TRUE(help.Out.startsWith(QStringLiteral("Usage: FalcrestUpdate [OPTION]...")));
    EXPECT_TRUE(help.Out.contains(QStringLiteral("  7  refused before the update")));
    EXPECT_TRUE(help.Out.contains(
        QStringLiteral("\n  10 interrupted by SIGTERM, SIGINT or SIGHUP: the product's files were put back\n")));
    EXPECT_TRUE(help.Err.isEmpty());

    const Result version = ws.Run({QStringLiteral("--version")});
    EXPECT_EQ(version.ExitCode, 0) << Explain(version);
    EXPECT_EQ(version.Out.section(QLatin1Char('\n'), 0, 1),
              QStringLiteral("FalcrestUpdate " DREMLIX_VERSION "\nProduct: Falcrest"));

    const Result bad = ws.Run({QStringLiteral("--unattended"), QStringLiteral("--colour=red")});
    EXPECT_EQ(bad.ExitCode, 2) << Explain(bad);
    EXPECT_TRUE(bad.Out.isEmpty());
    EXPECT_TRUE(bad.Err.startsWith(QStringLiteral("FalcrestUpdate: ")));
    EXPECT_TRUE(bad.Err.contains(QStringLiteral("\nUsage: FalcrestUpdate")));
    EXPECT_EQ(ReadFile(ws.Installed()), DemoFile(QStringLiteral("installed/Falcrest.exe")));
}

TEST(Unattended, OneWizardPerPrefixAndSideBySideOnTwo)
{
    Workstation first;
    Workstation second;
    // A wizard with its window open holds the first prefix.
    QProcessEnvironment env = first.Environment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("WINEPREFIX"), first.Prefix());
    std::unique_ptr<QProcess> window(first.Start({}, env));
    ASSERT_TRUE(RunUntil([&] { return QDir(first.Runtime()).entryList(QDir::Files).size() == 1; }, 20000));
    ASSERT_EQ(window->state(), QProcess::Running);

    // Another wizard on the same prefix, reached through another spelling of its path.
    const Result refused = first.Run(first.Unattended({QStringLiteral("--prefix=") + first.Prefix() + QStringLiteral("/.")}));
    EXPECT_EQ(refused.ExitCode, 6) << Explain(refused);
    EXPECT_EQ(ReadFile(first.Installed()), DemoFile(QStringLiteral("installed/Falcrest.exe")));

    // The same user's wizard on another prefix runs.
    QProcessEnvironment sameUser = second.Environment();
    sameUser.insert(QStringLiteral("XDG_RUNTIME_DIR"), first.Runtime());
    const Result other = second.Run(second.Unattended(), sameUser);
    EXPECT_EQ(other.ExitCode, 0) << Explain(other);
    EXPECT_EQ(window->state(), QProcess::Running);
    window->kill();
    window->waitForFinished();
}

// ---- Re-runs, reports, locks, crashes and damage -----------------------------------------

TEST(Unattended, ARunOnAnUpToDateWorkstationEndsWith8AndChangesNothing)
{
    Workstation ws;
    const QString json = ws.File(QStringLiteral("run.json"));
    const Result first = ws.Run(ws.Unattended());
    ASSERT_EQ(first.ExitCode, 0) << Explain(first);
    const QStringList before = Snapshot(ws.Prefix());
    const Result again = ws.Run(ws.Unattended({QStringLiteral("--report-json=") + json}));
    EXPECT_EQ(again.ExitCode, 8) << Explain(again);
    EXPECT_EQ(Snapshot(ws.Prefix()), before);
    const QJsonObject report = QJsonDocument::fromJson(ReadFile(json)).object();
    EXPECT_EQ(report.value(QStringLiteral("outcome")).toString(), QStringLiteral("up-to-date"));
    EXPECT_EQ(report.value(QStringLiteral("exit_code")).toInt(), 8);
    EXPECT_EQ(report.value(QStringLiteral("product")).toString(), QStringLiteral("Falcrest"));
    EXPECT_EQ(report.value(QStringLiteral("program")).toString(), InstalledProgram);
    EXPECT_FALSE(report.value(QStringLiteral("version_before")).toString().isEmpty());
    EXPECT_EQ(report.value(QStringLiteral("version_before")), report.value(QStringLiteral("version_after")));
    EXPECT_EQ(report.value(QStringLiteral("files")).toObject().value(QStringLiteral("replaced")).toArray(), QJsonArray());
    EXPECT_EQ(report.value(QStringLiteral("prefix")).toString(), ws.Prefix());
}

TEST(Unattended, TheJsonReportTellsWhatTheRunDid)
{
    Workstation ws;
    const QString json = ws.File(QStringLiteral("run.json"));
    const Result r = ws.Run(ws.Unattended({QStringLiteral("--report-json=") + json}));
    ASSERT_EQ(r.ExitCode, 0) << Explain(r);
    const QJsonObject report = QJsonDocument::fromJson(ReadFile(json)).object();
    EXPECT_EQ(report.value(QStringLiteral("schema")).toInt(), 1);
    EXPECT_EQ(report.value(QStringLiteral("outcome")).toString(), QStringLiteral("success"));
    EXPECT_EQ(report.value(QStringLiteral("exit_code")).toInt(), 0);
    EXPECT_EQ(report.value(QStringLiteral("wizard")).toObject().value(QStringLiteral("name")).toString(),
              QStringLiteral("FalcrestUpdate"));
    EXPECT_NE(report.value(QStringLiteral("version_before")), report.value(QStringLiteral("version_after")));
    const QJsonObject files = report.value(QStringLiteral("files")).toObject();
    EXPECT_EQ(files.value(QStringLiteral("replaced")).toArray(), QJsonArray{InstalledProgram});
    // Falcrest's print lists are files beside its program, put in place with the others.
    EXPECT_EQ(files.value(QStringLiteral("added")).toArray(),
              (QJsonArray{QStringLiteral("C:\\WDremlix\\Kestrin\\Programs\\Falcrest.chm"),
                          QStringLiteral("C:\\WDremlix\\Kestrin\\Programs\\FalcrestGro.lst"),
                          QStringLiteral("C:\\WDremlix\\Kestrin\\Programs\\FalcrestGrp.lst"),
                          QStringLiteral("C:\\WDremlix\\Kestrin\\Programs\\FalcrestPre.lst")}));
    EXPECT_EQ(report.value(QStringLiteral("print_lists")).toArray(),
              (QJsonArray{QStringLiteral("FalcrestGro.lst"), QStringLiteral("FalcrestGrp.lst"),
                          QStringLiteral("FalcrestPre.lst")}));
    EXPECT_EQ(report.value(QStringLiteral("host")).toString(), QSysInfo::machineHostName());
    EXPECT_TRUE(QDateTime::fromString(report.value(QStringLiteral("started")).toString(), Qt::ISODate).isValid());
    // Written whole: nothing else is left beside it.
    EXPECT_EQ(QDir(ws.File(QString())).entryList({QStringLiteral("run.json*")}, QDir::Files),
              QStringList{QStringLiteral("run.json")});
}

struct DestinationCase {
    const char *Label;
    const char *Option;
    const char *Path; // under the wizard's folder
    bool ReadOnlyFolder;
};

class ReportDestinations : public ::testing::TestWithParam<DestinationCase> {};

TEST_P(ReportDestinations, ThatCannotBeWrittenAreRefusedBeforeTheUpdate)
{
    const DestinationCase &c = GetParam();
    if (c.ReadOnlyFolder && ::geteuid() == 0)
        GTEST_SKIP() << "root writes in a folder without write permission";
    Workstation ws;
    QDir().mkpath(ws.File(QStringLiteral("folder")));
    QDir().mkpath(ws.File(QStringLiteral("locked")));
    QFile::setPermissions(ws.File(QStringLiteral("locked")), QFile::ReadOwner | QFile::ExeOwner);
    const QString target = ws.File(QString::fromLatin1(c.Path));
    const QStringList before = Snapshot(ws.Prefix());
    const Result r = ws.Run(ws.Unattended({QString::fromLatin1(c.Option) + target}));
    QFile::setPermissions(ws.File(QStringLiteral("locked")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_EQ(r.ExitCode, 2) << Explain(r);
    EXPECT_TRUE(r.Out.isEmpty()) << Explain(r);
    ASSERT_EQ(Lines(r.Err).size(), 1) << Explain(r);
    EXPECT_TRUE(Lines(r.Err).first().startsWith(QStringLiteral("FalcrestUpdate: cannot write the report to ") + target
                                                + QStringLiteral(": ")))
        << Explain(r);
    EXPECT_EQ(Snapshot(ws.Prefix()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReportDestinations,
    ::testing::Values(DestinationCase{"TextInAMissingFolder", "--report=", "missing/report.txt", false},
                      DestinationCase{"TextOnAFolder", "--report=", "folder", false},
                      DestinationCase{"PdfInAMissingFolder", "--report-pdf=", "missing/report.pdf", false},
                      DestinationCase{"PdfOnAFolder", "--report-pdf=", "folder", false},
                      DestinationCase{"JsonOnAFolder", "--report-json=", "folder", false},
                      DestinationCase{"TextInAReadOnlyFolder", "--report=", "locked/report.txt", true}),
    [](const auto &info) { return std::string(info.param.Label); });

TEST(Unattended, ADeviceOrAFifoReportIsWrittenInPlace)
{
    Workstation ws;
    {
        // A FIFO with a reader: the report goes through it and the FIFO stays one.
        const QString fifo = ws.File(QStringLiteral("report.fifo"));
        ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QProcess reader;
        reader.start(QStringLiteral("cat"), {fifo});
        ASSERT_TRUE(reader.waitForStarted());
        const Result r = ws.Run(ws.Unattended({QStringLiteral("--report=") + fifo}));
        ASSERT_TRUE(reader.waitForFinished(20000));
        EXPECT_EQ(r.ExitCode, 0) << Explain(r);
        EXPECT_EQ(QString::fromUtf8(reader.readAllStandardOutput()), r.Out);
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(fifo).constData(), &st), 0);
        EXPECT_TRUE(S_ISFIFO(st.st_mode));
    }
    if (::geteuid() != 0)
        GTEST_SKIP() << "making device nodes needs root";
    for (const auto &[name, minor, code] : {std::tuple{"null", 3u, 8}, std::tuple{"full", 7u, 9}}) {
        // A node of our own stands for /dev/null and /dev/full, so that a fault never
        // replaces the machine's own. The product is up to date here: a device that takes
        // nothing turns that good end into 9, never into success.
        const QString node = ws.File(QString::fromLatin1(name));
        ASSERT_EQ(::mknod(QFile::encodeName(node).constData(), S_IFCHR | 0666, makedev(1, minor)), 0);
        for (const char *option : {"--report=", "--report-pdf=", "--report-json="}) {
            const Result r = ws.Run(ws.Unattended({QStringLiteral("--allow-same"), QString::fromLatin1(option) + node}));
            const Result again = ws.Run(ws.Unattended({QString::fromLatin1(option) + node}));
            EXPECT_EQ(r.ExitCode, code == 8 ? 0 : 9) << option << Explain(r);
            EXPECT_EQ(again.ExitCode, code) << option << Explain(again);
            struct stat st {};
            ASSERT_EQ(::stat(QFile::encodeName(node).constData(), &st), 0);
            EXPECT_TRUE(S_ISCHR(st.st_mode)) << option << " replaced " << name;
            if (code == 9) {
                EXPECT_TRUE(Lines(again.Err).contains(QStringLiteral("Cannot write the report to %1: %2")
                                                          .arg(node, QString::fromLocal8Bit(std::strerror(ENOSPC)))))
                    << Explain(again);
            }
        }
    }
}

TEST(Unattended, ARenamedCopyOrAnotherUserIsKeptOffAPrefixInUse)
{
    Workstation ws;
    // The window holds the prefix, run by "another user": a runtime folder of its own.
    const QString otherRuntime = ws.File(QStringLiteral("other-run"));
    QDir().mkpath(otherRuntime);
    QProcessEnvironment env = ws.Environment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("WINEPREFIX"), ws.Prefix());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), otherRuntime);
    std::unique_ptr<QProcess> window(ws.Start({}, env));
    ASSERT_TRUE(RunUntil([&] { return QDir(otherRuntime).entryList(QDir::Files).size() == 1; }, 20000));

    const QString renamed = ws.File(QStringLiteral("CopyOfTheUpdate"));
    ASSERT_TRUE(QFile::copy(ws.Wizard(), renamed));
    QProcess copy;
    copy.setProcessEnvironment(ws.Environment());
    copy.start(renamed, ws.Unattended());
    ASSERT_TRUE(copy.waitForFinished(60000));
    EXPECT_EQ(copy.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(copy.exitCode(), 6) << copy.readAllStandardError().toStdString();
    EXPECT_EQ(ReadFile(ws.Installed()), DemoFile(QStringLiteral("installed/Falcrest.exe")));
    window->kill();
    window->waitForFinished();

    // Once it is gone the prefix is free again.
    const Result r = ws.Run(ws.Unattended());
    EXPECT_EQ(r.ExitCode, 0) << Explain(r);
}

TEST(Unattended, ABrokenHiveEndsWithAListedCodeAndALine)
{
    Workstation ws;
    QFile hive(ws.Prefix() + QStringLiteral("/user.reg"));
    ASSERT_TRUE(hive.open(QIODevice::Append));
    hive.write("\n[Software\\\\DREMLIX S.A.\\\\Orvanta\\\\Program] 1700000000\n\"Filename\"=\"C:\\\\WDremlix\n");
    hive.close();
    const Result r = ws.Run(ws.Unattended());
    EXPECT_EQ(r.ExitCode, 7) << Explain(r);
    EXPECT_FALSE(r.Err.isEmpty()) << Explain(r);
    EXPECT_EQ(ReadFile(ws.Installed()), DemoFile(QStringLiteral("installed/Falcrest.exe")));
}

// Every hive the fuzzer kept, as either hive, in both modes: the wizard ends with a code
// of its own or (the window) waits at a box or a step; never a signal.
TEST(Unattended, EveryFuzzedHiveInBothModesEndsWithoutASignal)
{
    QStringList hives;
    for (const char *folder : {"corpus", "findings"}) {
        QDirIterator it(QStringLiteral(DREMLIX_SOURCE_DIR "/fuzz/") + QString::fromLatin1(folder)
                            + QStringLiteral("/registry_hive"),
                        QDir::Files);
        while (it.hasNext())
            hives.append(it.next());
    }
    ASSERT_FALSE(hives.isEmpty());
    // And a key deeper than the parser's limit, in the product's own key.
    QTemporaryDir extra;
    QByteArray deep = "WINE REGISTRY Version 2\n\n[Software\\\\DREMLIX S.A.\\\\Orvanta";
    for (int i = 0; i < 600; ++i)
        deep += "\\\\k";
    deep += "] 1700000000\n\"Filename\"=\"C:\\\\x\"\n";
    {
        QFile file(extra.filePath(QStringLiteral("deep-key.reg")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(deep);
    }
    hives.append(extra.filePath(QStringLiteral("deep-key.reg")));
    struct Started {
        QString Label;
        std::unique_ptr<Workstation> Ws;
        std::unique_ptr<QProcess> Process;
        bool Window;
    };
    std::vector<Started> runs;
    for (const QString &hive : hives) {
        for (const char *which : {"user.reg", "system.reg"}) {
            for (const bool window : {false, true}) {
                Started run;
                run.Label = QFileInfo(hive).fileName() + QStringLiteral(" as ") + QString::fromLatin1(which)
                            + (window ? QStringLiteral(" (window)") : QStringLiteral(" (unattended)"));
                run.Window = window;
                run.Ws = std::make_unique<Workstation>();
                const QString target = run.Ws->Prefix() + QLatin1Char('/') + QString::fromLatin1(which);
                QFile::remove(target);
                QFile::copy(hive, target);
                QProcessEnvironment env = run.Ws->Environment();
                QStringList args = run.Ws->Unattended();
                if (window) {
                    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
                    args = QStringList{QStringLiteral("--prefix=") + run.Ws->Prefix()};
                }
                run.Process.reset(run.Ws->Start(args, env));
                runs.push_back(std::move(run));
            }
        }
    }
    const QList<int> listed{0, 1, 3, 4, 5, 7, 8};
    // A window that waits at a box or a step is let be for a while, all of them at once.
    QElapsedTimer clock;
    clock.start();
    for (Started &run : runs) {
        const qint64 left = (run.Window ? 30000 : 120000) - clock.elapsed();
        const bool ended = run.Process->waitForFinished(int(std::max<qint64>(left, 1)));
        if (!ended) {
            EXPECT_TRUE(run.Window) << run.Label.toStdString() << ": did not end";
            run.Process->kill();
            run.Process->waitForFinished();
            continue;
        }
        EXPECT_EQ(run.Process->exitStatus(), QProcess::NormalExit)
            << run.Label.toStdString() << ": " << run.Process->readAllStandardError().toStdString();
        EXPECT_TRUE(listed.contains(run.Process->exitCode()))
            << run.Label.toStdString() << ": exit " << run.Process->exitCode();
    }
}

TEST(Unattended, ADisplayThatDoesNotAnswerIsARefusal)
{
    Workstation ws;
    QProcessEnvironment env = ws.Environment();
    env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":97"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    const Result r = ws.Run({QStringLiteral("--prefix=") + ws.Prefix()}, env);
    EXPECT_EQ(r.ExitCode, 7) << Explain(r);
    EXPECT_TRUE(Lines(r.Err).last().startsWith(QStringLiteral("No display can be reached to show the wizard on ")))
        << Explain(r);
}

TEST(Unattended, AWizardCutShortIsRefusedAndSaysSoInItsVersion)
{
    Workstation ws;
    // A payload large enough to lose 100 KB of it.
    ws.Pack(DemoPayload({{QStringLiteral("UpdateInfo.txt"), DemoFile(QStringLiteral("UpdateInfo.txt")).repeated(2)}}));
    const Result whole = ws.Run({QStringLiteral("--version")});
    EXPECT_EQ(whole.ExitCode, 0) << Explain(whole);
    EXPECT_TRUE(Lines(whole.Out).contains(QStringLiteral("Program: Falcrest.exe 5.3.0.12")))
        << Explain(whole);

    const QByteArray bytes = ReadFile(ws.Wizard());
    for (const qsizetype cut : {qsizetype(100 * 1024), qsizetype(1)}) {
        QFile out(ws.Wizard());
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(bytes.left(bytes.size() - cut));
        out.close();
        const Result version = ws.Run({QStringLiteral("--version")});
        EXPECT_EQ(version.ExitCode, 7) << Explain(version);
        EXPECT_TRUE(Lines(version.Out).last().startsWith(QStringLiteral("Payload: damaged ("))) << Explain(version);
        const Result run = ws.Run(ws.Unattended());
        EXPECT_EQ(run.ExitCode, 7) << Explain(run);
        EXPECT_TRUE(Lines(run.Err).last().startsWith(QStringLiteral("The wizard's payload is damaged: "))) << Explain(run);
        EXPECT_EQ(ReadFile(ws.Installed()), DemoFile(QStringLiteral("installed/Falcrest.exe")));
    }
}

// Root on a prefix of another user writes only where that user could: the TEMP of the
// user's hive names a folder of root's, and root's run must not make its files there.
TEST(Unattended, RootOnAnotherUsersPrefixWritesOnlyAsThatUser)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: it runs the wizard as root on a prefix of nobody's";
    const struct passwd *nobody = ::getpwnam("nobody");
    if (!nobody)
        GTEST_SKIP() << "no user nobody here";
    Workstation ws;
    QTemporaryDir victim(QStringLiteral("/tmp/victim-XXXXXX"));
    ASSERT_TRUE(victim.isValid());
    QFile::setPermissions(victim.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                             | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    ws.PrefixBuilder().SetRegString(Os::RegRoot::CurrentUser, QStringLiteral("Environment"), QStringLiteral("TEMP"),
                                    QStringLiteral("Z:") + QString(victim.path()).replace(QLatin1Char('/'), QLatin1Char('\\')));
    // nobody reaches the prefix and the wizard, and owns the prefix.
    for (const QString &folder : {ws.File(QString()), ws.PrefixBuilder().Scratch()})
        ::chmod(QFile::encodeName(folder).constData(), 0755);
    QProcess chown;
    chown.start(QStringLiteral("chown"), {QStringLiteral("-R"), QStringLiteral("nobody:"), ws.Prefix()});
    ASSERT_TRUE(chown.waitForFinished());
    const Result r = ws.Run(ws.Unattended());
    EXPECT_GE(r.ExitCode, 0) << Explain(r);
    EXPECT_EQ(QDir(victim.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList())
        << Explain(r);
    QDirIterator it(ws.Prefix(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st {};
        ::lstat(QFile::encodeName(path).constData(), &st);
        EXPECT_EQ(st.st_uid, nobody->pw_uid) << path.toStdString() << " is not nobody's";
    }
}

// A dry run makes the run's checks and changes nothing in the prefix, not even a lock or a
// temporary file; its code is the one the run would end with.
TEST(Unattended, ADryRunPlansAndChangesNothing)
{
    Workstation ws;
    const QString program = QStringLiteral("C:\\WDremlix\\Kestrin\\Programs\\");
    {
        const QStringList before = Snapshot(ws.Prefix());
        const Result r = ws.Run(ws.Unattended({QStringLiteral("--dry-run")}));
        EXPECT_EQ(r.ExitCode, 0) << Explain(r);
        EXPECT_EQ(Snapshot(ws.Prefix()), before);
        const QStringList plan = Lines(r.Out.section(QStringLiteral("\nDry run, nothing was changed. Plan:\n"), 1));
        EXPECT_EQ(plan, (QStringList{QStringLiteral("add ") + program + QStringLiteral("Falcrest.chm -> ?"),
                                     QStringLiteral("add ") + program + QStringLiteral("FalcrestGro.lst -> ?"),
                                     QStringLiteral("add ") + program + QStringLiteral("FalcrestGrp.lst -> ?"),
                                     QStringLiteral("add ") + program + QStringLiteral("FalcrestPre.lst -> ?"),
                                     QStringLiteral("replace ") + program + QStringLiteral("Falcrest.exe 5.2.4.7 -> 5.3.0.12"),
                                     QStringLiteral("print list FalcrestGro.lst"),
                                     QStringLiteral("print list FalcrestGrp.lst"),
                                     QStringLiteral("print list FalcrestPre.lst"),
                                     QStringLiteral("registry values: none")}))
            << Explain(r);
    }
    {
        // Held open: the in-use test the copy would meet, and the run's own code.
        QFile holder(ws.Installed());
        ASSERT_TRUE(holder.open(QIODevice::ReadOnly));
        const QStringList before = Snapshot(ws.Prefix());
        const Result r = ws.Run(ws.Unattended({QStringLiteral("--dry-run")}));
        EXPECT_EQ(r.ExitCode, 1) << Explain(r);
        EXPECT_EQ(Snapshot(ws.Prefix()), before);
    }
    {
        const Result real = ws.Run(ws.Unattended());
        ASSERT_EQ(real.ExitCode, 0) << Explain(real);
        const QStringList before = Snapshot(ws.Prefix());
        const Result r = ws.Run(ws.Unattended({QStringLiteral("--dry-run")}));
        EXPECT_EQ(r.ExitCode, 8) << Explain(r);
        EXPECT_EQ(Snapshot(ws.Prefix()), before);
        EXPECT_TRUE(Lines(r.Out).contains(QStringLiteral("keep ") + program
                                          + QStringLiteral("Falcrest.exe 5.3.0.12 (payload 5.3.0.12)")))
            << Explain(r);
    }
}

} // namespace
