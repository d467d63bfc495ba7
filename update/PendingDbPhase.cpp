#include "update/PendingDbPhase.h"

#include "oslayer/Environment.h"
#include "oslayer/Exceptions.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

namespace {

constexpr char StateFolder[] = ".dremlix-update";

QString Folder() { return Os::Environment::PrefixRoot() + QLatin1Char('/') + QLatin1String(StateFolder); }

} // namespace

namespace PendingDbPhase {

QString FilePath() { return Folder() + QStringLiteral("/pending-db"); }

std::optional<TPendingDbPhase> Read()
{
    QFile file(FilePath());
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    TPendingDbPhase phase;
    for (const QByteArray &raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw);
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            continue;
        const QString key = line.left(equals);
        const QString value = line.mid(equals + 1);
        if (key == QLatin1String("code"))
            phase.ProductCode = static_cast<uint8_t>(value.toUInt());
        else if (key == QLatin1String("product"))
            phase.Product = value;
        else if (key == QLatin1String("payload"))
            phase.PayloadIdentity = value;
        else if (key == QLatin1String("company"))
            phase.Companies.append(value);
    }
    if (phase.ProductCode == 0 || phase.PayloadIdentity.isEmpty())
        return std::nullopt;
    return phase;
}

void Write(const TPendingDbPhase &phase)
{
    const QString folder = Folder();
    if (!QDir(folder).exists()) {
        if (!QDir().mkpath(folder))
            throw Os::Exception(QStringLiteral("Cannot create %1").arg(folder));
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QByteArray text = "code=" + QByteArray::number(phase.ProductCode) + '\n';
    text += "product=" + phase.Product.toUtf8() + '\n';
    text += "payload=" + phase.PayloadIdentity.toUtf8() + '\n';
    for (const QString &company : phase.Companies)
        text += "company=" + company.toUtf8() + '\n';
    QSaveFile file(FilePath());
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        throw Os::Exception(QStringLiteral("Cannot write %1: %2").arg(FilePath(), file.errorString()));
}

void Remove() { QFile::remove(FilePath()); }

} // namespace PendingDbPhase
