// Reading and writing Wine's registry text format.
#include "oslayer/RegistryHive.h"

#include "oslayer/Environment.h"
#include "oslayer/OsTexts.h"
#include "oslayer/Registry.h"

#include <QDateTime>
#include <QFile>

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>

namespace Os::Detail {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

namespace {

struct ParseError {
    QString Reason;
};

// Up to maxDigits digits of the given base (a digit value below it); returns the position
// after them.
const char *ReadNumber(const char *p, const char *end, int base, int maxDigits, uint32_t &value, int &digits)
{
    value = 0;
    digits = 0;
    while (digits < maxDigits && p < end) {
        const int digit = HexDigit(*p);
        if (digit < 0 || digit >= base)
            break;
        value = value * uint32_t(base) + uint32_t(digit);
        ++p;
        ++digits;
    }
    return p;
}

// The letter that escapes each control character in Wine's strings ("\\n"), "." for none.
constexpr std::string_view ControlEscapes = ".......abtnvfr.............e....";
static_assert(ControlEscapes.size() == 32);

// Decodes an escaped text up to its unescaped terminator; returns the position after it.
const char *DecodeString(const char *p, const char *end, char terminator, QString &out)
{
    while (p < end) {
        // Plain ASCII runs, most of every hive, go over in one piece.
        const char *run = p;
        while (p < end && *p != terminator && *p != '\\' && static_cast<unsigned char>(*p) < 0x80)
            ++p;
        if (p > run)
            out.append(QLatin1String(run, p - run));
        if (p >= end)
            break;
        const char c = *p;
        if (c == terminator)
            return p + 1;
        if (c == '\\') {
            ++p;
            if (p >= end)
                break;
            const char e = *p;
            const size_t control = e != '.' ? ControlEscapes.find(e) : std::string_view::npos;
            uint32_t code = 0;
            int digits = 0;
            if (control != std::string_view::npos) {
                out += QChar(char16_t(control));
                ++p;
            } else if (e == 'x') {
                p = ReadNumber(p + 1, end, 16, 4, code, digits);
                out += digits ? QChar(char16_t(code)) : QChar(u'x');
            } else if (e >= '0' && e <= '7') {
                p = ReadNumber(p, end, 8, 3, code, digits);
                out += QChar(char16_t(code));
            } else {
                out += QChar::fromLatin1(e);
                ++p;
            }
            continue;
        }
        if (static_cast<unsigned char>(c) >= 0x80) {
            // Wine itself writes only ASCII; bytes above it come from editors, in UTF-8.
            const char *start = p;
            while (p < end && static_cast<unsigned char>(*p) >= 0x80)
                ++p;
            out += QString::fromUtf8(start, p - start);
            continue;
        }
        out += QChar::fromLatin1(c);
        ++p;
    }
    throw ParseError { Os::Texts::RegistryUnterminatedString() };
}

const char *SkipBlanks(const char *p, const char *end)
{
    while (p < end && (*p == ' ' || *p == '\t'))
        ++p;
    return p;
}

const char *TrimBlanks(const char *begin, const char *end)
{
    while (end > begin && (end[-1] == ' ' || end[-1] == '\t'))
        --end;
    return end;
}

// One line of the text: Start to End without its line break; Next is where the next one starts.
struct TextLine {
    const char *Start = nullptr;
    const char *End = nullptr;
    const char *Next = nullptr;
};

TextLine LineAt(const char *pos, const char *textEnd)
{
    const char *nl = static_cast<const char *>(std::memchr(pos, '\n', size_t(textEnd - pos)));
    TextLine line { pos, nl ? nl : textEnd, nl ? nl + 1 : textEnd };
    if (line.End > line.Start && line.End[-1] == '\r')
        --line.End;
    return line;
}

// Text kept as read whose last line ends in a backslash (a value cut off at the end of a
// file) would swallow whatever is written after it; a blank line ends it where it was.
void AppendKept(QByteArray &out, const QByteArray &kept)
{
    out += kept;
    if (!out.endsWith('\n'))
        out += '\n';
    const char *end = out.constData() + out.size() - 1;
    if (end > out.constData() && end[-1] == '\r')
        --end;
    const char *trimmed = TrimBlanks(out.constData(), end);
    if (trimmed > out.constData() && trimmed[-1] == '\\')
        out += '\n';
}

// Goes over the lines of one value, starting at its first line: a line that ends in a
// backslash goes on in the next one. Returns where the line after the value starts; joined,
// when given, gets the value's text without those backslashes.
const char *ValueLines(TextLine line, const char *start, const char *textEnd, int &lineNo, QByteArray *joined)
{
    for (;;) {
        const char *trimmed = TrimBlanks(start, line.End);
        const bool continued = trimmed > start && trimmed[-1] == '\\';
        if (joined)
            joined->append(start, (continued ? trimmed - 1 : line.End) - start);
        if (!continued || line.Next >= textEnd)
            return line.Next;
        line = LineAt(line.Next, textEnd);
        ++lineNo;
        start = SkipBlanks(line.Start, line.End);
    }
}

// Parses the data of a value line ("text", str(N):"text", dword:..., hex(N):...).
void ParseData(const char *p, const char *end, HiveValue &value)
{
    auto expectEnd = [&](const char *q) {
        if (SkipBlanks(q, end) != end)
            throw ParseError { Os::Texts::RegistryBadData() };
    };
    auto startsWith = [&](const char *word) {
        const size_t n = std::strlen(word);
        return size_t(end - p) >= n && std::memcmp(p, word, n) == 0;
    };
    // "(N)" after str or hex: the kind in hexadecimal.
    auto readKind = [&](const char *q, uint32_t &type) {
        int digits = 0;
        q = ReadNumber(q + 1, end, 16, 8, type, digits);
        if (!digits || q >= end || *q != ')')
            throw ParseError { Os::Texts::RegistryBadData() };
        return q + 1;
    };
    uint32_t type = REG_SZ;
    const char *q = p;
    if (startsWith("str(")) {
        q = readKind(p + 3, type);
        if (end - q < 2 || q[0] != ':')
            throw ParseError { Os::Texts::RegistryBadData() };
        ++q;
    }
    if (q < end && *q == '"') {
        QString text;
        expectEnd(DecodeString(q + 1, end, '"', text));
        value.Type = type;
        value.Data = RegValue::FromString(text, type).Data;
        return;
    }
    if (q != p)
        throw ParseError { Os::Texts::RegistryBadData() };
    if (startsWith("dword:")) {
        uint32_t dw = 0;
        int digits = 0;
        q = ReadNumber(p + 6, end, 16, 9, dw, digits);
        if (!digits || digits > 8)
            throw ParseError { Os::Texts::RegistryBadData() };
        expectEnd(q);
        value.Type = REG_DWORD;
        value.Data = RegValue::FromDword(dw).Data;
        return;
    }
    if (!startsWith("hex"))
        throw ParseError { Os::Texts::RegistryBadData() };
    type = REG_BINARY;
    q = p + 3;
    if (q < end && *q == '(')
        q = readKind(q, type);
    if (q >= end || *q != ':')
        throw ParseError { Os::Texts::RegistryBadData() };
    QByteArray bytes;
    bytes.reserve((end - q) / 3 + 1);
    q = SkipBlanks(q + 1, end);
    while (q < end) {
        uint32_t byte = 0;
        int digits = 0;
        q = ReadNumber(q, end, 16, 2, byte, digits);
        if (!digits)
            throw ParseError { Os::Texts::RegistryBadData() };
        bytes.append(char(byte));
        q = SkipBlanks(q, end);
        if (q < end) {
            if (*q != ',')
                throw ParseError { Os::Texts::RegistryBadData() };
            q = SkipBlanks(q + 1, end);
        }
    }
    value.Type = type;
    value.Data = bytes;
}

// A value line, its continuation joined: "name"=data or @=data.
HiveValue ParseValue(const char *p, const char *end)
{
    HiveValue value;
    const char *q = p + 1;
    if (*p != '@') {
        QString name;
        q = DecodeString(q, end, '"', name);
        value.Name = name;
    }
    q = SkipBlanks(q, end);
    if (q >= end || *q != '=')
        throw ParseError { Os::Texts::RegistryBadValueLine() };
    ParseData(SkipBlanks(q + 1, end), end, value);
    return value;
}

uint64_t FileTimeNow()
{
    const qint64 ms = QDateTime::currentMSecsSinceEpoch();
    return uint64_t(ms + 11644473600000LL) * 10000ULL;
}

QByteArray TimeLine(uint64_t ft)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "#time=%x%08x", unsigned(ft >> 32), unsigned(ft & 0xFFFFFFFFu));
    return QByteArray(buffer);
}

QByteArray KeyLine(const QStringList &components)
{
    QByteArray line = "[";
    for (qsizetype i = 0; i < components.size(); ++i) {
        if (i)
            line += "\\\\";
        line += EscapeWineString(components.at(i), '[', ']', false);
    }
    line += "] ";
    line += QByteArray::number(QDateTime::currentSecsSinceEpoch());
    return line;
}

[[noreturn]] void TooDeep() { throw ParseError { Os::Texts::RegistryKeyTooDeep().arg(MaxKeyDepth) }; }

// Names compare and sort as Wine compares them: unit by unit, lower-cased (so that "_"
// comes before the letters, as in Wine's own files).
char16_t Fold(char16_t c)
{
    if (c < 128)
        return c >= 'A' && c <= 'Z' ? char16_t(c + 32) : c;
    return char16_t(QChar::toLower(char32_t(c)));
}

int CompareFolded(const HiveName &a, const HiveName &b)
{
    const qsizetype n = std::min(a.Size, b.Size);
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t x = a.At(i);
        const char16_t y = b.At(i);
        if (x != y && Fold(x) != Fold(y))
            return Fold(x) < Fold(y) ? -1 : 1;
    }
    return a.Size == b.Size ? 0 : (a.Size < b.Size ? -1 : 1);
}

HiveName NameOf(const QString &text)
{
    return HiveName { nullptr, reinterpret_cast<const char16_t *>(text.constData()), text.size() };
}

// How many bytes two texts have in common at their start.
qsizetype CommonPrefix(const char *a, qsizetype aSize, const char *b, qsizetype bSize)
{
    const qsizetype n = std::min(aSize, bSize);
    qsizetype i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; i + 8 <= n; i += 8) {
            uint64_t x = 0;
            uint64_t y = 0;
            std::memcpy(&x, a + i, 8);
            std::memcpy(&y, b + i, 8);
            if (x != y)
                return i + std::countr_zero(x ^ y) / 8;
        }
    }
    while (i < n && a[i] == b[i])
        ++i;
    return i;
}

// A name of a key line ends here: at the closing bracket or at a separator.
bool EndsName(const char *q, const char *end)
{
    return q < end && (*q == ']' || (*q == '\\' && q + 1 < end && q[1] == '\\'));
}

bool SameUnits(const HiveName &a, const HiveName &b)
{
    if (a.Size != b.Size)
        return false;
    if (a.Ascii && b.Ascii)
        return std::memcmp(a.Ascii, b.Ascii, size_t(a.Size)) == 0;
    for (qsizetype i = 0; i < a.Size; ++i)
        if (a.At(i) != b.At(i))
            return false;
    return true;
}

// Wine's order of keys: depth first, siblings by name.
int CompareKeyOrder(const HiveNode *a, const HiveNode *b)
{
    std::vector<const HiveNode *> pathA;
    std::vector<const HiveNode *> pathB;
    for (; a && a->Parent; a = a->Parent)
        pathA.push_back(a);
    for (; b && b->Parent; b = b->Parent)
        pathB.push_back(b);
    auto ia = pathA.rbegin();
    auto ib = pathB.rbegin();
    for (; ia != pathA.rend() && ib != pathB.rend(); ++ia, ++ib) {
        const int c = CompareFolded((*ia)->Name, (*ib)->Name);
        if (c != 0)
            return c;
    }
    if (pathA.size() == pathB.size())
        return 0;
    return pathA.size() < pathB.size() ? -1 : 1;
}

QString Utf16Units(const char *bytes, qsizetype count)
{
    QString text(count, Qt::Uninitialized);
    QChar *out = text.data();
    for (qsizetype i = 0; i < count; ++i)
        out[i] = QChar(char16_t(uchar(bytes[2 * i]) | (uchar(bytes[2 * i + 1]) << 8)));
    return text;
}

} // namespace

QString HiveName::ToString() const
{
    if (Ascii)
        return QString::fromLatin1(Ascii, Size);
    return QString(reinterpret_cast<const QChar *>(Utf16), Size);
}

QString Utf16Text(const QByteArray &data, qsizetype from, qsizetype *next)
{
    qsizetype end = from;
    while (end + 1 < data.size() && (data[end] || data[end + 1]))
        end += 2;
    if (next)
        *next = end + 1 < data.size() ? end + 2 : end;
    return Utf16Units(data.constData() + from, (end - from) / 2);
}

namespace {

// Whether one key line (from its bracket to its end) could name a key lower (lower-case
// letters): a line of plain ASCII without escapes holds the name in any case; any other
// line is decoded as the parser decodes it and its names compared as keys compare.
bool HasBytesAboveAscii(const char *from, const char *to)
{
    // Word by word, without a branch per byte: this goes over a whole hive.
    uint64_t high = 0;
    const char *p = from;
    for (; to - p >= 8; p += 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        high |= word;
    }
    for (; p < to; ++p)
        high |= static_cast<unsigned char>(*p);
    return (high & 0x8080808080808080ULL) != 0;
}

bool KeyLineMayName(const char *from, const char *to, const QByteArray &lower, bool textAboveAscii)
{
    bool plain = !textAboveAscii || !HasBytesAboveAscii(from, to);
    for (const char *p = from; plain && (p = static_cast<const char *>(std::memchr(p, '\\', size_t(to - p))));) {
        const char *run = p;
        while (p < to && *p == '\\')
            ++p;
        if ((p - run) % 2 != 0)
            plain = false;
    }
    if (plain) {
        for (const char first : { lower.at(0), char(lower.at(0) - 'a' + 'A') }) {
            for (const char *p = from; (p = static_cast<const char *>(std::memchr(p, first, size_t(to - p)))); ++p) {
                if (to - p < lower.size())
                    break;
                qsizetype i = 1;
                // Only letters give a lower-case letter here.
                while (i < lower.size() && (p[i] | 0x20) == lower.at(i))
                    ++i;
                if (i == lower.size())
                    return true;
            }
        }
        return false;
    }
    QString names;
    try {
        DecodeString(from + 1, to, ']', names);
    } catch (const ParseError &) {
        return true;
    }
    for (qsizetype at = 0; at + lower.size() <= names.size(); ++at) {
        qsizetype i = 0;
        while (i < lower.size() && Fold(names.at(at + i).unicode()) == char16_t(lower.at(i)))
            ++i;
        if (i == lower.size())
            return true;
    }
    return false;
}

} // namespace

bool TextCannotNameKey(const QByteArray &text, const QString &name)
{
    if (name.isEmpty())
        return false;
    QByteArray lower;
    for (const QChar c : name) {
        if (!(c >= u'a' && c <= u'z') && !(c >= u'A' && c <= u'Z'))
            return false;
        lower += char(c.toLower().unicode());
    }
    // Keys are named only by lines that begin with a bracket (after blanks); every such
    // line is judged, also one that the line before continues.
    const char *const begin = text.constData();
    const char *const end = begin + text.size();
    const bool aboveAscii = HasBytesAboveAscii(begin, end);
    for (const char *p = begin; (p = static_cast<const char *>(std::memchr(p, '[', size_t(end - p))));) {
        const char *lineStart = p;
        while (lineStart > begin && (lineStart[-1] == ' ' || lineStart[-1] == '\t'))
            --lineStart;
        const char *nl = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
        const char *lineEnd = nl ? nl : end;
        if ((lineStart == begin || lineStart[-1] == '\n') && KeyLineMayName(p, lineEnd, lower, aboveAscii))
            return false;
        p = lineEnd;
    }
    return true;
}

QByteArray EscapeWineString(const QString &text, char quote1, char quote2, bool dropFinalNul)
{
    QByteArray out;
    out.reserve(text.size() + 8);
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = text.at(i).unicode();
        const bool hasNext = i + 1 < n;
        const char16_t next = hasNext ? text.at(i + 1).unicode() : 0;
        char buffer[16];
        if (c > 127) {
            // Four digits when a hex digit follows, so that it is not read as part of the escape.
            const bool pad = hasNext && next < 128 && HexDigit(char(next)) >= 0;
            std::snprintf(buffer, sizeof buffer, pad ? "\\x%04x" : "\\x%x", unsigned(c));
            out += buffer;
            continue;
        }
        if (c < 32) {
            if (c == 0 && !hasNext && dropFinalNul)
                continue;
            if (ControlEscapes[c] != '.') {
                out += '\\';
                out += ControlEscapes[c];
            } else {
                const bool pad = hasNext && next >= '0' && next <= '7';
                std::snprintf(buffer, sizeof buffer, pad ? "\\%03o" : "\\%o", unsigned(c));
                out += buffer;
            }
            continue;
        }
        if (c == '\\' || c == char16_t(quote1) || c == char16_t(quote2))
            out += '\\';
        out += char(c);
    }
    return out;
}

QByteArray RenderValue(const HiveValue &value)
{
    QByteArray out;
    if (value.Name.isEmpty())
        out = "@=";
    else
        out = '"' + EscapeWineString(value.Name, '"', '"', false) + "\"=";
    const QByteArray &data = value.Data;
    switch (value.Type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_MULTI_SZ:
        // Only strings that end with their NUL can be written as text, as Wine does.
        if (data.size() >= 2 && data.size() % 2 == 0 && data[data.size() - 1] == 0 && data[data.size() - 2] == 0) {
            if (value.Type != REG_SZ)
                out += "str(" + QByteArray::number(value.Type, 16) + "):";
            out += '"' + EscapeWineString(Utf16Units(data.constData(), data.size() / 2), '"', '"', true)
                + "\"\n";
            return out;
        }
        break;
    case REG_DWORD:
        if (data.size() == 4) {
            char buffer[32];
            std::snprintf(
                buffer, sizeof buffer, "dword:%08x\n", unsigned(RegValue { REG_DWORD, data }.AsDword()));
            out += buffer;
            return out;
        }
        break;
    default:
        break;
    }
    if (value.Type == REG_BINARY)
        out += "hex:";
    else
        out += "hex(" + QByteArray::number(value.Type, 16) + "):";
    qsizetype count = out.size();
    static const char digits[] = "0123456789abcdef";
    for (qsizetype i = 0; i < data.size(); ++i) {
        out += digits[uchar(data[i]) >> 4];
        out += digits[uchar(data[i]) & 15];
        count += 2;
        if (i < data.size() - 1) {
            out += ',';
            if (++count > 76) {
                out += "\\\n  ";
                count = 2;
            }
        }
    }
    out += '\n';
    return out;
}

HiveValue *HiveKey::FindValue(const QString &name)
{
    for (auto &value : Values)
        if (CompareFolded(NameOf(value.Name), NameOf(name)) == 0)
            return &value;
    return nullptr;
}

HiveValue &HiveKey::PutValue(const QString &name)
{
    if (HiveValue *existing = FindValue(name))
        return *existing;
    // Wine keeps the values of a key in the order of their names, as it keeps subkeys.
    const auto at = std::find_if(Values.begin(), Values.end(),
        [&name](const HiveValue &v) { return CompareFolded(NameOf(v.Name), NameOf(name)) > 0; });
    HiveValue &added = *Values.insert(at, HiveValue {});
    added.Name = name;
    return added;
}

bool HiveKey::RemoveValue(const QString &name)
{
    return std::erase_if(Values, [&name](const HiveValue &v) {
        return CompareFolded(NameOf(v.Name), NameOf(name)) == 0;
    }) > 0;
}

QStringList HiveNode::PathComponents() const
{
    QStringList components;
    for (const HiveNode *n = this; n && n->Parent; n = n->Parent)
        components.prepend(n->Name.ToString());
    return components;
}

std::shared_ptr<Hive> Hive::Blank(const QString &path, bool machineHive)
{
    auto hive = std::make_shared<Hive>();
    hive->FPath = path;
    hive->FRootName = machineHive ? QStringLiteral("REGISTRY\\Machine") : QStringLiteral("REGISTRY\\User");
    return hive;
}

std::shared_ptr<Hive> Hive::Load(const QString &hostPath, bool machineHive)
{
    QFile file(hostPath);
    if (!file.exists()) {
        auto hive = Blank(hostPath, machineHive);
        // A hive made anew says the architecture the prefix has.
        hive->FWin64 = Environment::IsWin64Prefix();
        return hive;
    }
    if (!file.open(QIODevice::ReadOnly))
        throw ERegistryError(Os::Texts::RegistryReadFailed().arg(hostPath, file.errorString()));
    const QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw ERegistryError(Os::Texts::RegistryReadFailed().arg(hostPath, file.errorString()));
    return Parse(content, hostPath, machineHive);
}

std::shared_ptr<Hive> Hive::Parse(const QByteArray &content, const QString &nameForErrors, bool machineHive)
{
    auto hive = Blank(nameForErrors, machineHive);
    if (content.isEmpty())
        hive->Fail(1, Os::Texts::RegistryNotWineFile());
    hive->FExists = true;
    hive->FContent = content;
    hive->Index();
    // The SID of the user hive is in its comment line; links name it.
    const QByteArray &preamble = hive->FPreamble;
    static const char relative[] = "All keys relative to ";
    const qsizetype rel = preamble.indexOf(relative);
    if (rel >= 0) {
        const qsizetype start = rel + qsizetype(sizeof relative - 1);
        const qsizetype stop = preamble.indexOf('\n', start);
        QString name;
        const QByteArray raw = preamble.mid(start, stop < 0 ? -1 : stop - start).trimmed();
        try {
            DecodeString(raw.constData(), raw.constData() + raw.size(), '\0', name);
        } catch (const ParseError &) {
            // no terminator: the whole text was decoded
        }
        if (!name.isEmpty())
            hive->FRootName = name;
    }
    return hive;
}

void Hive::Fail(int line, const QString &reason) const
{
    throw ERegistryError(Os::Texts::RegistryParseError().arg(FPath).arg(line).arg(reason));
}

// One pass over the text: the key lines build the tree, every other line is only classified
// (values are decoded when their key is used).
void Hive::Index()
{
    const char *const text = FContent.constData();
    const char *const textEnd = text + FContent.size();
    int lineNo = 0;
    HiveSection *current = nullptr;
    const char *sectionStart = nullptr;
    auto finishSection = [&](const char *at) {
        if (current)
            current->Raw = QByteArray::fromRawData(sectionStart, at - sectionStart);
    };
    // The previous key line (its text only while it was plain ASCII) and its nodes: Wine
    // writes keys depth first, so a key line mostly begins as the one before it.
    struct {
        const char *Text = nullptr;
        qsizetype Size = 0;
        size_t Depth = 0;
    } previous;
    std::vector<HiveNode *> chain;
    FKeyNames.resize(MaxKeyDepth);
    FKeyEnds.resize(MaxKeyDepth);
    TextLine line;
    try {
        for (const char *pos = text; pos < textEnd; pos = line.Next) {
            line = LineAt(pos, textEnd);
            ++lineNo;
            if (lineNo == 1) {
                static const char magic[] = "WINE REGISTRY Version 2";
                if (line.End - line.Start < qsizetype(sizeof magic - 1)
                    || std::memcmp(line.Start, magic, sizeof magic - 1) != 0)
                    throw ParseError { Os::Texts::RegistryNotWineFile() };
                continue;
            }
            const char *p = SkipBlanks(line.Start, line.End);
            const char first = p < line.End ? *p : '\0';
            if (first == '[') {
                finishSection(line.Start);
                if (!current)
                    FPreamble = QByteArray::fromRawData(text, line.Start - text);
                // The names the line has in common with the previous one, found by comparing
                // bytes: they end where that line's did, and have its nodes.
                size_t shared = 0;
                if (previous.Text) {
                    const qsizetype same = CommonPrefix(previous.Text, previous.Size, p, line.End - p);
                    while (shared < previous.Depth && FKeyEnds[shared] <= same
                        && EndsName(p + FKeyEnds[shared], line.End))
                        ++shared;
                }
                bool plain = true;
                const auto depth = size_t(ParseKeyLine(p, line.End, qsizetype(shared), plain));
                while (shared < depth && shared < chain.size()
                    && SameUnits(FKeyNames[shared], chain[shared]->Name))
                    ++shared;
                previous = { plain ? p : nullptr, line.End - p, depth };
                chain.resize(shared);
                HiveNode *node = shared ? chain.back() : &FRoot;
                for (size_t i = shared; i < depth; ++i) {
                    HiveNode *child = FindChild(node, FKeyNames[i]);
                    node = child ? child : AddChild(node, FKeyNames[i]);
                    chain.push_back(node);
                }
                HiveSection &section = FSectionStore.Add();
                section.FirstLine = lineNo;
                section.Node = node;
                if (node->Section) {
                    // A key written twice: its values join the first occurrence, and the
                    // next write leaves one.
                    HiveSection *last = node->Section;
                    while (last->NextRepeat)
                        last = last->NextRepeat;
                    last->NextRepeat = &section;
                } else {
                    node->Section = &section;
                    FSections.push_back(&section);
                }
                current = &section;
                sectionStart = line.Start;
            } else if (first == '"' || first == '@') {
                if (!current)
                    throw ParseError { Os::Texts::RegistryValueOutsideKey() };
                line.Next = ValueLines(line, p, textEnd, lineNo, nullptr);
            } else if (first == '#') {
                if (current) {
                    if (line.End - p == 5 && std::memcmp(p, "#link", 5) == 0)
                        current->IsLink = true;
                } else if (line.End - p >= 6 && std::memcmp(p, "#arch=", 6) == 0) {
                    FWin64 = QByteArray(p + 6, line.End - p - 6).trimmed() == "win64";
                }
            } else if (first != '\0' && first != ';') {
                throw ParseError { Os::Texts::RegistryUnexpectedText() };
            }
        }
    } catch (const ParseError &error) {
        // A value line above this one that does not parse is the first fault of the file.
        finishSection(line.Start);
        CheckValuesInFileOrder();
        Fail(lineNo, error.Reason);
    }
    finishSection(textEnd);
    if (!current)
        FPreamble = FContent;
}

// "[Software\\Wine] 1796898673": the key's names. Names of plain ASCII stay bytes of the
// file; a line with other escapes is decoded.
qsizetype Hive::ParseKeyLine(const char *p, const char *end, qsizetype shared, bool &plain)
{
    qsizetype depth = shared;
    const auto add = [this, &depth, p](const HiveName &name, const char *nameEnd) {
        if (depth == MaxKeyDepth)
            TooDeep();
        FKeyNames[size_t(depth)] = name;
        FKeyEnds[size_t(depth++)] = nameEnd - p;
    };
    const char *q = p + (shared ? FKeyEnds[size_t(shared - 1)] : 1);
    const char *nameStart = q;
    plain = true;
    for (; q < end && *q != ']'; ++q) {
        if (*q != '\\' && uchar(*q) < 0x80)
            continue;
        if (*q != '\\' || q + 1 >= end || q[1] != '\\') {
            plain = false;
            break;
        }
        if (q > nameStart)
            add(HiveName { nameStart, nullptr, q - nameStart }, q);
        nameStart = ++q + 1;
    }
    if (plain) {
        if (q >= end)
            throw ParseError { Os::Texts::RegistryUnterminatedString() };
        if (q > nameStart)
            add(HiveName { nameStart, nullptr, q - nameStart }, q);
        ++q;
    } else {
        depth = 0;
        QString path;
        q = DecodeString(p + 1, end, ']', path);
        for (qsizetype from = 0; from <= path.size();) {
            qsizetype to = path.indexOf(QLatin1Char('\\'), from);
            if (to < 0)
                to = path.size();
            if (to > from)
                add(KeepName(path.mid(from, to - from)), p);
            from = to + 1;
        }
    }
    q = SkipBlanks(q, end);
    while (q < end && *q >= '0' && *q <= '9')
        ++q;
    if (SkipBlanks(q, end) != end || depth == 0)
        throw ParseError { Os::Texts::RegistryBadKeyLine() };
    return depth;
}

HiveName Hive::KeepName(const QString &name) { return NameOf(FNames.emplace_back(name)); }

bool HiveNameOrder::operator()(const HiveNode *a, const HiveNode *b) const
{
    return CompareFolded(a->Name, b->Name) < 0;
}

bool HiveNameOrder::operator()(const HiveNode *a, const HiveName &b) const
{
    return CompareFolded(a->Name, b) < 0;
}

bool HiveNameOrder::operator()(const HiveName &a, const HiveNode *b) const
{
    return CompareFolded(a, b->Name) < 0;
}

HiveNode *Hive::FindChild(HiveNode *parent, const HiveName &name)
{
    HiveNode *latest = parent->FirstChild;
    if (!latest)
        return nullptr;
    if (!parent->Lookup) {
        // Keys in Wine's order, as Wine writes them, need no lookup at all.
        const int order = CompareFolded(name, latest->Name);
        if (order >= 0)
            return order == 0 ? latest : nullptr;
        parent->Lookup = &FLookups.emplace_back();
        for (HiveNode *child = latest; child; child = child->NextSibling)
            parent->Lookup->insert(parent->Lookup->begin(), child);
    }
    const auto found = parent->Lookup->find(name);
    return found == parent->Lookup->end() ? nullptr : *found;
}

// Only after FindChild found no such subkey: the order it relies on then still holds.
HiveNode *Hive::AddChild(HiveNode *parent, const HiveName &name)
{
    HiveNode &node = FNodes.Add();
    node.Name = name;
    node.Parent = parent;
    node.NextSibling = parent->FirstChild;
    parent->FirstChild = &node;
    if (parent->Lookup)
        parent->Lookup->insert(&node);
    return &node;
}

HiveNode *Hive::Child(HiveNode *parent, const QString &name)
{
    std::lock_guard guard(FLazyLock);
    return FindChild(
        parent, HiveName { nullptr, reinterpret_cast<const char16_t *>(name.utf16()), name.size() });
}

std::vector<HiveNode *> Hive::Children(HiveNode *parent)
{
    std::lock_guard guard(FLazyLock);
    if (parent->Lookup)
        return std::vector<HiveNode *>(parent->Lookup->begin(), parent->Lookup->end());
    // Without a lookup they came in order: the list holds them from the greatest down.
    std::vector<HiveNode *> children;
    for (HiveNode *child = parent->FirstChild; child; child = child->NextSibling)
        children.push_back(child);
    std::reverse(children.begin(), children.end());
    return children;
}

HiveNode *Hive::Find(const QStringList &components)
{
    HiveNode *node = &FRoot;
    for (const QString &name : components) {
        node = Child(node, name);
        if (!node)
            return nullptr;
    }
    return node;
}

HiveNode *Hive::Ensure(const QStringList &components)
{
    if (components.size() > MaxKeyDepth)
        throw ERegistryError(Os::Texts::RegistryKeyTooDeep().arg(MaxKeyDepth));
    HiveNode *node = &FRoot;
    bool created = false;
    for (const QString &name : components) {
        HiveNode *child = Child(node, name);
        if (!child) {
            child = AddChild(node, KeepName(name));
            created = true;
        }
        node = child;
    }
    if (created || (!node->Section && !node->HasChildren()))
        KeyFor(node);
    return node;
}

QStringList Hive::LinkTarget(HiveNode *node)
{
    if (!node || !node->Section || !node->Section->IsLink)
        return {};
    HiveValue *link = Values(node)->FindValue(QStringLiteral("SymbolicLinkValue"));
    if (!link || link->Type != REG_LINK)
        return {};
    const QString target = Utf16Text(link->Data);
    const QString rootPrefix = QLatin1Char('\\') + FRootName + QLatin1Char('\\');
    if (!target.startsWith(rootPrefix, Qt::CaseInsensitive))
        return {};
    return target.mid(rootPrefix.size()).split(QLatin1Char('\\'), Qt::SkipEmptyParts);
}

HiveKey *Hive::Values(HiveNode *node)
{
    if (!node->Section)
        return nullptr;
    Decode(node->Section);
    return node->Section->Decoded.get();
}

void Hive::Decode(HiveSection *section)
{
    std::lock_guard guard(FLazyLock);
    if (section->Decoded)
        return;
    auto key = std::make_unique<HiveKey>();
    bool merged = DecodeLines(*section, *key, true);
    // The values of later sections that name the same key join these.
    for (const HiveSection *repeat = section->NextRepeat; repeat; repeat = repeat->NextRepeat) {
        DecodeLines(*repeat, *key, false);
        merged = true;
    }
    if (merged) {
        // Written anew, with one line per value.
        section->Dirty = true;
        Stamp(key.get());
    }
    section->Decoded = std::move(key);
}

bool Hive::DecodeLines(const HiveSection &from, HiveKey &key, bool own) const
{
    bool replaced = false;
    const char *const textEnd = from.Raw.constData() + from.Raw.size();
    TextLine line = LineAt(from.Raw.constData(), textEnd);
    int lineNo = from.FirstLine;
    if (own)
        key.Header = QByteArray::fromRawData(line.Start, line.End - line.Start);
    for (const char *pos = line.Next; pos < textEnd; pos = line.Next) {
        line = LineAt(pos, textEnd);
        const int firstLine = ++lineNo;
        const char *p = SkipBlanks(line.Start, line.End);
        const char first = p < line.End ? *p : '\0';
        if ((first == ';' || first == '#') && own) {
            (first == ';' ? key.Extra : key.Meta)
                .append(QByteArray::fromRawData(line.Start, line.End - line.Start));
        } else if (first == '"' || first == '@') {
            QByteArray joined;
            line.Next = ValueLines(line, p, textEnd, lineNo, &joined);
            try {
                HiveValue value = ParseValue(joined.constData(), joined.constData() + joined.size());
                value.Raw = QByteArray::fromRawData(line.Start, line.Next - line.Start);
                if (!value.Raw.endsWith('\n'))
                    value.Raw += '\n';
                if (HiveValue *existing = key.FindValue(value.Name)) {
                    *existing = std::move(value);
                    replaced = true;
                } else {
                    key.Values.push_back(std::move(value));
                }
            } catch (const ParseError &error) {
                Fail(firstLine, error.Reason);
            }
        }
    }
    return replaced;
}

HiveKey *Hive::KeyFor(HiveNode *node)
{
    if (node->Section)
        return Values(node);
    HiveSection &section = FSectionStore.Add();
    section.Decoded = std::make_unique<HiveKey>();
    section.Decoded->Header = KeyLine(node->PathComponents());
    section.Decoded->Meta.append(TimeLine(FileTimeNow()));
    section.Dirty = true;
    section.Node = node;
    node->Section = &section;
    InsertSection(&section);
    return section.Decoded.get();
}

void Hive::InsertSection(HiveSection *section)
{
    // Wine's files are in key order; a new key goes where Wine would have written it.
    // Binary search works for a file in order; a file out of order still gets a place.
    const auto at = std::partition_point(FSections.begin(), FSections.end(),
        [section](const HiveSection *s) { return CompareKeyOrder(s->Node, section->Node) < 0; });
    FSections.insert(at, section);
}

void Hive::Touch(HiveNode *node)
{
    HiveKey *key = KeyFor(node);
    node->Section->Dirty = true;
    Stamp(key);
}

void Hive::Stamp(HiveKey *key)
{
    const QByteArray line = TimeLine(FileTimeNow());
    for (QByteArray &meta : key->Meta) {
        if (meta.trimmed().startsWith("#time=")) {
            meta = line;
            return;
        }
    }
    key->Meta.prepend(line);
}

void Hive::RemoveNode(HiveNode *node)
{
    HiveNode *parent = node->Parent;
    if (!parent)
        return;
    HiveNode **link = &parent->FirstChild;
    while (*link != node)
        link = &(*link)->NextSibling;
    *link = node->NextSibling;
    if (parent->Lookup)
        parent->Lookup->erase(node);
    // Everything below goes too, walked without recursion: a hive may be deep.
    std::vector<HiveNode *> pending { node };
    while (!pending.empty()) {
        HiveNode *gone = pending.back();
        pending.pop_back();
        if (gone->Section) {
            gone->Section->Node = nullptr;
            gone->Section = nullptr;
        }
        for (HiveNode *child = gone->FirstChild; child; child = child->NextSibling)
            pending.push_back(child);
    }
    std::erase_if(FSections, [](const HiveSection *s) { return s->Node == nullptr; });
    // A key left without subkeys is written only when it has a line of its own.
    if ((parent->Parent && !parent->HasChildren()) || parent->Section)
        Touch(parent);
}

void Hive::DecodeAll()
{
    try {
        for (HiveSection *section : FSections)
            Decode(section);
    } catch (const ERegistryError &) {
        // Told by the first line of the file that does not parse, not by the first key.
        CheckValuesInFileOrder();
        throw;
    }
}

void Hive::CheckValuesInFileOrder() const
{
    FSectionStore.ForEach([this](const HiveSection &section) {
        HiveKey scratch;
        DecodeLines(section, scratch, false);
    });
}

QByteArray Hive::Serialize()
{
    DecodeAll();
    QByteArray out;
    qsizetype estimate = FPreamble.size();
    for (const HiveSection *section : FSections)
        estimate += section->Dirty ? 256 : section->Raw.size();
    out.reserve(estimate + 1024);
    if (FPreamble.isEmpty()) {
        out += "WINE REGISTRY Version 2\n;; All keys relative to ";
        out += EscapeWineString(FRootName, '\0', '\0', false);
        out += "\n\n#arch=";
        out += FWin64 ? "win64" : "win32";
        out += "\n";
    } else {
        out += FPreamble;
        if (!out.endsWith('\n'))
            out += '\n';
    }
    for (const HiveSection *section : FSections) {
        if (!section->Dirty) {
            AppendKept(out, section->Raw);
            continue;
        }
        if (!out.endsWith("\n\n"))
            out += '\n';
        out += RenderSection(*section->Decoded);
    }
    return out;
}

QByteArray Hive::RenderSection(const HiveKey &key)
{
    QByteArray out = key.Header + '\n';
    for (const QByteArray &meta : key.Meta)
        out += meta + '\n';
    for (const HiveValue &value : key.Values) {
        if (value.Raw.isEmpty())
            out += RenderValue(value);
        else
            AppendKept(out, value.Raw);
    }
    for (const QByteArray &extra : key.Extra)
        out += extra + '\n';
    out += '\n';
    return out;
}

void Hive::MarkWritten()
{
    for (HiveSection *section : FSections) {
        if (!section->Dirty)
            continue;
        for (HiveValue &value : section->Decoded->Values)
            if (value.Raw.isEmpty())
                value.Raw = RenderValue(value);
        section->Raw = RenderSection(*section->Decoded);
        section->Dirty = false;
    }
    FExists = true;
}

} // namespace Os::Detail
