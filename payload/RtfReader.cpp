// Our RTF reader. It follows what word processors actually write rather than every
// corner of the format: text, character and paragraph formats, lists as their shown
// text, tables as QTextTable; everything else is skipped without a trace.
#include "payload/RtfReader.h"

#include "payload/CodePages.h"

#include <QColor>
#include <QHash>
#include <QList>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextTable>

#include <algorithm>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

enum class Kw {
    Unknown,
    // document
    Rtf, Ansi, Mac, Pc, Pca, AnsiCpg, Deff, Uc, U, Bin,
    // destinations
    FontTable, ColorTable, SkipDest, Field, FldRslt, ListText, PnText,
    // font and colour tables
    FCharset, Cpg, Red, Green, Blue,
    // character formats
    Plain, F, Fs, B, I, Ul, UlNone, Strike, Cf, Cb, Highlight, Super, Sub, NoSuperSub, V,
    // paragraph formats
    Pard, Ql, Qc, Qr, Qj, Li, Ri, Fi, Sb, Sa, InTbl, Tx, Tb, Tqr, Tqc, Tqdec, DefTab,
    // breaks and special characters
    Par, Line, Tab, Cell, Row, NestCell, NestRow, TRowD, CellX,
    EmDash, EnDash, Bullet, LQuote, RQuote, LDblQuote, RDblQuote, EmSpace, EnSpace, QmSpace,
    Zwj, Zwnj, LtrMark, RtlMark,
};

const std::unordered_map<std::string_view, Kw> &Keywords()
{
    static const std::unordered_map<std::string_view, Kw> table = [] {
        std::unordered_map<std::string_view, Kw> t = {
            {"rtf", Kw::Rtf}, {"ansi", Kw::Ansi}, {"mac", Kw::Mac}, {"pc", Kw::Pc}, {"pca", Kw::Pca},
            {"ansicpg", Kw::AnsiCpg}, {"deff", Kw::Deff}, {"uc", Kw::Uc}, {"u", Kw::U}, {"bin", Kw::Bin},
            {"fonttbl", Kw::FontTable}, {"colortbl", Kw::ColorTable}, {"field", Kw::Field},
            {"fldrslt", Kw::FldRslt}, {"listtext", Kw::ListText}, {"pntext", Kw::PnText},
            {"fcharset", Kw::FCharset}, {"cpg", Kw::Cpg}, {"red", Kw::Red}, {"green", Kw::Green},
            {"blue", Kw::Blue}, {"plain", Kw::Plain}, {"f", Kw::F}, {"fs", Kw::Fs}, {"b", Kw::B},
            {"i", Kw::I}, {"ul", Kw::Ul}, {"uld", Kw::Ul}, {"uldb", Kw::Ul}, {"uldash", Kw::Ul},
            {"uldashd", Kw::Ul}, {"uldashdd", Kw::Ul}, {"ulw", Kw::Ul}, {"ulth", Kw::Ul}, {"ulwave", Kw::Ul},
            {"ulhwave", Kw::Ul}, {"ululdbwave", Kw::Ul}, {"ulthd", Kw::Ul}, {"ulthdash", Kw::Ul},
            {"ulldash", Kw::Ul}, {"ulnone", Kw::UlNone}, {"strike", Kw::Strike}, {"striked", Kw::Strike},
            {"cf", Kw::Cf}, {"cb", Kw::Cb}, {"chcbpat", Kw::Cb}, {"highlight", Kw::Highlight},
            {"super", Kw::Super}, {"sub", Kw::Sub}, {"nosupersub", Kw::NoSuperSub}, {"v", Kw::V},
            {"pard", Kw::Pard}, {"ql", Kw::Ql}, {"qc", Kw::Qc}, {"qr", Kw::Qr}, {"qj", Kw::Qj}, {"qd", Kw::Qj},
            {"li", Kw::Li}, {"ri", Kw::Ri}, {"fi", Kw::Fi}, {"sb", Kw::Sb}, {"sa", Kw::Sa}, {"intbl", Kw::InTbl},
            {"tx", Kw::Tx}, {"tb", Kw::Tb}, {"tqr", Kw::Tqr}, {"tqc", Kw::Tqc}, {"tqdec", Kw::Tqdec},
            {"deftab", Kw::DefTab},
            {"par", Kw::Par}, {"sect", Kw::Par}, {"page", Kw::Par}, {"line", Kw::Line}, {"tab", Kw::Tab},
            {"cell", Kw::Cell}, {"row", Kw::Row}, {"nestcell", Kw::NestCell}, {"nestrow", Kw::NestRow},
            {"trowd", Kw::TRowD}, {"cellx", Kw::CellX}, {"emdash", Kw::EmDash}, {"endash", Kw::EnDash},
            {"bullet", Kw::Bullet}, {"lquote", Kw::LQuote}, {"rquote", Kw::RQuote},
            {"ldblquote", Kw::LDblQuote}, {"rdblquote", Kw::RDblQuote}, {"emspace", Kw::EmSpace},
            {"enspace", Kw::EnSpace}, {"qmspace", Kw::QmSpace}, {"zwj", Kw::Zwj}, {"zwnj", Kw::Zwnj},
            {"ltrmark", Kw::LtrMark}, {"rtlmark", Kw::RtlMark},
        };
        // Destinations whose content is never shown, written with or without \*.
        for (const char *name :
             {"stylesheet", "info", "pict", "object", "objdata", "header", "headerl", "headerr", "headerf",
              "footer", "footerl", "footerr", "footerf", "footnote", "annotation", "atnid", "atnauthor",
              "listtable", "listoverridetable", "pn", "nonshppict", "shppict", "shp", "shpinst", "shprslt",
              "revtbl", "rsidtbl", "xmlnstbl", "fldinst", "themedata", "colorschememapping", "datastore",
              "latentstyles", "generator", "pgdsctbl", "bkmkstart", "bkmkend", "author", "title", "subject",
              "operator", "keywords", "comment", "doccomm", "creatim", "revtim", "printim", "buptim",
              "template", "filetbl", "fchars", "lchars", "xe", "tc", "txe", "rxe", "private", "mmathPr",
              "ftnsep", "ftnsepc", "ftncn", "aftnsep", "aftnsepc", "aftncn", "userprops", "docvar",
              "wgrffmtfilter", "passwordhash", "falt", "panose", "fontemb", "fontfile", "protusertbl"})
            t.emplace(name, Kw::SkipDest);
        return t;
    }();
    return table;
}

struct CharState {
    int Font = -1;
    int Size = 24;          // half-points
    bool Bold = false;
    bool Italic = false;
    bool Underline = false;
    bool Strike = false;
    bool Hidden = false;
    int VAlign = 0;         // 1 superscript, 2 subscript
    int Fg = 0;             // colour table index, 0 = automatic
    int Bg = 0;
    bool operator==(const CharState &) const = default;
};

struct ParaState {
    int Align = 0;          // 0 left, 1 centre, 2 right, 3 justified
    int Li = 0, Ri = 0, Fi = 0, Sb = 0, Sa = 0;  // twips
    bool InTable = false;
    QList<QTextOption::Tab> Tabs;  // positions in twips until the block is formatted
    QTextOption::TabType NextTabType = QTextOption::LeftTab;
};

// More tab stops than this in one paragraph are no layout anyone made.
constexpr int MaxTabStops = 64;
// \cellx and \cell alike: wider rows are damage, not tables.
constexpr int MaxColumns = 64;

// A table is collected whole and built once it ends: growing a QTextTable cell by cell
// rebuilds its grid every time, which made a long row take time with the square of its cells.
struct CollectedRun {
    QString Text;
    QTextCharFormat Format;
};

struct CollectedParagraph {
    std::vector<CollectedRun> Runs;
    bool Formatted = false;
    QTextBlockFormat Block;
    QTextCharFormat BlockChar;

    void Add(const QString &text, const QTextCharFormat &format)
    {
        if (!Runs.empty() && Runs.back().Format == format)
            Runs.back().Text += text;
        else
            Runs.push_back({text, format});
    }
};

struct CollectedCell {
    std::vector<CollectedParagraph> Paragraphs;
};

struct CollectedTable {
    QTextTableFormat Format;
    int Columns = 1;
    std::vector<std::vector<CollectedCell>> Rows;
};

enum class Dest { Normal, Skip, FontTable, ColorTable };

struct Group {
    CharState Char;
    ParaState Para;
    int Uc = 1;
    Dest Destination = Dest::Normal;
    bool ListLabel = false;  // the shown text of a list item's bullet or number
};

struct FontDef {
    QString Name;
    int Charset = 0;
    int CodePage = 0;
};

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Well-formed UTF-8 holding at least one multi-byte sequence (shortest forms only,
// no surrogates).
bool IsUtf8Text(const QByteArray &bytes)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
    const qsizetype n = bytes.size();
    bool multi = false;
    for (qsizetype i = 0; i < n;) {
        const unsigned char c = p[i];
        int len = 0;
        uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n)
            return false;
        for (int k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (p[i + k] & 0x3F);
        }
        if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        multi = true;
        i += len;
    }
    return multi;
}

// Deeper nesting than this is no document anyone wrote; the extra levels are only counted.
constexpr int MaxDepth = 1000;

class RtfParser {
public:
    RtfParser(QTextDocument &doc, const QByteArray &rtf) : FDoc(doc), FData(rtf), FCursor(&doc) {}

    void Run();
    // Reads only until the document would first change: whether it would get any content.
    bool Probe();

private:
    // input
    // Everything up to the end of the document (of the probe), the last text flushed.
    void Read();
    bool AtEnd() const { return FPos >= FData.size(); }
    void ReadControl();
    void HandleWord(std::string_view word, bool hasParam, int param);
    void HandleSymbol(char c);
    void SkipGroupBody();

    // groups
    Group &Top() { return FStack.back(); }
    void PushGroup();
    void PopGroup();

    // text
    void AddChar(QChar c);
    void AddByte(unsigned char b, bool raw);
    void FlushBytes();
    bool AwaitsTrailByte() const;
    void FlushText();
    void PlaceCursor();
    bool ConsumeFallback();
    // In a probe, the first change to the document ends the reading.
    bool Probed();

    // paragraphs and tables
    void EndParagraph();
    QTextBlockFormat BlockFormat(const ParaState &p) const;
    void ApplyBlockFormat();
    void StartTable();
    void EndTable();
    void OpenCell();
    CollectedParagraph &CurrentParagraph() { return FTable->Rows.back().back().Paragraphs.back(); }
    void EndCell();
    void EndRow();

    int CodePageOf(const CharState &c) const;
    // 0: a text font; 1: Symbol; 2: Wingdings.
    int SymbolFontKind(const CharState &c) const;
    bool IsSymbolFont(const CharState &c) const { return SymbolFontKind(c) != 0; }
    QTextCharFormat CharFormat(const CharState &c);

    QTextDocument &FDoc;
    const QByteArray &FData;
    qsizetype FPos = 0;
    QTextCursor FCursor;

    std::vector<Group> FStack;
    int FExcessDepth = 0;
    bool FDone = false;
    bool FProbe = false;
    bool FHasContent = false;
    int FUcSkip = 0;

    int FDocCodePage = 1252;
    int FDefaultFont = -1;
    QHash<int, FontDef> FFonts;
    int FFontDefId = 0;
    bool FInFontDef = false;
    QList<QColor> FColors;
    int FRed = -1, FGreen = -1, FBlue = -1;

    QString FText;
    CharState FTextChar;
    QByteArray FBytes;
    int FBytesCodePage = 0;
    int FBytesSymbol = 0;
    bool FBytesRaw = false;
    CharState FBytesChar;

    bool FPendingBlock = false;
    bool FLabelStarted = false;
    bool FBlockStarted = false;   // text was put into the current block

    std::unique_ptr<CollectedTable> FTable;
    int FRow = 0, FCol = 0;
    bool FCellPending = false;
    QList<int> FCellX;
    int FDefaultTab = 720;

    bool FHaveFormat = false;
    CharState FFormatFor;
    QTextCharFormat FFormat;
};

void RtfParser::Run()
{
    // One edit for the whole document: outside an edit, every insertion lays out the
    // paragraph it lands in again to place the cursor, which made long paragraphs and
    // table cells take time with the square of their length.
    QTextCursor edit(&FDoc);
    edit.beginEditBlock();
    Read();
    if (!FPendingBlock && FBlockStarted)
        ApplyBlockFormat();
    if (FTable)
        EndTable();
    edit.endEditBlock();
    QTextOption option = FDoc.defaultTextOption();
    option.setTabStopDistance(FDefaultTab / 15.0);
    FDoc.setDefaultTextOption(option);
}

void RtfParser::Read()
{
    FStack.reserve(64);
    FStack.push_back(Group{});
    while (!AtEnd() && !FDone) {
        if (Top().Destination == Dest::Skip) {
            SkipGroupBody();
            continue;
        }
        const char c = FData.at(FPos);
        switch (c) {
        case '{':
            ++FPos;
            FlushBytes();
            FUcSkip = 0;
            PushGroup();
            break;
        case '}':
            ++FPos;
            FlushBytes();
            FUcSkip = 0;
            PopGroup();
            break;
        case '\\':
            ReadControl();
            break;
        case '\r':
        case '\n':
        case '\0':
            ++FPos;
            break;
        case '\t':
            ++FPos;
            if (!ConsumeFallback()) {
                FlushBytes();
                AddChar(u'\t');
            }
            break;
        default:
            ++FPos;
            if (ConsumeFallback() || static_cast<unsigned char>(c) < 0x20)
                break;
            if (AwaitsTrailByte()) {
                // The second byte of a double-byte character may be plain ASCII.
                AddByte(static_cast<unsigned char>(c), false);
            } else if (static_cast<unsigned char>(c) >= 0x80 || IsSymbolFont(Top().Char)) {
                AddByte(static_cast<unsigned char>(c), true);
            } else {
                FlushBytes();
                AddChar(QChar(char16_t(c)));
            }
            break;
        }
    }
    FlushBytes();
    FlushText();
}

bool RtfParser::ConsumeFallback()
{
    if (FUcSkip <= 0)
        return false;
    --FUcSkip;
    return true;
}

void RtfParser::PushGroup()
{
    if (FStack.size() >= size_t(MaxDepth)) {
        ++FExcessDepth;
        return;
    }
    FStack.push_back(FStack.back());
}

void RtfParser::PopGroup()
{
    if (FExcessDepth > 0) {
        --FExcessDepth;
        return;
    }
    const Dest leaving = Top().Destination;
    if (leaving == Dest::ColorTable && (FRed >= 0 || FGreen >= 0 || FBlue >= 0)) {
        // A last colour without its closing semicolon still counts.
        FColors.append(QColor(qMax(FRed, 0), qMax(FGreen, 0), qMax(FBlue, 0)));
        FRed = FGreen = FBlue = -1;
    }
    if (FStack.size() <= 1) {
        FDone = true;
        return;
    }
    FStack.pop_back();
    // The document's outer group is closed: what follows it is not part of the document.
    if (FStack.size() == 1)
        FDone = true;
}

// Consumes a skipped group up to and including its closing brace, honouring \bin so that
// binary data holding braces cannot throw the nesting off.
void RtfParser::SkipGroupBody()
{
    int depth = 0;
    const qsizetype n = FData.size();
    const char *d = FData.constData();
    while (FPos < n) {
        const char c = d[FPos++];
        if (c == '{') {
            ++depth;
        } else if (c == '}') {
            if (depth == 0) {
                FUcSkip = 0;
                PopGroup();
                return;
            }
            --depth;
        } else if (c == '\\' && FPos < n) {
            const char e = d[FPos];
            if (!((e >= 'a' && e <= 'z') || (e >= 'A' && e <= 'Z'))) {
                ++FPos;
                continue;
            }
            const qsizetype start = FPos;
            while (FPos < n && ((d[FPos] >= 'a' && d[FPos] <= 'z') || (d[FPos] >= 'A' && d[FPos] <= 'Z')))
                ++FPos;
            const bool isBin = FPos - start == 3 && std::string_view(d + start, 3) == "bin";
            qint64 param = 0;
            bool neg = false;
            if (FPos < n && d[FPos] == '-') {
                neg = true;
                ++FPos;
            }
            int digits = 0;
            while (FPos < n && d[FPos] >= '0' && d[FPos] <= '9') {
                if (digits++ < 10)
                    param = param * 10 + (d[FPos] - '0');
                ++FPos;
            }
            if (FPos < n && d[FPos] == ' ')
                ++FPos;
            if (isBin && !neg && param > 0)
                FPos += qMin<qint64>(param, n - FPos);
        }
    }
}

void RtfParser::ReadControl()
{
    const char *d = FData.constData();
    const qsizetype n = FData.size();
    ++FPos; // the backslash
    if (FPos >= n)
        return;
    const char c = d[FPos];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) {
        ++FPos;
        if (c == '\'') {
            int value = -1;
            if (FPos + 2 <= n) {
                const int hi = HexValue(d[FPos]);
                const int lo = HexValue(d[FPos + 1]);
                if (hi >= 0 && lo >= 0) {
                    value = hi * 16 + lo;
                    FPos += 2;
                }
            }
            if (ConsumeFallback() || value < 0)
                return;
            AddByte(static_cast<unsigned char>(value), false);
            return;
        }
        FlushBytes();
        if (ConsumeFallback())
            return;
        HandleSymbol(c);
        return;
    }
    const qsizetype start = FPos;
    while (FPos < n && FPos - start < 32 && ((d[FPos] >= 'a' && d[FPos] <= 'z') || (d[FPos] >= 'A' && d[FPos] <= 'Z')))
        ++FPos;
    const std::string_view word(d + start, size_t(FPos - start));
    bool neg = false;
    bool hasParam = false;
    qint64 param = 0;
    if (FPos < n && d[FPos] == '-' && FPos + 1 < n && d[FPos + 1] >= '0' && d[FPos + 1] <= '9') {
        neg = true;
        ++FPos;
    }
    int digits = 0;
    while (FPos < n && d[FPos] >= '0' && d[FPos] <= '9') {
        hasParam = true;
        if (digits++ < 10)
            param = param * 10 + (d[FPos] - '0');
        ++FPos;
    }
    if (FPos < n && d[FPos] == ' ')
        ++FPos;
    if (neg)
        param = -param;
    param = std::clamp<qint64>(param, -2147483647LL, 2147483647LL);
    FlushBytes();
    if (word == "bin") {
        // Binary data is never text, not even inside a fallback.
        if (param > 0)
            FPos += qMin<qint64>(param, n - FPos);
        ConsumeFallback();
        return;
    }
    if (ConsumeFallback())
        return;
    HandleWord(word, hasParam, int(param));
}

void RtfParser::HandleSymbol(char c)
{
    switch (c) {
    case '\\':
    case '{':
    case '}':
        AddChar(QChar(char16_t(c)));
        break;
    case '~':
        AddChar(QChar(0x00A0));
        break;
    case '_':
        AddChar(QChar(0x2011));
        break;
    case '*':
        Top().Destination = Dest::Skip;
        break;
    case '\r':
    case '\n':
        EndParagraph();
        break;
    case '\t':
        AddChar(u'\t');
        break;
    default:
        // \- (optional hyphen), \| and \: (index entries) show nothing.
        break;
    }
}

void RtfParser::HandleWord(std::string_view word, bool hasParam, int param)
{
    const auto &table = Keywords();
    const auto it = table.find(word);
    if (it == table.end())
        return;
    Group &g = Top();
    CharState &ch = g.Char;
    ParaState &pa = g.Para;
    const bool on = !hasParam || param != 0;

    if (g.Destination == Dest::FontTable) {
        switch (it->second) {
        case Kw::F:
            FFontDefId = param;
            FInFontDef = true;
            FFonts[param].Name.clear();
            return;
        case Kw::FCharset:
            if (FInFontDef)
                FFonts[FFontDefId].Charset = param;
            return;
        case Kw::Cpg:
            if (FInFontDef)
                FFonts[FFontDefId].CodePage = param;
            return;
        case Kw::SkipDest:
            g.Destination = Dest::Skip;
            return;
        default:
            return;
        }
    }
    if (g.Destination == Dest::ColorTable) {
        switch (it->second) {
        case Kw::Red: FRed = qBound(0, param, 255); return;
        case Kw::Green: FGreen = qBound(0, param, 255); return;
        case Kw::Blue: FBlue = qBound(0, param, 255); return;
        default: return;
        }
    }

    switch (it->second) {
    case Kw::Unknown:
    case Kw::Rtf:
    case Kw::Red:
    case Kw::Green:
    case Kw::Blue:
    case Kw::FCharset:
    case Kw::Cpg:
    case Kw::Field:
    case Kw::FldRslt:
    case Kw::Bin:
        break;
    case Kw::ListText:
    case Kw::PnText:
        g.ListLabel = true;
        FLabelStarted = false;
        break;
    case Kw::Ansi: FDocCodePage = 1252; break;
    case Kw::Mac: FDocCodePage = 10000; break;
    case Kw::Pc: FDocCodePage = 437; break;
    case Kw::Pca: FDocCodePage = 850; break;
    case Kw::AnsiCpg:
        if (param > 0)
            FDocCodePage = param;
        break;
    case Kw::Deff:
        FDefaultFont = param;
        if (FStack.size() <= 2)
            ch.Font = param;
        break;
    case Kw::Uc:
        g.Uc = qBound(0, param, 16);
        break;
    case Kw::U: {
        if (!hasParam)
            break;
        // A value outside 16 bits is no character; its fallback still stands in for it.
        const int code = param >= -32768 && param < 0 ? param + 65536 : param;
        if (code > 0 && code < 0xFFFE)
            AddChar(QChar(char16_t(code)));
        FUcSkip = g.Uc;
        break;
    }
    case Kw::FontTable:
        g.Destination = Dest::FontTable;
        break;
    case Kw::ColorTable:
        g.Destination = Dest::ColorTable;
        FRed = FGreen = FBlue = -1;
        break;
    case Kw::SkipDest:
        g.Destination = Dest::Skip;
        break;
    case Kw::Plain: {
        const int font = FDefaultFont;
        ch = CharState{};
        ch.Font = font;
        break;
    }
    case Kw::F: ch.Font = param; break;
    case Kw::Fs: ch.Size = hasParam && param > 0 ? qMin(param, 3276) : 24; break;
    case Kw::B: ch.Bold = on; break;
    case Kw::I: ch.Italic = on; break;
    case Kw::Ul: ch.Underline = on; break;
    case Kw::UlNone: ch.Underline = false; break;
    case Kw::Strike: ch.Strike = on; break;
    case Kw::V: ch.Hidden = on; break;
    case Kw::Cf: ch.Fg = qMax(0, param); break;
    case Kw::Cb:
    case Kw::Highlight: ch.Bg = qMax(0, param); break;
    case Kw::Super: ch.VAlign = on ? 1 : 0; break;
    case Kw::Sub: ch.VAlign = on ? 2 : 0; break;
    case Kw::NoSuperSub: ch.VAlign = 0; break;
    case Kw::Pard: pa = ParaState{}; break;
    case Kw::Ql: pa.Align = 0; break;
    case Kw::Qc: pa.Align = 1; break;
    case Kw::Qr: pa.Align = 2; break;
    case Kw::Qj: pa.Align = 3; break;
    case Kw::Li: pa.Li = param; break;
    case Kw::Ri: pa.Ri = param; break;
    case Kw::Fi: pa.Fi = param; break;
    case Kw::Sb: pa.Sb = qMax(0, param); break;
    case Kw::Sa: pa.Sa = qMax(0, param); break;
    case Kw::InTbl: pa.InTable = on; break;
    case Kw::Tqr: pa.NextTabType = QTextOption::RightTab; break;
    case Kw::Tqc: pa.NextTabType = QTextOption::CenterTab; break;
    case Kw::Tqdec: pa.NextTabType = QTextOption::DelimiterTab; break;
    case Kw::Tx:
        if (param > 0 && pa.Tabs.size() < MaxTabStops) {
            QTextOption::Tab tab(qMin(param, 0x7FFF), pa.NextTabType);
            if (tab.type == QTextOption::DelimiterTab)
                tab.delimiter = u'.';
            pa.Tabs.append(tab);
        }
        pa.NextTabType = QTextOption::LeftTab;
        break;
    case Kw::Tb: pa.NextTabType = QTextOption::LeftTab; break;
    case Kw::DefTab:
        if (param > 0)
            FDefaultTab = qMin(param, 0x7FFF);
        break;
    case Kw::Par: EndParagraph(); break;
    case Kw::Line: AddChar(QChar(QChar::LineSeparator)); break;
    case Kw::Tab: AddChar(u'\t'); break;
    case Kw::Cell:
        pa.InTable = true;
        EndCell();
        break;
    case Kw::Row: EndRow(); break;
    case Kw::NestCell: AddChar(u'\t'); break;
    case Kw::NestRow: AddChar(QChar(QChar::LineSeparator)); break;
    case Kw::TRowD: FCellX.clear(); break;
    case Kw::CellX:
        if (FCellX.size() < MaxColumns)
            FCellX.append(param);
        break;
    case Kw::EmDash: AddChar(QChar(0x2014)); break;
    case Kw::EnDash: AddChar(QChar(0x2013)); break;
    case Kw::Bullet: AddChar(QChar(0x2022)); break;
    case Kw::LQuote: AddChar(QChar(0x2018)); break;
    case Kw::RQuote: AddChar(QChar(0x2019)); break;
    case Kw::LDblQuote: AddChar(QChar(0x201C)); break;
    case Kw::RDblQuote: AddChar(QChar(0x201D)); break;
    case Kw::EmSpace: AddChar(QChar(0x2003)); break;
    case Kw::EnSpace: AddChar(QChar(0x2002)); break;
    case Kw::QmSpace: AddChar(QChar(0x2005)); break;
    case Kw::Zwj: AddChar(QChar(0x200D)); break;
    case Kw::Zwnj: AddChar(QChar(0x200C)); break;
    case Kw::LtrMark: AddChar(QChar(0x200E)); break;
    case Kw::RtlMark: AddChar(QChar(0x200F)); break;
    }
}

int RtfParser::CodePageOf(const CharState &c) const
{
    const auto it = FFonts.constFind(c.Font);
    if (it != FFonts.cend()) {
        if (it->CodePage > 0)
            return it->CodePage;
        if (const int cp = CodePages::CodePageOfCharset(it->Charset))
            return cp;
    }
    return FDocCodePage;
}

int RtfParser::SymbolFontKind(const CharState &c) const
{
    const auto it = FFonts.constFind(c.Font);
    if (it == FFonts.cend() || it->Charset != 2)
        return 0;
    if (it->Name.compare(u"Symbol", Qt::CaseInsensitive) == 0)
        return 1;
    if (it->Name.startsWith(u"Wingdings", Qt::CaseInsensitive))
        return 2;
    return 0;
}

void RtfParser::AddByte(unsigned char b, bool raw)
{
    const Group &g = Top();
    if (g.Destination != Dest::Normal) {
        const char c = char(b);
        AddChar(CodePages::FromWindows1252(&c, 1).at(0));
        return;
    }
    const int cp = CodePageOf(g.Char);
    const int symbol = SymbolFontKind(g.Char);
    if (!FBytes.isEmpty()
        && (cp != FBytesCodePage || symbol != FBytesSymbol || raw != FBytesRaw || !(g.Char == FBytesChar)))
        FlushBytes();
    FBytesRaw = raw;
    FBytesCodePage = cp;
    FBytesSymbol = symbol;
    FBytesChar = g.Char;
    FBytes.append(char(b));
}

// True when the pending bytes end with the lead byte of a double-byte code page.
bool RtfParser::AwaitsTrailByte() const
{
    if (FBytes.isEmpty() || FBytesRaw)
        return false;
    const int cp = FBytesCodePage;
    if (cp != 932 && cp != 936 && cp != 949 && cp != 950)
        return false;
    qsizetype i = 0;
    const qsizetype n = FBytes.size();
    while (i < n) {
        const auto b = static_cast<unsigned char>(FBytes.at(i));
        const bool lead = cp == 932 ? ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) : (b >= 0x81 && b <= 0xFE);
        i += lead ? 2 : 1;
    }
    return i > n;
}

void RtfParser::FlushBytes()
{
    if (FBytes.isEmpty())
        return;
    QString text;
    if (FBytesSymbol) {
        for (const char b : std::as_const(FBytes)) {
            const auto byte = static_cast<unsigned char>(b);
            const QChar c = FBytesSymbol == 1 ? CodePages::FromSymbolFont(byte) : CodePages::FromWingdingsFont(byte);
            text += c.isNull() ? CodePages::FromWindows1252(&b, 1) : QString(c);
        }
    } else if (FBytesRaw && IsUtf8Text(FBytes)) {
        // Some writers (enscript among them) copy their UTF-8 input into the document
        // unescaped. A run of raw bytes that is well-formed multi-byte UTF-8 is next to
        // impossible in a single-byte code page, so it is read as what it is.
        text = QString::fromUtf8(FBytes);
    } else {
        text = CodePages::Decode(FBytesCodePage, FBytes);
    }
    FBytes.clear();
    // Every change of format or group flushes the bytes first, so they still stand under
    // the format they were read with.
    for (const QChar c : std::as_const(text))
        AddChar(c);
}

void RtfParser::AddChar(QChar c)
{
    Group &g = Top();
    if (g.Destination == Dest::FontTable) {
        if (!FInFontDef)
            return;
        FontDef &font = FFonts[FFontDefId];
        if (c == u';') {
            // The name is complete; text up to the next \f belongs to no font.
            font.Name = font.Name.trimmed();
            FInFontDef = false;
        } else {
            font.Name += c;
        }
        return;
    }
    if (g.Destination == Dest::ColorTable) {
        if (c == u';') {
            if (FRed < 0 && FGreen < 0 && FBlue < 0)
                FColors.append(QColor());
            else
                FColors.append(QColor(qMax(FRed, 0), qMax(FGreen, 0), qMax(FBlue, 0)));
            FRed = FGreen = FBlue = -1;
        }
        return;
    }
    if (g.Destination != Dest::Normal || g.Char.Hidden)
        return;
    if (g.ListLabel && !FLabelStarted) {
        // LibreOffice writes a blank before a number (" 1."); its own lists, like every
        // other writer's, start the label at the first-line indent.
        if (c == u' ')
            return;
        FLabelStarted = true;
    }
    const bool tableChange = g.Para.InTable != (FTable != nullptr);
    if (tableChange || FPendingBlock || FCellPending || !(g.Char == FTextChar)) {
        FlushText();
        if (tableChange || FPendingBlock || FCellPending)
            PlaceCursor();
        FTextChar = g.Char;
    }
    FText += c;
    FBlockStarted = true;
}

// Brings the cursor to where the next content goes: a new paragraph, a table cell, or the
// paragraph after a table.
void RtfParser::PlaceCursor()
{
    const bool inTable = Top().Para.InTable;
    if (inTable && !FTable) {
        // A table once started is put into the document, however empty.
        if (Probed())
            return;
        StartTable();
    } else if (!inTable && FTable) {
        EndTable();
    }
    if (FTable && FCellPending) {
        OpenCell();
        FCellPending = false;
        FPendingBlock = false;
    }
    if (FPendingBlock) {
        if (FTable)
            FTable->Rows.back().back().Paragraphs.emplace_back();
        else if (!Probed())
            FCursor.insertBlock();
        FPendingBlock = false;
    }
}

void RtfParser::FlushText()
{
    if (FText.isEmpty())
        return;
    if (FTable)
        CurrentParagraph().Add(FText, CharFormat(FTextChar));
    else if (!Probed())
        FCursor.insertText(FText, CharFormat(FTextChar));
    FText.clear();
}

bool RtfParser::Probed()
{
    if (!FProbe)
        return false;
    FHasContent = true;
    FDone = true;
    return true;
}

bool RtfParser::Probe()
{
    FProbe = true;
    Read();
    return FHasContent;
}

QTextCharFormat RtfParser::CharFormat(const CharState &c)
{
    if (FHaveFormat && FFormatFor == c)
        return FFormat;
    QTextCharFormat f;
    const auto font = FFonts.constFind(c.Font);
    if (font != FFonts.cend() && !font->Name.isEmpty())
        f.setFontFamilies({font->Name});
    f.setFontPointSize(c.Size / 2.0);
    f.setFontWeight(c.Bold ? QFont::Bold : QFont::Normal);
    f.setFontItalic(c.Italic);
    f.setFontUnderline(c.Underline);
    f.setFontStrikeOut(c.Strike);
    if (c.VAlign == 1)
        f.setVerticalAlignment(QTextCharFormat::AlignSuperScript);
    else if (c.VAlign == 2)
        f.setVerticalAlignment(QTextCharFormat::AlignSubScript);
    if (c.Fg > 0 && c.Fg < FColors.size() && FColors.at(c.Fg).isValid())
        f.setForeground(FColors.at(c.Fg));
    if (c.Bg > 0 && c.Bg < FColors.size() && FColors.at(c.Bg).isValid())
        f.setBackground(FColors.at(c.Bg));
    FHaveFormat = true;
    FFormatFor = c;
    FFormat = f;
    return f;
}

QTextBlockFormat RtfParser::BlockFormat(const ParaState &p) const
{
    QTextBlockFormat f;
    static constexpr Qt::Alignment aligns[4] = {Qt::AlignLeft, Qt::AlignHCenter, Qt::AlignRight, Qt::AlignJustify};
    f.setAlignment(aligns[qBound(0, p.Align, 3)]);
    // Twips to the document's pixels at 96 dots per inch.
    f.setLeftMargin(qMax(0, p.Li) / 15.0);
    f.setRightMargin(qMax(0, p.Ri) / 15.0);
    f.setTextIndent(p.Fi / 15.0);
    f.setTopMargin(p.Sb / 15.0);
    f.setBottomMargin(p.Sa / 15.0);
    // RTF measures tab stops from the left margin; Qt from where the line starts, and the
    // first line starts at the indent plus the first-line indent. The stops are placed for
    // the first line, where a list's bullet or number is followed by its tab.
    QList<QTextOption::Tab> tabs = p.Tabs;
    // A hanging indent is a tab stop of its own: the tab after the bullet goes to where
    // the item's text starts, as every word processor lays it out.
    if (p.Fi < 0 && p.Li > 0)
        tabs.append(QTextOption::Tab(p.Li, QTextOption::LeftTab));
    // In 64 bits: a damaged file may give both indents near the limits of an int.
    const qint64 lineStart = qint64(qMax(0, p.Li)) + p.Fi;
    tabs.removeIf([lineStart](const QTextOption::Tab &tab) { return tab.position <= lineStart; });
    if (!tabs.isEmpty()) {
        std::stable_sort(tabs.begin(), tabs.end(),
                         [](const QTextOption::Tab &a, const QTextOption::Tab &b) { return a.position < b.position; });
        for (QTextOption::Tab &tab : tabs)
            tab.position = (tab.position - lineStart) / 15.0;
        f.setTabPositions(tabs);
    }
    return f;
}

void RtfParser::ApplyBlockFormat()
{
    if (FProbe)
        return;
    const QTextBlockFormat block = BlockFormat(Top().Para);
    const QTextCharFormat blockChar = CharFormat(Top().Char);
    if (FTable) {
        CollectedParagraph &p = CurrentParagraph();
        p.Formatted = true;
        p.Block = block;
        p.BlockChar = blockChar;
        return;
    }
    FCursor.setBlockFormat(block);
    FCursor.setBlockCharFormat(blockChar);
}

void RtfParser::EndParagraph()
{
    Group &g = Top();
    if (g.Destination != Dest::Normal)
        return;
    FlushText();
    const bool tableChange = g.Para.InTable != (FTable != nullptr);
    if (tableChange || FPendingBlock || FCellPending)
        PlaceCursor();
    ApplyBlockFormat();
    FPendingBlock = true;
    FBlockStarted = false;
}

void RtfParser::StartTable()
{
    // The table follows the paragraph before it; an empty paragraph left open is taken
    // by the table rather than kept as a blank line.
    FPendingBlock = false;
    FTable = std::make_unique<CollectedTable>();
    FTable->Columns = qMax(1, int(FCellX.size())); // at most MaxColumns
    QTextTableFormat &format = FTable->Format;
    format.setBorder(1);
    format.setBorderStyle(QTextFrameFormat::BorderStyle_Solid);
    format.setCellPadding(2);
    format.setCellSpacing(0);
    if (!FCellX.isEmpty()) {
        QList<QTextLength> widths;
        int left = 0;
        for (const int x : std::as_const(FCellX)) {
            widths.append(QTextLength(QTextLength::FixedLength, qMax(1, x - left) / 15.0));
            left = x;
        }
        format.setColumnWidthConstraints(widths);
    }
    FRow = 0;
    FCol = 0;
    FCellPending = true;
}

// Gives the cell at FRow, FCol its first paragraph (every cell is opened in turn, empty
// ones too, so the row and the cell are the last ones).
void RtfParser::OpenCell()
{
    auto &rows = FTable->Rows;
    if (rows.size() <= size_t(FRow))
        rows.resize(size_t(FRow) + 1);
    auto &cells = rows.back();
    if (FCol < MaxColumns) {
        if (cells.size() <= size_t(FCol))
            cells.resize(size_t(FCol) + 1);
        cells[size_t(FCol)].Paragraphs.emplace_back();
        FTable->Columns = qMax(FTable->Columns, FCol + 1);
        return;
    }
    // Cells beyond the last column join it, a tab apart, so that no text is lost.
    cells.back().Paragraphs.back().Add(QStringLiteral("\t"), CharFormat(Top().Char));
}

void RtfParser::EndTable()
{
    const auto &rows = FTable->Rows;
    QTextTable *table = FCursor.insertTable(int(rows.size()), FTable->Columns, FTable->Format);
    for (size_t r = 0; r < rows.size(); ++r) {
        for (size_t c = 0; c < rows[r].size(); ++c) {
            QTextCursor cursor = table->cellAt(int(r), int(c)).firstCursorPosition();
            const auto &paragraphs = rows[r][c].Paragraphs;
            for (size_t i = 0; i < paragraphs.size(); ++i) {
                if (i > 0)
                    cursor.insertBlock();
                for (const CollectedRun &run : paragraphs[i].Runs)
                    cursor.insertText(run.Text, run.Format);
                if (paragraphs[i].Formatted) {
                    cursor.setBlockFormat(paragraphs[i].Block);
                    cursor.setBlockCharFormat(paragraphs[i].BlockChar);
                }
            }
        }
    }
    FCursor = table->lastCursorPosition();
    FCursor.movePosition(QTextCursor::NextBlock);
    FTable.reset();
    FCellPending = false;
    FPendingBlock = false;
    FBlockStarted = false;
}

void RtfParser::EndCell()
{
    if (Top().Destination != Dest::Normal)
        return;
    FlushText();
    // A paragraph mark just before the cell's end makes no empty line in the cell.
    FPendingBlock = false;
    if (!FTable || FCellPending)
        PlaceCursor();
    ApplyBlockFormat();
    ++FCol;
    FCellPending = true;
    FBlockStarted = false;
}

void RtfParser::EndRow()
{
    // A row that got no cell is no row.
    if (!FTable || Top().Destination != Dest::Normal || FTable->Rows.size() <= size_t(FRow))
        return;
    FlushText();
    ++FRow;
    FCol = 0;
    FCellPending = true;
}

bool LooksLikeRtf(const QByteArray &data, qsizetype &start)
{
    qsizetype i = data.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    while (i < data.size() && (data[i] == ' ' || data[i] == '\r' || data[i] == '\n' || data[i] == '\t'))
        ++i;
    start = i;
    return data.mid(i, 5) == "{\\rtf";
}

} // namespace

int LoadRichTextBytes(QTextDocument &document, const QByteArray &rtf)
{
    const bool undo = document.isUndoRedoEnabled();
    document.setUndoRedoEnabled(false);
    document.clear();
    qsizetype start = 0;
    if (!LooksLikeRtf(rtf, start)) {
        document.setUndoRedoEnabled(undo);
        return 1;
    }
    const QByteArray body = start ? rtf.mid(start) : rtf;
    RtfParser parser(document, body);
    parser.Run();
    document.setUndoRedoEnabled(undo);
    return 0;
}

bool RichTextHasContent(const QByteArray &rtf)
{
    qsizetype start = 0;
    if (!LooksLikeRtf(rtf, start))
        return false;
    const QByteArray body = start ? rtf.mid(start) : rtf;
    // Never changed: the probe stops where the parser would first write to it.
    QTextDocument scratch;
    return RtfParser(scratch, body).Probe();
}

int StreamRichText(QTextDocument &document, QIODevice &stream)
{
    if (!stream.isReadable()) {
        document.clear();
        return 1;
    }
    return LoadRichTextBytes(document, stream.readAll());
}
