// The registry on Wine's hive files: what Wine wrote reads back, what we write Wine reads,
// and a hive is never damaged or rewritten behind Wine's back.
#include "ChildProcess.h"
#include "support/TempPrefix.h"

#include "oslayer/Environment.h"
#include "oslayer/Registry.h"
#include "oslayer/RegistryHive.h"
#include "oslayer/WineRegistry.h"
#include "oslayer/WinError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <functional>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace Os;

namespace {

QByteArray ReadBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

RegValue Query(RegRoot root, const QString &key, const QString &name, uint32_t access = KEY_READ)
{
    RegKey handle;
    RegValue value;
    EXPECT_EQ(RegKey::Open(root, key, access, handle), ERROR_SUCCESS) << key.toStdString();
    EXPECT_EQ(handle.QueryValue(name, value), ERROR_SUCCESS) << name.toStdString();
    return value;
}

// The sections of a hive text, keyed by their key line, for comparing two versions.
QMap<QByteArray, QByteArray> Sections(const QByteArray &text)
{
    QMap<QByteArray, QByteArray> sections;
    QByteArray current;
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith('['))
            current = line.left(line.lastIndexOf(']') + 1);
        sections[current] += line + '\n';
    }
    return sections;
}

TempPrefix::Options FixtureOptions()
{
    TempPrefix::Options options;
    options.HivesFrom = QStringLiteral(DREMLIX_FIXTURE_PREFIX);
    return options;
}

// The names of the direct subkeys of a key, in the order of the key lines of a hive text.
QStringList SubkeysInFileOrder(const QByteArray &text, const QByteArray &keyLinePrefix)
{
    QStringList names;
    for (const QByteArray &line : text.split('\n')) {
        if (!line.startsWith(keyLinePrefix))
            continue;
        const QByteArray name = line.mid(keyLinePrefix.size(), line.indexOf(']') - keyLinePrefix.size());
        if (!name.contains("\\\\"))
            names.append(QString::fromLatin1(name));
    }
    return names;
}

// "[a\\a\\...a] 1": one key line naming a key of that many levels.
QByteArray DeepKeyLine(int levels, const QByteArray &name)
{
    QByteArray line = "[";
    line.reserve(qsizetype(levels) * (name.size() + 2) + 8);
    for (int i = 0; i < levels; ++i) {
        if (i)
            line += "\\\\";
        line += name;
    }
    return line + "] 1\n";
}

const QByteArray UserHiveHead
    = "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\User\n\n#arch=win32\n\n";

} // namespace

// ---- The hives Wine 8 wrote ----

TEST(RegistryWineFixture, ProductEntriesReadBackAsWineWroteThem)
{
    TempPrefix prefix(FixtureOptions());
    ASSERT_TRUE(Environment::IsWin64Prefix());
    struct Row {
        RegRoot Root;
        const char *Key;
        const char *Name;
        uint32_t Type;
        QString Text;
    };
    const Row rows[] = {
        { RegRoot::CurrentUser, "Software\\DREMLIX S.A.\\Orvanta\\Program", "Filename", REG_SZ,
          QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe") },
        { RegRoot::CurrentUser, "Software\\DREMLIX S.A.\\Sorvane\\Program", "Filename", REG_SZ,
          QStringLiteral("C:\\WDremlix\\Sorvane\\Programs\\Sorvane.exe") },
        { RegRoot::CurrentUser, "Software\\DREMLIX S.A.\\Bruncet", "BaseFolder", REG_SZ,
          QStringLiteral("C:\\Bruncet V 3.0\\") },
        { RegRoot::CurrentUser, "Software\\DREMLIX S.A.\\Multiste", "LastCompany", REG_SZ,
          QString::fromUtf8("Società Rossi & Figli") },
        { RegRoot::LocalMachine, "SOFTWARE\\DREMLIX S.A.\\Orvanta\\Default\\ORV_DatabaseName", "Path", REG_SZ,
          QStringLiteral("C:\\WDremlix\\Data\\Default.fdb") },
        { RegRoot::LocalMachine, "SOFTWARE\\DREMLIX S.A.\\Orvanta\\Società Rossi & Figli\\ORV_DatabaseName", "Path",
          REG_SZ, QStringLiteral("dbserver:D:\\Dati\\Rossi.fdb") },
        { RegRoot::LocalMachine, "SOFTWARE\\DREMLIX S.A.\\Orvanta\\Paths\\ORV_DatabaseName", "Path", REG_SZ,
          QStringLiteral("C:\\WDremlix\\Data\\Orvanta.fdb") },
        { RegRoot::LocalMachine, "SOFTWARE\\DREMLIX S.A.\\Sorvane\\Default", "ConnectionString", REG_SZ,
          QStringLiteral("192.168.1.20:D:\\Data\\Sorvane.fdb") },
        { RegRoot::LocalMachine, "SOFTWARE\\DREMLIX S.A.\\XTQ\\Default", "ConnectionString", REG_EXPAND_SZ,
          QStringLiteral("%SystemDrive%\\Data\\xtq.fdb") },
        { RegRoot::LocalMachine, "SOFTWARE\\DREMLIX S.A.\\Trevisk\\Program", "Filename", REG_SZ,
          QStringLiteral("C:\\WDremlix\\Common\\Programs\\Trevisk.exe") },
        // Keys and values are found without regard to case, also for à.
        { RegRoot::CurrentUser, "software\\dremlix s.a.\\ORVANTA\\program", "FILENAME", REG_SZ,
          QStringLiteral("C:\\WDremlix\\ORV\\Programs\\Orvanta.exe") },
        { RegRoot::LocalMachine, "software\\dremlix s.a.\\orvanta\\SOCIETÀ ROSSI & FIGLI\\orv_databasename", "path",
          REG_SZ, QStringLiteral("dbserver:D:\\Dati\\Rossi.fdb") },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.Key);
        const RegValue value = Query(row.Root, QString::fromUtf8(row.Key), QString::fromUtf8(row.Name));
        EXPECT_EQ(value.Type, row.Type);
        EXPECT_EQ(value.AsString(), row.Text);
    }
}

TEST(RegistryWineFixture, NonStringKindsReadBackExactly)
{
    TempPrefix prefix(FixtureOptions());
    const QString key = QStringLiteral("Software\\DREMLIX S.A.\\Orvanta");
    const RegValue licences = Query(RegRoot::LocalMachine, key, QStringLiteral("Licenze"));
    EXPECT_EQ(licences.Type, REG_DWORD);
    EXPECT_EQ(licences.AsDword(), 12u);
    const RegValue keyBytes = Query(RegRoot::LocalMachine, key, QStringLiteral("Chiave"));
    EXPECT_EQ(keyBytes.Type, REG_BINARY);
    EXPECT_EQ(keyBytes.Data, QByteArray::fromHex("0a0b0c0d"));
    const RegValue modules = Query(RegRoot::LocalMachine, key, QStringLiteral("Moduli"));
    EXPECT_EQ(modules.Type, REG_MULTI_SZ);
    EXPECT_EQ(modules.AsMultiString(), QStringList({ QString::fromUtf8("Contabilità"), QStringLiteral("Salari") }));
    EXPECT_EQ(modules.AsString(), QString::fromUtf8("Contabilità"));
}

TEST(RegistryWineFixture, ThirtyTwoAndSixtyFourBitViews)
{
    TempPrefix prefix(FixtureOptions());
    RegKey key;
    // The product keys exist only under Wow6432Node: the native view does not see them.
    EXPECT_EQ(RegKey::Open(RegRoot::LocalMachine, QStringLiteral("Software\\DREMLIX S.A."), KEY_READ | KEY_WOW64_64KEY,
                           key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegKey::Open(RegRoot::LocalMachine, QStringLiteral("Software\\Wow6432Node\\DREMLIX S.A."),
                           KEY_READ | KEY_WOW64_64KEY, key),
              ERROR_SUCCESS);
    // Wine's drive types are native; the 32-bit view has an empty key of that name.
    const RegValue drive = Query(RegRoot::LocalMachine, QStringLiteral("Software\\Wine\\Drives"), QStringLiteral("d:"),
                                 KEY_READ | KEY_WOW64_64KEY);
    EXPECT_EQ(drive.AsString(), QStringLiteral("cdrom"));
    ASSERT_EQ(RegKey::Open(RegRoot::LocalMachine, QStringLiteral("Software\\Wine\\Drives"), KEY_READ, key),
              ERROR_SUCCESS);
    EXPECT_TRUE(key.ValueNames().isEmpty());
    // HKCU\Software is the same in both views.
    EXPECT_EQ(RegKey::Open(RegRoot::CurrentUser, QStringLiteral("Software\\DREMLIX S.A.\\Bruncet"), KEY_READ, key),
              ERROR_SUCCESS);
    // A key Wine made a link in the 32-bit view leads to its target.
    ASSERT_EQ(RegKey::Open(RegRoot::LocalMachine, QStringLiteral("Software\\Microsoft\\OLE"),
                           KEY_READ | KEY_WOW64_64KEY, key),
              ERROR_SUCCESS);
    const QStringList native = key.ValueNames();
    ASSERT_EQ(RegKey::Open(RegRoot::LocalMachine, QStringLiteral("Software\\Microsoft\\OLE"), KEY_READ, key),
              ERROR_SUCCESS);
    EXPECT_FALSE(native.isEmpty());
    EXPECT_EQ(key.ValueNames(), native);
}

TEST(RegistryWineFixture, EnumerationInWineOrder)
{
    TempPrefix prefix(FixtureOptions());
    RegKey key;
    ASSERT_EQ(RegKey::Open(RegRoot::LocalMachine, QStringLiteral("Software\\DREMLIX S.A."), KEY_READ, key),
              ERROR_SUCCESS);
    EXPECT_EQ(key.SubKeyNames(), QStringList({ QStringLiteral("Orvanta"), QStringLiteral("Sorvane"),
                                               QStringLiteral("Trevisk"), QStringLiteral("XTQ") }));
    ASSERT_EQ(RegKey::Open(RegRoot::LocalMachine, QStringLiteral("Software\\DREMLIX S.A.\\Orvanta"), KEY_READ, key),
              ERROR_SUCCESS);
    EXPECT_EQ(key.ValueNames(), QStringList({ QStringLiteral("Chiave"), QStringLiteral("Licenze"),
                                              QStringLiteral("Moduli") }));
    EXPECT_EQ(key.SubKeyNames().size(), 3);
    // Wine orders names lower-cased: "_autodetect" comes before "ANSI_X3.4-1968".
    const QStringList charsets = SubkeysInFileOrder(
        ReadBytes(prefix.SystemHive()), "[Software\\\\Classes\\\\MIME\\\\Database\\\\Charset\\\\");
    ASSERT_GT(charsets.size(), 100);
    ASSERT_EQ(
        RegKey::Open(RegRoot::LocalMachine, QStringLiteral("Software\\Classes\\MIME\\Database\\Charset"),
            KEY_READ | KEY_WOW64_64KEY, key),
        ERROR_SUCCESS);
    EXPECT_EQ(key.SubKeyNames(), charsets);
}

TEST(RegistryWineFixture, OneWriteChangesOnlyItsKey)
{
    TempPrefix prefix(FixtureOptions());
    const QByteArray before = ReadBytes(prefix.SystemHive());
    RegKey key;
    ASSERT_EQ(RegKey::Open(RegRoot::LocalMachine, QStringLiteral("Software\\DREMLIX S.A.\\Orvanta"), KEY_ALL_ACCESS,
                           key),
              ERROR_SUCCESS);
    ASSERT_EQ(key.SetValue(QStringLiteral("Licenze"), RegValue::FromDword(13)), ERROR_SUCCESS);
    const QByteArray after = ReadBytes(prefix.SystemHive());

    const auto oldSections = Sections(before);
    const auto newSections = Sections(after);
    ASSERT_EQ(oldSections.size(), newSections.size());
    int changed = 0;
    for (auto it = oldSections.cbegin(); it != oldSections.cend(); ++it) {
        if (it.value() != newSections.value(it.key())) {
            ++changed;
            EXPECT_EQ(it.key(), QByteArray("[Software\\\\Wow6432Node\\\\DREMLIX S.A.\\\\Orvanta]"));
        }
    }
    EXPECT_EQ(changed, 1);
    const QByteArray section = newSections.value("[Software\\\\Wow6432Node\\\\DREMLIX S.A.\\\\Orvanta]");
    EXPECT_TRUE(section.contains("\"Licenze\"=dword:0000000d\n"));
    EXPECT_TRUE(section.contains("\"Chiave\"=hex:0a,0b,0c,0d\n"));
    EXPECT_TRUE(section.contains("\"Moduli\"=str(7):\"Contabilit\\xe0\\0Salari\\0\"\n"));
    EXPECT_FALSE(section.contains("#time=1dd88918e3caabe")) << "the key's time moves on";

    ClearRegistryCache();
    EXPECT_EQ(Query(RegRoot::LocalMachine, QStringLiteral("Software\\DREMLIX S.A.\\Orvanta"),
                    QStringLiteral("Licenze"))
                  .AsDword(),
              13u);
}

// A start-up deletes a key of older versions without indexing the whole machine hive when
// its text cannot name that key. The shortcut may only ever say "absent" when the parser
// agrees.
TEST(RegistryWineFixture, AKeyTheTextCannotNameIsKnownAbsentWithoutParsing)
{
    const QString fixture = QStringLiteral(DREMLIX_FIXTURE_PREFIX);
    for (const char *name : { "/system.reg", "/user.reg" }) {
        SCOPED_TRACE(name);
        const QByteArray text = ReadBytes(fixture + QLatin1String(name));
        // The user hive holds the company key "Multiste": the same name to the registry.
        EXPECT_EQ(Detail::TextCannotNameKey(text, QStringLiteral("MultiSte")), QByteArray(name) == "/system.reg");
        EXPECT_TRUE(Detail::TextCannotNameKey(text, QStringLiteral("Vestrelx")));
        EXPECT_FALSE(Detail::TextCannotNameKey(text, QStringLiteral("Software")));
        EXPECT_FALSE(Detail::TextCannotNameKey(text, QStringLiteral("SOFTWARE")));
    }
    struct Case {
        const char *Label;
        QByteArray KeyLine;
        bool Named; // the parser finds a key named MultiSte
        bool Ruled; // the text rules it out
    };
    const Case cases[] = {
        {"other keys", "[Software\\\\Other] 1\n\"v\"=\"a\\\"b\\0c\\tx\"\n\"h\"=hex:01,\\\n  02\n", false, true},
        {"the name as it is", "[Software\\\\MultiSte] 1\n", true, false},
        {"the name in other letters", "[Software\\\\multiste] 1\n", true, false},
        {"the name and escapes inside values only", "[Software\\\\Other] 1\n\"v\"=\"MULTISTE \\x53\"\n", false, true},
        {"a line that goes on into a bracket", "[Software\\\\Other] 1\n\"v\"=hex:01,\\\n [MultiSte]\n", false, false},
        {"a hexadecimal escape", "[Software\\\\Multi\\x53te] 1\n", true, false},
        {"an octal escape", "[Software\\\\Multi\\123te] 1\n", true, false},
        {"an escaped letter", "[Software\\\\Multi\\Ste] 1\n", true, false},
        {"UTF-8 of an editor, a long s", "[Software\\\\Multi\xC5\xBFte] 1\n", false, true},
        {"UTF-8 of an editor, the name", "[Software\\\\MultiSte\\\\Soci\xC3\xA0t\xC3\xA0] 1\n", true, false},
        {"a capital I with a dot, not the same as i to keys", "[Software\\\\Mult\\x0130Ste] 1\n", false, true},
        {"an accented company name", "[Software\\\\Societ\\xe0 Rossi\\\\ORV] 1\n", false, true},
        {"a letter name with a hyphen", "[Software\\\\Multi-Ste] 1\n", false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Label);
        const QByteArray text = UserHiveHead + c.KeyLine;
        const auto hive = Detail::Hive::Parse(text, QStringLiteral("hive"), false);
        EXPECT_EQ(hive->Find({ QStringLiteral("Software"), QStringLiteral("MultiSte") }) != nullptr, c.Named);
        EXPECT_EQ(Detail::TextCannotNameKey(text, QStringLiteral("MultiSte")), c.Ruled);
    }
    // Only names of letters are judged.
    EXPECT_FALSE(Detail::TextCannotNameKey(UserHiveHead, QStringLiteral("DREMLIX S.A.")));
}

TEST(RegistryWineFixture, HivesFromTextSerializeBackAsTheyWere)
{
    // Wine's own hives come back byte for byte; a key written twice is joined once, and what
    // a write leaves reads back to the same text.
    const QString fixture = QStringLiteral(DREMLIX_FIXTURE_PREFIX);
    for (const char *name : { "/system.reg", "/user.reg" }) {
        SCOPED_TRACE(name);
        const QByteArray text = ReadBytes(fixture + QLatin1String(name));
        ASSERT_FALSE(text.isEmpty());
        EXPECT_EQ(Detail::Hive::Parse(text, QStringLiteral("hive"), true)->Serialize(), text);
    }
    const QByteArray twice = UserHiveHead
        + "[Software\\\\A] 1\n#time=1\n\"x\"=\"1\"\n\n[Software\\\\B] 1\n\"y\"=dword:00000002\n\n"
          "[software\\\\a] 2\n\"z\"=hex:0a\n\"X\"=\"3\"\n";
    const QByteArray joined = Detail::Hive::Parse(twice, QStringLiteral("hive"), false)->Serialize();
    EXPECT_EQ(joined.count("[Software\\\\A]"), 1) << joined.constData();
    EXPECT_FALSE(joined.contains("[software\\\\a]")) << joined.constData();
    EXPECT_TRUE(joined.contains("\"X\"=\"3\"\n\"z\"=hex:0a\n")) << joined.constData();
    EXPECT_FALSE(joined.contains("#time=1\n")) << "the joined key was written anew";
    EXPECT_EQ(Detail::Hive::Parse(joined, QStringLiteral("hive"), false)->Serialize(), joined);
}

TEST(RegistryWineFixture, AValueCutOffAtTheEndOfTheFileSwallowsNothingWhenWritten)
{
    // The file ends in the middle of a value (its last line asks for one more). Written
    // back, that value lands before other text: in the place of the value it replaces in an
    // earlier section of its key, or before a key made later. Neither may become part of it.
    const QByteArray cut = UserHiveHead
        + "[Software\\\\A] 1\n\"h\"=hex:00\n\"x\"=\"1\"\n\n[Software\\\\B] 1\n\n"
          "[Software\\\\A] 2\n\"h\"=hex:01,02,\\\n";
    const auto hive = Detail::Hive::Parse(cut, QStringLiteral("hive"), false);
    const QByteArray written = hive->Serialize();
    const auto again = Detail::Hive::Parse(written, QStringLiteral("hive"), false);
    Detail::HiveNode *node = again->Find({ QStringLiteral("Software"), QStringLiteral("A") });
    ASSERT_NE(node, nullptr) << written.constData();
    const Detail::HiveKey *a = again->Values(node);
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a->Values.size(), 2U) << written.constData();
    EXPECT_EQ(a->Values[0].Data, QByteArray("\x01\x02", 2));
    EXPECT_EQ(a->Values[1].Name, QStringLiteral("x"));
    ASSERT_NE(again->Find({ QStringLiteral("Software"), QStringLiteral("B") }), nullptr) << written.constData();
    EXPECT_EQ(again->Serialize(), written);

    // Kept as read at the end, then a new key after it.
    const QByteArray last = UserHiveHead + "[Software\\\\A] 1\n\"h\"=hex:01,\\\n";
    const auto tail = Detail::Hive::Parse(last, QStringLiteral("hive"), false);
    tail->Touch(tail->Ensure({ QStringLiteral("Software"), QStringLiteral("Z") }));
    const auto reread = Detail::Hive::Parse(tail->Serialize(), QStringLiteral("hive"), false);
    EXPECT_NE(reread->Find({ QStringLiteral("Software"), QStringLiteral("Z") }), nullptr) << tail->Serialize().constData();
}

// ---- Round trips of what this layer writes ----

TEST(RegistryRoundTrip, EveryKindAndAwkwardTextSurvivesAReload)
{
    TempPrefix prefix;
    struct Case {
        const char *Label;
        QString Name;
        RegValue Value;
    };
    QByteArray longBinary;
    for (int i = 0; i < 300; ++i)
        longBinary.append(char(i * 7));
    const QList<Case> cases = {
        { "plain", QStringLiteral("Plain"), RegValue::FromString(QStringLiteral("C:\\Data\\Base.fdb")) },
        { "empty", QStringLiteral("Empty"), RegValue::FromString(QString()) },
        { "default value", QString(), RegValue::FromString(QStringLiteral("default")) },
        { "quotes and backslashes", QStringLiteral("Q\"uo\\te"), RegValue::FromString(QStringLiteral("a\"b\\c\\\"")) },
        { "controls", QStringLiteral("Controls"), RegValue::FromString(QStringLiteral("tab\there\r\nline\x1b\x01" "7")) },
        { "non-ASCII before a hex digit", QStringLiteral("Società"), RegValue::FromString(QString::fromUtf8("à1 €f 日本")) },
        { "outside the BMP", QStringLiteral("Emoji"), RegValue::FromString(QString::fromUtf8("x😀y")) },
        { "brackets", QStringLiteral("[x]"), RegValue::FromString(QStringLiteral("]=[")) },
        { "expandable", QStringLiteral("Expand"), RegValue::FromString(QStringLiteral("%SystemRoot%\\x"), REG_EXPAND_SZ) },
        { "multi", QStringLiteral("Multi"), RegValue::FromMultiString({ QStringLiteral("one"), QString::fromUtf8("dué") }) },
        { "dword", QStringLiteral("Dword"), RegValue::FromDword(0xDEADBEEF) },
        { "binary over many lines", QStringLiteral("Long"), RegValue::FromBinary(longBinary) },
        { "empty binary", QStringLiteral("NoBytes"), RegValue::FromBinary(QByteArray()) },
        { "qword", QStringLiteral("Qword"), RegValue::FromBinary(QByteArray::fromHex("0102030405060708"), REG_QWORD) },
        { "string without its NUL", QStringLiteral("Unterminated"), RegValue::FromBinary(QByteArray("a\0b", 3), REG_SZ) },
        { "dword of odd size", QStringLiteral("ShortDword"), RegValue::FromBinary(QByteArray("\x01\x02", 2), REG_DWORD) },
        { "none", QStringLiteral("None"), RegValue::FromBinary(QByteArray("\x00", 1), REG_NONE) },
    };
    const QString keyPath = QString::fromUtf8("Software\\DREMLIX S.A.\\Prova [1]\\Società");
    for (const Case &c : cases)
        prefix.SetRegValue(RegRoot::CurrentUser, keyPath, c.Name, c.Value);

    ClearRegistryCache();
    RegKey key;
    ASSERT_EQ(RegKey::Open(RegRoot::CurrentUser, keyPath, KEY_READ, key), ERROR_SUCCESS);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Label);
        RegValue back;
        ASSERT_EQ(key.QueryValue(c.Name, back), ERROR_SUCCESS);
        EXPECT_EQ(back.Type, c.Value.Type);
        EXPECT_EQ(back.Data.toHex(), c.Value.Data.toHex());
    }
    // Wine writes ASCII only, and so must we: it reads bytes above 127 differently.
    const QByteArray text = ReadBytes(prefix.UserHive());
    for (const char ch : text)
        ASSERT_LT(static_cast<unsigned char>(ch), 128u);
    EXPECT_TRUE(text.contains("[Software\\\\DREMLIX S.A.\\\\Prova \\[1\\]\\\\Societ\\xe0]"));
    EXPECT_TRUE(text.contains("\"Societ\\xe0\"=\"\\x00e01 \\x20acf \\x65e5\\x672c\"\n"));
    for (const QByteArray &line : text.split('\n'))
        EXPECT_LE(line.size(), 82) << line.constData();
}

TEST(RegistryRoundTrip, CreateDeleteAndEnumerate)
{
    TempPrefix prefix;
    RegKey key;
    ASSERT_EQ(RegKey::Create(RegRoot::CurrentUser, QStringLiteral("Software\\A\\B\\C"), KEY_ALL_ACCESS, key),
              ERROR_SUCCESS);
    ASSERT_EQ(RegKey::Create(RegRoot::CurrentUser, QStringLiteral("Software\\A\\b2"), KEY_ALL_ACCESS, key),
              ERROR_SUCCESS);
    ASSERT_EQ(key.SetValue(QStringLiteral("z"), RegValue::FromDword(1)), ERROR_SUCCESS);
    ASSERT_EQ(key.SetValue(QStringLiteral("A"), RegValue::FromDword(2)), ERROR_SUCCESS);
    ASSERT_EQ(key.SetValue(QStringLiteral("m"), RegValue::FromDword(3)), ERROR_SUCCESS);
    ASSERT_EQ(key.SetValue(QStringLiteral("M"), RegValue::FromDword(4)), ERROR_SUCCESS) << "same value, other case";
    EXPECT_EQ(key.ValueNames(), QStringList({ QStringLiteral("A"), QStringLiteral("m"), QStringLiteral("z") }));
    RegValue value;
    EXPECT_EQ(key.QueryValue(QStringLiteral("m"), value), ERROR_SUCCESS);
    EXPECT_EQ(value.AsDword(), 4u);
    EXPECT_EQ(key.QueryValue(QStringLiteral("missing"), value), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key.DeleteValue(QStringLiteral("missing")), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key.DeleteValue(QStringLiteral("Z")), ERROR_SUCCESS);

    ASSERT_EQ(RegKey::Open(RegRoot::CurrentUser, QStringLiteral("software\\a"), KEY_READ, key), ERROR_SUCCESS);
    EXPECT_EQ(key.SubKeyNames(), QStringList({ QStringLiteral("B"), QStringLiteral("b2") }));
    EXPECT_EQ(RegKey::DeleteKey(RegRoot::CurrentUser, QStringLiteral("Software\\A\\B")), ERROR_ACCESS_DENIED)
        << "a key with subkeys is not deleted by RegDeleteKey";
    EXPECT_EQ(RegKey::DeleteKey(RegRoot::CurrentUser, QStringLiteral("Software\\A\\B\\C")), ERROR_SUCCESS);
    EXPECT_EQ(RegKey::DeleteKey(RegRoot::CurrentUser, QStringLiteral("Software\\A\\B\\C")), ERROR_FILE_NOT_FOUND);

    // B was only implied by C; left empty it must still exist after a reload.
    ClearRegistryCache();
    EXPECT_EQ(RegKey::Open(RegRoot::CurrentUser, QStringLiteral("Software\\A\\B"), KEY_READ, key), ERROR_SUCCESS);
    EXPECT_EQ(RegKey::DeleteTree(RegRoot::CurrentUser, QStringLiteral("Software\\A")), ERROR_SUCCESS);
    EXPECT_EQ(RegKey::Open(RegRoot::CurrentUser, QStringLiteral("Software\\A\\b2"), KEY_READ, key),
              ERROR_FILE_NOT_FOUND);
    ClearRegistryCache();
    EXPECT_EQ(RegKey::Open(RegRoot::CurrentUser, QStringLiteral("Software\\A"), KEY_READ, key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegKey::Open(RegRoot::CurrentUser, QStringLiteral("Software"), KEY_READ, key), ERROR_SUCCESS)
        << "the parent stays";
}

TEST(RegistryRoundTrip, KeysAndValuesGoInWineOrder)
{
    // The order Wine 8 wrote these names in when "wine reg add" made them as values and as
    // subkeys of one key: lower-cased, so "[", "_" and "`" come before the letters.
    const QStringList made = { QStringLiteral("z"), QStringLiteral("A"), QStringLiteral("_u"),
        QStringLiteral("m"), QStringLiteral("[b"), QStringLiteral("`c") };
    const QStringList wineOrder = { QStringLiteral("[b"), QStringLiteral("_u"), QStringLiteral("`c"),
        QStringLiteral("A"), QStringLiteral("m"), QStringLiteral("z") };
    TempPrefix prefix;
    const QString parent = QStringLiteral("Software\\OrderCheck");
    RegKey key;
    ASSERT_EQ(RegKey::Create(RegRoot::CurrentUser, parent, KEY_ALL_ACCESS, key), ERROR_SUCCESS);
    for (const QString &name : made) {
        ASSERT_EQ(key.SetValue(name, RegValue::FromString(QStringLiteral("x"))), ERROR_SUCCESS);
        RegKey sub;
        ASSERT_EQ(
            RegKey::Create(RegRoot::CurrentUser, parent + QLatin1Char('\\') + name, KEY_ALL_ACCESS, sub),
            ERROR_SUCCESS);
    }
    for (const bool reloaded : { false, true }) {
        SCOPED_TRACE(reloaded ? "read again from the file" : "as made");
        if (reloaded)
            ClearRegistryCache();
        ASSERT_EQ(RegKey::Open(RegRoot::CurrentUser, parent, KEY_READ, key), ERROR_SUCCESS);
        EXPECT_EQ(key.ValueNames(), wineOrder);
        EXPECT_EQ(key.SubKeyNames(), wineOrder);
    }
    EXPECT_EQ(SubkeysInFileOrder(ReadBytes(prefix.UserHive()), "[Software\\\\OrderCheck\\\\"),
        QStringList({ QStringLiteral("\\[b"), QStringLiteral("_u"), QStringLiteral("`c"), QStringLiteral("A"),
            QStringLiteral("m"), QStringLiteral("z") }));
}

TEST(RegistryRoundTrip, KeysUpToTheDepthWindowsAllowsAreMadeReadAndRemoved)
{
    TempPrefix prefix;
    QStringList names;
    for (int i = 0; i < 512; ++i)
        names.append(QStringLiteral("k%1").arg(i));
    const QString deepest = names.join(QLatin1Char('\\'));
    RegKey key;
    ASSERT_EQ(RegKey::Create(RegRoot::CurrentUser, deepest, KEY_ALL_ACCESS, key), ERROR_SUCCESS);
    ASSERT_EQ(key.SetValue(QStringLiteral("v"), RegValue::FromDword(7)), ERROR_SUCCESS);
    // One level more would make a hive that no reader takes.
    const QByteArray before = ReadBytes(prefix.UserHive());
    EXPECT_EQ(RegKey::Create(RegRoot::CurrentUser, deepest + QStringLiteral("\\k512"), KEY_ALL_ACCESS, key),
        ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ReadBytes(prefix.UserHive()), before);

    ClearRegistryCache();
    ASSERT_EQ(RegKey::Open(RegRoot::CurrentUser, deepest, KEY_READ, key), ERROR_SUCCESS);
    RegValue value;
    ASSERT_EQ(key.QueryValue(QStringLiteral("v"), value), ERROR_SUCCESS);
    EXPECT_EQ(value.AsDword(), 7u);
    EXPECT_EQ(RegKey::DeleteTree(RegRoot::CurrentUser, QStringLiteral("k0")), ERROR_SUCCESS);
    ClearRegistryCache();
    EXPECT_EQ(RegKey::Open(RegRoot::CurrentUser, QStringLiteral("k0"), KEY_READ, key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(
        RegKey::Open(RegRoot::CurrentUser, QStringLiteral("Environment"), KEY_READ, key), ERROR_SUCCESS);
}

TEST(RegistryRoundTrip, KeyDeletedBehindAnOpenHandle)
{
    TempPrefix prefix;
    RegKey key;
    ASSERT_EQ(RegKey::Create(RegRoot::CurrentUser, QStringLiteral("Software\\Gone"), KEY_ALL_ACCESS, key),
              ERROR_SUCCESS);
    ASSERT_EQ(RegKey::DeleteKey(RegRoot::CurrentUser, QStringLiteral("Software\\Gone")), ERROR_SUCCESS);
    RegValue value;
    EXPECT_EQ(key.QueryValue(QStringLiteral("x"), value), ERROR_KEY_DELETED);
    EXPECT_EQ(key.SetValue(QStringLiteral("x"), RegValue::FromDword(1)), ERROR_KEY_DELETED);
}

TEST(RegistryViews, MachineSoftwareGoesThroughWow6432NodeOnlyOnWin64)
{
    for (const auto arch : { TempPrefix::Arch::Win64, TempPrefix::Arch::Win32 }) {
        TempPrefix::Options options;
        options.Architecture = arch;
        TempPrefix prefix(options);
        const bool win64 = arch == TempPrefix::Arch::Win64;
        SCOPED_TRACE(win64 ? "win64" : "win32");
        prefix.SetRegString(RegRoot::LocalMachine, QStringLiteral("SOFTWARE\\DREMLIX S.A.\\Orvanta\\Default"),
                            QStringLiteral("DatabaseName"), QStringLiteral("x"));
        prefix.SetRegString(RegRoot::CurrentUser, QStringLiteral("SOFTWARE\\DREMLIX S.A.\\Orvanta\\Program"),
                            QStringLiteral("Filename"), QStringLiteral("y"));
        prefix.SetRegString(RegRoot::LocalMachine, QStringLiteral("System\\CurrentControlSet\\Control"),
                            QStringLiteral("Z"), QStringLiteral("z"));
        const QByteArray machine = ReadBytes(prefix.SystemHive());
        // The existing "Software" key keeps its spelling.
        EXPECT_EQ(machine.contains("[Software\\\\Wow6432Node\\\\DREMLIX S.A.\\\\Orvanta\\\\Default]"), win64);
        EXPECT_EQ(machine.contains("[Software\\\\DREMLIX S.A.\\\\Orvanta\\\\Default]"), !win64);
        EXPECT_TRUE(machine.contains("[System\\\\CurrentControlSet\\\\Control]"));
        EXPECT_TRUE(ReadBytes(prefix.UserHive()).contains("[SOFTWARE\\\\DREMLIX S.A.\\\\Orvanta\\\\Program]"));
    }
}

// ---- Faults of the hive file ----

TEST(RegistryFaults, ParseErrorsNameFileAndLineAndNothingIsRewritten)
{
    struct Case {
        const char *Label;
        QByteArray Text;
        int Line;
    };
    const QByteArray head = "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\User\n\n#arch=win32\n\n";
    const Case cases[] = {
        { "not a hive", "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n", 1 },
        { "empty file", "", 1 },
        { "value before any key", head + "\"a\"=\"b\"\n", 6 },
        { "string not closed", head + "[Software] 1\n\"a\"=\"b\n", 7 },
        { "unknown data kind", head + "[Software] 1\n\"ok\"=dword:00000001\n\"a\"=qword:1\n", 8 },
        { "dword too long", head + "[Software] 1\n\"a\"=dword:123456789\n", 7 },
        { "bad hex byte", head + "[Software] 1\n\"a\"=hex:0a,zz\n", 7 },
        { "continued hex with a bad byte", head + "[Software] 1\n\"a\"=hex:0a,\\\n  0b,\\\n  q1\n", 7 },
        { "key line not closed", head + "[Software\n", 6 },
        { "junk after the key line", head + "[Software] 1 x\n", 6 },
        { "stray text", head + "[Software] 1\nhello\n", 7 },
        { "value without =", head + "[Software] 1\n\"a\" \"b\"\n", 7 },
        { "junk after a string", head + "[Software] 1\n\"a\"=\"b\" c\n", 7 },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Label);
        TempPrefix prefix;
        WriteBytes(prefix.UserHive(), c.Text);
        const QByteArray before = ReadBytes(prefix.UserHive());
        RegKey key;
        try {
            RegKey::Open(RegRoot::CurrentUser, QStringLiteral("Software"), KEY_READ, key);
            ADD_FAILURE() << "no error raised";
        } catch (const ERegistryError &error) {
            EXPECT_TRUE(error.Message().contains(prefix.UserHive())) << error.what();
            EXPECT_TRUE(error.Message().contains(QStringLiteral(": line %1:").arg(c.Line))) << error.what();
        }
        EXPECT_THROW(prefix.SetRegString(RegRoot::CurrentUser, QStringLiteral("Software\\X"), QStringLiteral("a"),
                                         QStringLiteral("b")),
                     ERegistryError);
        EXPECT_EQ(ReadBytes(prefix.UserHive()), before);
        EXPECT_EQ(QDir(prefix.Root()).entryList(QDir::Files).filter(QStringLiteral("dremlix")), QStringList());
    }
}

TEST(RegistryFaults, KeysDeeperThanWindowsAllowsAreRefusedWithFileAndLine)
{
    struct Case {
        const char *Label;
        int Levels;
        QByteArray Name;
        bool Taken;
    };
    const Case cases[] = {
        { "512 levels", 512, "a", true },
        { "513 levels", 513, "a", false },
        { "513 levels of escaped names", 513, "\\xe0", false },
        { "a million levels in one line of 3 MB", 1000000, "a", false },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Label);
        TempPrefix prefix;
        // The deep key is on line 9.
        WriteBytes(prefix.UserHive(),
            UserHiveHead + "[Software] 1\n\"v\"=\"1\"\n\n" + DeepKeyLine(c.Levels, c.Name)
                + "\"deep\"=dword:00000001\n");
        const QByteArray before = ReadBytes(prefix.UserHive());
        RegKey key;
        if (c.Taken) {
            const QString deepest
                = QStringList(c.Levels, QString::fromLatin1(c.Name)).join(QLatin1Char('\\'));
            ASSERT_EQ(RegKey::Open(RegRoot::CurrentUser, deepest, KEY_READ, key), ERROR_SUCCESS);
            EXPECT_TRUE(key.ValueExists(QStringLiteral("deep")));
            prefix.SetRegString(
                RegRoot::CurrentUser, QStringLiteral("Software"), QStringLiteral("v"), QStringLiteral("2"));
            ClearRegistryCache();
            EXPECT_EQ(RegKey::Open(RegRoot::CurrentUser, deepest, KEY_READ, key), ERROR_SUCCESS);
            continue;
        }
        try {
            RegKey::Open(RegRoot::CurrentUser, QStringLiteral("Software"), KEY_READ, key);
            ADD_FAILURE() << "no error raised";
        } catch (const ERegistryError &error) {
            EXPECT_TRUE(error.Message().contains(prefix.UserHive())) << error.what();
            EXPECT_TRUE(
                error.Message().contains(QStringLiteral(": line 9: the key is deeper than 512 levels")))
                << error.what();
        }
        EXPECT_THROW(prefix.SetRegString(RegRoot::CurrentUser, QStringLiteral("Software"),
                         QStringLiteral("v"), QStringLiteral("2")),
            ERegistryError);
        EXPECT_EQ(ReadBytes(prefix.UserHive()), before);
    }
}

TEST(RegistryFaults, AKeyThatDoesNotParseIsToldWhenUsedAndStopsEveryWrite)
{
    TempPrefix prefix;
    // The bad value is on line 7; the other keys read as they are.
    WriteBytes(prefix.UserHive(),
        UserHiveHead + "[Software\\\\Bad] 1\n\"a\"=dword:zz\n\n[Software\\\\Good] 1\n\"v\"=\"1\"\n");
    const QByteArray before = ReadBytes(prefix.UserHive());
    EXPECT_EQ(Query(RegRoot::CurrentUser, QStringLiteral("Software\\Good"), QStringLiteral("v")).AsString(),
        QStringLiteral("1"));
    const auto expectLineSeven = [&prefix](const std::function<void()> &call) {
        try {
            call();
            ADD_FAILURE() << "no error raised";
        } catch (const ERegistryError &error) {
            EXPECT_TRUE(error.Message().contains(prefix.UserHive())) << error.what();
            EXPECT_TRUE(error.Message().contains(QStringLiteral(": line 7:"))) << error.what();
        }
    };
    RegKey key;
    expectLineSeven(
        [&] { RegKey::Open(RegRoot::CurrentUser, QStringLiteral("Software\\Bad"), KEY_READ, key); });
    ASSERT_EQ(RegKey::Open(RegRoot::CurrentUser, QStringLiteral("Software\\Good"), KEY_ALL_ACCESS, key),
        ERROR_SUCCESS);
    expectLineSeven([&] { key.SetValue(QStringLiteral("v"), RegValue::FromDword(2)); });
    expectLineSeven([&] { key.DeleteValue(QStringLiteral("v")); });
    expectLineSeven([&] { RegKey::DeleteTree(RegRoot::CurrentUser, QStringLiteral("Software\\Good")); });
    expectLineSeven([&] {
        RegKey made;
        RegKey::Create(RegRoot::CurrentUser, QStringLiteral("Software\\New"), KEY_ALL_ACCESS, made);
    });
    EXPECT_EQ(ReadBytes(prefix.UserHive()), before);
    EXPECT_EQ(QDir(prefix.Root()).entryList(QDir::Files).filter(QStringLiteral("dremlix")), QStringList());
    // Nothing of the refused changes stayed behind in memory either.
    EXPECT_EQ(Query(RegRoot::CurrentUser, QStringLiteral("Software\\Good"), QStringLiteral("v")).AsString(),
        QStringLiteral("1"));
    EXPECT_EQ(RegKey::Open(RegRoot::CurrentUser, QStringLiteral("Software\\New"), KEY_READ, key),
        ERROR_FILE_NOT_FOUND);
}

TEST(RegistryFaults, ReadOnlyHiveDeniesWriteAccessLikeADeniedKey)
{
    TempPrefix prefix;
    prefix.SetRegString(RegRoot::CurrentUser, QStringLiteral("Software\\P"), QStringLiteral("v"), QStringLiteral("1"));
    const QByteArray before = ReadBytes(prefix.UserHive());
    ASSERT_EQ(::chmod(QFile::encodeName(prefix.UserHive()).constData(), 0444), 0);
    RegKey key;
    EXPECT_EQ(RegKey::Open(RegRoot::CurrentUser, QStringLiteral("Software\\P"), KEY_ALL_ACCESS, key),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegKey::Open(RegRoot::CurrentUser, QStringLiteral("Software\\P"), KEY_WRITE, key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegKey::Create(RegRoot::CurrentUser, QStringLiteral("Software\\New"), KEY_ALL_ACCESS, key),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegKey::DeleteTree(RegRoot::CurrentUser, QStringLiteral("Software\\P")), ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegKey::Open(RegRoot::CurrentUser, QStringLiteral("Software\\P"), KEY_READ, key), ERROR_SUCCESS);
    EXPECT_EQ(key.SetValue(QStringLiteral("v"), RegValue::FromDword(2)), ERROR_ACCESS_DENIED)
        << "a key opened for reading is not written";
    RegValue value;
    EXPECT_EQ(key.QueryValue(QStringLiteral("v"), value), ERROR_SUCCESS);
    EXPECT_EQ(value.AsString(), QStringLiteral("1"));
    // The machine hive is a file of its own and stays writable.
    EXPECT_EQ(RegKey::Create(RegRoot::LocalMachine, QStringLiteral("Software\\New"), KEY_ALL_ACCESS, key),
              ERROR_SUCCESS);
    EXPECT_EQ(ReadBytes(prefix.UserHive()), before);
}

namespace {

// A socket that answers where wineserver keeps its own for the prefix.
class FakeServerSocket {
public:
    explicit FakeServerSocket(bool listening, const QString &folder = Environment::WineserverFolder())
    {
        FFolder = folder;
        QDir().mkpath(FFolder);
        ::chmod(QFile::encodeName(FFolder).constData(), 0700);
        const QByteArray path = QFile::encodeName(FFolder + QStringLiteral("/socket"));
        FFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        ::unlink(path.constData());
        EXPECT_EQ(::bind(FFd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        if (listening) {
            EXPECT_EQ(::listen(FFd, 4), 0);
        }
    }
    ~FakeServerSocket()
    {
        ::close(FFd);
        QDir(FFolder).removeRecursively();
    }
    QString Folder() const { return FFolder; }

private:
    QString FFolder;
    int FFd = -1;
};

} // namespace

// With Wine the registry goes through the running server (WineInteropTest); without a wine
// program to reach it, the files are all there is: reads go on, writes are refused.
TEST(RegistryFaults, WithoutWineWritesAreRefusedWhileAWineserverRunsForThePrefix)
{
    TempPrefix prefix;
    struct NoWine {
        QByteArray Saved = qgetenv("WINE");
        bool WasSet = qEnvironmentVariableIsSet("WINE");
        NoWine() { qputenv("WINE", "/nonexistent/wine"); }
        ~NoWine()
        {
            if (WasSet)
                qputenv("WINE", Saved);
            else
                qunsetenv("WINE");
        }
    } noWine;
    prefix.SetRegString(RegRoot::CurrentUser, QStringLiteral("Software\\P"), QStringLiteral("v"), QStringLiteral("1"));
    const QByteArray before = ReadBytes(prefix.UserHive());
    {
        FakeServerSocket server(true);
        EXPECT_TRUE(Environment::WineserverRunning());
        try {
            prefix.SetRegString(RegRoot::CurrentUser, QStringLiteral("Software\\P"), QStringLiteral("v"),
                                QStringLiteral("2"));
            ADD_FAILURE() << "the write went through";
        } catch (const ERegistryError &error) {
            EXPECT_TRUE(error.Message().contains(QStringLiteral("wineserver"))) << error.what();
            EXPECT_TRUE(error.Message().contains(prefix.UserHive())) << error.what();
        }
        EXPECT_THROW(RegKey::DeleteTree(RegRoot::CurrentUser, QStringLiteral("Software\\P")), ERegistryError);
        EXPECT_EQ(ReadBytes(prefix.UserHive()), before);
        // Reading goes on.
        EXPECT_EQ(Query(RegRoot::CurrentUser, QStringLiteral("Software\\P"), QStringLiteral("v")).AsString(),
                  QStringLiteral("1"));
    }
    {
        // Debian's Wine 8 keeps its server under a private folder of /tmp that the prefix names.
        const QString name = QStringLiteral("wine-dremlix%1").arg(::getpid());
        WriteBytes(prefix.Root() + QStringLiteral("/wineserver"), name.toLatin1());
        ASSERT_TRUE(Environment::WineserverFolder().startsWith(QStringLiteral("/tmp/") + name + QStringLiteral("/server-")));
        FakeServerSocket server(true, Environment::WineserverFolder());
        EXPECT_TRUE(Environment::WineserverRunning());
        EXPECT_THROW(prefix.SetRegString(RegRoot::CurrentUser, QStringLiteral("Software\\P"), QStringLiteral("v"),
                                         QStringLiteral("2")),
                     ERegistryError);
        QDir(QStringLiteral("/tmp/") + name).removeRecursively();
        QFile::remove(prefix.Root() + QStringLiteral("/wineserver"));
    }
    {
        // A socket left by a server that died answers nobody: the hive is ours again.
        FakeServerSocket stale(false);
        EXPECT_FALSE(Environment::WineserverRunning());
        prefix.SetRegString(RegRoot::CurrentUser, QStringLiteral("Software\\P"), QStringLiteral("v"),
                            QStringLiteral("3"));
    }
}

TEST(RegistryFaults, AWineserverProcessWorkingInThePrefixFolderAlsoCounts)
{
    TempPrefix prefix;
    const QString folder = Environment::WineserverFolder();
    ASSERT_TRUE(QDir().mkpath(folder));
    // A program named wineserver whose working folder is the server folder, as Wine's is.
    const QString program = prefix.Root() + QStringLiteral("/wineserver");
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), program));
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(QFile::encodeName(folder).constData()) != 0)
            ::_exit(1);
        const QByteArray path = QFile::encodeName(program);
        ::execl(path.constData(), "wineserver", "30", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(pid, 0);
    bool seen = false;
    for (int i = 0; i < 100 && !seen; ++i) {
        seen = Environment::WineserverRunning();
        if (!seen)
            ::usleep(20000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    QDir(folder).removeRecursively();
    EXPECT_TRUE(seen);
    EXPECT_FALSE(Environment::WineserverRunning());
}

TEST(RegistryCache, AHiveChangedByAnotherWriterIsReadAgain)
{
    TempPrefix prefix;
    prefix.SetRegString(RegRoot::CurrentUser, QStringLiteral("Software\\P"), QStringLiteral("v"), QStringLiteral("1"));
    EXPECT_EQ(Query(RegRoot::CurrentUser, QStringLiteral("Software\\P"), QStringLiteral("v")).AsString(),
              QStringLiteral("1"));
    // Same size, new inode: another program replaced the file (as Wine does on exit).
    QByteArray text = ReadBytes(prefix.UserHive());
    text.replace("\"v\"=\"1\"", "\"v\"=\"2\"");
    const QString other = prefix.UserHive() + QStringLiteral(".new");
    WriteBytes(other, text);
    ASSERT_EQ(::rename(QFile::encodeName(other).constData(), QFile::encodeName(prefix.UserHive()).constData()), 0);
    EXPECT_EQ(Query(RegRoot::CurrentUser, QStringLiteral("Software\\P"), QStringLiteral("v")).AsString(),
              QStringLiteral("2"));
}

TEST(RegistryCache, AMissingHiveIsEmptyAndAWriteCreatesIt)
{
    TempPrefix prefix;
    QFile::remove(prefix.UserHive());
    RegKey key;
    EXPECT_EQ(RegKey::Open(RegRoot::CurrentUser, QStringLiteral("Environment"), KEY_READ, key), ERROR_FILE_NOT_FOUND);
    prefix.SetRegDword(RegRoot::CurrentUser, QStringLiteral("Software\\N"), QStringLiteral("d"), 7);
    const QByteArray text = ReadBytes(prefix.UserHive());
    EXPECT_TRUE(text.startsWith("WINE REGISTRY Version 2\n")) << text.constData();
    EXPECT_TRUE(text.contains("#arch=win64\n"));
    EXPECT_TRUE(text.contains("\"d\"=dword:00000007\n"));
}

TEST(RegistryFaults, SpoiltHivesEitherReadOrRaiseNeverCrash)
{
    // Under the address sanitizer this catches reads past a line or the file.
    TempPrefix prefix;
    const QByteArray good
        = "WINE REGISTRY Version 2\n;; All keys relative to "
          "REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win64\n\n"
          "[Software\\\\DREMLIX S.A.\\\\Multiste] 1796898661\n#time=1dd88918d82998a\n"
          "\"LastCompany\"=\"Societ\\xe0 Rossi & Figli\"\n\"Q\\\"\"=str(7):\"a\\0b\\0\"\n"
          "\"B\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,18,19,1a,\\\n"
          "  1b,1c\n@=dword:0000000c\n";
    uint32_t seed = 11;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    const char alphabet[] = "\\\"[]@=:,()x0f7 \n#";
    for (int round = 0; round < 300; ++round) {
        QByteArray bad = good;
        const int edits = 1 + int(next() % 4);
        for (int i = 0; i < edits; ++i) {
            const auto at = qsizetype(next() % uint32_t(bad.size()));
            switch (next() % 3) {
            case 0: bad[at] = alphabet[next() % (sizeof alphabet - 1)]; break;
            case 1: bad.remove(at, 1 + qsizetype(next() % 3)); break;
            default: bad.truncate(at); break;
            }
        }
        WriteBytes(prefix.UserHive(), bad);
        try {
            RegKey key;
            if (RegKey::Open(RegRoot::CurrentUser, QStringLiteral("Software\\DREMLIX S.A.\\Multiste"), KEY_READ, key)
                == ERROR_SUCCESS) {
                for (const QString &name : key.ValueNames()) {
                    RegValue value;
                    key.QueryValue(name, value);
                    value.AsMultiString();
                }
            }
        } catch (const ERegistryError &error) {
            EXPECT_TRUE(error.Message().contains(prefix.UserHive()));
        }
    }
}

// What `reg export` wrote under Wine 8 (UTF-16, data over continued lines, escapes, every kind
// the products use) reads as the values Wine holds; a change written for `reg import` reads
// back as that change. The reading of a running server's registry rests on both.
TEST(RegistryWineFormat, AnExportOfWineReadsAsTheValuesWineHolds)
{
    QFile file(QStringLiteral(DREMLIX_TEST_DATA "/oslayer/wine8-reg-export.reg"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const auto hive = Detail::Hive::Parse(Detail::HiveTextFromRegFile(file.readAll(), false, false),
                                          QStringLiteral("export"), false);
    const QStringList key { QStringLiteral("Software"), QStringLiteral("DREMLIX S.A."), QStringLiteral("Esempio") };
    Detail::HiveNode *node = hive->Find(key);
    ASSERT_NE(node, nullptr);
    const struct {
        const char *Name;
        RegValue Value;
    } expected[] = {
        { "", RegValue::FromString(QStringLiteral("predefinito")) },
        { "Bytes", RegValue::FromBinary(QByteArray::fromHex("0a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"
                                                            "202122232425262728292a2b2c2d2e2f")) },
        { "Espandi", RegValue::FromString(QStringLiteral("%SystemDrive%\\x"), REG_EXPAND_SZ) },
        { "Lista", RegValue::FromMultiString({ QStringLiteral("uno"), QStringLiteral("due") }) },
        { "Numero", RegValue::FromDword(12) },
        { "Testo", RegValue::FromString(QStringLiteral("C:\\Dati \"x\" Contabilit\u00e0")) },
        { "Vuoto", RegValue::FromString(QString()) },
    };
    Detail::HiveKey *values = hive->Values(node);
    ASSERT_NE(values, nullptr);
    ASSERT_EQ(values->Values.size(), std::size(expected));
    for (const auto &each : expected) {
        SCOPED_TRACE(each.Name);
        const Detail::HiveValue *value = values->FindValue(QString::fromLatin1(each.Name));
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value->Type, each.Value.Type);
        EXPECT_EQ(value->Data.toHex(), each.Value.Data.toHex());
    }
    Detail::HiveNode *sub = hive->Find(key + QStringList { QStringLiteral("Sotto chiave") });
    ASSERT_NE(sub, nullptr);
    const Detail::HiveValue *odd = hive->Values(sub)->FindValue(QStringLiteral("Nome \"strano\"\\x"));
    ASSERT_NE(odd, nullptr);
    EXPECT_EQ(RegValue::FromBinary(odd->Data, odd->Type).AsString(), QStringLiteral("a\\b"));

    // Each change as `reg import` reads it, and as the export after it shows it.
    const Detail::WineKey where { RegRoot::LocalMachine,
        { QStringLiteral("Software"), QStringLiteral("Wow6432Node"), QStringLiteral("DREMLIX S.A."), QStringLiteral("Prova") } };
    const Detail::WineChange changes[] = {
        { Detail::WineChange::SetValue, where, QStringLiteral("Path \"1\""),
            RegValue::FromString(QStringLiteral("D:\\Dati\\Rossi.fdb\nè")) },
        { Detail::WineChange::SetValue, where, QString(), RegValue::FromDword(0xdeadbeef) },
        { Detail::WineChange::SetValue, where, QStringLiteral("Lista"),
            RegValue::FromMultiString({ QStringLiteral("a"), QStringLiteral("b") }) },
        { Detail::WineChange::CreateKey, where, {}, {} },
    };
    for (const Detail::WineChange &change : changes) {
        SCOPED_TRACE(change.Name.toStdString());
        const QByteArray reg = Detail::RegFileOfChange(change);
        ASSERT_TRUE(reg.startsWith("\xff\xfe"));
        const auto read = Detail::Hive::Parse(Detail::HiveTextFromRegFile(reg, true, true), QStringLiteral("change"), true);
        EXPECT_TRUE(Detail::ChangeHolds(change, read.get()));
        Detail::WineChange other = change;
        other.Value = RegValue::FromString(QStringLiteral("altro"));
        if (change.What == Detail::WineChange::SetValue) {
            EXPECT_FALSE(Detail::ChangeHolds(other, read.get()));
        }
    }
    const Detail::WineChange removal { Detail::WineChange::DeleteTree, where, {}, {} };
    const QByteArray removalFile = Detail::RegFileOfChange(removal);
    EXPECT_EQ(QString::fromUtf16(reinterpret_cast<const char16_t *>(removalFile.constData() + 2), (removalFile.size() - 2) / 2),
              QStringLiteral("Windows Registry Editor Version 5.00\r\n\r\n"
                             "[-HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\DREMLIX S.A.\\Prova]\r\n\r\n"));
}
