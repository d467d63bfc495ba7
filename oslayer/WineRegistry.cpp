// reg export and reg import under Wine, and the two file formats between them and the hive
// reader.
#include "oslayer/WineRegistry.h"

#include "oslayer/Environment.h"
#include "oslayer/OsTexts.h"
#include "oslayer/Paths.h"
#include "oslayer/RegistryHive.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <atomic>
#include <sys/stat.h>

namespace Os {

namespace {

std::atomic<int> CallCounter { 0 };

// A call that takes longer than this has a server that does not answer.
constexpr int CallTimeoutMs = 120000;
// cmd prints it after the last command: without it, Wine ran nothing.
const QByteArray DoneMarker = "DREMLIX-WINE-DONE";

QString RootName(RegRoot root)
{
    return root == RegRoot::LocalMachine ? QStringLiteral("HKEY_LOCAL_MACHINE") : QStringLiteral("HKEY_CURRENT_USER");
}

QString FullName(const Detail::WineKey &key)
{
    return key.Path.isEmpty() ? RootName(key.Root) : RootName(key.Root) + QLatin1Char('\\') + key.Path.join(QLatin1Char('\\'));
}

// Where Wine keeps wine.inf, whose time tells whether a prefix is up to date.
QString WineInfPath(const QString &wineProgram)
{
    const QString binary = QFileInfo(wineProgram).canonicalFilePath();
    QStringList candidates;
    if (!binary.isEmpty()) {
        const QDir bin = QFileInfo(binary).dir();
        candidates << bin.absoluteFilePath(QStringLiteral("../share/wine/wine.inf"))
                   << bin.absoluteFilePath(QStringLiteral("../../share/wine/wine.inf"))
                   << bin.absoluteFilePath(QStringLiteral("../../../share/wine/wine.inf"));
    }
    candidates << QStringLiteral("/usr/share/wine/wine.inf") << QStringLiteral("/usr/local/share/wine/wine.inf");
    for (const QString &candidate : candidates)
        if (QFileInfo::exists(candidate))
            return QDir::cleanPath(candidate);
    return QString();
}

struct CallResult {
    QByteArray Output;
};

// Runs cmd under Wine with the given command line pieces, the marker echoed last. No window
// (no display), no debug output, no Mono or Gecko installer, no menu entries.
CallResult RunCmd(const QStringList &commands, const QString &workFolder)
{
    const QString wine = Wine::Program();
    if (wine.isEmpty())
        throw ERegistryError(Texts::RegistryWineFailed().arg(Environment::PrefixRoot(), QStringLiteral("wine not found")));
    if (Wine::PrefixNeedsUpdate())
        throw ERegistryError(Texts::WinePrefixNeedsUpdate().arg(Environment::PrefixRoot()));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WINEPREFIX"), Environment::PrefixRoot());
    env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    env.insert(QStringLiteral("WINEDLLOVERRIDES"), QStringLiteral("mscoree,mshtml=;winemenubuilder.exe=d"));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    QStringList arguments { QStringLiteral("cmd"), QStringLiteral("/c") };
    for (const QString &command : commands) {
        arguments += command.split(QLatin1Char('\x1f'));
        arguments += QStringLiteral("&");
    }
    arguments << QStringLiteral("echo") << QString::fromLatin1(DoneMarker);
    QProcess process;
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(workFolder);
    process.setStandardInputFile(QProcess::nullDevice());
    ++CallCounter;
    process.start(wine, arguments);
    if (!process.waitForStarted(CallTimeoutMs))
        throw ERegistryError(Texts::RegistryWineFailed().arg(Environment::PrefixRoot(), process.errorString()));
    if (!process.waitForFinished(CallTimeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        throw ERegistryError(Texts::RegistryWineFailed().arg(Environment::PrefixRoot(), QStringLiteral("no answer")));
    }
    CallResult result;
    result.Output = process.readAllStandardOutput() + process.readAllStandardError();
    if (!result.Output.contains(DoneMarker)) {
        const QString said = QString::fromLocal8Bit(result.Output).trimmed();
        throw ERegistryError(Texts::RegistryWineFailed().arg(Environment::PrefixRoot(),
            said.isEmpty() ? QStringLiteral("exit code %1").arg(process.exitCode()) : said));
    }
    return result;
}

// Pieces of one command, kept apart until the argument list is made.
QString Command(const QStringList &pieces)
{
    return pieces.join(QLatin1Char('\x1f'));
}

std::shared_ptr<Detail::Hive> ReadExport(const QString &hostFile, const Detail::WineKey &key)
{
    QFile file(hostFile);
    if (!file.open(QIODevice::ReadOnly))
        return nullptr; // reg export writes nothing for a key that does not exist
    const bool machine = key.Root == RegRoot::LocalMachine;
    const QByteArray text = Detail::HiveTextFromRegFile(file.readAll(), machine, machine && Environment::IsWin64Prefix());
    return Detail::Hive::Parse(text, QStringLiteral("Wine: ") + FullName(key), machine);
}

// ---- the two formats ----

using Detail::HexDigit;

// A quoted text from at (on the opening quote); gives the offset after the closing quote,
// or -1 when there is none.
qsizetype Unquote(const QString &line, qsizetype at, QString &out)
{
    out.clear();
    for (qsizetype i = at + 1; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (c == QLatin1Char('"'))
            return i + 1;
        if (c == QLatin1Char('\\') && i + 1 < line.size()) {
            const QChar e = line.at(++i);
            if (e == QLatin1Char('n'))
                out += QLatin1Char('\n');
            else if (e == QLatin1Char('r'))
                out += QLatin1Char('\r');
            else if (e == QLatin1Char('t'))
                out += QLatin1Char('\t');
            else if (e == QLatin1Char('0'))
                out += QChar(0);
            else
                out += e;
            continue;
        }
        out += c;
    }
    return -1;
}

void AppendUtf16(QByteArray &data, const QString &text)
{
    for (const QChar ch : text) {
        data.append(char(ch.unicode() & 0xFF));
        data.append(char(ch.unicode() >> 8));
    }
}

// "hex:", "hex(N):" and "dword:" data of a value line; false when it does not parse.
bool DecodeData(const QString &text, Detail::HiveValue &value)
{
    if (text.startsWith(QLatin1Char('"'))) {
        QString s;
        if (Unquote(text, 0, s) < 0)
            return false;
        value.Type = REG_SZ;
        value.Data.clear();
        AppendUtf16(value.Data, s);
        value.Data.append(2, '\0');
        return true;
    }
    if (text.startsWith(QLatin1String("dword:"), Qt::CaseInsensitive)) {
        bool ok = false;
        const uint32_t dw = text.mid(6).trimmed().toUInt(&ok, 16);
        if (!ok)
            return false;
        value.Type = REG_DWORD;
        value.Data = RegValue::FromDword(dw).Data;
        return true;
    }
    qsizetype colon = text.indexOf(QLatin1Char(':'));
    if (!text.startsWith(QLatin1String("hex"), Qt::CaseInsensitive) || colon < 0)
        return false;
    value.Type = REG_BINARY;
    if (text.at(3) == QLatin1Char('(')) {
        bool ok = false;
        value.Type = text.mid(4, text.indexOf(QLatin1Char(')')) - 4).toUInt(&ok, 16);
        if (!ok)
            return false;
    }
    value.Data.clear();
    for (const QString &byte : text.mid(colon + 1).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString b = byte.trimmed();
        if (b.isEmpty())
            continue;
        if (b.size() != 2 || HexDigit(b.at(0).toLatin1()) < 0 || HexDigit(b.at(1).toLatin1()) < 0)
            return false;
        value.Data.append(char(HexDigit(b.at(0).toLatin1()) * 16 + HexDigit(b.at(1).toLatin1())));
    }
    return true;
}

QString HexList(const QByteArray &data)
{
    QStringList bytes;
    bytes.reserve(data.size());
    for (const char b : data)
        bytes.append(QStringLiteral("%1").arg(uint(uchar(b)), 2, 16, QLatin1Char('0')));
    return bytes.join(QLatin1Char(','));
}

QString QuoteName(const QString &name)
{
    QString out = name;
    out.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    out.replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QLatin1Char('"') + out + QLatin1Char('"');
}

} // namespace

QString Wine::Program()
{
    const QString chosen = qEnvironmentVariable("WINE");
    if (!chosen.isEmpty()) {
        const QFileInfo info(chosen.contains(QLatin1Char('/')) ? chosen : QStandardPaths::findExecutable(chosen));
        return info.isFile() && info.isExecutable() ? info.absoluteFilePath() : QString();
    }
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("wine"));
    if (!onPath.isEmpty())
        return onPath;
    return QStandardPaths::findExecutable(QStringLiteral("wine64"), { QStringLiteral("/usr/lib/wine") });
}

bool Wine::PrefixNeedsUpdate()
{
    const QString wine = Program();
    const QString inf = wine.isEmpty() ? QString() : WineInfPath(wine);
    struct stat st {};
    if (inf.isEmpty() || ::stat(QFile::encodeName(inf).constData(), &st) != 0)
        return false; // Wine cannot update a prefix without its wine.inf either
    QFile stamp(Environment::PrefixRoot() + QStringLiteral("/.update-timestamp"));
    if (!stamp.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stamp.read(64).trimmed();
    if (text == "disable")
        return false;
    bool ok = false;
    const qlonglong time = text.toLongLong(&ok);
    return !ok || time != qlonglong(st.st_mtime);
}

int Wine::Calls()
{
    return CallCounter.load();
}

namespace Detail {

QList<WineExported> WineExport(const QList<WineKey> &keys)
{
    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/dremlix-wine-XXXXXX"));
    if (!work.isValid())
        throw ERegistryError(Texts::RegistryWineFailed().arg(Environment::PrefixRoot(), work.errorString()));
    QStringList commands;
    for (qsizetype i = 0; i < keys.size(); ++i) {
        const QString file = work.filePath(QStringLiteral("%1.reg").arg(i));
        commands.append(Command({ QStringLiteral("reg"), QStringLiteral("export"), FullName(keys.at(i)),
            WindowsPath(file), QStringLiteral("/y"), QStringLiteral("/reg:64") }));
    }
    RunCmd(commands, work.path());
    QList<WineExported> result;
    for (qsizetype i = 0; i < keys.size(); ++i)
        result.append({ keys.at(i), ReadExport(work.filePath(QStringLiteral("%1.reg").arg(i)), keys.at(i)) });
    return result;
}

QString WineApply(const WineChange &change)
{
    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/dremlix-wine-XXXXXX"));
    if (!work.isValid())
        throw ERegistryError(Texts::RegistryWineFailed().arg(Environment::PrefixRoot(), work.errorString()));
    const QString import = work.filePath(QStringLiteral("change.reg"));
    const QString check = work.filePath(QStringLiteral("check.reg"));
    {
        QFile file(import);
        if (!file.open(QIODevice::WriteOnly) || file.write(RegFileOfChange(change)) < 0 || !file.flush())
            throw ERegistryError(Texts::RegistryWineFailed().arg(Environment::PrefixRoot(), file.errorString()));
    }
    const CallResult result = RunCmd({ Command({ QStringLiteral("reg"), QStringLiteral("import"), WindowsPath(import),
                                          QStringLiteral("/reg:64") }),
                                         Command({ QStringLiteral("reg"), QStringLiteral("export"), FullName(change.Key),
                                             WindowsPath(check), QStringLiteral("/y"), QStringLiteral("/reg:64") }) },
        work.path());
    const std::shared_ptr<Hive> after = ReadExport(check, change.Key);
    if (ChangeHolds(change, after.get()))
        return QString();
    QString said = QString::fromLocal8Bit(result.Output);
    said.remove(QString::fromLatin1(DoneMarker));
    said = said.simplified();
    return said.isEmpty() ? QStringLiteral("the change did not hold") : said;
}

bool ChangeHolds(const WineChange &change, Hive *hive)
{
    HiveNode *node = hive ? hive->Find(change.Key.Path) : nullptr;
    switch (change.What) {
    case WineChange::DeleteTree:
        return node == nullptr;
    case WineChange::CreateKey:
        return node != nullptr;
    case WineChange::DeleteValue: {
        if (!node)
            return false;
        HiveKey *key = hive->Values(node);
        return !key || !key->FindValue(change.Name);
    }
    case WineChange::SetValue: {
        if (!node)
            return false;
        HiveKey *key = hive->Values(node);
        const HiveValue *value = key ? key->FindValue(change.Name) : nullptr;
        return value && value->Type == change.Value.Type && value->Data == change.Value.Data;
    }
    }
    return false;
}

QByteArray HiveTextFromRegFile(const QByteArray &regFile, bool machineHive, bool win64)
{
    QString text;
    if (regFile.startsWith("\xff\xfe"))
        text = QString::fromUtf16(reinterpret_cast<const char16_t *>(regFile.constData() + 2), (regFile.size() - 2) / 2);
    else
        text = QString::fromUtf8(regFile);
    QByteArray out = "WINE REGISTRY Version 2\n;; All keys relative to ";
    out += machineHive ? "REGISTRY\\\\Machine" : "REGISTRY\\\\User";
    out += "\n\n#arch=";
    out += win64 ? "win64" : "win32";
    out += "\n";
    const QString rootName = machineHive ? QStringLiteral("HKEY_LOCAL_MACHINE") : QStringLiteral("HKEY_CURRENT_USER");
    const QStringList lines = text.split(QLatin1Char('\n'));
    bool inKey = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QString line = lines.at(i);
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        // A value's data may go on over lines that end in "\".
        while (line.endsWith(QLatin1Char('\\')) && !line.startsWith(QLatin1Char('[')) && i + 1 < lines.size()) {
            line.chop(1);
            QString next = lines.at(++i);
            if (next.endsWith(QLatin1Char('\r')))
                next.chop(1);
            line += next.trimmed();
        }
        if (line.startsWith(QLatin1Char('['))) {
            const qsizetype close = line.lastIndexOf(QLatin1Char(']'));
            QString name = line.mid(1, close - 1);
            inKey = name.startsWith(rootName, Qt::CaseInsensitive)
                && (name.size() == rootName.size() || name.at(rootName.size()) == QLatin1Char('\\'));
            if (!inKey)
                continue;
            name = name.mid(rootName.size() + 1);
            if (name.isEmpty()) {
                inKey = false; // the root's own values: none that the wizard reads
                continue;
            }
            const QStringList components = name.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
            out += "\n[";
            for (qsizetype c = 0; c < components.size(); ++c) {
                if (c)
                    out += "\\\\";
                out += EscapeWineString(components.at(c), '[', ']', false);
            }
            out += "] 0\n";
            continue;
        }
        if (!inKey || (!line.startsWith(QLatin1Char('"')) && !line.startsWith(QLatin1Char('@'))))
            continue;
        HiveValue value;
        qsizetype after = 1;
        if (line.startsWith(QLatin1Char('"'))) {
            after = Unquote(line, 0, value.Name);
            if (after < 0)
                continue;
        }
        if (after >= line.size() || line.at(after) != QLatin1Char('='))
            continue;
        if (!DecodeData(line.mid(after + 1).trimmed(), value))
            continue;
        out += RenderValue(value);
    }
    return out;
}

QByteArray RegFileOfChange(const WineChange &change)
{
    QString text = QStringLiteral("Windows Registry Editor Version 5.00\r\n\r\n");
    const QString key = FullName(change.Key);
    switch (change.What) {
    case WineChange::DeleteTree:
        text += QStringLiteral("[-%1]\r\n").arg(key);
        break;
    case WineChange::CreateKey:
        text += QStringLiteral("[%1]\r\n").arg(key);
        break;
    case WineChange::DeleteValue:
        text += QStringLiteral("[%1]\r\n%2=-\r\n")
                    .arg(key, change.Name.isEmpty() ? QStringLiteral("@") : QuoteName(change.Name));
        break;
    case WineChange::SetValue:
        // Every kind as its bytes: nothing to escape, nothing that a text form could change.
        text += QStringLiteral("[%1]\r\n%2=hex(%3):%4\r\n")
                    .arg(key, change.Name.isEmpty() ? QStringLiteral("@") : QuoteName(change.Name),
                        QString::number(change.Value.Type, 16), HexList(change.Value.Data));
        break;
    }
    text += QStringLiteral("\r\n");
    QByteArray out("\xff\xfe", 2);
    out.append(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
    return out;
}

} // namespace Detail
} // namespace Os
