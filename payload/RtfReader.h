// Our RTF reader: fills a QTextDocument from the rich text that real word processors write
// (fonts, sizes, bold/italic/underline, colours, paragraphs, alignment, indents, lists,
// tables, \uN and \'hh in the document's code page). Pictures, \bin data and unknown
// destinations are skipped; unknown control words never show up as text.
#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QTextDocument>

// The rich-text control's stream-in: replaces the document's content with the RTF read
// from the stream's current position to its end. 0 on success; non-zero (nothing loaded,
// the document left empty) when the stream does not hold RTF. Malformed RTF (unbalanced
// braces, a truncated file) gives what was readable and 0.
int StreamRichText(QTextDocument &document, QIODevice &stream);

// The same for bytes in memory.
int LoadRichTextBytes(QTextDocument &document, const QByteArray &rtf);

// Whether loading the RTF would give a document any content (a text, a paragraph or a
// table): what LoadRichTextBytes would leave non-empty, read only as far as that first
// content, without building the document.
bool RichTextHasContent(const QByteArray &rtf);
