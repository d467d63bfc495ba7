#include "support/QStringPrinter.h"
#include "support/ScriptedUiServices.h"
#include "support/TempPrefix.h"

#include "platform/GeneralRoutines.h"
#include "oslayer/Exceptions.h"
#include "oslayer/Files.h"
#include "oslayer/Registry.h"
#include "oslayer/SystemInfo.h"
#include "oslayer/WinError.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTimer>
#include <QFileInfo>
#include <unistd.h>
#include <QFile>
#include <gtest/gtest.h>

using namespace Os;

namespace {

const QString CrLf = QStringLiteral("\r\n");

QString HostText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

} // namespace

// ---- Error texts and reports ------------------------------------------------------------

TEST(SysErrorText, KnownCodeIsTheSystemTextUnknownCodeIsTheNumber)
{
    EXPECT_EQ(GetSysErrorText(5), QStringLiteral("Access is denied."));
    EXPECT_EQ(GetSysErrorText(987654), QStringLiteral("code : 987654"));
    SetLastError(2);
    EXPECT_EQ(GetLastSysErrorText(), QStringLiteral("The system cannot find the file specified."));
}

struct ReportCase {
    const char *Name;
    std::function<void()> Call;
    QString Text;
    bool Shown;      // an error box
    bool Raises;     // an ordinary error carrying the text
    bool Aborts;     // the silent abort after the box
};

TEST(ErrorReports, TextsBoxesAndRaisesFollowTheFlags)
{
    const QString sys = QStringLiteral("Access is denied.");
    const QString copy = QStringLiteral("Copia archivio impossibile :") + CrLf + QStringLiteral("C:\\a.dll") + CrLf
        + QStringLiteral("Destinazione :") + CrLf + QStringLiteral("D:\\b.dll") + CrLf + sys;
    const QString del = QStringLiteral("l'archivio non può essere eliminato!") + CrLf + QStringLiteral("C:\\x.exe")
        + CrLf + sys;
    const QString attr = QStringLiteral("Non può modificare gli attributi dell'archivio: ") + CrLf
        + QStringLiteral("C:\\y.hlp") + CrLf + sys;
    const QString last = QStringLiteral("Cannot move") + CrLf + sys;
    const ReportCase cases[] = {
        {"copy raise", [] { ReportCopyError(QStringLiteral("C:\\a.dll"), QStringLiteral("D:\\b.dll"), false); }, copy,
         false, true, false},
        {"copy show", [] { ReportCopyError(QStringLiteral("C:\\a.dll"), QStringLiteral("D:\\b.dll"), true); }, copy,
         true, false, false},
        {"delete raise", [] { ReportDeleteError(QStringLiteral("C:\\x.exe"), false); }, del, false, true, false},
        {"delete show", [] { ReportDeleteError(QStringLiteral("C:\\x.exe"), true); }, del, true, false, false},
        {"attribute abort", [] { ReportAttributeError(QStringLiteral("C:\\y.hlp"), false); }, attr, true, false, true},
        {"attribute continue", [] { ReportAttributeError(QStringLiteral("C:\\y.hlp"), true); }, attr, true, false,
         false},
        {"last error abort", [] { ShowLastError(QStringLiteral("Cannot move"), false); }, last, true, false, true},
        {"last error continue", [] { ShowLastError(QStringLiteral("Cannot move"), true); }, last, true, false, false},
    };
    for (const ReportCase &c : cases) {
        SCOPED_TRACE(c.Name);
        ScriptedUiServices ui;
        SetLastError(5);
        bool raised = false, aborted = false;
        QString message;
        try {
            c.Call();
        } catch (const EAbort &) {
            aborted = true;
        } catch (const Exception &e) {
            raised = true;
            message = e.Message();
        }
        EXPECT_EQ(raised, c.Raises);
        EXPECT_EQ(aborted, c.Aborts);
        if (c.Raises) {
            EXPECT_EQ(message, c.Text);
        }
        ASSERT_EQ(ui.Boxes().size(), c.Shown ? 1 : 0);
        if (c.Shown) {
            EXPECT_EQ(ui.Boxes().first().Caption, QStringLiteral("Erreur"));
            EXPECT_EQ(ui.Boxes().first().Kind, MessageKind::Error);
            EXPECT_EQ(ui.Boxes().first().Text, c.Text);
            EXPECT_EQ(ui.Beeps(), QList<uint32_t>{0x30});
        }
    }
}

// ---- The message-processing wait ----------------------------------------------------------

class WaitTest : public ::testing::Test {
protected:
    void TearDown() override { SetTickCountSource({}); }

    // Milliseconds of the wall clock a call takes.
    template <typename Call> static qint64 Timed(Call call)
    {
        QElapsedTimer timer;
        timer.start();
        call();
        return timer.elapsed();
    }

    ScriptedUiServices FUi;
};

TEST_F(WaitTest, ZeroReturnsAtOnceWithoutHandlingEvents)
{
    bool fired = false;
    QTimer::singleShot(0, [&] { fired = true; });
    EXPECT_LT(Timed([] { WaitMilliseconds(0); }), 50);
    EXPECT_FALSE(fired);
    QCoreApplication::processEvents();
    EXPECT_TRUE(fired);
}

TEST_F(WaitTest, PositiveWaitSleepsInTheEventLoopAndHandlesWhatComes)
{
    qint64 firedAt = -1;
    QElapsedTimer clock;
    clock.start();
    QTimer::singleShot(30, [&] { firedAt = clock.elapsed(); });
    // Every pass of the loop over the event dispatcher, that is every time the thread wakes.
    int wakes = 0;
    const QMetaObject::Connection counting = QObject::connect(
        QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake, [&] { ++wakes; });
    const qint64 took = Timed([] { WaitMilliseconds(300); });
    QObject::disconnect(counting);
    EXPECT_GE(took, 299); // the tick count is read to the millisecond
    EXPECT_LT(took, 1500);
    EXPECT_GE(firedAt, 30) << "the timer's event is handled during the wait, when it is due";
    EXPECT_LT(firedAt, 300);
    // A wait that polls wakes a thousand times and more in 300 ms.
    EXPECT_LT(wakes, 20);
}

TEST_F(WaitTest, NegativeWaitHandlesNothing)
{
    bool fired = false;
    QTimer::singleShot(10, [&] { fired = true; });
    const qint64 took = Timed([] { WaitMilliseconds(-100); });
    EXPECT_GE(took, 99);
    EXPECT_LT(took, 1000);
    EXPECT_FALSE(fired);
    QCoreApplication::processEvents();
    EXPECT_TRUE(fired);
}

TEST_F(WaitTest, WaitAcrossTheCounterWrapLastsWhatWasAsked)
{
    // 40 ms before the 32-bit counter wraps; an end computed without the wrap would be
    // reached at once (or never).
    for (const int32_t ms : { 200, -200 }) {
        SCOPED_TRACE(ms);
        QElapsedTimer clock;
        clock.start();
        SetTickCountSource([&clock] { return uint32_t(0xFFFFFFFFu - 40u + uint32_t(clock.elapsed())); });
        const qint64 took = Timed([ms] { WaitMilliseconds(ms); });
        EXPECT_GE(took, 199);
        EXPECT_LT(took, 1500);
    }
}

TEST_F(WaitTest, EndsAtOnceWhenTheApplicationIsAskedToTerminate)
{
    FUi.Terminate();
    EXPECT_LT(Timed([] { WaitMilliseconds(100000); }), 50);
    EXPECT_LT(Timed([] { WaitMilliseconds(-100000); }), 50);
}

TEST_F(WaitTest, EndsWhenTheApplicationIsAskedToTerminateDuringTheWait)
{
    QTimer::singleShot(30, [&] { FUi.Terminate(); });
    const qint64 took = Timed([] { WaitMilliseconds(100000); });
    EXPECT_GE(took, 30);
    EXPECT_LT(took, 2000);
}

TEST_F(WaitTest, EndsWhenTheApplicationQuitsAsWhenItsLastWindowCloses)
{
    // The quit of the application ends its event loops: the one of the wait, then the
    // application's own, as when the main window closes during an update.
    qint64 took = -1;
    QTimer::singleShot(0, [&] {
        QTimer::singleShot(30, QCoreApplication::instance(), &QCoreApplication::quit);
        took = Timed([] { WaitMilliseconds(100000); });
    });
    QCoreApplication::exec();
    EXPECT_GE(took, 30);
    EXPECT_LT(took, 2000);
}

// ---- Paths --------------------------------------------------------------------------------

TEST(PathRules, TrailingBackslashParentAndFolderPart)
{
    const struct {
        const char *Path, *WithBackslash, *Parent, *FolderPart;
    } cases[] = {
        {"", "", "", ""},
        {"C:\\A", "C:\\A\\", "C:\\", "C:\\"},
        {"C:\\A\\", "C:\\A\\", "C:\\", "C:\\A\\"},
        {"C:\\A\\B\\", "C:\\A\\B\\", "C:\\A\\", "C:\\A\\B\\"},
        {"C:\\A\\B", "C:\\A\\B\\", "C:\\A\\", "C:\\A\\"},
        {"C:\\", "C:\\", "C:\\", "C:\\"},
        {"X", "X\\", "X", ""},
        {"Orvanta.exe", "Orvanta.exe\\", "Orv", ""},
        {"127.0.0.1:C:\\Data\\db.fdb", "127.0.0.1:C:\\Data\\db.fdb\\", "127.0.0.1:C:\\Data\\", "127.0.0.1:C:\\Data\\"},
        {"server:db.fdb", "server:db.fdb\\", "ser", "server:"},
        {"\\\\srv\\share\\f.txt", "\\\\srv\\share\\f.txt\\", "\\\\srv\\share\\", "\\\\srv\\share\\"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Path);
        const QString path = QString::fromLatin1(c.Path);
        EXPECT_EQ(AddTrailingBackslash(path), QString::fromLatin1(c.WithBackslash));
        QString inPlace = path;
        AddTrailingBackslashInPlace(inPlace);
        EXPECT_EQ(inPlace, QString::fromLatin1(c.WithBackslash));
        EXPECT_EQ(GetParentFolder(path), QString::fromLatin1(c.Parent));
        EXPECT_EQ(ExtractFilePath(path), QString::fromLatin1(c.FolderPart));
        EXPECT_EQ(ExtractFilePath(path) + ExtractFileName(path), path);
    }
}

TEST(SystemNames, WindowsFolderComputerAndUser)
{
    TempPrefix prefix;
    EXPECT_EQ(GetWindowsFolder().toLower(), QStringLiteral("c:\\windows\\"));
    const QString computer = GetComputerNameText();
    EXPECT_FALSE(computer.isEmpty());
    EXPECT_NE(computer, QStringLiteral("?"));
    const QString user = GetUserNameText();
    EXPECT_FALSE(user.isEmpty());
    SetLastError(ERROR_NOT_LOGGED_ON); // a stale error of an earlier call
    EXPECT_EQ(GetUserNameText(), user);
}

// ---- Registry values ------------------------------------------------------------------------

class RegistryValues : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegKey key;
        ASSERT_EQ(RegKey::Create(RegRoot::LocalMachine, Key, KEY_ALL_ACCESS, key), 0u);
        key.SetValue(QStringLiteral("Licenze"), RegValue::FromDword(12));
        key.SetValue(QStringLiteral("Nome"), RegValue::FromString(QStringLiteral("Società")));
        key.SetValue(QStringLiteral("Espanso"), RegValue::FromString(QStringLiteral("%SystemDrive%\\x"), REG_EXPAND_SZ));
        key.SetValue(QStringLiteral("Chiave"), RegValue::FromBinary(QByteArray::fromHex("0a0b0c0d")));
    }
    RegValue Stored(const QString &name)
    {
        RegKey key;
        RegValue value;
        EXPECT_EQ(RegKey::Open(RegRoot::LocalMachine, Key, KEY_READ, key), 0u);
        key.QueryValue(name, value);
        return value;
    }

    const QString Key = QStringLiteral("Software\\DREMLIX S.A.\\Prova");
    TempPrefix FPrefix;
};

TEST_F(RegistryValues, ReadGivesIntegersStringsAndDefaults)
{
    const struct {
        const char *Key, *Value, *Default;
        QVariant Expected;
    } cases[] = {
        {"Software\\DREMLIX S.A.\\Prova", "Licenze", "", QVariant(12)},
        {"Software\\DREMLIX S.A.\\Prova", "Nome", "", QVariant(QStringLiteral("Società"))},
        {"software\\dremlix s.a.\\PROVA", "nome", "", QVariant(QStringLiteral("Società"))},
        {"Software\\DREMLIX S.A.\\Prova", "Espanso", "", QVariant(QStringLiteral("%SystemDrive%\\x"))},
        {"Software\\DREMLIX S.A.\\Prova", "Missing", "0", QVariant(QString())},
        {"Software\\DREMLIX S.A.\\Missing", "Nome", "", QVariant(QString())},
        {"Software\\DREMLIX S.A.\\Missing", "Nome", "0", QVariant(0)},
        {"Software\\DREMLIX S.A.\\Missing", "Nome", "fallback", QVariant(QStringLiteral("fallback"))},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.Key) + " / " + c.Value + " / " + c.Default);
        const QVariant v = ReadRegistryValue(RegRoot::LocalMachine, QLatin1String(c.Key), QLatin1String(c.Value),
                                             KEY_READ, QLatin1String(c.Default), false);
        EXPECT_EQ(v.typeId(), c.Expected.typeId());
        EXPECT_EQ(v, c.Expected);
    }
    EXPECT_EQ(RegistryValueText(QVariant(12)), QStringLiteral("12"));
    // Nothing was created by the reads.
    RegKey key;
    EXPECT_EQ(RegKey::Open(RegRoot::LocalMachine, QStringLiteral("Software\\DREMLIX S.A.\\Missing"), KEY_READ, key),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryValues, TheDefaultAccessIsFullAccess)
{
    // A hive that cannot be written denies full access: the default comes back, while a
    // read-only open still reads the value.
    FPrefix.MakeHiveReadOnly(RegRoot::LocalMachine);
    EXPECT_EQ(ReadRegistryValue(RegRoot::LocalMachine, Key, QStringLiteral("Nome"), RegDefaultAccess,
                                QStringLiteral("nessuno"), false),
              QVariant(QStringLiteral("nessuno")));
    EXPECT_EQ(ReadRegistryValue(RegRoot::LocalMachine, Key, QStringLiteral("Nome"), KEY_READ, QStringLiteral("nessuno"), false),
              QVariant(QStringLiteral("Società")));
}

TEST_F(RegistryValues, ReadOfABinaryValueRaisesCreateKeyCreates)
{
    EXPECT_THROW(ReadRegistryValue(RegRoot::LocalMachine, Key, QStringLiteral("Chiave"), KEY_READ, QString(), false),
                 ERegistryError);
    const QString created = QStringLiteral("Software\\DREMLIX S.A.\\Nuova");
    EXPECT_EQ(ReadRegistryValue(RegRoot::CurrentUser, created, QStringLiteral("X"), RegDefaultAccess, QStringLiteral("0"), true),
              QVariant(QString()));
    RegKey key;
    EXPECT_EQ(RegKey::Open(RegRoot::CurrentUser, created, KEY_READ, key), 0u);
}

TEST_F(RegistryValues, WriteKeepsTheIntegerKindAndRefusesNonNumbers)
{
    EXPECT_TRUE(WriteRegistryValue(RegRoot::LocalMachine, Key, QStringLiteral("Licenze"), QStringLiteral("15"), false));
    EXPECT_EQ(Stored(QStringLiteral("Licenze")).Type, static_cast<uint32_t>(REG_DWORD));
    EXPECT_EQ(Stored(QStringLiteral("Licenze")).AsDword(), 15u);
    EXPECT_TRUE(WriteRegistryValue(RegRoot::LocalMachine, Key, QStringLiteral("Licenze"), QVariant(12), false));
    EXPECT_EQ(Stored(QStringLiteral("Licenze")).AsDword(), 12u);

    EXPECT_THROW(WriteRegistryValue(RegRoot::LocalMachine, Key, QStringLiteral("Licenze"), QStringLiteral("dodici"), false),
                 EConvertError);
    EXPECT_EQ(Stored(QStringLiteral("Licenze")).AsDword(), 12u);

    // Anything else is written as text, a number too.
    EXPECT_TRUE(WriteRegistryValue(RegRoot::LocalMachine, Key, QStringLiteral("Nuovo"), QVariant(7), false));
    EXPECT_EQ(Stored(QStringLiteral("Nuovo")).Type, static_cast<uint32_t>(REG_SZ));
    EXPECT_EQ(Stored(QStringLiteral("Nuovo")).AsString(), QStringLiteral("7"));
}

TEST_F(RegistryValues, WriteFailsForEmptyOrMissingKeysAndDeniedHives)
{
    EXPECT_FALSE(WriteRegistryValue(RegRoot::LocalMachine, QString(), QStringLiteral("X"), QStringLiteral("1"), true));
    const QString missing = QStringLiteral("Software\\DREMLIX S.A.\\Assente");
    EXPECT_FALSE(WriteRegistryValue(RegRoot::LocalMachine, missing, QStringLiteral("X"), QStringLiteral("1"), false));
    RegKey key;
    EXPECT_EQ(RegKey::Open(RegRoot::LocalMachine, missing, KEY_READ, key), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(WriteRegistryValue(RegRoot::LocalMachine, missing, QStringLiteral("X"), QStringLiteral("1"), true));
    EXPECT_EQ(ReadRegistryString(RegRoot::LocalMachine, missing, QStringLiteral("X")), QStringLiteral("1"));

    FPrefix.MakeHiveReadOnly(RegRoot::LocalMachine);
    EXPECT_FALSE(WriteRegistryValue(RegRoot::LocalMachine, Key, QStringLiteral("Nome"), QStringLiteral("z"), false));
    EXPECT_EQ(Stored(QStringLiteral("Nome")).AsString(), QStringLiteral("Società"));
}

TEST_F(RegistryValues, StringReadAndWrite)
{
    EXPECT_EQ(ReadRegistryString(RegRoot::LocalMachine, QStringLiteral("Software\\Assente"), QStringLiteral("Nome")),
              QString());
    EXPECT_EQ(ReadRegistryString(RegRoot::LocalMachine, Key, QStringLiteral("Assente")), QString());
    EXPECT_EQ(ReadRegistryString(RegRoot::LocalMachine, Key, QStringLiteral("Nome")), QStringLiteral("Società"));

    const QString fresh = QStringLiteral("Software\\DREMLIX S.A.\\Multiste");
    WriteRegistryString(RegRoot::CurrentUser, fresh, QStringLiteral("LastCompany"), QStringLiteral("Società Rossi & Figli"));
    EXPECT_EQ(ReadRegistryString(RegRoot::CurrentUser, fresh, QStringLiteral("LastCompany")),
              QStringLiteral("Società Rossi & Figli"));

    FPrefix.MakeHiveReadOnly(RegRoot::CurrentUser);
    try {
        WriteRegistryString(RegRoot::CurrentUser, fresh, QStringLiteral("LastCompany"), QStringLiteral("Altra"));
        FAIL() << "a read-only hive was written";
    } catch (const Exception &e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Scrittura di un valore di registro umpossibile : \r\n"
                                              "Controllare i vostri diritti di accesso."));
    }
    EXPECT_EQ(ReadRegistryString(RegRoot::CurrentUser, fresh, QStringLiteral("LastCompany")),
              QStringLiteral("Società Rossi & Figli"));
}

// ---- The shell's file operation ------------------------------------------------------------

class ShellOperationTest : public ::testing::Test {
protected:
    bool Exists(const QString &windowsPath) { return QFileInfo::exists(FPrefix.HostPath(windowsPath)); }
    TempPrefix FPrefix;
    ScriptedUiServices FUi;
};

TEST_F(ShellOperationTest, DeletesTheTemporaryFilesOfAMaskSilently)
{
    const QStringList doomed = {QStringLiteral("C:\\Temp\\Update123.tmp"), QStringLiteral("C:\\Temp\\update9.TMP"),
                                QStringLiteral("C:\\Temp\\Update.tmp")};
    const QStringList kept = {QStringLiteral("C:\\Temp\\Update1.txt"), QStringLiteral("C:\\Temp\\Other.tmp"),
                              QStringLiteral("C:\\Temp\\Sub\\Update5.tmp")};
    for (const QString &f : doomed + kept)
        FPrefix.WriteFile(f, "x");
    EXPECT_EQ(ShellFileOperation(FO_DELETE, QStringLiteral("C:\\Temp\\Update*.tmp"), QString(), QString(),
                                 FOF_SILENT | FOF_NOCONFIRMATION),
              0);
    for (const QString &f : doomed)
        EXPECT_FALSE(Exists(f)) << f.toStdString();
    for (const QString &f : kept)
        EXPECT_TRUE(Exists(f)) << f.toStdString();
    EXPECT_TRUE(FUi.Boxes().isEmpty());
    // Nothing left to match is no failure.
    EXPECT_EQ(ShellFileOperation(FO_DELETE, QStringLiteral("C:\\Temp\\Update*.tmp"), QString(), QString(), 0x14), 0);
}

TEST_F(ShellOperationTest, DeleteAsksUnlessToldNotToAndDeclineAborts)
{
    FPrefix.WriteFile(QStringLiteral("C:\\Temp\\a.tmp"), "x");
    FPrefix.WriteFile(QStringLiteral("C:\\Temp\\b.tmp"), "x");
    FUi.QueueAnswer(false);
    EXPECT_EQ(ShellFileOperation(FO_DELETE, QStringLiteral("C:\\Temp\\*.tmp"), QString(), QString(), FOF_SILENT), -1);
    ASSERT_EQ(FUi.Boxes().size(), 1);
    EXPECT_TRUE(FUi.Boxes().first().YesNo);
    EXPECT_TRUE(Exists(QStringLiteral("C:\\Temp\\a.tmp")));
    FUi.QueueAnswer(true);
    EXPECT_EQ(ShellFileOperation(FO_DELETE, QStringLiteral("C:\\Temp\\*.tmp"), QString(), QString(), FOF_SILENT), 0);
    EXPECT_FALSE(Exists(QStringLiteral("C:\\Temp\\a.tmp")));
    EXPECT_FALSE(Exists(QStringLiteral("C:\\Temp\\b.tmp")));
    // With a progress title the flags no longer count: the question is asked.
    FPrefix.WriteFile(QStringLiteral("C:\\Temp\\c.tmp"), "x");
    FUi.QueueAnswer(false);
    EXPECT_EQ(ShellFileOperation(FO_DELETE, QStringLiteral("C:\\Temp\\c.tmp"), QString(), QStringLiteral("Pulizia"),
                                 FOF_NOCONFIRMATION),
              -1);
    EXPECT_EQ(FUi.Boxes().size(), 3);
    EXPECT_TRUE(Exists(QStringLiteral("C:\\Temp\\c.tmp")));
}

TEST_F(ShellOperationTest, DeletesFoldersWithTheirContentAndSeveralNames)
{
    FPrefix.WriteFile(QStringLiteral("C:\\Work\\Tree\\a\\b\\c.txt"), "x");
    FPrefix.WriteFile(QStringLiteral("C:\\Work\\One.txt"), "x");
    FPrefix.WriteFile(QStringLiteral("C:\\Work\\Two.txt"), "x");
    const QString names = QStringLiteral("C:\\Work\\Tree") + QChar(0) + QStringLiteral("C:\\Work\\One.txt");
    EXPECT_EQ(ShellFileOperation(FO_DELETE, names, QString(), QString(), FOF_NOCONFIRMATION), 0);
    EXPECT_FALSE(Exists(QStringLiteral("C:\\Work\\Tree")));
    EXPECT_FALSE(Exists(QStringLiteral("C:\\Work\\One.txt")));
    EXPECT_TRUE(Exists(QStringLiteral("C:\\Work\\Two.txt")));
}

TEST_F(ShellOperationTest, FailuresGiveTheWindowsCodeWithOrWithoutABox)
{
    EXPECT_EQ(ShellFileOperation(FO_DELETE, QStringLiteral("C:\\here.txt"), QString(), QString(),
                                 FOF_NOCONFIRMATION | FOF_NOERRORUI),
              2);
    EXPECT_EQ(ShellFileOperation(FO_DELETE, QStringLiteral("C:\\Nothing\\here.txt"), QString(), QString(),
                                 FOF_NOCONFIRMATION | FOF_NOERRORUI),
              3);
    EXPECT_TRUE(FUi.Boxes().isEmpty());
    EXPECT_EQ(ShellFileOperation(FO_DELETE, QStringLiteral("C:\\Nothing\\*.txt"), QString(), QString(),
                                 FOF_NOCONFIRMATION),
              3);
    ASSERT_EQ(FUi.Boxes().size(), 1);
    EXPECT_EQ(FUi.Boxes().first().Caption, QStringLiteral("Erreur"));
    EXPECT_EQ(ShellFileOperation(FO_DELETE, QStringLiteral("Q:\\x.txt"), QString(), QString(), 0x14 | FOF_NOERRORUI),
              3);
}

TEST_F(ShellOperationTest, CopyMoveAndRename)
{
    FPrefix.WriteFile(QStringLiteral("C:\\Src\\a.dll"), "A");
    FPrefix.WriteFile(QStringLiteral("C:\\Src\\b.dll"), "B");
    FPrefix.WriteFile(QStringLiteral("C:\\Src\\sub\\c.txt"), "C");
    FPrefix.MakeFolder(QStringLiteral("C:\\Dest"));

    EXPECT_EQ(ShellFileOperation(FO_COPY, QStringLiteral("C:\\Src\\*.dll"), QStringLiteral("C:\\Dest"), QString(),
                                 FOF_NOCONFIRMATION),
              0);
    EXPECT_EQ(HostText(FPrefix.HostPath(QStringLiteral("C:\\Dest\\a.dll"))), QStringLiteral("A"));
    EXPECT_EQ(HostText(FPrefix.HostPath(QStringLiteral("C:\\Dest\\b.dll"))), QStringLiteral("B"));
    EXPECT_TRUE(Exists(QStringLiteral("C:\\Src\\a.dll")));

    // A folder is copied with its content; a single file to a new name is that name.
    EXPECT_EQ(ShellFileOperation(FO_COPY, QStringLiteral("C:\\Src\\sub"), QStringLiteral("C:\\Dest"), QString(),
                                 FOF_NOCONFIRMATION),
              0);
    EXPECT_EQ(HostText(FPrefix.HostPath(QStringLiteral("C:\\Dest\\sub\\c.txt"))), QStringLiteral("C"));
    EXPECT_EQ(ShellFileOperation(FO_COPY, QStringLiteral("C:\\Src\\a.dll"), QStringLiteral("C:\\Dest\\z.dll"),
                                 QString(), FOF_NOCONFIRMATION),
              0);
    EXPECT_EQ(HostText(FPrefix.HostPath(QStringLiteral("C:\\Dest\\z.dll"))), QStringLiteral("A"));

    // Over an existing file: declined keeps it, a collision name keeps both.
    FUi.QueueAnswer(false);
    EXPECT_EQ(ShellFileOperation(FO_COPY, QStringLiteral("C:\\Src\\b.dll"), QStringLiteral("C:\\Dest\\z.dll"),
                                 QString(), 0),
              -1);
    EXPECT_EQ(HostText(FPrefix.HostPath(QStringLiteral("C:\\Dest\\z.dll"))), QStringLiteral("A"));
    EXPECT_EQ(ShellFileOperation(FO_COPY, QStringLiteral("C:\\Src\\b.dll"), QStringLiteral("C:\\Dest\\z.dll"),
                                 QString(), FOF_RENAMEONCOLLISION),
              0);
    EXPECT_EQ(HostText(FPrefix.HostPath(QStringLiteral("C:\\Dest\\Copy of z.dll"))), QStringLiteral("B"));

    EXPECT_EQ(ShellFileOperation(FO_MOVE, QStringLiteral("C:\\Src\\b.dll"), QStringLiteral("C:\\Moved"), QString(),
                                 FOF_NOCONFIRMATION),
              0);
    EXPECT_EQ(HostText(FPrefix.HostPath(QStringLiteral("C:\\Moved"))), QStringLiteral("B"));
    EXPECT_FALSE(Exists(QStringLiteral("C:\\Src\\b.dll")));

    EXPECT_EQ(ShellFileOperation(FO_RENAME, QStringLiteral("C:\\Src\\a.dll"), QStringLiteral("renamed.dll"),
                                 QString(), FOF_NOCONFIRMATION),
              0);
    EXPECT_TRUE(Exists(QStringLiteral("C:\\Src\\renamed.dll")));
    EXPECT_FALSE(Exists(QStringLiteral("C:\\Src\\a.dll")));
    EXPECT_EQ(ShellFileOperation(FO_RENAME, QStringLiteral("C:\\Src\\renamed.dll"), QStringLiteral("C:\\Dest\\z.dll"),
                                 QString(), FOF_NOCONFIRMATION | FOF_NOERRORUI),
              static_cast<int32_t>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(Exists(QStringLiteral("C:\\Src\\renamed.dll")));

    // A folder into itself is refused and leaves it as it was.
    EXPECT_EQ(ShellFileOperation(FO_COPY, QStringLiteral("C:\\Src"), QStringLiteral("C:\\Src\\sub"), QString(),
                                 FOF_NOCONFIRMATION | FOF_NOERRORUI),
              0x76);
    EXPECT_FALSE(Exists(QStringLiteral("C:\\Src\\sub\\Src")));
    EXPECT_EQ(ShellFileOperation(FO_MOVE, QStringLiteral("C:\\Src"), QStringLiteral("c:\\src\\deeper\\x"), QString(),
                                 FOF_NOCONFIRMATION | FOF_NOERRORUI),
              0x76);
    EXPECT_TRUE(Exists(QStringLiteral("C:\\Src\\renamed.dll")));
}

// ---- Folder browser and drives ---------------------------------------------------------------

TEST(FolderBrowser, ChoiceReplacesThePathCancelKeepsIt)
{
    ScriptedUiServices ui;
    QString path = QStringLiteral("C:\\WDremlix\\");
    ui.QueueFolder(QStringLiteral("D:\\Altro"));
    EXPECT_TRUE(BrowseForFolder(QStringLiteral("Scegliere"), 0, path, 0x25, QString()));
    EXPECT_EQ(path, QStringLiteral("D:\\Altro"));
    ui.QueueFolder(QString());
    EXPECT_FALSE(BrowseForFolder(QStringLiteral("Scegliere"), 0, path, 0x25, QString()));
    EXPECT_EQ(path, QStringLiteral("D:\\Altro"));
    EXPECT_EQ(ui.BrowseTitles, QStringList({QStringLiteral("Scegliere"), QStringLiteral("Scegliere")}));
}

TEST(DriveLetters, UpperCaseLettersOfTheDrivesThatResolve)
{
    TempPrefix prefix;
    prefix.AddDrive(QLatin1Char('e'), QString(), QStringLiteral("cdrom"));
    prefix.AddDrive(QLatin1Char('d'));
    // A link to nothing is no drive.
    ::symlink("../nowhere", QFile::encodeName(prefix.Root() + QStringLiteral("/dosdevices/m:")).constData());
    // The default prefix also has z: for the host's root.
    EXPECT_EQ(GetDriveLetters(), QStringLiteral("CDEZ"));
}
