// The RTF reader against what four real writers produced, and against broken input.
#include "payload/RtfReader.h"

#include <QAbstractTextDocumentLayout>
#include <QBuffer>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFragment>
#include <QTextFrame>
#include <QTextLayout>
#include <QTextTable>

#include <gtest/gtest.h>
#include <optional>

namespace {

QByteArray Fixture(const char *name)
{
    QFile f(QStringLiteral(DREMLIX_TEST_DATA "/payload/") + QString::fromLatin1(name));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << name;
    return f.readAll();
}

QString Text(const char *utf8)
{
    return QString::fromUtf8(utf8);
}

std::unique_ptr<QTextDocument> Load(const QByteArray &rtf, int *result = nullptr)
{
    auto doc = std::make_unique<QTextDocument>();
    const int rc = LoadRichTextBytes(*doc, rtf);
    if (result)
        *result = rc;
    return doc;
}

// The text as it is stored (toPlainText would turn non-breaking spaces into spaces),
// paragraph and line separators as line feeds.
QString Plain(const QByteArray &rtf)
{
    QString text = Load(rtf)->toRawText();
    text.replace(QChar::ParagraphSeparator, u'\n');
    text.replace(QChar::LineSeparator, u'\n');
    return text;
}

// The words of a text: typographic apostrophes as the plain one, bullets, tabs and runs
// of white space reduced to single spaces.
QString Words(QString text)
{
    text.replace(QChar(0x2019), u'\'');
    text.replace(QChar(0x2022), u' ');
    text.replace(QChar(0x00A0), u' ');
    return text.simplified();
}

QString WordsOfMarkdown(const QString &md)
{
    QString t = md;
    t.replace(QRegularExpression(QStringLiteral("^#+ "), QRegularExpression::MultilineOption), QString());
    t.replace(QRegularExpression(QStringLiteral("^- "), QRegularExpression::MultilineOption), QString());
    t.remove(QStringLiteral("**"));
    t.remove(u'*');
    return Words(t);
}

QString WordsOfHtml(const QString &html)
{
    QString t = html;
    t.remove(QRegularExpression(QStringLiteral("<head>.*</head>"), QRegularExpression::DotMatchesEverythingOption));
    t.replace(QRegularExpression(QStringLiteral("<[^>]*>")), QStringLiteral(" "));
    t.replace(QStringLiteral("&amp;"), QStringLiteral("&"));
    t.replace(QStringLiteral("&lt;"), QStringLiteral("<"));
    t.replace(QStringLiteral("&gt;"), QStringLiteral(">"));
    t.replace(QStringLiteral("&nbsp;"), QStringLiteral(" "));
    // Words a tag closes are followed by punctuation in the text: no space before it.
    return Words(t);
}

QString WordsOfLatex(const QString &tex)
{
    QString t = tex;
    t.remove(QRegularExpression(QStringLiteral("\\\\(documentclass|usepackage)(\\[[^]]*\\])?\\{[^}]*\\}")));
    t.remove(QRegularExpression(QStringLiteral("\\\\(begin|end)\\{[a-z]+\\}")));
    t.replace(QRegularExpression(QStringLiteral("\\\\(section\\*|textbf|emph)\\{([^}]*)\\}")), QStringLiteral("\\2"));
    t.remove(QStringLiteral("\\item"));
    t.replace(QStringLiteral("\\%"), QStringLiteral("%"));
    t.replace(QStringLiteral("---"), QString(QChar(0x2014)));
    // LaTeX reads \'a as an acute a, and so did the writer.
    t.replace(QStringLiteral("\\'a"), QString(QChar(0x00E1)));
    return Words(t);
}

// Space differences at tag and run boundaries ("lavoro. Nessun" vs "lavoro.Nessun") are
// not what the comparison is about.
QString NoSpaces(QString s)
{
    return s.remove(u' ');
}

struct Run {
    QString Text;
    QTextCharFormat Format;
};

// The fragment holding the text, searched through the whole document, tables included.
std::optional<Run> FindRun(const QTextDocument &doc, const QString &text)
{
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextFragment f = it.fragment();
            if (f.isValid() && f.text().contains(text))
                return Run{f.text(), f.charFormat()};
        }
    }
    return std::nullopt;
}

std::optional<QTextBlock> FindBlock(const QTextDocument &doc, const QString &text)
{
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next())
        if (b.text().contains(text))
            return b;
    return std::nullopt;
}

QList<QTextTable *> Tables(const QTextDocument &doc)
{
    QList<QTextTable *> out;
    for (QTextFrame *f : doc.rootFrame()->childFrames())
        if (auto *t = qobject_cast<QTextTable *>(f))
            out.append(t);
    return out;
}

QString CellText(QTextTable *t, int row, int col)
{
    QTextCursor c = t->cellAt(row, col).firstCursorPosition();
    c.setPosition(t->cellAt(row, col).lastCursorPosition().position(), QTextCursor::KeepAnchor);
    return c.selectedText();
}

// ---------------------------------------------------------------- real writers

TEST(RtfReaderTest, PlainTextOfEveryWriterIsTheTextOfItsSource)
{
    const QString md = QString::fromUtf8(Fixture("changes-pandoc-enscript.source.md"));
    const struct {
        const char *File;
        QString Expected;
    } cases[] = {
        {"changes-pandoc.rtf", WordsOfMarkdown(md)},
        {"changes-libreoffice.rtf", WordsOfHtml(QString::fromUtf8(Fixture("changes-libreoffice.source.html")))},
        {"changes-latex2rtf.rtf", WordsOfLatex(QString::fromUtf8(Fixture("changes-latex2rtf.source.tex")))},
        // enscript writes its input as it is, markup and all.
        {"changes-enscript.rtf", Words(md)},
    };
    for (const auto &c : cases) {
        int rc = -1;
        const auto doc = Load(Fixture(c.File), &rc);
        EXPECT_EQ(rc, 0) << c.File;
        const QString got = Words(doc->toPlainText());
        EXPECT_EQ(NoSpaces(got), NoSpaces(c.Expected)) << c.File;
        EXPECT_GT(got.size(), 1000) << c.File;
        // Nothing of the markup leaks into the text.
        for (const char *leak : {"\\", "{", "}", "rtf1", "fonttbl", "Normal;", "Times New Roman", "Heading",
                                 "Default Paragraph Font", "latex2rtf", "LibreOffice"})
            EXPECT_FALSE(got.contains(QString::fromLatin1(leak))) << c.File << " shows " << leak;
    }
}

TEST(RtfReaderTest, LibreOfficeCharacterFormats)
{
    const auto doc = Load(Fixture("changes-libreoffice.rtf"));
    const struct {
        const char *Text;
        bool Bold;
        bool Italic;
        const char *Color;   // nullptr: not checked
        double Points;
        const char *Family;  // nullptr: not checked
    } cases[] = {
        {"Falcrest — Lista delle modificazioni", true, false, "#800000", 24, "Liberation Sans Unicode MS"},
        {"Attenzione:", true, false, "#000000", 12, "Arial"},
        {" prima di effettuare l'aggiornamento chiudere ", false, false, "#000000", 12, "Arial"},
        {"Versione 3.6.0 — 05.07.2025", true, false, "#006400", 18, "Liberation Serif"},
        {"(rif. 2542)", false, false, "#000080", 12, nullptr},
        {"Stampa delle liste", true, false, nullptr, 12, nullptr},
        {"Contabilità", false, false, nullptr, 12, nullptr},
    };
    for (const auto &c : cases) {
        const auto run = FindRun(*doc, Text(c.Text));
        ASSERT_TRUE(run.has_value()) << c.Text;
        EXPECT_EQ(run->Format.fontWeight() >= QFont::Bold, c.Bold) << c.Text;
        EXPECT_EQ(run->Format.fontItalic(), c.Italic) << c.Text;
        if (c.Color) {
            EXPECT_EQ(run->Format.foreground().color().name(), QString::fromLatin1(c.Color)) << c.Text;
        }
        EXPECT_DOUBLE_EQ(run->Format.fontPointSize(), c.Points) << c.Text;
        if (c.Family) {
            EXPECT_EQ(run->Format.fontFamilies().toStringList().value(0), QString::fromLatin1(c.Family)) << c.Text;
        }
    }
    bool foundItalic = false;
    for (QTextBlock b = doc->begin(); b.isValid() && !foundItalic; b = b.next())
        for (auto it = b.begin(); !it.atEnd(); ++it)
            if (it.fragment().text() == u"Falcrest" && it.fragment().charFormat().fontItalic())
                foundItalic = true;
    EXPECT_TRUE(foundItalic) << "the product name in the warning is italic";
}

TEST(RtfReaderTest, LibreOfficeListsAndTables)
{
    const auto doc = Load(Fixture("changes-libreoffice.rtf"));
    // A bullet item: the bullet text, a tab, the item, with a hanging indent.
    const auto item = FindBlock(*doc, QStringLiteral("Corretto un errore che impediva la sincronizzazione"));
    ASSERT_TRUE(item.has_value());
    EXPECT_TRUE(item->text().startsWith(QStringLiteral("\u2022\t"))) << item->text().toStdString();
    EXPECT_NEAR(item->blockFormat().leftMargin(), 709 / 15.0, 0.01);
    EXPECT_NEAR(item->blockFormat().textIndent(), -283 / 15.0, 0.01);

    const QList<QTextTable *> tables = Tables(*doc);
    ASSERT_EQ(tables.size(), 3);
    QTextTable *first = tables.first();
    EXPECT_EQ(first->columns(), 3);
    EXPECT_EQ(first->rows(), 5);
    EXPECT_EQ(CellText(first, 0, 0), QStringLiteral("Modulo"));
    EXPECT_EQ(CellText(first, 0, 2), QStringLiteral("Note"));
    EXPECT_EQ(CellText(first, 1, 0), Text("Contabilità"));
    EXPECT_EQ(CellText(first, 1, 2), Text("perché è più sicuro"));
    EXPECT_EQ(CellText(first, 4, 0), QStringLiteral("Stampa delle liste"));
    // The heading cells are centred and bold.
    const QTextBlock head = first->cellAt(0, 1).firstCursorPosition().block();
    EXPECT_EQ(head.blockFormat().alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    EXPECT_GE(head.begin().fragment().charFormat().fontWeight(), QFont::Bold);
    // The text after a table is outside it.
    const auto after = FindBlock(*doc, QStringLiteral("Versione 3.5.9"));
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(QTextCursor(*after).currentTable(), nullptr);
}

TEST(RtfReaderTest, PandocAndLatexFormats)
{
    const auto pandoc = Load(Fixture("changes-pandoc.rtf"));
    const auto latex = Load(Fixture("changes-latex2rtf.rtf"));
    const struct {
        QTextDocument *Doc;
        const char *Text;
        bool Bold;
        bool Italic;
        double Points;
    } cases[] = {
        {pandoc.get(), "Falcrest — Lista delle modificazioni", true, false, 18},
        {pandoc.get(), "Attenzione:", true, false, 12},
        {pandoc.get(), "Versione 2.12", true, false, 16},
        {pandoc.get(), "Fatturazione", true, false, 12},
        {latex.get(), "Falcrest — Lista delle modificazioni", true, false, 16},
        {latex.get(), "Attenzione:", true, false, 10},
        {latex.get(), "Contabilità", true, false, 10},
    };
    for (const auto &c : cases) {
        const auto run = FindRun(*c.Doc, Text(c.Text));
        ASSERT_TRUE(run.has_value()) << c.Text;
        EXPECT_EQ(run->Format.fontWeight() >= QFont::Bold, c.Bold) << c.Text;
        EXPECT_EQ(run->Format.fontItalic(), c.Italic) << c.Text;
        EXPECT_DOUBLE_EQ(run->Format.fontPointSize(), c.Points) << c.Text;
    }
    const auto italic = FindRun(*pandoc, QStringLiteral("Falcrest"));
    ASSERT_TRUE(italic.has_value());
    bool found = false;
    for (QTextBlock b = pandoc->begin(); b.isValid(); b = b.next())
        for (auto it = b.begin(); !it.atEnd(); ++it)
            found = found || (it.fragment().text() == u"Falcrest" && it.fragment().charFormat().fontItalic());
    EXPECT_TRUE(found);
    EXPECT_EQ(pandoc->begin().blockFormat().alignment() & Qt::AlignHorizontal_Mask, Qt::AlignLeft);
}

// ---------------------------------------------------------------- text

TEST(RtfReaderTest, CharactersAndEscapes)
{
    const bool have1251 = QStringDecoder("windows-1251").isValid();
    const struct {
        const char *What;
        const char *Rtf;
        const char *Plain;
    } cases[] = {
        {"\\u with its fallback skipped", "{\\rtf1 caf\\u233?}", "café"},
        {"\\u with a punctuation fallback", "{\\rtf1 Falcrest \\u8212- Lista}", "Falcrest — Lista"},
        {"\\uc2 skips two", "{\\rtf1\\uc2 a\\u8364xyb}", "a€b"},
        {"\\uc0 skips nothing", "{\\rtf1\\uc0 a\\u8364 b}", "a€b"},
        {"a fallback \\'hh counts as one", "{\\rtf1 \\u8226\\'95 x}", "• x"},
        {"a fallback ends at a group", "{\\rtf1\\uc3 {\\u8364}abc}", "€abc"},
        {"\\uc is scoped by groups", "{\\rtf1 {\\uc2 \\u8364xy}\\u8364zq}", "€€q"},
        {"negative \\u", "{\\rtf1 \\u-3913?}", "\uF0B7"},
        {"surrogate pair", "{\\rtf1 \\u-10179?\\u-8704?}", "\U0001F600"},
        {"\\u beyond 16 bits shows its fallback only", "{\\rtf1 a\\u70000?b\\u-40000?c}", "abc"},
        {"huge \\uc is bounded", "{\\rtf1\\uc99999 \\u8364abcdefghijklmnopqrstuvwxyz}", "€qrstuvwxyz"},
        {"\\'hh in the default code page", "{\\rtf1\\ansi \\'e0\\'80\\'93x\\'94}", "à€“x”"},
        {"raw 1252 bytes", "{\\rtf1\\ansi perch\xE9}", "perché"},
        {"raw UTF-8 bytes as some writers leave them", "{\\rtf1\\ansi perch\xC3\xA9 \xE2\x82\xAC}", "perché €"},
        {"symbol font", "{\\rtf1{\\fonttbl{\\f1\\fcharset2 Symbol;}}{\\f1 \\'b7 a}}", "• α"},
        {"Wingdings bullets", "{\\rtf1{\\fonttbl{\\f3\\fcharset2 Wingdings;}}{\\f3 \\'a7\\'d8\\'fc}}", "▪➢✓"},
        {"escaped specials", "{\\rtf1 \\\\ \\{ \\}}", "\\ { }"},
        {"named specials", "{\\rtf1 \\emdash\\endash\\bullet\\lquote\\rquote\\ldblquote\\rdblquote}", "—–•‘’“”"},
        {"non-breaking space and hyphen", "{\\rtf1 a\\~b\\_c}", "a\u00A0b\u2011c"},
        {"optional hyphen shows nothing", "{\\rtf1 aggiorna\\-mento}", "aggiornamento"},
        {"tab", "{\\rtf1 a\\tab b}", "a\tb"},
        {"line break inside a paragraph", "{\\rtf1 a\\line b}", "a\nb"},
        {"control word delimiters", "{\\rtf1 a\\b b\\b0  c\\fs20x}", "ab cx"},
        {"raw line ends are no text", "{\\rtf1 Fal\r\ncr\nest}", "Falcrest"},
        {"unknown control words are skipped", "{\\rtf1 a\\foo b\\bar12 c\\zzz-4 d}", "abcd"},
        {"unknown starred destination", "{\\rtf1 a{\\*\\unknowndest hidden {nested} text}b}", "ab"},
        {"picture", "{\\rtf1 a{\\pict\\pngblip\\picw10 89504e470d0a1a0a}b}", "ab"},
        {"picture with binary data holding braces", "{\\rtf1 a{\\pict\\bin4 }{}x}b}", "ab"},
        {"binary data outside a picture", "{\\rtf1 a\\bin3 }{xb}", "ab"},
        {"info and stylesheet", "{\\rtf1{\\info{\\title T}{\\author A}}{\\stylesheet{\\s0 Normal;}}x}", "x"},
        {"header and footer", "{\\rtf1{\\header H}{\\footer\\chpgn F}x}", "x"},
        {"field result shown, instruction not",
         "{\\rtf1 {\\field{\\*\\fldinst HYPERLINK \"http://x\"}{\\fldrslt sito}}}", "sito"},
        {"hidden text", "{\\rtf1 a{\\v hidden}b\\v c\\v0 d}", "abd"},
        {"old list numbering", "{\\rtf1{\\*\\pn\\pnlvlblt{\\pntxtb\\'b7}}{\\pntext 1.\\tab}voce}", "1.\tvoce"},
        {"list text of a word processor", "{\\rtf1{\\listtext\\u8226\\'95\\tab}voce}", "•\tvoce"},
        {"text after the document is not part of it", "{\\rtf1 a}b", "a"},
        {"nothing", "{\\rtf1}", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Plain(c.Rtf), Text(c.Plain)) << c.What;
    if (QStringDecoder("Shift_JIS").isValid()) {
        // \'82\'a0 is a hiragana a; the trail byte of \'83 is the plain "A" (katakana a).
        EXPECT_EQ(Plain("{\\rtf1\\ansi\\ansicpg932 \\'82\\'a0\\'83A.}"), Text("あア.")) << "double-byte code page";
    }
    if (have1251) {
        EXPECT_EQ(Plain("{\\rtf1\\ansi\\ansicpg1251 \\'e0}"), Text("а")) << "document code page";
        EXPECT_EQ(Plain("{\\rtf1\\ansi{\\fonttbl{\\f0\\fcharset204 Arial;}{\\f1\\fcharset0 Arial;}}\\f0 \\'e0\\f1 \\'e0}"),
                  Text("аà"))
            << "the font's character set";
    }
}

TEST(RtfReaderTest, Paragraphs)
{
    const struct {
        const char *What;
        const char *Rtf;
        QStringList Blocks;
    } cases[] = {
        {"a final \\par makes no empty paragraph", "{\\rtf1 a\\par b\\par}", {QStringLiteral("a"), QStringLiteral("b")}},
        {"empty paragraphs in between stay", "{\\rtf1 a\\par\\par b}", {QStringLiteral("a"), QString(), QStringLiteral("b")}},
        {"backslash line end is \\par", "{\\rtf1 a\\\nb}", {QStringLiteral("a"), QStringLiteral("b")}},
        {"\\page and \\sect end paragraphs", "{\\rtf1 a\\page b\\sect c}",
         {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}},
    };
    for (const auto &c : cases) {
        const auto doc = Load(c.Rtf);
        QStringList blocks;
        for (QTextBlock b = doc->begin(); b.isValid(); b = b.next())
            blocks.append(b.text());
        EXPECT_EQ(blocks, c.Blocks) << c.What;
    }
}

// The wizard decides on its missing-text message from the probe, without building the
// document: the probe must say what a load would leave.
TEST(RtfReaderTest, ProbeTellsWhetherALoadGivesAnyContent)
{
    struct Case {
        const char *Label;
        QByteArray Rtf;
        bool HasContent;
    };
    const Case cases[] = {
        {"no bytes", "", false},
        {"plain text", "Correzioni varie.", false},
        {"empty document", "{\\rtf1}", false},
        {"tables of fonts and colours only",
         "{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}{\\colortbl;\\red0\\green0\\blue0;}\\pard\\plain\\f0\\fs20 }", false},
        {"skipped destinations only", "{\\rtf1{\\*\\generator Writer;}{\\pict 0123abcd}{\\info{\\title t}}}", false},
        {"one character", "{\\rtf1 x}", true},
        {"one paragraph mark: no line", "{\\rtf1\\par}", false},
        {"two paragraph marks: an empty line", "{\\rtf1\\par\\par}", true},
        {"an empty table", "{\\rtf1\\trowd\\cellx1000\\intbl\\cell\\row}", true},
        {"a Unicode character", "{\\rtf1\\u8226?}", true},
        {"a code-page byte", "{\\rtf1\\ansicpg1252 \\'e0}", true},
        {"a tab", "{\\rtf1\\tab}", true},
        {"blanks and a byte-order mark first, unbalanced", "\xEF\xBB\xBF \r\n{\\rtf1 y", true},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(RichTextHasContent(c.Rtf), c.HasContent) << c.Label;
        EXPECT_EQ(RichTextHasContent(c.Rtf), !Load(c.Rtf)->isEmpty()) << c.Label;
    }
    for (const char *file : {"changes-libreoffice.rtf", "changes-pandoc.rtf", "changes-latex2rtf.rtf",
                             "changes-enscript.rtf", "changes-lists-libreoffice.rtf"}) {
        const QByteArray rtf = Fixture(file);
        EXPECT_TRUE(RichTextHasContent(rtf)) << file;
        EXPECT_FALSE(Load(rtf)->isEmpty()) << file;
    }
}

TEST(RtfReaderTest, CharacterFormats)
{
    const QByteArray rtf =
        "{\\rtf1\\ansi\\deff1{\\fonttbl{\\f0\\fswiss Arial;}{\\f1\\froman Times New Roman;}}"
        "{\\colortbl;\\red255\\green0\\blue0;\\red0\\green0\\blue255;}"
        "plain {\\b bold} {\\i italic} {\\ul under}{\\ulnone none} {\\strike struck} {\\fs40 big} {\\f0 arial} "
        "{\\cf1 red} {\\highlight2 marked} {\\cb2 shaded} {\\super up} {\\sub down} "
        "{\\b\\i\\ul\\cf2 all\\plain reset} {\\b BOLDON\\b0 BOLDOFF} {\\cf9 nocolour}}";
    const auto doc = Load(rtf);
    const QTextCharFormat plain = FindRun(*doc, QStringLiteral("plain"))->Format;
    EXPECT_EQ(plain.fontFamilies().toStringList().value(0), QStringLiteral("Times New Roman")) << "\\deff";
    EXPECT_DOUBLE_EQ(plain.fontPointSize(), 12) << "12 points without \\fs";
    EXPECT_FALSE(plain.foreground().style() != Qt::NoBrush) << "automatic colour";

    auto fmt = [&](const char *text) { return FindRun(*doc, QString::fromLatin1(text))->Format; };
    EXPECT_GE(fmt("bold").fontWeight(), QFont::Bold);
    EXPECT_TRUE(fmt("italic").fontItalic());
    EXPECT_TRUE(fmt("under").fontUnderline());
    EXPECT_FALSE(fmt("none").fontUnderline());
    EXPECT_TRUE(fmt("struck").fontStrikeOut());
    EXPECT_DOUBLE_EQ(fmt("big").fontPointSize(), 20);
    EXPECT_EQ(fmt("arial").fontFamilies().toStringList().value(0), QStringLiteral("Arial"));
    EXPECT_EQ(fmt("red").foreground().color(), QColor(255, 0, 0));
    EXPECT_EQ(fmt("marked").background().color(), QColor(0, 0, 255));
    EXPECT_EQ(fmt("shaded").background().color(), QColor(0, 0, 255));
    EXPECT_EQ(fmt("up").verticalAlignment(), QTextCharFormat::AlignSuperScript);
    EXPECT_EQ(fmt("down").verticalAlignment(), QTextCharFormat::AlignSubScript);
    EXPECT_EQ(fmt("all").foreground().color(), QColor(0, 0, 255));
    const QTextCharFormat reset = fmt("reset");
    EXPECT_LT(reset.fontWeight(), QFont::Bold);
    EXPECT_FALSE(reset.fontItalic());
    EXPECT_FALSE(reset.fontUnderline());
    EXPECT_EQ(reset.foreground().style(), Qt::NoBrush);
    EXPECT_EQ(reset.fontFamilies().toStringList().value(0), QStringLiteral("Times New Roman"));
    EXPECT_GE(fmt("BOLDON").fontWeight(), QFont::Bold);
    EXPECT_LT(fmt("BOLDOFF").fontWeight(), QFont::Bold);
    EXPECT_EQ(fmt("nocolour").foreground().style(), Qt::NoBrush) << "a colour index beyond the table";
    // Group ends restore the format before them.
    const QString afterGroups = doc->toPlainText();
    EXPECT_TRUE(afterGroups.startsWith(QStringLiteral("plain bold italic")));
}

TEST(RtfReaderTest, ParagraphFormats)
{
    const QByteArray rtf = "{\\rtf1 \\qc centred\\par\\pard\\qr right\\par\\pard\\qj justified\\par"
                           "\\pard\\li1440\\ri720\\fi-360\\sb240\\sa120 indented\\par\\pard plain\\par"
                           "{\\pard\\qc scoped\\par}after}";
    const auto doc = Load(rtf);
    auto block = [&](const char *text) { return FindBlock(*doc, QString::fromLatin1(text))->blockFormat(); };
    auto align = [&](const char *text) { return block(text).alignment() & Qt::AlignHorizontal_Mask; };
    EXPECT_EQ(align("centred"), Qt::AlignHCenter);
    EXPECT_EQ(align("right"), Qt::AlignRight);
    EXPECT_EQ(align("justified"), Qt::AlignJustify);
    EXPECT_EQ(align("plain"), Qt::AlignLeft);
    EXPECT_DOUBLE_EQ(block("indented").leftMargin(), 96);
    EXPECT_DOUBLE_EQ(block("indented").rightMargin(), 48);
    EXPECT_DOUBLE_EQ(block("indented").textIndent(), -24);
    EXPECT_DOUBLE_EQ(block("indented").topMargin(), 16);
    EXPECT_DOUBLE_EQ(block("indented").bottomMargin(), 8);
    EXPECT_DOUBLE_EQ(block("plain").leftMargin(), 0) << "\\pard resets";
    EXPECT_EQ(align("scoped"), Qt::AlignHCenter);
    EXPECT_EQ(align("after"), Qt::AlignLeft) << "paragraph formats end with their group";
}

TEST(RtfReaderTest, Tables)
{
    const QByteArray rtf = "{\\rtf1 before\\par"
                           "\\trowd\\cellx1500\\cellx3000 \\intbl a\\cell b\\cell\\row"
                           "\\trowd\\cellx1500\\cellx3000 \\intbl\\cell d\\par e\\cell\\row"
                           "\\pard after\\par}";
    const auto doc = Load(rtf);
    const auto tables = Tables(*doc);
    ASSERT_EQ(tables.size(), 1);
    QTextTable *t = tables.first();
    EXPECT_EQ(t->rows(), 2);
    EXPECT_EQ(t->columns(), 2);
    EXPECT_EQ(CellText(t, 0, 0), QStringLiteral("a"));
    EXPECT_EQ(CellText(t, 0, 1), QStringLiteral("b"));
    EXPECT_EQ(CellText(t, 1, 0), QString()) << "an empty cell";
    EXPECT_EQ(CellText(t, 1, 1), QStringLiteral("d\u2029e")) << "two paragraphs in one cell";
    const QList<QTextLength> widths = t->format().columnWidthConstraints();
    ASSERT_EQ(widths.size(), 2);
    EXPECT_DOUBLE_EQ(widths[0].rawValue(), 100);
    EXPECT_EQ(doc->begin().text(), QStringLiteral("before"));
    const auto after = FindBlock(*doc, QStringLiteral("after"));
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(QTextCursor(*after).currentTable(), nullptr);

    // A row with more cells than its definition grows the table instead of losing text.
    const auto wide = Load("{\\rtf1\\trowd\\cellx1000\\intbl x\\cell y\\cell z\\cell\\row}");
    ASSERT_EQ(Tables(*wide).size(), 1);
    EXPECT_EQ(Tables(*wide).first()->columns(), 3);
    EXPECT_EQ(CellText(Tables(*wide).first(), 0, 2), QStringLiteral("z"));
}

TEST(RtfReaderTest, TablesAreBoundedAndLoseNoText)
{
    // A row of more cells than any table has columns: the cells beyond the last column
    // join it, a tab apart.
    QByteArray row = "{\\rtf1\\ansi\\trowd\\intbl ";
    QStringList beyond;
    for (int i = 0; i < 100; ++i) {
        row += "c" + QByteArray::number(i) + "\\cell ";
        if (i >= 63)
            beyond.append(QStringLiteral("c%1").arg(i));
    }
    row += "\\row}";
    const auto wide = Load(row);
    ASSERT_EQ(Tables(*wide).size(), 1);
    QTextTable *t = Tables(*wide).first();
    EXPECT_EQ(t->rows(), 1);
    EXPECT_EQ(t->columns(), 64);
    EXPECT_EQ(CellText(t, 0, 0), QStringLiteral("c0"));
    EXPECT_EQ(CellText(t, 0, 62), QStringLiteral("c62"));
    EXPECT_EQ(CellText(t, 0, 63), beyond.join(u'\t'));

    // Row ends that close no cell make no rows.
    const auto sparse = Load("{\\rtf1\\trowd\\cellx1000\\intbl a\\cell\\row\\row\\row\\intbl b\\cell\\row\\pard c}");
    ASSERT_EQ(Tables(*sparse).size(), 1);
    t = Tables(*sparse).first();
    EXPECT_EQ(t->rows(), 2);
    EXPECT_EQ(CellText(t, 1, 0), QStringLiteral("b"));

    // A long table keeps every row and cell in its place.
    QByteArray tall = "{\\rtf1\\trowd\\cellx1000\\cellx2000\\cellx3000 ";
    for (int r = 0; r < 500; ++r)
        tall += "\\intbl r" + QByteArray::number(r) + "a\\cell r" + QByteArray::number(r) + "b\\cell\\row ";
    tall += "\\pard after}";
    const auto tallDoc = Load(tall);
    ASSERT_EQ(Tables(*tallDoc).size(), 1);
    t = Tables(*tallDoc).first();
    EXPECT_EQ(t->rows(), 500);
    EXPECT_EQ(t->columns(), 3);
    EXPECT_EQ(CellText(t, 499, 1), QStringLiteral("r499b"));
    EXPECT_EQ(CellText(t, 250, 0), QStringLiteral("r250a"));
    EXPECT_EQ(CellText(t, 499, 2), QString());
    EXPECT_EQ(tallDoc->lastBlock().text(), QStringLiteral("after"));
}

// ---------------------------------------------------------------- lists and tab stops

// Where the laid-out document puts a character of a block, in twips from the left of the
// text area (a QTextEdit shows the same at 100 %).
double TwipsFromLeft(const QTextBlock &block, int position)
{
    const QTextLayout *layout = block.layout();
    const QTextLine line = layout->lineForTextPosition(position);
    return (layout->position().x() + line.cursorToX(position) - block.document()->documentMargin()) * 15;
}

TEST(RtfReaderTest, ListMarksAndTextStandWhereTheIndentsPutThem)
{
    const struct {
        const char *File;
        const char *Item;
        int Mark;   // twips: \li + \fi
        int Text;   // twips: \li
    } cases[] = {
        // The demo's change list: bullets of LibreOffice's lists.
        {"changes-libreoffice.rtf", "Corretto un errore che impediva la sincronizzazione", 426, 709},
        // Numbered and nested lists of LibreOffice.
        {"changes-lists-libreoffice.rtf", "Chiudere Falcrest", 426, 709},
        {"changes-lists-libreoffice.rtf", "Lista clienti", 1135, 1418},
        {"changes-lists-libreoffice.rtf", "senza indirizzi", 1844, 2127},
        {"changes-lists-libreoffice.rtf", "per trimestre", 1135, 1418},
        // pandoc and latex2rtf: a bullet, a tab, the text.
        {"changes-pandoc.rtf", "Aggiunta la possibilit", 0, 360},
        {"changes-latex2rtf.rtf", "Contabilit", 300, 600},
    };
    for (const auto &c : cases) {
        const auto doc = Load(Fixture(c.File));
        doc->setTextWidth(800);
        doc->documentLayout()->documentSize();
        const auto block = FindBlock(*doc, Text(c.Item));
        ASSERT_TRUE(block.has_value()) << c.File << ": " << c.Item;
        const int tab = int(block->text().indexOf(u'\t'));
        ASSERT_GT(tab, 0) << c.Item;
        // Within a pixel: 15 twips.
        EXPECT_NEAR(TwipsFromLeft(*block, 0), c.Mark, 15) << c.File << ": " << c.Item;
        EXPECT_NEAR(TwipsFromLeft(*block, tab + 1), c.Text, 15) << c.File << ": " << c.Item;
    }
}

// Found by fuzzing: indents near the limits of an int overflowed where the first line's
// start was added up, and a stop behind that start came back far to the right.
TEST(RtfReaderTest, IndentsAtTheLimitsKeepNoStopBehindTheLineStart)
{
    const auto doc = Load("{\\rtf1\\li709\\fi2147483647\\tx709 a\\par}");
    const QTextBlockFormat f = doc->begin().blockFormat();
    EXPECT_TRUE(f.tabPositions().isEmpty());
    EXPECT_EQ(doc->begin().text(), QStringLiteral("a"));
}

TEST(RtfReaderTest, TabStops)
{
    const auto doc = Load("{\\rtf1\\deftab709 \\tx720\\tqr\\tx2880\\tqc\\tx1440\\tqdec\\tx4320\\tb5000 stops\\par"
                          "\\pard\\li720\\fi-360 hanging\\par\\pard\\li720\\fi-360\\tx360\\tx1080 both\\par\\pard plain\\par}");
    const QList<QTextOption::Tab> stops = FindBlock(*doc, QStringLiteral("stops"))->blockFormat().tabPositions();
    ASSERT_EQ(stops.size(), 4);
    EXPECT_EQ(stops[0], QTextOption::Tab(48, QTextOption::LeftTab));
    EXPECT_EQ(stops[1], QTextOption::Tab(96, QTextOption::CenterTab));
    EXPECT_EQ(stops[2], QTextOption::Tab(192, QTextOption::RightTab));
    EXPECT_EQ(stops[3], QTextOption::Tab(288, QTextOption::DelimiterTab, u'.'));
    // Qt measures from the start of the first line (\\li + \\fi, 360 twips here). A hanging
    // indent stops the first tab where the lines after the first begin; stops left of
    // where the line starts are no stops.
    EXPECT_EQ(FindBlock(*doc, QStringLiteral("hanging"))->blockFormat().tabPositions(),
              QList<QTextOption::Tab>({QTextOption::Tab(24, QTextOption::LeftTab)}));
    EXPECT_EQ(FindBlock(*doc, QStringLiteral("both"))->blockFormat().tabPositions(),
              QList<QTextOption::Tab>({QTextOption::Tab(24, QTextOption::LeftTab), QTextOption::Tab(48, QTextOption::LeftTab)}));
    EXPECT_TRUE(FindBlock(*doc, QStringLiteral("plain"))->blockFormat().tabPositions().isEmpty());
    // Default stops every \deftab, half an inch when the document names none.
    EXPECT_NEAR(doc->defaultTextOption().tabStopDistance(), 709 / 15.0, 1e-9);
    EXPECT_NEAR(Load("{\\rtf1 x}")->defaultTextOption().tabStopDistance(), 48, 1e-9);
}

// ---------------------------------------------------------------- the stream

TEST(RtfReaderTest, StreamIsReadFromItsPositionAndMustHoldRtf)
{
    QTextDocument doc;
    doc.setPlainText(QStringLiteral("old content"));
    QBuffer buffer;
    buffer.setData("junk{\\rtf1 new}");
    buffer.open(QIODevice::ReadOnly);
    buffer.seek(4);
    EXPECT_EQ(StreamRichText(doc, buffer), 0);
    EXPECT_EQ(doc.toPlainText(), QStringLiteral("new"));

    const QByteArray notRtf[] = {QByteArray(), QByteArray("plain text"), QByteArray("{\\rt"),
                                 QByteArray("{\\pard text}"), QByteArray("\xEF\xBB\xBF" "hello")};
    for (const QByteArray &bytes : notRtf) {
        QTextDocument d;
        d.setPlainText(QStringLiteral("old content"));
        QBuffer b;
        b.setData(bytes);
        b.open(QIODevice::ReadOnly);
        EXPECT_NE(StreamRichText(d, b), 0) << bytes.constData();
        EXPECT_TRUE(d.isEmpty()) << bytes.constData();
    }
    QBuffer closed;
    EXPECT_NE(StreamRichText(doc, closed), 0);
    // Leading white space and a UTF-8 mark before the document are allowed.
    EXPECT_EQ(Plain("\xEF\xBB\xBF \r\n{\\rtf1 ok}"), QStringLiteral("ok"));
}

// ---------------------------------------------------------------- broken input

TEST(RtfReaderTest, MalformedInputGivesWhatWasReadable)
{
    const struct {
        const char *What;
        QByteArray Rtf;
        const char *Contains;
    } cases[] = {
        {"unclosed group", "{\\rtf1 abc{\\b def", "abcdef"},
        {"closing braces too many", "{\\rtf1 a}}}}b", "a"},
        {"truncated control word", "{\\rtf1 ab\\par", "ab"},
        {"truncated hex escape", "{\\rtf1 ab\\'e", "ab"},
        {"bad hex escape", "{\\rtf1 a\\'zzb}", "azzb"},
        {"truncated \\u", "{\\rtf1 ab\\u", "ab"},
        {"backslash at the end", "{\\rtf1 ab\\", "ab"},
        {"\\bin beyond the end", "{\\rtf1 ab\\bin99999999 xyz}", "ab"},
        {"negative \\bin", "{\\rtf1 ab\\bin-5 c}", "abc"},
        {"cells and rows without a table", "{\\rtf1 \\cell\\cell\\row\\row x\\row}", "x"},
        {"row end inside a table definition", "{\\rtf1 \\trowd\\row\\intbl a\\cell\\row\\pard b}", "b"},
        {"hostile numbers", "{\\rtf1 \\fs-5\\cf-3\\li-99999999999999\\fi99999999999\\uc-4\\f-7\\cellx-9 ok}", "ok"},
        {"huge parameters", "{\\rtf1 \\fs999999999999\\u999999999999 xok}", "ok"},
        {"colour table without semicolons", "{\\rtf1{\\colortbl\\red1\\green2\\blue3}{\\cf1 ok}}", "ok"},
        {"font table without names", "{\\rtf1{\\fonttbl{\\f0}{\\f1\\fcharset2}}\\f1 ok}", "ok"},
        {"deep nesting", QByteArray("{\\rtf1 ") + QByteArray(100000, '{') + "deep" + QByteArray(100000, '}') + "}",
         "deep"},
        {"deep nesting never closed", QByteArray("{\\rtf1 ") + QByteArray(100000, '{') + "open", "open"},
        {"skipped group never closed", "{\\rtf1 a{\\*\\x never closed", "a"},
        {"NUL bytes", QByteArray("{\\rtf1 a\0b}", 10), "ab"},
        {"control word of 40 letters", "{\\rtf1 a\\abcdefghijklmnopqrstuvwxyzabcdefghijklmn b}", "a"},
    };
    for (const auto &c : cases) {
        int rc = -1;
        const auto doc = Load(c.Rtf, &rc);
        EXPECT_EQ(rc, 0) << c.What;
        EXPECT_TRUE(doc->toPlainText().contains(QString::fromLatin1(c.Contains))) << c.What << ": "
                                                                                << doc->toPlainText().toStdString();
    }
}

TEST(RtfReaderTest, TruncatedAndMutatedFixturesNeverCrash)
{
    const QByteArray full = Fixture("changes-libreoffice.rtf");
    const QString fullText = Load(full)->toPlainText();
    for (int percent = 5; percent < 100; percent += 5) {
        const QByteArray cut = full.left(full.size() * percent / 100);
        const QString text = Load(cut)->toPlainText();
        // What was read is the start of the whole text (the last run may be cut in it).
        const QString start = text.left(qMax<qsizetype>(0, text.size() - 200));
        EXPECT_TRUE(fullText.startsWith(start) || percent < 10) << percent << "%";
    }
    const QByteArray sources[] = {Fixture("changes-pandoc.rtf"), Fixture("changes-latex2rtf.rtf"), full.left(30000)};
    QRandomGenerator rng(20261210);
    const char alphabet[] = "{}\\'*0123456789- abuxcfinpard\r\n\xE9";
    for (const QByteArray &source : sources) {
        for (int round = 0; round < 60; ++round) {
            QByteArray mutated = source;
            const int edits = 1 + int(rng.bounded(20));
            for (int e = 0; e < edits; ++e) {
                const auto at = qsizetype(rng.bounded(quint32(mutated.size())));
                mutated[at] = alphabet[rng.bounded(quint32(sizeof alphabet - 1))];
            }
            int rc = -1;
            Load(mutated, &rc);
            EXPECT_TRUE(rc == 0 || rc == 1);
        }
    }
}

} // namespace
