#include "update/dmUpdateCommonUnit.h"

#include "update/UpdateTexts.h"

#include "payload/EmbeddedFiles.h"
#include "payload/ManifestText.h"
#include "payload/RtfReader.h"

#include <QBuffer>
#include <QTextDocument>

TdmUpdateCommon::TdmUpdateCommon(QObject *owner)
    : QObject(owner)
{
}

TdmUpdateCommon::~TdmUpdateCommon() = default;

int TdmUpdateCommon::LoadList(const QString &name, QStringList &list)
{
    list.clear();
    QBuffer stream;
    stream.open(QIODevice::ReadWrite);
    if (!ReadEmbeddedToStream(name, stream))
        return 0;
    list = DecodeManifestLines(stream.data());
    return int(list.size());
}

int TdmUpdateCommon::LoadRichText(const QString &name, QTextDocument &document)
{
    document.clear();
    QBuffer stream;
    stream.open(QIODevice::ReadWrite);
    if (!ReadEmbeddedToStream(name, stream))
        return 0;
    stream.seek(0);
    StreamRichText(document, stream);
    // An empty document still has its one empty block: it holds no line.
    if (document.isEmpty())
        return 0;
    return document.blockCount();
}

void TdmUpdateCommon::AddReportLine(const QString &text, int pointSize, const QString &fontName)
{
    if (FReport)
        FReport->AddLine(text, pointSize, fontName);
}
