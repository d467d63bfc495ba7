// The modal dialog for picking one file on a local fixed disk of the prefix: a folder tree
// and a filtered file list side by side.
#pragma once

#include <QDialog>
#include <QSet>
#include <QString>
#include <memory>

class QAction;
class QFileSystemModel;
class QListView;
class QModelIndex;
class QPushButton;
class QSplitter;
class QStatusBar;
class QTreeView;

namespace Dialogs {
class TActionList;
class TShellFilterModel;
class TFallbackIconProvider;
} // namespace Dialogs

class TdlgFileOpen : public QDialog {
    Q_OBJECT
public:
    // The dialog centres itself over mainWindow (else the active window) when shown.
    explicit TdlgFileOpen(QWidget *mainWindow = nullptr);
    ~TdlgFileOpen() override;

    // Shows the dialog modally; true when it closed with OK, SelectedFileName then holds the
    // chosen file. The dialog frees itself once the caller is back in its event loop, so the
    // caller reads SelectedFileName right after this returns.
    bool Execute();

    // The chosen file as a Windows path ("C:\\Data\\Base.fdb"); set when the user confirms.
    QString SelectedFileName() const { return FSelectedFileName; }
    // The extension with its dot (".FDB") that listed files must have, compared without
    // regard to case; empty: any extension.
    QString RequiredExtension() const { return FRequiredExtension; }
    void SetRequiredExtension(const QString &extension);

    // Opens a folder, given as a Windows path, in the tree and the list. False when the
    // folder is not on an offered drive or does not exist.
    bool SetFolder(const QString &windowsPath);
    // The folder whose content the list shows, as a Windows path; empty before any.
    QString CurrentFolder() const;
    // The Windows path of an item of the tree or the list; empty for other indexes.
    QString WindowsPathOf(const QModelIndex &viewIndex) const;

    // The published parts of the form.
    QStatusBar *StatusBar1 = nullptr;
    QWidget *Panel2 = nullptr;
    QWidget *Panel1 = nullptr;
    QPushButton *bOK = nullptr;
    QPushButton *bAnnuler = nullptr;
    QSplitter *PTSplitter1 = nullptr;
    QTreeView *PTShellTree1 = nullptr;
    QListView *PTShellList1 = nullptr;
    Dialogs::TActionList *ActionList1 = nullptr;
    QAction *ActionOK = nullptr;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void FormCreate();
    void ActionList1Update();
    void ActionOKExecute();
    void PTShellTree1Change(const QModelIndex &current);
    void PTShellList1DblClick(const QModelIndex &index);
    // The list's selected item, in the list's model; invalid when nothing is selected.
    QModelIndex SelectedListItem() const;
    QString HostPathOf(const QModelIndex &viewIndex) const;
    void ShowFolderInList(const QModelIndex &sourceFolder);

    QString FSelectedFileName;
    QString FRequiredExtension;
    QString FDevicesRoot;     // host path of the prefix's dosdevices folder
    QSet<QChar> FFixedDrives; // lower-case letters of the drives offered
    // Declared before the model that uses it, so that it outlives the model.
    std::unique_ptr<Dialogs::TFallbackIconProvider> FIconProvider;
    QFileSystemModel *FFileSystem = nullptr;
    Dialogs::TShellFilterModel *FTreeModel = nullptr;
    Dialogs::TShellFilterModel *FListModel = nullptr;
    bool FCentred = false;
};
