// The header rules of print-list files: which lines count, the fall-backs of the
// descriptions, comments and blanks, and the stored text.
#include "Common/Impression/PrintListHeader.h"

#include <gtest/gtest.h>

namespace {

QStringList Lines(std::initializer_list<const char *> lines)
{
    QStringList result;
    for (const char *line : lines)
        result << QString::fromUtf8(line);
    return result;
}

struct HeaderCase {
    const char *Name;
    QStringList File;
    const char *Compat;
    const char *DescD;
    const char *DescF;
    const char *DescI;
};

void PrintTo(const HeaderCase &c, std::ostream *os) { *os << c.Name; }

class PrintListHeaderTest : public ::testing::TestWithParam<HeaderCase> { };

TEST_P(PrintListHeaderTest, Reads)
{
    const HeaderCase &c = GetParam();
    const TPrintListHeader h = PrintListHeader::Read(c.File, QStringLiteral("falcrestgro"));
    EXPECT_EQ(h.Compat, QString::fromUtf8(c.Compat));
    EXPECT_EQ(h.DescD, QString::fromUtf8(c.DescD));
    EXPECT_EQ(h.DescF, QString::fromUtf8(c.DescF));
    EXPECT_EQ(h.DescI, QString::fromUtf8(c.DescI));
}

INSTANTIATE_TEST_SUITE_P(Files, PrintListHeaderTest,
    ::testing::Values(HeaderCase { "no header: every description is the name",
                          Lines({ "/* lista", "ORIENTATION=P", "MARGIN=10" }), "", "falcrestgro",
                          "falcrestgro", "falcrestgro" },
        HeaderCase { "compat only", Lines({ "/* x", "COM:FALCREST", "BAND=1" }), "FALCREST", "falcrestgro",
            "falcrestgro", "falcrestgro" },
        HeaderCase { "X and I: X fills D and F", Lines({ "DES:X:Lista comune", "DES:I:Lista clienti" }), "",
            "Lista comune", "Lista comune", "Lista clienti" },
        HeaderCase { "all three letters",
            Lines({ "DES:D:Kundenliste", "DES:F:Liste clients", "DES:I:Lista clienti" }), "", "Kundenliste",
            "Liste clients", "Lista clienti" },
        HeaderCase { "comment after a description, and its blank",
            Lines({ "DES:I:Lista clienti /* nuova", "COM:ORV  /*x*/" }), "ORV", "falcrestgro", "falcrestgro",
            "Lista clienti" },
        HeaderCase { "header words not in the first column",
            Lines({ " COM:ORV", "/* COM:ORV", "\tDES:I:no", "/* DES:I:no */" }), "", "falcrestgro",
            "falcrestgro", "falcrestgro" },
        HeaderCase { "letter case counts", Lines({ "com:ORV", "des:I:no", "DES:i:no", "Com:ORV" }), "",
            "falcrestgro", "falcrestgro", "falcrestgro" },
        HeaderCase { "the first of two counts",
            Lines({ "COM:FIRST", "DES:I:one", "COM:SECOND", "DES:I:two" }), "FIRST", "falcrestgro",
            "falcrestgro", "one" },
        HeaderCase { "header lines anywhere in the file",
            Lines({ "A=1", "B=2", "C=3", "COM:LATE", "DES:D:late" }), "LATE", "late", "falcrestgro",
            "falcrestgro" },
        HeaderCase { "control characters trimmed at both ends",
            Lines({ "COM:\tORV\r", "DES:F: \x01Liste \x1f" }), "ORV", "falcrestgro", "Liste", "falcrestgro" },
        HeaderCase { "a comment-only description stays empty (it is not empty when read)",
            Lines({ "DES:I:/* none" }), "", "falcrestgro", "falcrestgro", "" },
        HeaderCase { "an X with a comment is stripped in its copies", Lines({ "DES:X:Comune /* c" }), "",
            "Comune", "Comune", "Comune" },
        HeaderCase { "accented text kept", Lines({ "DES:I:Società à €", "COM:ÀB" }), "ÀB", "falcrestgro",
            "falcrestgro", "Società à €" },
        HeaderCase { "empty file", QStringList(), "", "falcrestgro", "falcrestgro", "falcrestgro" }));

TEST(PrintListHeader, FindsLineIndexes)
{
    const QStringList file = Lines({ "x", "COM:A", "DES:I:i", "DES:X:x", "DES:I:again" });
    EXPECT_EQ(PrintListHeader::FindCompatLine(file), 1);
    EXPECT_EQ(PrintListHeader::FindDescriptionLine(file, QLatin1Char('I')), 2);
    EXPECT_EQ(PrintListHeader::FindDescriptionLine(file, QLatin1Char('X')), 3);
    EXPECT_EQ(PrintListHeader::FindDescriptionLine(file, QLatin1Char('D')), -1);
    EXPECT_EQ(PrintListHeader::FindCompatLine(Lines({ "COM", "CO:M" })), -1);
    // "DES:I" without its colon is no description line.
    EXPECT_EQ(PrintListHeader::FindDescriptionLine(Lines({ "DES:I" }), QLatin1Char('I')), -1);
}

TEST(PrintListHeader, CutsValuesAt255Characters)
{
    const QString longText(300, QLatin1Char('k'));
    const TPrintListHeader h = PrintListHeader::Read(
        QStringList { QStringLiteral("COM:") + longText, QStringLiteral("DES:I:") + longText },
        QStringLiteral("n"));
    EXPECT_EQ(h.Compat.size(), 255);
    EXPECT_EQ(h.DescI.size(), 255);
}

TEST(PrintListHeader, StripComment)
{
    EXPECT_EQ(PrintListHeader::StripComment(QStringLiteral("  a b  ")), QStringLiteral("a b"));
    EXPECT_EQ(PrintListHeader::StripComment(QStringLiteral("a/b")), QStringLiteral("a/b"));
    EXPECT_EQ(PrintListHeader::StripComment(QStringLiteral("a /* b /* c")), QStringLiteral("a"));
    EXPECT_EQ(PrintListHeader::StripComment(QStringLiteral("/*")), QString());
    // A no-break space is text, not a blank.
    EXPECT_EQ(
        PrintListHeader::StripComment(QStringLiteral("\u00A0a\u00A0")), QStringLiteral("\u00A0a\u00A0"));
}

TEST(PrintListHeader, StoredTextEndsEveryLineWithCrLf)
{
    EXPECT_EQ(
        PrintListHeader::LinesText(Lines({ "COM:A", "", "last" })), QStringLiteral("COM:A\r\n\r\nlast\r\n"));
    EXPECT_EQ(PrintListHeader::LinesText(QStringList()), QString());
    EXPECT_EQ(PrintListHeader::LinesText(Lines({ "" })), QStringLiteral("\r\n"));
}

} // namespace
