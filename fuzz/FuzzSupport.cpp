#include "FuzzSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace Fuzz {

void Fail(const char *file, int line, const char *condition)
{
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
    std::fflush(stderr);
    std::abort();
}

QByteArray Bytes(const uint8_t *data, size_t size)
{
    return QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
}

QString ScratchPath(const char *name)
{
    // Millions of small files are written and read again: memory beats the disk.
    static const QString base
        = QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    static QTemporaryDir folder(base + QStringLiteral("/dremlix-fuzz-XXXXXX"));
    if (!folder.isValid())
        Fail(__FILE__, __LINE__, "a scratch folder can be made");
    return folder.filePath(QString::fromLatin1(name));
}

void WriteScratch(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        Fail(__FILE__, __LINE__, "the scratch file can be written");
}

void StartGuiApplication()
{
    if (QGuiApplication::instance())
        return;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = { name, nullptr };
    // Lives as long as the process: destroying it after main has returned would run Qt's
    // teardown in the wrong order.
    static auto *const application = new QGuiApplication(argc, argv);
    (void)application;
}

} // namespace Fuzz
