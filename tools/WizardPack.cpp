// wizard-pack: build, list, extract and version of update wizards.
#include "oslayer/Environment.h"
#include "oslayer/Exceptions.h"
#include "oslayer/ExeResources.h"
#include "oslayer/Files.h"
#include "oslayer/Paths.h"
#include "oslayer/VersionResource.h"
#include "payload/EmbeddedFiles.h"
#include "payload/PayloadWriter.h"
#include "tools/StubBuild.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdio>
#include <sys/stat.h>

namespace {

constexpr int ExitOk = 0;
constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;

void Print(FILE *to, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), to);
    std::fputc('\n', to);
}

// The usage goes to standard output when asked for, to standard error after a mistake.
int Usage(bool asked = false)
{
    Print(asked ? stdout : stderr, QStringLiteral(
        "usage:\n"
        "  wizard-pack build --stub STUB --out EXE [--file-version A.B.C.D] FILE|NAME=PATH ...\n"
        "      embeds each FILE under its own name, or PATH under NAME (NAME may hold a\n"
        "      backslash sub-folder, as qrt\\SA-00.int); names equal without regard to case\n"
        "      are refused. The VERSION entry carries FileVersion A.B.C.D (default " DREMLIX_VERSION ").\n"
        "      The stub goes in without its debug information (stripped with objcopy).\n"
        "  wizard-pack build --self-contained [--launcher FILE] [--fbclient FILE] --stub STUB ...\n"
        "      the same, as one file that needs no Qt and no Firebird client on the\n"
        "      workstation: the launcher (default: dremlix-update-launcher beside this tool)\n"
        "      heads it and unpacks the wizard with its libraries into the user's cache\n"
        "  wizard-pack list EXE\n"
        "      one line per embedded file: name, data size, time stamp (UTC), tab-separated\n"
        "  wizard-pack extract EXE NAME OUTFILE\n"
        "      writes one embedded file as the wizard would (with its time stamp)\n"
        "  wizard-pack version FILE\n"
        "      two lines: the FileVersion string and the fixed version A.B.C.D (\"?\" when\n"
        "      absent); a bare file name is looked up like the DLL search of the prefix\n"
        "  wizard-pack --help\n"
        "      this text"));
    return asked ? ExitOk : ExitUsage;
}

Os::FileTime LastWriteTime(const QString &hostPath)
{
    struct stat st {};
    if (::stat(QFile::encodeName(hostPath).constData(), &st) != 0)
        return 0;
    // Whole 100-nanosecond ticks, as the file system of Windows keeps them.
    return Os::FileTime(int64_t(st.st_mtim.tv_sec) * 10000000 + st.st_mtim.tv_nsec / 100 + 116444736000000000LL);
}

QString FormatFileTime(Os::FileTime time)
{
    const QDateTime utc = QDateTime::fromMSecsSinceEpoch(Os::MSecsSinceEpochFromFileTime(time), Qt::UTC);
    return utc.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

int Build(const QStringList &args)
{
    QString stub, out, version = QStringLiteral(DREMLIX_VERSION), launcher, fbClient;
    bool selfContained = false;
    QStringList inputs;
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        if (a == u"--stub" || a == u"--out" || a == u"--file-version" || a == u"--launcher" || a == u"--fbclient") {
            if (i + 1 >= args.size())
                return Usage();
            (a == u"--stub"           ? stub
             : a == u"--out"          ? out
             : a == u"--file-version" ? version
             : a == u"--launcher"     ? launcher
                                      : fbClient) = args[++i];
        } else if (a == u"--self-contained") {
            selfContained = true;
        } else if (a.startsWith(u"--")) {
            return Usage();
        } else {
            inputs.append(a);
        }
    }
    if (stub.isEmpty() || out.isEmpty())
        return Usage();

    QList<PayloadFile> files;
    for (const QString &input : std::as_const(inputs)) {
        QString name, path = input;
        const qsizetype eq = input.indexOf(u'=');
        // A file whose own name holds "=" is still taken as a file.
        if (eq > 0 && !QFileInfo(input).isFile()) {
            name = input.left(eq);
            path = input.mid(eq + 1);
        }
        const QFileInfo info(path);
        if (!info.isFile())
            throw Os::Exception(QStringLiteral("%1 is not a file.").arg(path));
        if (name.isEmpty())
            name = info.fileName();
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            throw Os::Exception(QStringLiteral("Cannot read %1: %2").arg(path, f.errorString()));
        files.append(PayloadFile{name, f.readAll(), LastWriteTime(path)});
        if (f.error() != QFileDevice::NoError)
            throw Os::Exception(QStringLiteral("Cannot read %1: %2").arg(path, f.errorString()));
    }
    if (!QFileInfo(stub).isFile())
        throw Os::Exception(QStringLiteral("%1 is not a file.").arg(stub));
    // Checked before the slow part, so that a mistake costs nothing.
    BuildWizardVersionBlock(version);

    QTemporaryDir work;
    if (!work.isValid())
        throw Os::Exception(QStringLiteral("Cannot make a temporary folder: %1").arg(work.errorString()));
    const QString packable = PackableStub(stub, work.path());
    if (!selfContained) {
        WriteWizard(packable, out, files, version);
        return ExitOk;
    }
    if (launcher.isEmpty())
        launcher = QCoreApplication::applicationDirPath() + QStringLiteral("/dremlix-update-launcher");
    if (!QFileInfo(launcher).isFile())
        throw Os::Exception(QStringLiteral("The launcher %1 is not there (it is built with the wizard).").arg(launcher));
    const TBundle bundle = BuildBundle(TBundleOptions{packable, fbClient, work.path()});
    for (const QString &warning : bundle.Warnings)
        Print(stderr, QStringLiteral("wizard-pack: warning: ") + warning);
    WriteWizard(PackableStub(launcher, work.path()), out, files, version,
                {Os::ResourceEntry{Os::RT_BUNDLE, QStringLiteral("BUNDLE"), bundle.Entry}});
    Print(stdout, QStringLiteral("%1: self-contained, %2 files for the cache folder dremlix-update/%3")
                      .arg(out).arg(bundle.Files.size()).arg(bundle.Hash));
    return ExitOk;
}

const Os::ResourceBlock LoadBlock(const QString &exe)
{
    auto block = Os::ResourceBlock::Load(exe);
    if (!block)
        throw Os::Exception(QStringLiteral("%1 carries no embedded files.").arg(exe));
    return *block;
}

int List(const QString &exe)
{
    const Os::ResourceBlock block = LoadBlock(exe);
    for (const auto &e : block.Index()) {
        if (e.Type != Os::RT_RCDATA)
            continue;
        const QByteArray container = *block.Find(e.Type, e.Name);
        uint32_t size = 0;
        Os::FileTime time = 0;
        PeekEmbeddedHeader(container, size, time);
        Print(stdout, QStringLiteral("%1\t%2\t%3").arg(e.Name).arg(size).arg(FormatFileTime(time)));
    }
    return ExitOk;
}

int Extract(const QString &exe, const QString &name, const QString &outFile)
{
    LoadBlock(exe);
    Os::Environment::SetOwnExecutableHostPath(QFileInfo(exe).absoluteFilePath());
    QString written;
    ExtractEmbeddedFile(name, Os::WindowsPath(QFileInfo(outFile).absoluteFilePath()), written);
    if (written.isEmpty()) {
        Print(stderr, QStringLiteral("%1 has no embedded file named %2.").arg(exe, name));
        return ExitFailed;
    }
    return ExitOk;
}

int Version(const QString &file)
{
    QString path = file;
    if (file.contains(u'/') || QFileInfo(file).isFile())
        path = Os::WindowsPath(QFileInfo(file).absoluteFilePath());
    const auto info = Os::ReadFileVersionInfo(path);
    QString fileVersion = QStringLiteral("?"), fixedVersion = QStringLiteral("?");
    if (info) {
        const auto translations = info->Translations();
        if (!translations.isEmpty()) {
            const QString block = QStringLiteral("%1%2")
                                      .arg(translations.first().Language, 4, 16, QLatin1Char('0'))
                                      .arg(translations.first().CodePage, 4, 16, QLatin1Char('0'))
                                      .toUpper();
            if (const auto s = info->String(block, QStringLiteral("FileVersion")))
                fileVersion = *s;
        }
        if (const auto fixed = info->Fixed())
            fixedVersion = QStringLiteral("%1.%2.%3.%4")
                               .arg(fixed->FileVersionMS >> 16)
                               .arg(fixed->FileVersionMS & 0xFFFF)
                               .arg(fixed->FileVersionLS >> 16)
                               .arg(fixed->FileVersionLS & 0xFFFF);
    }
    Print(stdout, fileVersion);
    Print(stdout, fixedVersion);
    return info ? ExitOk : ExitFailed;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    args.removeFirst();
    if (args.isEmpty())
        return Usage();
    const QString command = args.takeFirst();
    if (command == u"--help" || command == u"-h" || command == u"help")
        return Usage(true);
    try {
        if (command == u"build")
            return Build(args);
        if (command == u"list" && args.size() == 1)
            return List(args[0]);
        if (command == u"extract" && args.size() == 3)
            return Extract(args[0], args[1], args[2]);
        if (command == u"version" && args.size() == 1)
            return Version(args[0]);
        return Usage();
    } catch (const Os::Exception &e) {
        Print(stderr, QStringLiteral("wizard-pack: ") + e.Message());
        return ExitFailed;
    }
}
