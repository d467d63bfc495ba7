// The writing side of the payload, for the packing tool and for tests that build a
// wizard: the zlib container of one embedded file and a whole wizard executable.
#pragma once

#include "oslayer/ExeResources.h"
#include "oslayer/Files.h"

#include <QByteArray>
#include <QList>
#include <QString>

struct PayloadFile {
    QString Name;            // resource name, may hold a backslash sub-folder ("qrt\\SA-00.int")
    QByteArray Data;
    Os::FileTime TimeStamp = 0;
};

// One container: zlib stream at the maximum level (header 78 DA) of the 16-byte header
// and the data. Data larger than 4 GiB - 1 is refused (the size field has 32 bits).
QByteArray BuildEmbeddedContainer(const QByteArray &data, Os::FileTime timeStamp);

// The VS_VERSIONINFO block of a wizard: FileVersion "A.B.C.D" in the string table and the
// fixed version, translation 0410/04E4, CompanyName "DREMLIX S.A.",
// ProductName "Dremlix update wizard". Raises Os::Exception for a malformed version.
QByteArray BuildWizardVersionBlock(const QString &fileVersion);

// stub + one RCDATA entry per file + the VERSION entry (name "1") + the extra entries
// (the bundle of a self-contained wizard), written atomically with the stub's permissions
// (executable bits kept). Names equal without regard to case are refused with
// Os::Exception before anything is written.
void WriteWizard(const QString &stubHostPath, const QString &outHostPath,
                 const QList<PayloadFile> &files, const QString &fileVersion = QStringLiteral(DREMLIX_VERSION),
                 const QList<Os::ResourceEntry> &extra = {});
