#include "HoldingProcess.h"
#include "support/PeWriter.h"
#include "support/QStringPrinter.h"
#include "support/ScriptedUiServices.h"
#include "support/TempPrefix.h"

#include "platform/InstallTools2.h"
#include "oslayer/Exceptions.h"
#include "oslayer/Files.h"
#include "oslayer/Registry.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace Os;

namespace {

QByteArray HostBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class FileInstallation : public ::testing::Test {
protected:
    bool Exists(const QString &w) { return QFileInfo::exists(FPrefix.HostPath(w)); }
    QByteArray Bytes(const QString &w) { return HostBytes(FPrefix.HostPath(w)); }
    QStringList PendingRenames()
    {
        RegKey key;
        RegValue value;
        if (RegKey::Open(RegRoot::LocalMachine, QStringLiteral("System\\CurrentControlSet\\Control\\Session Manager"),
                         KEY_READ, key)
            != 0)
            return {};
        key.QueryValue(QStringLiteral("PendingFileRenameOperations"), value);
        // Every string as stored, empty targets included.
        QStringList items;
        QString current;
        for (qsizetype i = 0; i + 1 < value.Data.size(); i += 2) {
            const char16_t c = static_cast<uint8_t>(value.Data.at(i)) | (static_cast<uint8_t>(value.Data.at(i + 1)) << 8);
            if (c == 0) {
                items.append(current);
                current.clear();
            } else {
                current += QChar(c);
            }
        }
        EXPECT_EQ(value.Type, static_cast<uint32_t>(REG_MULTI_SZ));
        return items;
    }

    TempPrefix FPrefix;
    ScriptedUiServices FUi;
    TWindowsInstaller FInstaller;
};

} // namespace

TEST_F(FileInstallation, NewerFileReplacesTheInstalledOneAfterABackup)
{
    const QByteArray oldBytes = MakePeWithVersion(1, 0, 0, 1), newBytes = MakePeWithVersion(1, 0, 0, 2);
    FPrefix.WriteFile(QStringLiteral("C:\\App\\lib.dll"), oldBytes);
    FPrefix.WriteFile(QStringLiteral("C:\\New\\lib.dll"), newBytes);
    FPrefix.MakeFolder(QStringLiteral("C:\\Backup"));
    FPrefix.WriteFile(QStringLiteral("C:\\Backup\\lib.dll"), "an earlier backup");
    FPrefix.WriteFile(QStringLiteral("C:\\Backup\\lib.dll_0"), "another");

    bool reboot = true;
    EXPECT_TRUE(FInstaller.CopyOrReplaceFileIfNewer(QStringLiteral("C:\\New\\lib.dll"), QStringLiteral("C:\\App"),
                                                    QStringLiteral("C:\\Backup"), reboot));
    EXPECT_FALSE(reboot);
    EXPECT_EQ(Bytes(QStringLiteral("C:\\App\\lib.dll")), newBytes);
    EXPECT_EQ(Bytes(QStringLiteral("C:\\Backup\\lib.dll_1")), oldBytes);
    EXPECT_EQ(Bytes(QStringLiteral("C:\\Backup\\lib.dll")), QByteArray("an earlier backup"));

    // Same version again: nothing is copied, no backup made.
    EXPECT_FALSE(FInstaller.CopyOrReplaceFileIfNewer(QStringLiteral("C:\\New\\lib.dll"), QStringLiteral("C:\\App\\"),
                                                     QString(), reboot));
    EXPECT_FALSE(Exists(QStringLiteral("C:\\App\\lib.dll_0")));

    // Without a backup folder the backup stays beside the installed file.
    FPrefix.WriteFile(QStringLiteral("C:\\New2\\lib.dll"), MakePeWithVersion(1, 0, 0, 3));
    EXPECT_TRUE(FInstaller.CopyOrReplaceFileIfNewer(QStringLiteral("C:\\New2\\lib.dll"), QStringLiteral("C:\\App"),
                                                    QString(), reboot));
    EXPECT_EQ(Bytes(QStringLiteral("C:\\App\\lib.dll_0")), newBytes);
    EXPECT_EQ(Bytes(QStringLiteral("C:\\App\\lib.dll")), MakePeWithVersion(1, 0, 0, 3));
}

TEST_F(FileInstallation, MissingInstalledFileIsCopiedAndMissingBackupFolderRefused)
{
    FPrefix.WriteFile(QStringLiteral("C:\\New\\new.dll"), MakePeWithVersion(2, 0, 0, 0));
    FPrefix.MakeFolder(QStringLiteral("C:\\App"));
    bool reboot = true;
    EXPECT_TRUE(FInstaller.CopyOrReplaceFileIfNewer(QStringLiteral("C:\\New\\new.dll"), QStringLiteral("C:\\App"),
                                                    QString(), reboot));
    EXPECT_FALSE(reboot);
    EXPECT_EQ(Bytes(QStringLiteral("C:\\App\\new.dll")), MakePeWithVersion(2, 0, 0, 0));
    try {
        FInstaller.CopyOrReplaceFileIfNewer(QStringLiteral("C:\\New\\new.dll"), QStringLiteral("C:\\App"),
                                            QStringLiteral("C:\\NoBackup"), reboot);
        FAIL() << "no error for a missing backup folder";
    } catch (const Os::Exception &e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Backup directry does not exist :\r\nC:\\NoBackup"));
    }
}

TEST_F(FileInstallation, AFileInUseIsReplacedAtTheNextRestart)
{
    const QByteArray oldBytes = MakePeWithVersion(1, 0, 0, 1), newBytes = MakePeWithVersion(1, 0, 0, 2);
    FPrefix.WriteFile(QStringLiteral("C:\\App\\lib.dll"), oldBytes);
    FPrefix.WriteFile(QStringLiteral("C:\\App\\lib000.dll"), "taken");
    FPrefix.WriteFile(QStringLiteral("C:\\New\\lib.dll"), newBytes);
    HoldingProcess holder(FPrefix.HostPath(QStringLiteral("C:\\App\\lib.dll")));
    bool reboot = false;
    EXPECT_TRUE(FInstaller.CopyOrReplaceFileIfNewer(QStringLiteral("C:\\New\\lib.dll"), QStringLiteral("C:\\App"),
                                                    QString(), reboot));
    EXPECT_TRUE(reboot);
    EXPECT_EQ(Bytes(QStringLiteral("C:\\App\\lib.dll")), oldBytes);
    EXPECT_EQ(Bytes(QStringLiteral("C:\\App\\lib001.dll")), newBytes);
    EXPECT_EQ(Bytes(QStringLiteral("C:\\App\\lib.dll_0")), oldBytes);
    EXPECT_EQ(PendingRenames(), QStringList({QStringLiteral("\\??\\C:\\App\\lib001.dll"),
                                             QStringLiteral("!\\??\\C:\\App\\lib.dll"), QString()}));
}

TEST_F(FileInstallation, PendingRenamesAreAppendedDeletionsHaveAnEmptyTarget)
{
    TWindowsInstaller::RenameOnReboot(QStringLiteral("C:\\a.tmp"), QString());
    TWindowsInstaller::RenameOnReboot(QStringLiteral("C:\\b001.dll"), QStringLiteral("C:\\b.dll"));
    EXPECT_EQ(PendingRenames(), QStringList({QStringLiteral("\\??\\C:\\a.tmp"), QString(),
                                             QStringLiteral("\\??\\C:\\b001.dll"), QStringLiteral("!\\??\\C:\\b.dll"),
                                             QString()}));
    EXPECT_TRUE(FUi.Boxes().isEmpty());
}

TEST_F(FileInstallation, APendingRenameThatCannotBeRecordedIsShownAndAbandoned)
{
    FPrefix.MakeHiveReadOnly(RegRoot::LocalMachine);
    EXPECT_THROW(TWindowsInstaller::RenameOnReboot(QStringLiteral("C:\\b001.dll"), QStringLiteral("C:\\b.dll")), EAbort);
    ASSERT_EQ(FUi.Boxes().size(), 1);
    EXPECT_TRUE(FUi.Boxes().first().Text.startsWith(QStringLiteral("Cannot move : \r\nC:\\b001.dll to\r\nC:\\b.dll\r\n")));
}

TEST(WinInitTests, RenameSectionIsEditedInPlaceOrAdded)
{
    const struct {
        const char *Name;
        const char *Before; // nullptr: no file
        const char *After;
    } cases[] = {
        {"no file", nullptr, "[rename]\r\nC:\\b.dll=C:\\b001.dll\r\n"},
        {"no section", "[boot]\r\nx=1\r\n", "[boot]\r\nx=1\r\n[rename]\r\nC:\\b.dll=C:\\b001.dll\r\n"},
        {"section with a following one", "[Rename]\r\nNUL=C:\\old.tmp\r\n[other]\r\ny=2\r\n",
         "[Rename]\r\nNUL=C:\\old.tmp\r\nC:\\b.dll=C:\\b001.dll\r\n[other]\r\ny=2\r\n"},
        {"section last", "[a]\r\n[rename]\r\nNUL=C:\\x\r\n", "[a]\r\n[rename]\r\nNUL=C:\\x\r\nC:\\b.dll=C:\\b001.dll\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Name);
        TempPrefix::Options options;
        options.Windows9x = true;
        TempPrefix prefix(options);
        const QString ini = QStringLiteral("C:\\windows\\WININIT.INI");
        if (c.Before)
            prefix.WriteFile(ini, c.Before);
        TWindowsInstaller::RenameOnReboot(QStringLiteral("C:\\b001.dll"), QStringLiteral("C:\\b.dll"));
        EXPECT_EQ(HostBytes(prefix.HostPath(ini)), QByteArray(c.After));
    }
    TempPrefix::Options options;
    options.Windows9x = true;
    TempPrefix prefix(options);
    TWindowsInstaller::RenameOnReboot(QStringLiteral("C:\\gone.tmp"), QString());
    EXPECT_EQ(HostBytes(prefix.HostPath(QStringLiteral("C:\\windows\\WININIT.INI"))),
        QByteArray("[rename]\r\nNUL=C:\\gone.tmp\r\n"));
}

TEST_F(FileInstallation, AFailedReplacementLeavesTheInstalledFile)
{
    const QByteArray installed = MakePeWithVersion(1, 0, 0, 1);
    FPrefix.WriteFile(QStringLiteral("C:\\App\\lib.dll"), installed);
    bool restart = true;
    // The new copy cannot be read: the error names both files, the installed file stays.
    try {
        TWindowsInstaller::ReplaceFile(QStringLiteral("C:\\New\\gone.dll"), QStringLiteral("C:\\App\\lib.dll"), restart);
        FAIL() << "a replacement from a missing file succeeded";
    } catch (const EAbort &) {
        FAIL() << "silent abort instead of the copy error";
    } catch (const Os::Exception &e) {
        EXPECT_TRUE(e.Message().startsWith(
            QStringLiteral("Copia archivio impossibile :\r\nC:\\New\\gone.dll\r\nDestinazione :\r\nC:\\App\\lib.dll\r\n")))
            << e.Message().toStdString();
    }
    EXPECT_FALSE(restart);
    EXPECT_EQ(Bytes(QStringLiteral("C:\\App\\lib.dll")), installed);

    // A read-only installed file is replaced and left writable.
    FPrefix.WriteFile(QStringLiteral("C:\\New\\lib.dll"), MakePeWithVersion(1, 0, 0, 2));
    SetFileAttributes(QStringLiteral("C:\\App\\lib.dll"), FILE_ATTRIBUTE_READONLY);
    TWindowsInstaller::ReplaceFile(QStringLiteral("C:\\New\\lib.dll"), QStringLiteral("C:\\App\\lib.dll"), restart);
    EXPECT_FALSE(restart);
    EXPECT_EQ(Bytes(QStringLiteral("C:\\App\\lib.dll")), MakePeWithVersion(1, 0, 0, 2));
    EXPECT_FALSE(GetFileAttributes(QStringLiteral("C:\\App\\lib.dll")) & FILE_ATTRIBUTE_READONLY);
}

TEST_F(FileInstallation, NumberedAndTemporaryNames)
{
    EXPECT_EQ(TWindowsInstaller::MakeNumberedFileName(QStringLiteral("C:\\P\\lib.dll")), QStringLiteral("C:\\P\\lib000.dll"));
    FPrefix.WriteFile(QStringLiteral("C:\\P\\lib000.dll"), "x");
    EXPECT_EQ(TWindowsInstaller::MakeNumberedFileName(QStringLiteral("C:\\P\\lib.dll")), QStringLiteral("C:\\P\\lib001.dll"));
    EXPECT_EQ(TWindowsInstaller::MakeNumberedFileName(QStringLiteral("C:\\P.d\\README")), QStringLiteral("C:\\P.d\\README000"));

    FPrefix.MakeFolder(QStringLiteral("C:\\T"));
    const QString temp = TWindowsInstaller::MakeTempName(QStringLiteral("C:\\T"), QStringLiteral(".tmp"));
    const QRegularExpression shape(QStringLiteral("^C:\\\\T\\\\is-[0-9A-V]{5}\\.tmp$"));
    EXPECT_TRUE(shape.match(temp).hasMatch()) << temp.toStdString();
    EXPECT_FALSE(TWindowsInstaller::FileOrDirExists(temp));
}

TEST_F(FileInstallation, SimpleFormCopiesWhenMissingOrNewer)
{
    FPrefix.WriteFile(QStringLiteral("C:\\New\\a.dll"), MakePeWithVersion(1, 0, 0, 5));
    FPrefix.MakeFolder(QStringLiteral("C:\\App"));
    FInstaller.CopyOrReplaceFileIfNewer(QStringLiteral("C:\\New\\a.dll"), QStringLiteral("C:\\App"));
    EXPECT_EQ(Bytes(QStringLiteral("C:\\App\\a.dll")), MakePeWithVersion(1, 0, 0, 5));
    FPrefix.WriteFile(QStringLiteral("C:\\Old\\a.dll"), MakePeWithVersion(1, 0, 0, 4));
    FInstaller.CopyOrReplaceFileIfNewer(QStringLiteral("C:\\Old\\a.dll"), QStringLiteral("C:\\App"));
    EXPECT_EQ(Bytes(QStringLiteral("C:\\App\\a.dll")), MakePeWithVersion(1, 0, 0, 5));
    // A read-only installed file is replaced as well.
    SetFileAttributes(QStringLiteral("C:\\App\\a.dll"), FILE_ATTRIBUTE_READONLY);
    FPrefix.WriteFile(QStringLiteral("C:\\Newer\\a.dll"), MakePeWithVersion(1, 0, 0, 6));
    FInstaller.CopyOrReplaceFileIfNewer(QStringLiteral("C:\\Newer\\a.dll"), QStringLiteral("C:\\App"));
    EXPECT_EQ(Bytes(QStringLiteral("C:\\App\\a.dll")), MakePeWithVersion(1, 0, 0, 6));
    EXPECT_THROW(FInstaller.CopyOrReplaceFileIfNewer(QStringLiteral("C:\\New\\a.dll"), QStringLiteral("C:\\NoSuch")),
                 Os::Exception);

    FPrefix.WriteFile(QStringLiteral("C:\\New\\sys.dll"), MakePeWithVersion(3, 0, 0, 0));
    FInstaller.CopyToSystem(QStringLiteral("C:\\New\\sys.dll"));
    EXPECT_EQ(Bytes(QStringLiteral("C:\\windows\\syswow64\\sys.dll")), MakePeWithVersion(3, 0, 0, 0));
}

TEST_F(FileInstallation, FontsAreCopiedAndListedOnce)
{
    FPrefix.WriteFile(QStringLiteral("C:\\Kit\\dremlix.ttf"), "font bytes");
    const QString fontsKey = QStringLiteral("Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts");
    FPrefix.SetRegString(
        RegRoot::LocalMachine, fontsKey, QStringLiteral("Arial (TrueType)"), QStringLiteral("arial.ttf"));
    // A font the system lists already is left alone.
    FInstaller.CopyAndInstallFont(QStringLiteral("C:\\Kit\\dremlix.ttf"), QStringLiteral("arial (truetype)"));
    EXPECT_FALSE(Exists(QStringLiteral("C:\\windows\\Fonts\\dremlix.ttf")));
    FInstaller.CopyAndInstallFont(QStringLiteral("C:\\Kit\\dremlix.ttf"), QStringLiteral("Dremlix (TrueType)"));
    EXPECT_EQ(Bytes(QStringLiteral("C:\\windows\\Fonts\\dremlix.ttf")), QByteArray("font bytes"));
    RegKey key;
    ASSERT_EQ(RegKey::Open(RegRoot::LocalMachine, QStringLiteral("Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts"),
                           KEY_READ, key),
              0u);
    RegValue value;
    ASSERT_EQ(key.QueryValue(QStringLiteral("Dremlix (TrueType)"), value), 0u);
    EXPECT_EQ(value.AsString(), QStringLiteral("dremlix.ttf"));
}

TEST_F(FileInstallation, SharedCountsKeepTheirKind)
{
    const QString keyPath = QStringLiteral("Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs");
    auto set = [&](const QString &name, const RegValue &v) {
        FPrefix.SetRegValue(RegRoot::LocalMachine, keyPath, name, v);
    };
    auto get = [&](const QString &name, RegValue &v) {
        RegKey key;
        if (RegKey::Open(RegRoot::LocalMachine, keyPath, KEY_READ, key) != 0)
            return false;
        return key.QueryValue(name, v) == 0;
    };
    const QString dword = QStringLiteral("C:\\windows\\system32\\a.dll");
    const QString text = QStringLiteral("C:\\windows\\system32\\b.dll");
    const QString binary = QStringLiteral("C:\\windows\\system32\\c.dll");
    const QString fresh = QStringLiteral("C:\\windows\\system32\\d.dll");
    const QString bad = QStringLiteral("C:\\windows\\system32\\e.dll");
    set(dword, RegValue::FromDword(1));
    set(text, RegValue::FromString(QStringLiteral("3")));
    set(binary, RegValue::FromBinary(QByteArray::fromHex("02")));
    set(bad, RegValue::FromString(QStringLiteral("molti")));

    TWindowsInstaller::IncrementSharedCount(fresh);
    TWindowsInstaller::IncrementSharedCount(text);
    TWindowsInstaller::IncrementSharedCount(binary);
    TWindowsInstaller::IncrementSharedCount(bad);
    RegValue v;
    ASSERT_TRUE(get(fresh, v));
    EXPECT_EQ(v.Type, static_cast<uint32_t>(REG_DWORD));
    EXPECT_EQ(v.AsDword(), 1u);
    ASSERT_TRUE(get(text, v));
    EXPECT_EQ(v.Type, static_cast<uint32_t>(REG_SZ));
    EXPECT_EQ(v.AsString(), QStringLiteral("4"));
    ASSERT_TRUE(get(binary, v));
    EXPECT_EQ(v.Type, static_cast<uint32_t>(REG_BINARY));
    EXPECT_EQ(v.Data, QByteArray::fromHex("03000000"));
    ASSERT_TRUE(get(bad, v));
    EXPECT_EQ(v.Type, static_cast<uint32_t>(REG_DWORD));
    EXPECT_EQ(v.AsDword(), 1u);

    EXPECT_TRUE(TWindowsInstaller::DecrementSharedCount(dword));
    EXPECT_FALSE(get(dword, v));
    EXPECT_FALSE(TWindowsInstaller::DecrementSharedCount(dword));
    EXPECT_FALSE(get(dword, v));
    EXPECT_FALSE(TWindowsInstaller::DecrementSharedCount(text));
    ASSERT_TRUE(get(text, v));
    EXPECT_EQ(v.AsString(), QStringLiteral("3"));
    set(bad, RegValue::FromString(QStringLiteral("molti")));
    EXPECT_FALSE(TWindowsInstaller::DecrementSharedCount(bad)); // unreadable counts as 2
    ASSERT_TRUE(get(bad, v));
    EXPECT_EQ(v.AsDword(), 1u);
    set(dword, RegValue::FromDword(0));
    EXPECT_FALSE(TWindowsInstaller::DecrementSharedCount(dword));
    ASSERT_TRUE(get(dword, v));
    EXPECT_EQ(v.AsDword(), 0xFFFFFFFFu);

    TWindowsInstaller::RemoveSharedCount(text);
    EXPECT_FALSE(get(text, v));
    TWindowsInstaller::RemoveSharedCount(text);

    FPrefix.MakeHiveReadOnly(RegRoot::LocalMachine);
    try {
        TWindowsInstaller::IncrementSharedCount(fresh);
        FAIL() << "a read-only hive took a count";
    } catch (const Os::Exception &e) {
        EXPECT_EQ(e.Message(),
                  QStringLiteral("Registry access error : \r\nSoftware\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs"));
    }
}

TEST_F(FileInstallation, UniqueFolders)
{
    FPrefix.MakeFolder(QStringLiteral("C:\\T"));
    EXPECT_EQ(TWindowsInstaller::CreateUniqueDir(QStringLiteral("C:\\T"), QStringLiteral("inst")), QStringLiteral("C:\\T\\inst000"));
    EXPECT_EQ(TWindowsInstaller::CreateUniqueDir(QStringLiteral("C:\\T\\"), QStringLiteral("inst")), QStringLiteral("C:\\T\\inst001"));
    EXPECT_TRUE(TWindowsInstaller::FileOrDirExists(QStringLiteral("C:\\T\\inst001")));
    try {
        TWindowsInstaller::CreateUniqueDir(QStringLiteral("C:\\Nope"), QStringLiteral("inst"));
        FAIL() << "no error for a missing folder";
    } catch (const Os::Exception &e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Directory does not exist :\r\nC:\\Nope"));
    }
}
