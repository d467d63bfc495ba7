// Runs a fuzz target over the inputs in the files and folders named on the command line,
// without libFuzzer: the test suite replays every target's corpus and past findings with
// the normal compiler, so that the targets and their invariants keep working without clang.
#include <QByteArray>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

int main(int argc, char **argv)
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    QStringList inputs;
    for (int i = 1; i < argc; ++i) {
        const QString path = QString::fromLocal8Bit(argv[i]);
        const QFileInfo info(path);
        if (info.isFile()) {
            inputs.append(path);
        } else if (info.isDir()) {
            QDirIterator it(path, QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QString file = it.next();
                // The folders explain themselves in a README; that is no input.
                if (!QFileInfo(file).fileName().startsWith(QLatin1String("README")))
                    inputs.append(file);
            }
        } else {
            // A target without findings has no findings folder yet.
            std::printf("%s: none\n", argv[i]);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    for (const QString &path : std::as_const(inputs)) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
            return 1;
        }
        const QByteArray bytes = file.readAll();
        std::printf("%s\n", qPrintable(path));
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
    }
    std::printf("%lld inputs replayed\n", static_cast<long long>(inputs.size()));
    // An empty corpus would pass without testing anything.
    return inputs.isEmpty() ? 1 : 0;
}
