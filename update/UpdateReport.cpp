#include "update/UpdateReport.h"

#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>

TDocumentReport::TDocumentReport(QTextDocument *document)
    : FDocument(document)
{
    // A page that already shows text before the report is bound keeps it as its first lines.
    FHasLines = document && !document->isEmpty();
}

void TDocumentReport::AddLine(const QString &text, int pointSize, const QString &fontName)
{
    if (!FDocument)
        return;

    QTextCursor cursor(FDocument);
    cursor.movePosition(QTextCursor::End);
    // The insertion point carries the attributes of the text before it, as the caret of a
    // rich-text control does; a new size or font changes them from here on.
    QTextCharFormat format = cursor.charFormat();
    if (pointSize != 0)
        format.setFontPointSize(pointSize);
    if (!fontName.isEmpty())
        format.setFontFamilies(QStringList { fontName });
    cursor.setCharFormat(format);

    QString normalised = text;
    normalised.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    normalised.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    const QStringList parts = normalised.split(QLatin1Char('\n'));

    cursor.beginEditBlock();
    for (const QString &part : parts) {
        if (FHasLines)
            cursor.insertBlock(cursor.blockFormat(), format);
        else
            cursor.setBlockCharFormat(format);
        FHasLines = true;
        cursor.insertText(part, format);
        // What the caller asked for, apart from what the line shows by carrying over.
        cursor.block().setUserState(pointSize);
    }
    cursor.endEditBlock();

    if (FFocusHook)
        FFocusHook();
}

QStringList TDocumentReport::Lines() const
{
    QStringList lines;
    if (!FDocument || !FHasLines)
        return lines;
    for (QTextBlock block = FDocument->begin(); block.isValid(); block = block.next())
        lines.append(block.text());
    return lines;
}

QList<double> TDocumentReport::PointSizes() const
{
    QList<double> sizes;
    if (!FDocument || !FHasLines)
        return sizes;
    for (QTextBlock block = FDocument->begin(); block.isValid(); block = block.next()) {
        QTextCharFormat format = block.charFormat();
        const auto fragment = block.begin();
        if (!fragment.atEnd() && fragment.fragment().isValid())
            format = fragment.fragment().charFormat();
        sizes.append(format.hasProperty(QTextFormat::FontPointSize) ? format.fontPointSize() : 0.0);
    }
    return sizes;
}

QList<int> TDocumentReport::GivenPointSizes() const
{
    QList<int> sizes;
    if (!FDocument || !FHasLines)
        return sizes;
    for (QTextBlock block = FDocument->begin(); block.isValid(); block = block.next())
        sizes.append(std::max(block.userState(), 0));
    return sizes;
}

QString TDocumentReport::Text() const { return Lines().join(QLatin1String("\r\n")); }
