// Builds a wizard executable with a given payload and makes it the running program's own
// executable, so that the engine reads its embedded files from it.
#pragma once

#include "payload/PayloadWriter.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

class PayloadBuilder {
public:
    // A file of the payload; timeStamp 0 means "1 March 2021 10:00 UTC", a fixed moment
    // so that tests can check the installed file's last-write time.
    PayloadBuilder &Add(const QString &name, const QByteArray &data, Os::FileTime timeStamp = 0);
    // A manifest list: the lines joined by CR LF, in the 8-bit code page.
    PayloadBuilder &AddList(const QString &name, const QStringList &lines);

    // Writes the wizard to hostPath (a stub followed by the resource block); the stub is a
    // stand-in unless the path of a real one (the built wizard) is given.
    void Write(const QString &hostPath, const QString &stubHostPath = QString()) const;
    // Writes it and makes it the own executable of this process; returns hostPath.
    QString Install(const QString &hostPath) const;

    static Os::FileTime DefaultTimeStamp();
    // Makes an existing wizard the own executable of this process.
    static void UseAsOwnExecutable(const QString &hostPath);

private:
    QList<PayloadFile> FFiles;
};
