// Single-byte and multi-byte Windows code pages to Unicode, for the manifest lists and
// the RTF reader.
#pragma once

#include <QByteArray>
#include <QString>

namespace CodePages {

// Windows-1252 as MultiByteToWideChar maps it: the five unassigned bytes become the C1
// controls of the same value.
QString FromWindows1252(const char *data, qsizetype size);
inline QString FromWindows1252(const QByteArray &bytes) { return FromWindows1252(bytes.constData(), bytes.size()); }

// Any Windows code page (1250 ... 1258, 874, 932, 936, 949, 950, 437, 850, 10000 ...) the
// Qt build can decode; an unknown one falls back to 1252, so that text is never lost.
QString Decode(int codePage, const QByteArray &bytes);

// The code page of an RTF \fcharset value; 0 for "the document's code page".
int CodePageOfCharset(int charset);

// The Symbol font's byte to its Unicode character (Greek letters, bullets, arrows);
// a null QChar for bytes the table lacks.
QChar FromSymbolFont(unsigned char byte);

// The Wingdings font's byte: the bullets word processors put before list items; any other
// byte of that font shows as a bullet rather than as an unrelated letter.
QChar FromWingdingsFont(unsigned char byte);

} // namespace CodePages
