#include "DialogsFixture.h"

#include "dialogs/dlgFileOpenUnit.h"
#include "oslayer/Files.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QListView>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QWidget>
#include <algorithm>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

const QStringList DialogsTest::ListedFdbFiles
    = {QStringLiteral("Base.fdb"), QStringLiteral("UPPER.FDB"), QStringLiteral("mixed.Fdb")};
const QStringList DialogsTest::OtherFiles
    = {QStringLiteral("old.gdb"), QStringLiteral("notes.txt"), QStringLiteral("Shortcut.lnk")};

bool SetCompressedFlag(const QString &hostPath, bool on)
{
    const int fd = ::open(QFile::encodeName(hostPath).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
        flags = on ? flags | FS_COMPR_FL : flags & ~FS_COMPR_FL;
        done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0
            && bool(flags & FS_COMPR_FL) == on;
    }
    ::close(fd);
    return done;
}

void DialogsTest::SetUp()
{
    Prefix = std::make_unique<TempPrefix>();
    ASSERT_TRUE(Prefix->IsValid());
    Ui = std::make_unique<ScriptedUiServices>();
    Prefix->AddDrive(QLatin1Char('D'), QString(), QStringLiteral("cdrom"));
    Prefix->AddDrive(QLatin1Char('E'), QString(), QStringLiteral("floppy"));
    Prefix->AddDrive(QLatin1Char('F'), QString(), QStringLiteral("hd"));
    Prefix->AddDrive(QLatin1Char('N'), QString(), QStringLiteral("network"));
    Prefix->AddDrive(QLatin1Char('R'), QString(), QStringLiteral("ramdisk"));
    const QByteArray bytes("database pages");
    for (const QString &name : ListedFdbFiles + OtherFiles)
        Prefix->WriteFile(QStringLiteral("C:\\Data\\") + name, bytes);
    Prefix->WriteFile(QStringLiteral("C:\\Data\\hidden.fdb"), bytes);
    ASSERT_TRUE(Os::SetFileAttributes(QStringLiteral("C:\\Data\\hidden.fdb"), Os::FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(Os::GetFileAttributes(QStringLiteral("C:\\Data\\hidden.fdb")) & Os::FILE_ATTRIBUTE_HIDDEN);
    Prefix->WriteFile(QStringLiteral("C:\\Data\\.dotted.fdb"), bytes);
    CompressedSet = SetCompressedFlag(Prefix->WriteFile(QStringLiteral("C:\\Data\\packed.fdb"), bytes), true);
    Prefix->MakeFolder(QStringLiteral("C:\\Data\\Sub"));
    Prefix->WriteFile(QStringLiteral("C:\\Data\\Sub\\Inner.fdb"), bytes);
    // Databases on the drives that must not be offered.
    for (const QChar letter : {u'D', u'E', u'N', u'R'})
        Prefix->WriteFile(QString(letter) + QStringLiteral(":\\Data\\Far.fdb"), bytes);
    Prefix->WriteFile(QStringLiteral("F:\\Second.fdb"), bytes);
}

bool WaitUntil(const std::function<bool()> &predicate, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!predicate()) {
        if (timer.elapsed() > timeoutMs)
            return predicate();
        QTest::qWait(10);
    }
    return true;
}

void Idle()
{
    // A loop that waits for its timer goes idle first; processEvents alone never does.
    QEventLoop loop;
    QTimer::singleShot(5, &loop, &QEventLoop::quit);
    loop.exec();
}

bool Activate(QWidget *window)
{
    window->show();
    window->activateWindow();
    return QTest::qWaitForWindowActive(window);
}

void TypeIntoFocus(const QString &text)
{
    for (const QChar c : text) {
        QWidget *focus = QApplication::focusWidget();
        if (!focus) {
            ADD_FAILURE() << "no control has the focus";
            return;
        }
        QTest::keyClick(focus, c.toLatin1());
    }
}

void KeyToFocus(int key, Qt::KeyboardModifiers modifiers)
{
    QWidget *focus = QApplication::focusWidget();
    if (!focus) {
        ADD_FAILURE() << "no control has the focus";
        return;
    }
    QTest::keyClick(focus, Qt::Key(key), modifiers);
}

QStringList ListNames(const TdlgFileOpen &dialog)
{
    QStringList names;
    const QAbstractItemModel *model = dialog.PTShellList1->model();
    const QModelIndex root = dialog.PTShellList1->rootIndex();
    if (!root.isValid())
        return names;
    for (int row = 0; row < model->rowCount(root); ++row)
        names.append(model->index(row, 0, root).data().toString());
    names.sort(Qt::CaseInsensitive);
    return names;
}

QStringList TreeRootNames(const TdlgFileOpen &dialog)
{
    QStringList names;
    const QAbstractItemModel *model = dialog.PTShellTree1->model();
    const QModelIndex root = dialog.PTShellTree1->rootIndex();
    for (int row = 0; row < model->rowCount(root); ++row)
        names.append(model->index(row, 0, root).data().toString());
    names.sort();
    return names;
}

QStringList WaitForListNames(const TdlgFileOpen &dialog, QStringList expected)
{
    expected.sort(Qt::CaseInsensitive);
    WaitUntil([&] { return ListNames(dialog) == expected; });
    // Items that should be left out may arrive later than the rest.
    QTest::qWait(50);
    return ListNames(dialog);
}

QModelIndex ListItem(const TdlgFileOpen &dialog, const QString &name)
{
    const QAbstractItemModel *model = dialog.PTShellList1->model();
    const QModelIndex root = dialog.PTShellList1->rootIndex();
    for (int row = 0; row < model->rowCount(root); ++row) {
        const QModelIndex index = model->index(row, 0, root);
        if (index.data().toString() == name) {
            // The model may lay itself out again while the view catches up.
            const QPersistentModelIndex item(index);
            dialog.PTShellList1->scrollTo(item);
            WaitUntil([&] { return !dialog.PTShellList1->visualRect(item).isEmpty(); });
            return item;
        }
    }
    return QModelIndex();
}

void ClickItem(QAbstractItemView *view, const QModelIndex &index)
{
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, view->visualRect(index).center());
}

void DoubleClickItem(QAbstractItemView *view, const QModelIndex &index)
{
    const QPoint at = view->visualRect(index).center();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, at);
}

void SaveScreenshot(QWidget *window, const QString &name)
{
    const QString folder = QStringLiteral(DREMLIX_SCREENSHOT_DIR);
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString file = folder + QLatin1Char('/') + name + QStringLiteral(".png");
    ASSERT_TRUE(window->grab().save(file)) << file.toStdString();
}
