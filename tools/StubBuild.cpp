// The stub and the bundle of a wizard, for wizard-pack build.
#include "tools/StubBuild.h"

#include "oslayer/Exceptions.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>

#include <zlib.h>

#include <cstring>

namespace {

uint16_t Get16(const QByteArray &b, qsizetype at)
{
    return uint16_t(uchar(b[at]) | uchar(b[at + 1]) << 8);
}

uint32_t Get32(const QByteArray &b, qsizetype at)
{
    return uint32_t(Get16(b, at)) | uint32_t(Get16(b, at + 2)) << 16;
}

uint64_t Get64(const QByteArray &b, qsizetype at)
{
    return uint64_t(Get32(b, at)) | uint64_t(Get32(b, at + 4)) << 32;
}

void Put32(QByteArray &b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.append(char(v >> (8 * i) & 0xFF));
}

void Put64(QByteArray &b, uint64_t v)
{
    Put32(b, uint32_t(v));
    Put32(b, uint32_t(v >> 32));
}

// The section names of a 64-bit little-endian ELF file; empty for anything else.
QStringList SectionNames(const QString &hostPath)
{
    QFile f(hostPath);
    if (!f.open(QIODevice::ReadOnly))
        throw Os::Exception(QStringLiteral("Cannot read %1: %2").arg(hostPath, f.errorString()));
    const QByteArray head = f.read(64);
    if (head.size() < 64 || !head.startsWith("\x7F" "ELF") || head[4] != 2 || head[5] != 1)
        return {};
    const uint64_t shoff = Get64(head, 0x28);
    const uint16_t shentsize = Get16(head, 0x3A);
    const uint16_t shnum = Get16(head, 0x3C);
    const uint16_t shstrndx = Get16(head, 0x3E);
    if (shoff == 0 || shentsize < 64 || shstrndx >= shnum || !f.seek(qint64(shoff)))
        return {};
    const QByteArray table = f.read(qint64(shentsize) * shnum);
    if (table.size() != qsizetype(shentsize) * shnum)
        return {};
    const qsizetype strings = qsizetype(shentsize) * shstrndx;
    if (!f.seek(qint64(Get64(table, strings + 0x18))))
        return {};
    const QByteArray names = f.read(qint64(Get64(table, strings + 0x20)));
    QStringList out;
    for (int i = 0; i < shnum; ++i) {
        const uint32_t at = Get32(table, qsizetype(shentsize) * i);
        if (at < uint32_t(names.size()))
            out.append(QString::fromLatin1(names.constData() + at));
    }
    return out;
}

QString Tool(const char *envName, const char *name)
{
    const QString fromEnv = qEnvironmentVariable(envName);
    return fromEnv.isEmpty() ? QStandardPaths::findExecutable(QString::fromLatin1(name)) : fromEnv;
}

QString RunTool(const QString &program, const QStringList &args, bool mustSucceed = true)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::SeparateChannels);
    p.start(program, args);
    if (!p.waitForFinished(300000) || p.exitStatus() != QProcess::NormalExit
        || (mustSucceed && p.exitCode() != 0))
        throw Os::Exception(QStringLiteral("%1 %2 failed: %3")
                                .arg(program, args.join(u' '), QString::fromLocal8Bit(p.readAllStandardError()).trimmed()));
    return QString::fromLocal8Bit(p.readAllStandardOutput());
}

QByteArray ReadWhole(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw Os::Exception(QStringLiteral("Cannot read %1: %2").arg(path, f.errorString()));
    QByteArray data = f.readAll();
    if (f.error() != QFileDevice::NoError)
        throw Os::Exception(QStringLiteral("Cannot read %1: %2").arg(path, f.errorString()));
    return data;
}

// Libraries the workstation's own system provides, never carried: the C library (the
// loader stays the system's), the C++ runtime (the graphics drivers need the newest),
// the graphics stack and the X11 core (tied to the drivers and the server), fonts and
// printing (tied to the system's configuration), and the system services' libraries.
const QSet<QString> &SystemLibraries()
{
    static const QSet<QString> names = [] {
        QSet<QString> set;
        for (const char *n :
             {"ld-linux-x86-64.so.2", "libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
              "libresolv.so.2", "libutil.so.1", "libanl.so.1", "libnsl.so.1", "libmvec.so.1", "libBrokenLocale.so.1",
              "libthread_db.so.1", "libcrypt.so.1", "libstdc++.so.6", "libgcc_s.so.1", "libGL.so.1", "libEGL.so.1",
              "libGLX.so.0", "libOpenGL.so.0", "libGLdispatch.so.0", "libGLESv2.so.2", "libdrm.so.2", "libgbm.so.1",
              "libvulkan.so.1", "libX11.so.6", "libX11-xcb.so.1", "libxcb.so.1", "libXau.so.6", "libXdmcp.so.6",
              "libfontconfig.so.1", "libfreetype.so.6", "libcups.so.2", "libglib-2.0.so.0", "libgobject-2.0.so.0",
              "libgio-2.0.so.0", "libgthread-2.0.so.0", "libgmodule-2.0.so.0", "libdbus-1.so.3", "libsystemd.so.0",
              "libudev.so.1", "libz.so.1"})
            set.insert(QString::fromLatin1(n));
        return set;
    }();
    return names;
}

const QStringList &LibraryFolders()
{
    static const QStringList folders{QStringLiteral("/usr/lib/x86_64-linux-gnu"), QStringLiteral("/lib/x86_64-linux-gnu"),
                                     QStringLiteral("/usr/lib64"), QStringLiteral("/lib64"), QStringLiteral("/usr/lib"),
                                     QStringLiteral("/lib")};
    return folders;
}

struct TCollected {
    QString Source;  // where it was read on this machine
    uint32_t Mode = 0644;
};

class TCollector {
public:
    // Where the system's loader finds each library an object needs, directly or not.
    void LearnPlaces(const QString &object)
    {
        static const QRegularExpression line(QStringLiteral("^\\s*(\\S+)\\s+=>\\s+(/\\S+)"));
        const QString out = RunTool(FLdd, {object}, false);
        for (const QString &l : out.split(u'\n')) {
            const auto m = line.match(l);
            if (m.hasMatch() && !FPlaces.contains(m.captured(1)))
                FPlaces.insert(m.captured(1), m.captured(2));
        }
    }

    QStringList Needed(const QString &object) const
    {
        static const QRegularExpression needed(QStringLiteral("\\(NEEDED\\).*\\[([^\\]]+)\\]"));
        QStringList names;
        for (const QString &l : RunTool(FReadelf, {QStringLiteral("-d"), QStringLiteral("-W"), object}).split(u'\n')) {
            const auto m = needed.match(l);
            if (m.hasMatch())
                names.append(m.captured(1));
        }
        return names;
    }

    QString Place(const QString &soname) const
    {
        if (FPlaces.contains(soname))
            return FPlaces.value(soname);
        for (const QString &folder : LibraryFolders())
            if (QFileInfo(folder + u'/' + soname).isFile())
                return folder + u'/' + soname;
        return QString();
    }

    // The object under its name in the bundle, and everything it needs under lib/.
    void Add(const QString &bundlePath, const QString &source, uint32_t mode)
    {
        if (FFiles.contains(bundlePath))
            return;
        FFiles.insert(bundlePath, TCollected{source, mode});
        LearnPlaces(source);
        for (const QString &name : Needed(source)) {
            if (SystemLibraries().contains(name) || FFiles.contains(QStringLiteral("lib/") + name))
                continue;
            const QString place = Place(name);
            if (place.isEmpty())
                throw Os::Exception(QStringLiteral("%1, needed by %2, is not on this machine.").arg(name, source));
            Add(QStringLiteral("lib/") + name, place, 0644);
        }
    }

    void AddData(const QString &bundlePath, const QString &source) { FFiles.insert(bundlePath, TCollected{source, 0644}); }
    void AddText(const QString &bundlePath, const QByteArray &text) { FTexts.insert(bundlePath, text); }
    const QMap<QString, TCollected> &Files() const { return FFiles; }
    const QMap<QString, QByteArray> &Texts() const { return FTexts; }

    QString FLdd = Tool("LDD", "ldd");
    QString FReadelf = Tool("READELF", "readelf");

private:
    QMap<QString, QString> FPlaces;
    QMap<QString, TCollected> FFiles;
    QMap<QString, QByteArray> FTexts;
};

QString FindFbClient(const QString &given)
{
    if (!given.isEmpty()) {
        if (!QFileInfo(given).isFile())
            throw Os::Exception(QStringLiteral("%1 is not a file.").arg(given));
        return given;
    }
    for (const QString &folder : LibraryFolders())
        if (QFileInfo(folder + QStringLiteral("/libfbclient.so.2")).isFile())
            return folder + QStringLiteral("/libfbclient.so.2");
    throw Os::Exception(QStringLiteral("The Firebird client libfbclient.so.2 is not on this machine: install it, or "
                                       "name it with --fbclient FILE."));
}

// The messages of the client: beside its real file, or in the folder of its package.
QString FindFirebirdMessages(const QString &client)
{
    const QFileInfo real(QFileInfo(client).canonicalFilePath());
    QStringList candidates{real.absolutePath() + QStringLiteral("/firebird.msg"),
                           real.absolutePath() + QStringLiteral("/../firebird.msg")};
    for (const QString &folder : LibraryFolders()) {
        const QDir firebird(folder + QStringLiteral("/firebird"));
        for (const QString &version : firebird.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::Reversed))
            candidates.append(firebird.filePath(version) + QStringLiteral("/firebird.msg"));
    }
    candidates.append(QStringLiteral("/opt/firebird/firebird.msg"));
    for (const QString &c : std::as_const(candidates))
        if (QFileInfo(c).isFile())
            return QFileInfo(c).canonicalFilePath();
    return QString();
}

// The Debian package of each file, for its licence text: dpkg knows the paths as the
// package lists them, which may be the path before or after the links of merged /usr.
QMap<QString, QString> PackagesOf(const QStringList &sources)
{
    QMap<QString, QString> packageOf;
    const QString dpkg = QStandardPaths::findExecutable(QStringLiteral("dpkg"));
    if (dpkg.isEmpty())
        return packageOf;
    QMap<QString, QString> sourceOf;
    for (const QString &s : sources) {
        QStringList forms{s, QFileInfo(s).canonicalFilePath()};
        for (const QString &f : QStringList(forms)) {
            if (f.startsWith(QStringLiteral("/usr/lib/")))
                forms.append(f.mid(4));
            else if (f.startsWith(QStringLiteral("/lib/")))
                forms.append(QStringLiteral("/usr") + f);
        }
        for (const QString &f : std::as_const(forms))
            sourceOf.insert(f, s);
    }
    const QString out = RunTool(dpkg, QStringList{QStringLiteral("-S")} + sourceOf.keys(), false);
    for (const QString &line : out.split(u'\n')) {
        const qsizetype sep = line.indexOf(QStringLiteral(": /"));
        if (sep <= 0 || line.startsWith(QStringLiteral("diversion")))
            continue;
        QString package = line.left(sep).section(u',', 0, 0).trimmed();
        package = package.section(u':', 0, 0);
        const QString path = line.mid(sep + 2).trimmed();
        if (sourceOf.contains(path) && !packageOf.contains(sourceOf.value(path)))
            packageOf.insert(sourceOf.value(path), package);
    }
    return packageOf;
}

QByteArray Compress(const QByteArray &data)
{
    uLongf size = compressBound(uLong(data.size()));
    QByteArray out(qsizetype(size), Qt::Uninitialized);
    if (compress2(reinterpret_cast<Bytef *>(out.data()), &size, reinterpret_cast<const Bytef *>(data.constData()),
                  uLong(data.size()), Z_DEFAULT_COMPRESSION)
        != Z_OK)
        throw Os::Exception(QStringLiteral("The compressor failed."));
    out.resize(qsizetype(size));
    return out;
}

} // namespace

bool CarriesDebugInformation(const QString &hostPath)
{
    for (const QString &name : SectionNames(hostPath))
        if (name.startsWith(QStringLiteral(".debug")) || name.startsWith(QStringLiteral(".zdebug"))
            || name == QStringLiteral(".symtab"))
            return true;
    return false;
}

QString PackableStub(const QString &stubHostPath, const QString &workDir)
{
    if (!CarriesDebugInformation(stubHostPath))
        return stubHostPath;
    const QString objcopy = Tool("OBJCOPY", "objcopy");
    if (objcopy.isEmpty())
        throw Os::Exception(QStringLiteral("%1 carries debug information, and objcopy (binutils) is not there to strip "
                                           "it: install binutils, or give a stripped stub.")
                                .arg(stubHostPath));
    QString stripped = QDir(workDir).filePath(QFileInfo(stubHostPath).fileName() + QStringLiteral(".stripped"));
    QStringList args{QStringLiteral("--strip-all")};
    const QString debugFile = stubHostPath + QStringLiteral(".debug");
    if (QFileInfo(debugFile).isFile() && !SectionNames(stubHostPath).contains(QStringLiteral(".gnu_debuglink")))
        args.append(QStringLiteral("--add-gnu-debuglink=") + debugFile);
    args << stubHostPath << stripped;
    RunTool(objcopy, args);
    return stripped;
}

TBundle BuildBundle(const TBundleOptions &options)
{
    TCollector collector;
    if (collector.FLdd.isEmpty() || collector.FReadelf.isEmpty())
        throw Os::Exception(QStringLiteral("A self-contained wizard needs ldd and readelf (binutils) on this machine."));
    TBundle bundle;
    collector.Add(QStringLiteral("dremlix-update"), options.Stub, 0755);

    // The window on X11, the unattended run offscreen, printing through CUPS where the
    // workstation has it, and dead keys.
    const QString plugins = QLibraryInfo::path(QLibraryInfo::PluginsPath);
    for (const char *plugin : {"platforms/libqxcb.so", "platforms/libqoffscreen.so", "printsupport/libcupsprintersupport.so",
                               "platforminputcontexts/libcomposeplatforminputcontextplugin.so"}) {
        const QString source = plugins + u'/' + QString::fromLatin1(plugin);
        if (QFileInfo(source).isFile())
            collector.Add(QStringLiteral("plugins/") + QString::fromLatin1(plugin), source, 0644);
        else if (std::strncmp(plugin, "platforms/", 10) == 0)
            throw Os::Exception(QStringLiteral("The Qt platform plugin %1 is not on this machine.").arg(source));
    }

    // The client is loaded by name when a database is first opened.
    const QString client = FindFbClient(options.FbClient);
    collector.Add(QStringLiteral("lib/libfbclient.so.2"), client, 0644);
    const QString messages = FindFirebirdMessages(client);
    if (messages.isEmpty())
        bundle.Warnings.append(QStringLiteral("firebird.msg was not found: the Firebird client will report errors by number only."));
    else
        collector.AddData(QStringLiteral("firebird/firebird.msg"), messages);

    // The licence of every library carried, from its package, and what they are.
    QStringList sources;
    for (auto it = collector.Files().cbegin(); it != collector.Files().cend(); ++it)
        if (it.key() != u"dremlix-update")
            sources.append(it.value().Source);
    const QMap<QString, QString> packages = PackagesOf(sources);
    QString note = QStringLiteral(
        "Libraries carried by this Dremlix update wizard\n"
        "================================================\n\n"
        "The wizard is a self-contained executable: it carries the libraries below as separate,\n"
        "unmodified shared objects, as the distribution built them, and unpacks them into the\n"
        "user's cache ($XDG_CACHE_HOME, else ~/.cache, folder dremlix-update/<hash>/). The Qt\n"
        "libraries are used under the GNU Lesser General Public License version 3; the other\n"
        "libraries under the licences whose texts are in the folder licences/. Each library is\n"
        "loaded by its name from the folder lib/: to use another build of a library, put it in\n"
        "its place under the same name (or start the wizard in that folder with your own\n"
        "library path). The sources are those of the packages named below, as published by\n"
        "the distribution.\n\n");
    QSet<QString> licences;
    const QMap<QString, TCollected> carried = collector.Files();
    for (auto it = carried.cbegin(); it != carried.cend(); ++it) {
        if (it.key() == u"dremlix-update")
            continue;
        const QString package = packages.value(it.value().Source);
        note += QStringLiteral("%1\tfrom package %2\n").arg(it.key(), package.isEmpty() ? QStringLiteral("?") : package);
        if (package.isEmpty()) {
            bundle.Warnings.append(QStringLiteral("No package is known for %1: add its licence text by hand.").arg(it.value().Source));
            continue;
        }
        const QString copyright = QStringLiteral("/usr/share/doc/%1/copyright").arg(package);
        if (licences.contains(package))
            continue;
        licences.insert(package);
        if (QFileInfo(copyright).isFile())
            collector.AddData(QStringLiteral("licences/%1.copyright").arg(package), copyright);
        else
            bundle.Warnings.append(QStringLiteral("%1 is missing: add the licence text of %2 by hand.").arg(copyright, package));
    }
    collector.AddText(QStringLiteral("LICENCES.txt"), note.toUtf8());

    // The files in the order of their paths: the same libraries give the same hash.
    struct TItem {
        QString Path;
        QByteArray Data;
        uint32_t Mode;
    };
    QList<TItem> items;
    for (auto it = collector.Files().cbegin(); it != collector.Files().cend(); ++it)
        items.append(TItem{it.key(), ReadWhole(it.value().Source), it.value().Mode});
    for (auto it = collector.Texts().cbegin(); it != collector.Texts().cend(); ++it)
        items.append(TItem{it.key(), it.value(), 0644});
    std::sort(items.begin(), items.end(), [](const TItem &a, const TItem &b) { return a.Path < b.Path; });

    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray body;
    for (const TItem &item : std::as_const(items)) {
        const QByteArray path = item.Path.toUtf8();
        QByteArray head;
        Put32(head, uint32_t(path.size()));
        Put32(head, item.Mode);
        Put64(head, uint64_t(item.Data.size()));
        hash.addData(head);
        hash.addData(path);
        hash.addData(item.Data);
        const QByteArray stream = Compress(item.Data);
        Put64(head, uint64_t(stream.size()));
        body += head + path + stream;
        bundle.Files.append(item.Path);
    }
    const QByteArray digest = hash.result();
    bundle.Entry = QByteArrayLiteral("DRMXBND1") + digest;
    Put32(bundle.Entry, uint32_t(items.size()));
    Put32(bundle.Entry, 0);
    bundle.Entry += body;
    bundle.Hash = QString::fromLatin1(digest.left(16).toHex());
    return bundle;
}
