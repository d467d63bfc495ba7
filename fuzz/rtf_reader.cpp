// The change list: RTF from any word processor, loaded as the changes step loads it and
// then laid out and painted.
#include "FuzzSupport.h"
#include "payload/RtfReader.h"

#include <QAbstractTextDocumentLayout>
#include <QCoreApplication>
#include <QImage>
#include <QPainter>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextTable>

#include <cmath>

namespace {

// The most characters one input byte can become: a row of the widest table ("\cell\row",
// nine bytes) gives one cell per column of the table.
constexpr qsizetype MaxCharactersPerByte = 8;
constexpr int MaxColumns = 64;

void CheckFrames(QTextFrame *frame)
{
    for (QTextFrame *child : frame->childFrames()) {
        if (auto *table = qobject_cast<QTextTable *>(child)) {
            FUZZ_CHECK(table->columns() >= 1 && table->columns() <= MaxColumns);
            FUZZ_CHECK(table->rows() >= 1);
        }
        CheckFrames(child);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::StartGuiApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray rtf = Fuzz::Bytes(data, size);
    QTextDocument doc;
    const int rc = LoadRichTextBytes(doc, rtf);
    FUZZ_CHECK(rc == 0 || rc == 1);
    // The wizard decides on the missing-text message from the probe, before any load.
    FUZZ_CHECK(RichTextHasContent(rtf) == !doc.isEmpty());
    if (rc != 0) {
        FUZZ_CHECK(doc.isEmpty());
        return 0;
    }
    FUZZ_CHECK(doc.characterCount() <= MaxCharactersPerByte * qsizetype(size) + 2);
    CheckFrames(doc.rootFrame());
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        const QTextBlockFormat f = b.blockFormat();
        FUZZ_CHECK(std::isfinite(f.leftMargin()) && f.leftMargin() >= 0);
        FUZZ_CHECK(std::isfinite(f.textIndent()));
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const double points = it.fragment().charFormat().fontPointSize();
            FUZZ_CHECK(points > 0 && points <= 1638);
        }
    }

    // Loading replaces what the document held: the same bytes give the same text.
    QTextDocument reused;
    reused.setPlainText(QStringLiteral("old content\ttab"));
    FUZZ_CHECK(LoadRichTextBytes(reused, rtf) == 0);
    FUZZ_CHECK(reused.toRawText() == doc.toRawText());

    // What was read must lay out and paint.
    doc.setTextWidth(300);
    const QSizeF laidOut = doc.documentLayout()->documentSize();
    FUZZ_CHECK(std::isfinite(laidOut.width()) && std::isfinite(laidOut.height()));
    QImage image(160, 120, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    QPainter painter(&image);
    doc.drawContents(&painter, QRectF(0, 0, 160, 120));
    painter.end();
    // Qt trims its font caches on timers of the event loop, which the program runs between
    // loads; without it every size and family ever seen would stay.
    QCoreApplication::processEvents();
    return 0;
}
