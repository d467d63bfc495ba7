#include "AppFixture.h"

#include "app/frmDisplayFileUnit.h"
#include "app/frmEndInstallUnit.h"
#include "app/frmMainUnit.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTextCursor>
#include <QTextEdit>
#include <QToolButton>
#include <gtest/gtest.h>

using namespace AppTest;

namespace {

QString RunTool(const QString &tool, const QStringList &args)
{
    QProcess process;
    process.start(tool, args);
    if (!process.waitForFinished(30000))
        return QString();
    return QString::fromUtf8(process.readAllStandardOutput());
}

QString PdfTitle(const QString &pdf)
{
    const QStringList lines = RunTool(QStringLiteral("pdfinfo"), {pdf}).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(QStringLiteral("Title:")))
            return line.mid(6).trimmed();
    }
    return QString();
}

QString PdfText(const QString &pdf)
{
    return RunTool(QStringLiteral("pdftotext"), {pdf, QStringLiteral("-")}).simplified();
}

struct PrintCase {
    const char *Label;
    bool ReportStep;
    QString JobName;
    QString Words;
};

class Printing : public ::testing::TestWithParam<PrintCase> {
protected:
    void SetUp() override
    {
        if (QStandardPaths::findExecutable(QStringLiteral("pdfinfo")).isEmpty())
            GTEST_SKIP() << "pdfinfo (poppler-utils) is not installed";
    }
};

TEST_P(Printing, PrintsTheWholeTextAsAJobOfItsName)
{
    const PrintCase &c = GetParam();
    TWizardRun run(StandardPayload());
    run.Start();
    if (c.ReportStep) {
        QTextCursor cursor(frmEndInstall->RichEditReport->document());
        cursor.insertText(QStringLiteral("Aggiornamento : Falcrest  01.03.2021 10:00:00"));
    }
    const QString pdf = run.Root() + QStringLiteral("/out.pdf");
    run.Ui().QueuePrinter(pdf);
    (c.ReportStep ? frmEndInstall->SpeedButtonPrint : frmDisplayFile->SpeedButtonPrint)->click();

    ASSERT_TRUE(QFile::exists(pdf));
    EXPECT_EQ(PdfTitle(pdf), c.JobName);
    EXPECT_TRUE(PdfText(pdf).contains(c.Words)) << PdfText(pdf).toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Steps, Printing,
    ::testing::Values(PrintCase{"Changes", false, QStringLiteral("Lista delle modificazionni"),
                                QStringLiteral("Stampa dei registri IVA corretta.")},
                      PrintCase{"Report", true, QStringLiteral("Update report"),
                                QStringLiteral("Aggiornamento : Falcrest 01.03.2021 10:00:00")}),
    [](const auto &info) { return std::string(info.param.Label); });

TEST(PrintingCancelled, PrintsNothing)
{
    TWizardRun run(StandardPayload());
    run.Start();
    const QString pdf = run.Root() + QStringLiteral("/out.pdf");
    run.Ui().QueuePrinter(QString()); // the person cancels the set-up
    frmDisplayFile->SpeedButtonPrint->click();
    run.Ui().QueuePrinter(QString());
    frmEndInstall->SpeedButtonPrint->click();
    EXPECT_FALSE(QFile::exists(pdf));
    QTextDocument empty;
    run.Ui().QueuePrinter(QString());
    EXPECT_FALSE(frmEndInstall->PrintDocument(empty, QStringLiteral("x")));
}

} // namespace
