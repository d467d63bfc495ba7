// The report: lines appended at the end, CR LF splitting, point sizes, the focus hook,
// and the payload readers of the engine.
#include "UpdateFixture.h"

#include <QFile>
#include <QTextBlock>

namespace {

struct SplitCase {
    const char *Name;
    QStringList Texts;
    QStringList Expected;
};

} // namespace

TEST(DocumentReport, AppendsEachTextAsNewLastLines)
{
    const QList<SplitCase> cases {
        { "empty text is an empty line", { QString() }, { QString() } },
        { "plain", { QStringLiteral("a"), QStringLiteral("b") },
            { QStringLiteral("a"), QStringLiteral("b") } },
        { "trailing CR LF leaves an empty line", { QStringLiteral("a\r\n"), QStringLiteral("b") },
            { QStringLiteral("a"), QString(), QStringLiteral("b") } },
        { "leading CR LF gives an empty line before", { QStringLiteral("a"), QStringLiteral("\r\nb") },
            { QStringLiteral("a"), QString(), QStringLiteral("b") } },
        { "inner CR LF gives several lines", { QStringLiteral("x\r\ny\r\nz") },
            { QStringLiteral("x"), QStringLiteral("y"), QStringLiteral("z") } },
        { "empty first line stays a line", { QString(), QStringLiteral("a") },
            { QString(), QStringLiteral("a") } },
    };
    for (const SplitCase &c : cases) {
        QTextDocument document;
        TDocumentReport report(&document);
        for (const QString &text : c.Texts)
            report.AddLine(text, 0, QString());
        EXPECT_EQ(report.Lines(), c.Expected) << c.Name;
        EXPECT_EQ(report.Text(), c.Expected.join(QLatin1String("\r\n"))) << c.Name;
    }
}

TEST(DocumentReport, EachLineKeepsThePointSizeItsOwnCallGave)
{
    // A size carries over to the lines after it, as at a rich-text control's caret: only
    // what each call gave tells a closing line of 10 points from one that passed 0.
    for (const int closingSize : { 10, 0 }) {
        SCOPED_TRACE(closingSize);
        QTextDocument document;
        TDocumentReport report(&document);
        report.AddLine(QStringLiteral("Aggiornamento : Falcrest  01.01.2026 10:00:00\r\n"), 10, QString());
        report.AddLine(QStringLiteral("Copia di x"), 0, QString());
        report.AddLine(QStringLiteral("\r\nL'aggiornamento terminato con successo."), closingSize, QString());
        EXPECT_EQ(report.PointSizes(), (QList<double> { 10, 10, 10, 10, 10 }));
        EXPECT_EQ(report.GivenPointSizes(), (QList<int> { 10, 10, 0, closingSize, closingSize }));
        EXPECT_EQ(report.Lines().last(), QStringLiteral("L'aggiornamento terminato con successo."));
    }
}

TEST(DocumentReport, FontNameAndFocusHook)
{
    QTextDocument document;
    TDocumentReport report(&document);
    int focusCalls = 0;
    report.SetFocusHook([&] { ++focusCalls; });
    report.AddLine(QStringLiteral("a"), 0, QStringLiteral("Courier New"));
    report.AddLine(QStringLiteral("b\r\nc"), 0, QString());
    EXPECT_EQ(focusCalls, 2);
    const QTextBlock first = document.begin();
    EXPECT_EQ(first.begin().fragment().charFormat().fontFamilies().toStringList(),
        QStringList { QStringLiteral("Courier New") });
}

TEST_F(UpdateFixture, ReportLinesBeforeBindingAreDropped)
{
    FPayload.AddList(QStringLiteral("Updates.txt"), { QStringLiteral("Falcrest") });
    StartEngine(7);
    FEngine->SetReport(nullptr);
    EXPECT_NO_THROW(FEngine->AddReportLine(QStringLiteral("lost")));
    FEngine->SetReport(FReport.get());
    FEngine->AddReportLine(QStringLiteral("kept"));
    EXPECT_EQ(Lines(), QStringList { QStringLiteral("kept") });
}

TEST_F(UpdateFixture, LoadListReadsManifestsAndTreatsAbsentAsEmpty)
{
    FPayload.Add(QStringLiteral("Updates.txt"), QByteArray("Falcrest"));
    FPayload.Add(QStringLiteral("FileNames.txt"),
        QByteArray("\xEF\xBB\xBF"
                   "Caff\xC3\xA8.chm\r\nb.dll\r\n"));
    FPayload.Add(QStringLiteral("Steps.txt"), QByteArray());
    StartEngine(7);
    QStringList list { QStringLiteral("stale") };
    EXPECT_EQ(FEngine->LoadList(QStringLiteral("updates.TXT"), list), 1);
    EXPECT_EQ(list, QStringList { QStringLiteral("Falcrest") });
    EXPECT_EQ(FEngine->LoadList(QStringLiteral("FileNames.txt"), list), 2);
    EXPECT_EQ(list.first(), QStringLiteral("Caffè.chm"));
    EXPECT_EQ(FEngine->LoadList(QStringLiteral("Steps.txt"), list), 0);
    EXPECT_EQ(FEngine->LoadList(QStringLiteral("PrintLists.txt"), list), 0);
    EXPECT_TRUE(list.isEmpty());
}

TEST_F(UpdateFixture, LoadRichTextCountsLinesAndClearsForAnAbsentFile)
{
    QFile rtf(QStringLiteral(DREMLIX_SOURCE_DIR "/../shared/fixtures/rtf/changes-pandoc.rtf"));
    QByteArray bytes;
    if (rtf.open(QIODevice::ReadOnly))
        bytes = rtf.readAll();
    else
        bytes = "{\\rtf1\\ansi Prima riga\\par Seconda riga\\par}";
    FPayload.Add(QStringLiteral("UpdateInfo.txt"), bytes);
    StartEngine(7);
    QTextDocument document;
    EXPECT_GT(FEngine->LoadRichText(QStringLiteral("UpdateInfo.txt"), document), 1);
    EXPECT_FALSE(document.toPlainText().contains(QLatin1String("\\rtf")));
    EXPECT_EQ(FEngine->LoadRichText(QStringLiteral("Missing.rtf"), document), 0);
    EXPECT_TRUE(document.isEmpty());
}
