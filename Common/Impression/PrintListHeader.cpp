#include "Common/Impression/PrintListHeader.h"

namespace {

// Header values are cut where the products' own readers cut them.
constexpr int MaxHeaderValue = 255;

const QString CompatTag = QStringLiteral("COM:");
const QString DescriptionTag = QStringLiteral("DES:");

int FindLineStartingWith(const QStringList &lines, const QString &start)
{
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i).startsWith(start, Qt::CaseSensitive))
            return i;
    }
    return -1;
}

QString DescriptionOf(const QStringList &lines, QChar letter)
{
    const int index = PrintListHeader::FindDescriptionLine(lines, letter);
    if (index < 0)
        return {};
    return lines.at(index).mid(DescriptionTag.size() + 2, MaxHeaderValue);
}

} // namespace

namespace PrintListHeader {

int FindCompatLine(const QStringList &lines) { return FindLineStartingWith(lines, CompatTag); }

int FindDescriptionLine(const QStringList &lines, QChar letter)
{
    return FindLineStartingWith(lines, DescriptionTag + letter + QLatin1Char(':'));
}

QString StripComment(const QString &text)
{
    QString result = text;
    const qsizetype comment = result.indexOf(QStringLiteral("/*"));
    if (comment >= 0)
        result.truncate(comment);
    // Blanks and control characters, as the products trim them; other white space
    // (a no-break space in a description) is part of the text.
    qsizetype first = 0;
    qsizetype last = result.size();
    while (first < last && result.at(first).unicode() <= 0x20)
        ++first;
    while (last > first && result.at(last - 1).unicode() <= 0x20)
        --last;
    return result.mid(first, last - first);
}

TPrintListHeader Read(const QStringList &lines, const QString &defaultText)
{
    TPrintListHeader header;
    const int compatLine = FindCompatLine(lines);
    if (compatLine >= 0)
        header.Compat = lines.at(compatLine).mid(CompatTag.size(), MaxHeaderValue);

    header.DescF = DescriptionOf(lines, QLatin1Char('F'));
    header.DescI = DescriptionOf(lines, QLatin1Char('I'));
    header.DescD = DescriptionOf(lines, QLatin1Char('D'));
    QString descX = DescriptionOf(lines, QLatin1Char('X'));

    if (descX.isEmpty())
        descX = defaultText;
    for (QString *desc : { &header.DescF, &header.DescI, &header.DescD }) {
        if (desc->isEmpty())
            *desc = descX;
    }

    header.DescF = StripComment(header.DescF);
    header.DescI = StripComment(header.DescI);
    header.DescD = StripComment(header.DescD);
    header.Compat = StripComment(header.Compat);
    return header;
}

QString LinesText(const QStringList &lines)
{
    QString text;
    qsizetype size = 0;
    for (const QString &line : lines)
        size += line.size() + 2;
    text.reserve(size);
    for (const QString &line : lines) {
        text += line;
        text += QStringLiteral("\r\n");
    }
    return text;
}

} // namespace PrintListHeader
