// The header lines of a print-list file that the storage reads: "COM:" with the
// compatibility key and "DES:<letter>:" with the descriptions. Everything else in
// the file belongs to the products' print engine and is stored unread.
#pragma once

#include <QString>
#include <QStringList>

struct TPrintListHeader {
    QString Compat;
    QString DescD;
    QString DescI;
    QString DescF;
};

namespace PrintListHeader {

// Index of the first line beginning with "COM:" (letter case counts), or -1.
int FindCompatLine(const QStringList &lines);
// Index of the first line beginning with "DES:", the letter and ":", or -1.
int FindDescriptionLine(const QStringList &lines, QChar letter);
// Drops an opened "/*" comment and the blanks and control characters at both ends.
QString StripComment(const QString &text);
// Descriptions missing from the file fall back to the common X description, and that
// one to defaultText (the print-list name).
TPrintListHeader Read(const QStringList &lines, const QString &defaultText);
// The text stored for a print list: every line ended by CR LF, also the last one.
QString LinesText(const QStringList &lines);

} // namespace PrintListHeader
