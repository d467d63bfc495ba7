// A prefix with drives of every kind and a folder of database files, and the means to
// drive the dialogs as a person would: keys to the focused control, clicks on list items,
// idle moments in which the action lists update.
#pragma once

#include "support/QStringPrinter.h"
#include "support/ScriptedUiServices.h"
#include "support/TempPrefix.h"

#include <QString>
#include <QStringList>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

class QAbstractItemView;
class QModelIndex;
class QWidget;
class TdlgFileOpen;

class DialogsTest : public ::testing::Test {
protected:
    void SetUp() override;

    // C: and F: are fixed disks, D: a CD-ROM, E: a floppy, N: a network drive, R: a RAM
    // disk, Z: the host root (a fixed disk, as in a default prefix). C:\Data holds:
    static const QStringList ListedFdbFiles;  // Base.fdb, UPPER.FDB, mixed.Fdb
    static const QStringList OtherFiles;      // old.gdb, notes.txt, Shortcut.lnk
    // hidden.fdb (hidden attribute), .dotted.fdb (a dot file), packed.fdb (compressed,
    // when the file system keeps the flag: see CompressedSet) and the folder Sub.
    bool CompressedSet = false;

    std::unique_ptr<TempPrefix> Prefix;
    std::unique_ptr<ScriptedUiServices> Ui;
};

// Sets or clears the inode flag that chattr +c sets; false where the file system does not
// keep it.
bool SetCompressedFlag(const QString &hostPath, bool on);

// Runs the event loop until the predicate holds or the time is up; the predicate's last value.
bool WaitUntil(const std::function<bool()> &predicate, int timeoutMs = 5000);
// Lets the application go idle once, so that the action lists run their update event.
void Idle();
// Makes a top-level window the active one, so that keys reach its focused control.
bool Activate(QWidget *window);
// Sends each character of text to whatever control has the focus at that moment.
void TypeIntoFocus(const QString &text);
void KeyToFocus(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);

// The names of the items the list shows in its current folder.
QStringList ListNames(const TdlgFileOpen &dialog);
// The names the tree shows directly below its root (the drives).
QStringList TreeRootNames(const TdlgFileOpen &dialog);
// Waits until the list of the dialog shows exactly the names (in any order); the names
// it shows in the end.
QStringList WaitForListNames(const TdlgFileOpen &dialog, QStringList expected);
// The list item of that name, laid out on screen; invalid when the list has none.
QModelIndex ListItem(const TdlgFileOpen &dialog, const QString &name);
void ClickItem(QAbstractItemView *view, const QModelIndex &index);
void DoubleClickItem(QAbstractItemView *view, const QModelIndex &index);

// Writes <build>/screenshots/<name>.png of the window as it is drawn.
void SaveScreenshot(QWidget *window, const QString &name);
