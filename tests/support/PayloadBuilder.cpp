#include "PayloadBuilder.h"

#include "oslayer/Environment.h"
#include "oslayer/ExeResources.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <stdexcept>

Os::FileTime PayloadBuilder::DefaultTimeStamp()
{
    return Os::FileTimeFromMSecsSinceEpoch(
        QDateTime(QDate(2021, 3, 1), QTime(10, 0), Qt::UTC).toMSecsSinceEpoch());
}

PayloadBuilder &PayloadBuilder::Add(const QString &name, const QByteArray &data, Os::FileTime timeStamp)
{
    FFiles.append(PayloadFile { name, data, timeStamp ? timeStamp : DefaultTimeStamp() });
    return *this;
}

PayloadBuilder &PayloadBuilder::AddList(const QString &name, const QStringList &lines)
{
    QByteArray bytes;
    for (const QString &line : lines)
        bytes += line.toLatin1() + "\r\n";
    return Add(name, bytes);
}

void PayloadBuilder::Write(const QString &hostPath, const QString &stubHostPath) const
{
    if (!stubHostPath.isEmpty()) {
        WriteWizard(stubHostPath, hostPath, FFiles);
        return;
    }
    const QString stub = hostPath + QLatin1String(".stub");
    QFile file(stub);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw std::runtime_error("cannot write the wizard stub");
    file.write("\x7f"
               "ELF stand-in for the wizard's own code\n");
    file.close();
    WriteWizard(stub, hostPath, FFiles);
    QFile::remove(stub);
}

QString PayloadBuilder::Install(const QString &hostPath) const
{
    Write(hostPath);
    UseAsOwnExecutable(hostPath);
    return hostPath;
}

void PayloadBuilder::UseAsOwnExecutable(const QString &hostPath)
{
    Os::Environment::SetOwnExecutableHostPath(hostPath);
    Os::ResourceBlock::ResetOwnForTests();
}
