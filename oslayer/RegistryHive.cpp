// Reading and writing Wine's registry text format.
#include "oslayer/RegistryHive.h"

#include "oslayer/Environment.h"
#include "oslayer/OsTexts.h"
#include "oslayer/Registry.h"
#include "oslayer/WinError.h"

#include <QDateTime>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Os::Detail {

namespace {

struct ParseError {
    QString Reason;
};

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
            switch (e) {
            case 'a': out += QChar(0x07); ++p; break;
            case 'b': out += QChar(0x08); ++p; break;
            case 'e': out += QChar(0x1b); ++p; break;
            case 'f': out += QChar(0x0c); ++p; break;
            case 'n': out += QChar(0x0a); ++p; break;
            case 'r': out += QChar(0x0d); ++p; break;
            case 't': out += QChar(0x09); ++p; break;
            case 'v': out += QChar(0x0b); ++p; break;
            case 'x': {
                ++p;
                uint32_t code = 0;
                int digits = 0;
                while (digits < 4 && p < end && HexDigit(*p) >= 0) {
                    code = code * 16 + uint32_t(HexDigit(*p));
                    ++p;
                    ++digits;
                }
                out += digits ? QChar(char16_t(code)) : QChar(u'x');
                break;
            }
            default:
                if (e >= '0' && e <= '7') {
                    uint32_t code = 0;
                    int digits = 0;
                    while (digits < 3 && p < end && *p >= '0' && *p <= '7') {
                        code = code * 8 + uint32_t(*p - '0');
                        ++p;
                        ++digits;
                    }
                    out += QChar(char16_t(code));
                } else {
                    out += QChar::fromLatin1(e);
                    ++p;
                }
                break;
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

QByteArray Utf16Data(const QString &text, bool terminate)
{
    QByteArray data;
    data.reserve((text.size() + 1) * 2);
    for (const QChar ch : text) {
        data.append(char(ch.unicode() & 0xFF));
        data.append(char(ch.unicode() >> 8));
    }
    if (terminate)
        data.append(2, '\0');
    return data;
}

// Parses the data of a value line ("text", str(N):"text", dword:..., hex(N):...).
void ParseData(const char *p, const char *end, HiveValue &value)
{
    auto expectEnd = [&](const char *q) {
        q = SkipBlanks(q, end);
        if (q != end)
            throw ParseError { Os::Texts::RegistryBadData() };
    };
    if (p < end && *p == '"') {
        QString text;
        const char *q = DecodeString(p + 1, end, '"', text);
        expectEnd(q);
        value.Type = REG_SZ;
        value.Data = Utf16Data(text, true);
        return;
    }
    const qsizetype len = end - p;
    if (len >= 4 && std::memcmp(p, "str(", 4) == 0) {
        const char *q = p + 4;
        uint32_t type = 0;
        int digits = 0;
        while (q < end && HexDigit(*q) >= 0 && digits < 8) {
            type = type * 16 + uint32_t(HexDigit(*q));
            ++q;
            ++digits;
        }
        if (!digits || end - q < 3 || q[0] != ')' || q[1] != ':' || q[2] != '"')
            throw ParseError { Os::Texts::RegistryBadData() };
        QString text;
        q = DecodeString(q + 3, end, '"', text);
        expectEnd(q);
        value.Type = type;
        value.Data = Utf16Data(text, true);
        return;
    }
    if (len >= 6 && std::memcmp(p, "dword:", 6) == 0) {
        const char *q = p + 6;
        uint32_t dw = 0;
        int digits = 0;
        while (q < end && HexDigit(*q) >= 0) {
            if (++digits > 8)
                throw ParseError { Os::Texts::RegistryBadData() };
            dw = dw * 16 + uint32_t(HexDigit(*q));
            ++q;
        }
        if (!digits)
            throw ParseError { Os::Texts::RegistryBadData() };
        expectEnd(q);
        value.Type = REG_DWORD;
        value.Data = QByteArray(4, '\0');
        for (int i = 0; i < 4; ++i)
            value.Data[i] = char((dw >> (8 * i)) & 0xFF);
        return;
    }
    if (len >= 3 && std::memcmp(p, "hex", 3) == 0) {
        const char *q = p + 3;
        uint32_t type = REG_BINARY;
        if (q < end && *q == '(') {
            ++q;
            type = 0;
            int digits = 0;
            while (q < end && HexDigit(*q) >= 0 && digits < 8) {
                type = type * 16 + uint32_t(HexDigit(*q));
                ++q;
                ++digits;
            }
            if (!digits || q >= end || *q != ')')
                throw ParseError { Os::Texts::RegistryBadData() };
            ++q;
        }
        if (q >= end || *q != ':')
            throw ParseError { Os::Texts::RegistryBadData() };
        ++q;
        QByteArray bytes;
        bytes.reserve((end - q) / 3 + 1);
        q = SkipBlanks(q, end);
        while (q < end) {
            const int hi = HexDigit(*q);
            if (hi < 0)
                throw ParseError { Os::Texts::RegistryBadData() };
            int byte = hi;
            ++q;
            if (q < end && HexDigit(*q) >= 0) {
                byte = byte * 16 + HexDigit(*q);
                ++q;
            }
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
        return;
    }
    throw ParseError { Os::Texts::RegistryBadData() };
}

// "[Software\\Wine] 1796898673": the key's components.
QStringList ParseKeyLine(const char *p, const char *end)
{
    QString path;
    const char *q = DecodeString(p + 1, end, ']', path);
    q = SkipBlanks(q, end);
    while (q < end && *q >= '0' && *q <= '9')
        ++q;
    q = SkipBlanks(q, end);
    if (q != end)
        throw ParseError { Os::Texts::RegistryBadKeyLine() };
    QStringList components;
    for (const QString &part : path.split(QLatin1Char('\\'), Qt::SkipEmptyParts))
        components.append(part);
    return components;
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

// Wine's order of keys: depth first, siblings by upper-cased name.
int CompareKeyOrder(const QStringList &a, const QStringList &b)
{
    const qsizetype n = std::min(a.size(), b.size());
    for (qsizetype i = 0; i < n; ++i) {
        const int c = a.at(i).compare(b.at(i));
        if (c != 0)
            return c < 0 ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

QStringList UpperPath(const HiveSection *section)
{
    QStringList path = section->Node ? section->Node->PathComponents() : QStringList();
    for (QString &name : path)
        name = name.toUpper();
    return path;
}

QString DecodeUtf16(const QByteArray &data)
{
    QString text;
    text.reserve(data.size() / 2);
    for (qsizetype i = 0; i + 1 < data.size(); i += 2)
        text += QChar(char16_t(uchar(data[i]) | (uchar(data[i + 1]) << 8)));
    return text;
}

} // namespace

QByteArray EscapeWineString(const QString &text, char quote1, char quote2, bool dropFinalNul)
{
    static const char escapes[33] = ".......abtnvfr.............e....";
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
            if (escapes[c] != '.') {
                out += '\\';
                out += escapes[c];
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
            out += '"' + EscapeWineString(DecodeUtf16(data), '"', '"', true) + "\"\n";
            return out;
        }
        break;
    case REG_DWORD:
        if (data.size() == 4) {
            char buffer[32];
            const uint32_t dw = uchar(data[0]) | (uchar(data[1]) << 8) | (uchar(data[2]) << 16)
                | (uint32_t(uchar(data[3])) << 24);
            std::snprintf(buffer, sizeof buffer, "dword:%08x\n", unsigned(dw));
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

HiveValue *HiveSection::FindValue(const QString &name)
{
    for (auto &value : Values)
        if (value.Name.compare(name, Qt::CaseInsensitive) == 0)
            return &value;
    return nullptr;
}

HiveNode *HiveNode::Child(const QString &name) const
{
    const auto it = Children.find(name.toUpper());
    return it == Children.end() ? nullptr : it->second.get();
}

QStringList HiveNode::PathComponents() const
{
    QStringList components;
    for (const HiveNode *n = this; n && n->Parent; n = n->Parent)
        components.prepend(n->Name);
    return components;
}

std::shared_ptr<Hive> Hive::Load(const QString &hostPath, bool machineHive)
{
    auto hive = std::make_shared<Hive>();
    hive->FPath = hostPath;
    hive->FMachine = machineHive;
    hive->FRoot = std::make_unique<HiveNode>();
    hive->FRootName = machineHive ? QStringLiteral("REGISTRY\\Machine") : QStringLiteral("REGISTRY\\User");

    QFile file(hostPath);
    if (!file.exists()) {
        // A hive made anew says the architecture the prefix has.
        hive->FWin64 = Environment::IsWin64Prefix();
        return hive;
    }
    if (!file.open(QIODevice::ReadOnly))
        throw ERegistryError(Os::Texts::RegistryReadFailed().arg(hostPath, file.errorString()));
    // The sections and values point into this text instead of copying it.
    hive->FContent = file.readAll();
    const QByteArray &content = hive->FContent;
    if (file.error() != QFileDevice::NoError)
        throw ERegistryError(Os::Texts::RegistryReadFailed().arg(hostPath, file.errorString()));
    hive->FExists = true;
    if (content.isEmpty())
        throw ERegistryError(Os::Texts::RegistryParseError().arg(hostPath).arg(1).arg(Os::Texts::RegistryNotWineFile()));

    const char *const base = content.constData();
    const char *const fileEnd = base + content.size();
    const char *pos = base;
    int lineNo = 0;
    HiveSection *current = nullptr;
    const char *sectionStart = nullptr;
    // The node chain of the previous key: Wine writes keys depth first, so most lookups
    // of a new key line share a prefix with the key before it.
    std::vector<HiveNode *> chain;
    QStringList chainNames;

    auto finishSection = [&](const char *at) {
        if (current)
            current->Raw = QByteArray::fromRawData(sectionStart, at - sectionStart);
    };

    try {
        while (pos < fileEnd) {
            const char *lineStart = pos;
            const char *nl = static_cast<const char *>(std::memchr(pos, '\n', fileEnd - pos));
            const char *lineEnd = nl ? nl : fileEnd;
            pos = nl ? nl + 1 : fileEnd;
            ++lineNo;
            const int firstLine = lineNo;
            const char *contentEnd = lineEnd;
            if (contentEnd > lineStart && contentEnd[-1] == '\r')
                --contentEnd;

            if (lineNo == 1) {
                static const char magic[] = "WINE REGISTRY Version 2";
                if (contentEnd - lineStart < qsizetype(sizeof magic - 1)
                    || std::memcmp(lineStart, magic, sizeof magic - 1) != 0)
                    throw ParseError { Os::Texts::RegistryNotWineFile() };
                hive->FPreamble += QByteArray(lineStart, pos - lineStart);
                continue;
            }
            const char *p = SkipBlanks(lineStart, contentEnd);
            const char first = p < contentEnd ? *p : '\0';

            if (first == '[') {
                finishSection(lineStart);
                QStringList components = ParseKeyLine(p, contentEnd);
                // Find or make the node, reusing the previous key's chain.
                qsizetype common = 0;
                while (common < components.size() && common < chainNames.size()
                       && components.at(common) == chainNames.at(common))
                    ++common;
                chain.resize(common);
                chainNames = chainNames.mid(0, common);
                HiveNode *node = common ? chain.back() : hive->FRoot.get();
                for (qsizetype i = common; i < components.size(); ++i) {
                    const QString &name = components.at(i);
                    auto &slot = node->Children[name.toUpper()];
                    if (!slot) {
                        slot = std::make_unique<HiveNode>();
                        slot->Name = name;
                        slot->Parent = node;
                    }
                    node = slot.get();
                    chain.push_back(node);
                    chainNames.append(name);
                }
                if (components.isEmpty())
                    throw ParseError { Os::Texts::RegistryBadKeyLine() };
                auto section = std::make_unique<HiveSection>();
                section->Header = QByteArray::fromRawData(lineStart, contentEnd - lineStart);
                if (node->Section) {
                    // A key written twice: its values join the first occurrence, and the
                    // next write leaves one.
                    node->Section->Dirty = true;
                    section->Node = node;
                    current = section.get();
                    sectionStart = lineStart;
                    hive->FSections.push_back(std::move(section));
                    continue;
                }
                section->Node = node;
                node->Section = section.get();
                current = section.get();
                sectionStart = lineStart;
                hive->FSections.push_back(std::move(section));
                continue;
            }
            if (first == '\0') {
                if (!current)
                    hive->FPreamble += QByteArray(lineStart, pos - lineStart);
                continue;
            }
            if (first == ';') {
                if (current)
                    current->Extra.append(QByteArray::fromRawData(lineStart, contentEnd - lineStart));
                else
                    hive->FPreamble += QByteArray(lineStart, pos - lineStart);
                continue;
            }
            if (first == '#') {
                const QByteArray line(p, contentEnd - p);
                if (!current) {
                    if (line.startsWith("#arch="))
                        hive->FWin64 = line.mid(6).trimmed() == "win64";
                    hive->FPreamble += QByteArray(lineStart, pos - lineStart);
                } else {
                    if (line == "#link")
                        current->IsLink = true;
                    current->Meta.append(QByteArray::fromRawData(lineStart, contentEnd - lineStart));
                }
                continue;
            }
            if (first == '"' || first == '@') {
                if (!current)
                    throw ParseError { Os::Texts::RegistryValueOutsideKey() };
                // Byte lists go on over lines that end in a backslash.
                QByteArray joined;
                const char *valueEnd = contentEnd;
                const char *valueRawEnd = pos;
                auto endsWithBackslash = [](const char *s, const char *e) {
                    while (e > s && (e[-1] == ' ' || e[-1] == '\t'))
                        --e;
                    return e > s && e[-1] == '\\';
                };
                if (endsWithBackslash(p, contentEnd)) {
                    const char *segEnd = contentEnd;
                    while (segEnd > p && (segEnd[-1] == ' ' || segEnd[-1] == '\t'))
                        --segEnd;
                    joined = QByteArray(p, segEnd - 1 - p);
                    while (pos < fileEnd) {
                        const char *nextStart = pos;
                        const char *nnl = static_cast<const char *>(std::memchr(pos, '\n', fileEnd - pos));
                        const char *nextEnd = nnl ? nnl : fileEnd;
                        pos = nnl ? nnl + 1 : fileEnd;
                        ++lineNo;
                        const char *ce = nextEnd;
                        if (ce > nextStart && ce[-1] == '\r')
                            --ce;
                        const char *s = SkipBlanks(nextStart, ce);
                        valueRawEnd = pos;
                        if (endsWithBackslash(s, ce)) {
                            const char *se = ce;
                            while (se > s && (se[-1] == ' ' || se[-1] == '\t'))
                                --se;
                            joined += QByteArray(s, se - 1 - s);
                            continue;
                        }
                        joined += QByteArray(s, ce - s);
                        break;
                    }
                }
                const char *vp = joined.isEmpty() ? p : joined.constData();
                const char *ve = joined.isEmpty() ? valueEnd : joined.constData() + joined.size();
                try {
                    HiveValue value;
                    const char *q;
                    if (*vp == '@') {
                        q = vp + 1;
                    } else {
                        QString name;
                        q = DecodeString(vp + 1, ve, '"', name);
                        value.Name = name;
                    }
                    q = SkipBlanks(q, ve);
                    if (q >= ve || *q != '=')
                        throw ParseError { Os::Texts::RegistryBadValueLine() };
                    q = SkipBlanks(q + 1, ve);
                    ParseData(q, ve, value);
                    value.Raw = QByteArray::fromRawData(lineStart, valueRawEnd - lineStart);
                    if (!value.Raw.endsWith('\n'))
                        value.Raw += '\n';
                    HiveSection *target = current->Node ? current->Node->Section : current;
                    if (HiveValue *existing = target->FindValue(value.Name)) {
                        *existing = std::move(value);
                        target->Dirty = true;
                    } else {
                        target->Values.push_back(std::move(value));
                    }
                } catch (ParseError &error) {
                    lineNo = firstLine;
                    throw;
                }
                continue;
            }
            throw ParseError { Os::Texts::RegistryUnexpectedText() };
        }
        finishSection(fileEnd);
    } catch (const ParseError &error) {
        throw ERegistryError(Os::Texts::RegistryParseError().arg(hostPath).arg(lineNo).arg(error.Reason));
    }

    // Drop the second occurrences of keys written twice: their values are with the first.
    std::erase_if(hive->FSections, [](const std::unique_ptr<HiveSection> &s) {
        return s->Node && s->Node->Section != s.get();
    });
    for (const auto &section : hive->FSections)
        if (section->Node && section->Node->Section == section.get() && section->Dirty)
            hive->Touch(section.get());
    // The SID of the user hive is in its comment line; links name it.
    const qsizetype rel = hive->FPreamble.indexOf("All keys relative to ");
    if (rel >= 0) {
        const qsizetype start = rel + qsizetype(std::strlen("All keys relative to "));
        const qsizetype stop = hive->FPreamble.indexOf('\n', start);
        QString name;
        const QByteArray raw = hive->FPreamble.mid(start, stop < 0 ? -1 : stop - start).trimmed();
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

HiveNode *Hive::Find(const QStringList &components) const
{
    HiveNode *node = FRoot.get();
    for (const QString &name : components) {
        node = node->Child(name);
        if (!node)
            return nullptr;
    }
    return node;
}

HiveNode *Hive::Ensure(const QStringList &components)
{
    HiveNode *node = FRoot.get();
    bool created = false;
    for (const QString &name : components) {
        auto &slot = node->Children[name.toUpper()];
        if (!slot) {
            slot = std::make_unique<HiveNode>();
            slot->Name = name;
            slot->Parent = node;
            created = true;
        }
        node = slot.get();
    }
    if (created || (!node->Section && node->Children.empty()))
        SectionFor(node);
    return node;
}

QStringList Hive::LinkTarget(const HiveNode *node) const
{
    if (!node || !node->Section || !node->Section->IsLink)
        return {};
    HiveValue *link = node->Section->FindValue(QStringLiteral("SymbolicLinkValue"));
    if (!link || link->Type != REG_LINK)
        return {};
    QString target = DecodeUtf16(link->Data);
    while (target.endsWith(QChar(0)))
        target.chop(1);
    const QString rootPrefix = QLatin1Char('\\') + FRootName + QLatin1Char('\\');
    if (!target.startsWith(rootPrefix, Qt::CaseInsensitive))
        return {};
    return target.mid(rootPrefix.size()).split(QLatin1Char('\\'), Qt::SkipEmptyParts);
}

HiveSection *Hive::SectionFor(HiveNode *node)
{
    if (node->Section)
        return node->Section;
    auto section = std::make_unique<HiveSection>();
    const QStringList components = node->PathComponents();
    section->Header = KeyLine(components);
    section->Meta.append(TimeLine(FileTimeNow()));
    section->Dirty = true;
    section->Node = node;
    node->Section = section.get();
    HiveSection *raw = section.get();
    InsertSection(std::move(section));
    return raw;
}

void Hive::InsertSection(std::unique_ptr<HiveSection> section)
{
    // Wine's files are in key order; a new key goes where Wine would have written it.
    auto it = FSections.begin();
    // Binary search works for a file in order; a file out of order still gets a place.
    auto lo = FSections.begin();
    auto hi = FSections.end();
    const QStringList key = UpperPath(section.get());
    while (lo < hi) {
        auto mid = lo + (hi - lo) / 2;
        if (CompareKeyOrder(UpperPath(mid->get()), key) < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    it = lo;
    FSections.insert(it, std::move(section));
}

void Hive::Touch(HiveSection *section)
{
    section->Dirty = true;
    const QByteArray line = TimeLine(FileTimeNow());
    for (QByteArray &meta : section->Meta) {
        if (meta.trimmed().startsWith("#time=")) {
            meta = line;
            return;
        }
    }
    section->Meta.prepend(line);
}

void Hive::RemoveSections(HiveNode *node)
{
    for (auto &child : node->Children)
        RemoveSections(child.second.get());
    if (node->Section) {
        HiveSection *section = node->Section;
        std::erase_if(FSections, [section](const std::unique_ptr<HiveSection> &s) { return s.get() == section; });
        node->Section = nullptr;
    }
}

void Hive::RemoveNode(HiveNode *node)
{
    HiveNode *parent = node->Parent;
    if (!parent)
        return;
    RemoveSections(node);
    parent->Children.erase(node->Name.toUpper());
    // A key left without subkeys is written only when it has a line of its own.
    if (parent->Parent && parent->Children.empty())
        Touch(SectionFor(parent));
    else if (parent->Section)
        Touch(parent->Section);
}

QByteArray Hive::Serialize() const
{
    QByteArray out;
    qsizetype estimate = FPreamble.size();
    for (const auto &section : FSections)
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
    for (const auto &section : FSections) {
        if (!section->Dirty) {
            out += section->Raw;
            if (!out.endsWith('\n'))
                out += '\n';
            continue;
        }
        if (!out.endsWith("\n\n"))
            out += '\n';
        out += section->Header;
        out += '\n';
        for (const QByteArray &meta : section->Meta) {
            out += meta;
            out += '\n';
        }
        for (const HiveValue &value : section->Values)
            out += value.Raw.isEmpty() ? RenderValue(value) : value.Raw;
        for (const QByteArray &extra : section->Extra) {
            out += extra;
            out += '\n';
        }
        out += '\n';
    }
    return out;
}

void Hive::MarkWritten()
{
    for (auto &section : FSections) {
        if (!section->Dirty)
            continue;
        QByteArray raw = section->Header + '\n';
        for (const QByteArray &meta : section->Meta)
            raw += meta + '\n';
        for (HiveValue &value : section->Values) {
            if (value.Raw.isEmpty())
                value.Raw = RenderValue(value);
            raw += value.Raw;
        }
        for (const QByteArray &extra : section->Extra)
            raw += extra + '\n';
        raw += '\n';
        section->Raw = raw;
        section->Dirty = false;
    }
    FExists = true;
}

} // namespace Os::Detail
