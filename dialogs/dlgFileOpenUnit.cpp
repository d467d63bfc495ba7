#include "dialogs/dlgFileOpenUnit.h"

#include "dialogs/ButtonPanel.h"
#include "dialogs/DialogSupport.h"
#include "dialogs/DialogsTexts.h"
#include "dialogs/HostCompression.h"
#include "oslayer/Environment.h"
#include "oslayer/Files.h"
#include "oslayer/Paths.h"

#include <QAction>
#include <QDir>
#include <QApplication>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QStyle>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QListView>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QStatusBar>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>

namespace Dialogs {

namespace {

// The Windows path of a host path reached through the prefix's drive links
// (<prefix>/dosdevices/c:/Data/x.fdb is C:\Data\x.fdb); empty outside the drives. The path
// is taken from where the user browsed, not from where the link leads, as the shell names
// an item by the drive it was reached on.
QString WindowsPathBelow(const QString &devicesRoot, const QString &hostPath)
{
    if (!hostPath.startsWith(devicesRoot + QLatin1Char('/')))
        return QString();
    const QString relative = hostPath.mid(devicesRoot.size() + 1);
    if (relative.size() < 2 || relative.at(1) != QLatin1Char(':')
        || (relative.size() > 2 && relative.at(2) != QLatin1Char('/')))
        return QString();
    QString rest = relative.mid(3);
    rest.replace(QLatin1Char('/'), QLatin1Char('\\'));
    return relative.at(0).toUpper() + QStringLiteral(":\\") + rest;
}

} // namespace

// Folders and files must look different even where the desktop offers no icon theme: the
// model falls back to these icons, on the GUI thread, for items without a themed one.
class TFallbackIconProvider final : public QFileIconProvider {
public:
    QIcon icon(IconType type) const override
    {
        QIcon themed = QFileIconProvider::icon(type);
        if (!themed.isNull() && !themed.availableSizes().isEmpty())
            return themed;
        return QApplication::style()->standardIcon(type == File ? QStyle::SP_FileIcon
                                                   : type == Drive ? QStyle::SP_DriveHDIcon
                                                                   : QStyle::SP_DirIcon);
    }
    using QFileIconProvider::icon;
};

// The shell's filtering of the tree and the list, over one file-system model of the host.
class TShellFilterModel final : public QSortFilterProxyModel {
public:
    enum class Kind { Tree, List };

    TShellFilterModel(Kind kind, QString devicesRoot, QSet<QChar> fixedDrives, QObject *parent)
        : QSortFilterProxyModel(parent), FKind(kind), FDevicesRoot(std::move(devicesRoot)),
          FFixedDrives(std::move(fixedDrives))
    {
    }

    void SetRequiredExtension(const QString &extension)
    {
        FRequiredExtension = extension;
        invalidateFilter();
    }

    // The folder the list shows and its ancestors always pass, so that the list can be
    // rooted in a folder that the tree offers even when the list itself would hide it.
    void SetShownFolder(const QString &hostPath)
    {
        if (FShownFolder == hostPath)
            return;
        FShownFolder = hostPath;
        invalidateFilter();
    }

    QString WindowsPathOf(const QString &hostPath) const { return WindowsPathBelow(FDevicesRoot, hostPath); }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (index.column() == 0 && (role == Qt::DisplayRole || role == Qt::ToolTipRole)) {
            const auto *fileSystem = static_cast<const QFileSystemModel *>(sourceModel());
            const QString windowsPath = WindowsPathOf(fileSystem->filePath(mapToSource(index)));
            // A drive is shown by its root, as the shell names it.
            if (!windowsPath.isEmpty() && (role == Qt::ToolTipRole || windowsPath.size() == 3))
                return windowsPath;
        }
        return QSortFilterProxyModel::data(index, role);
    }

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override
    {
        const auto *fileSystem = static_cast<const QFileSystemModel *>(sourceModel());
        const QString path = fileSystem->filePath(fileSystem->index(sourceRow, 0, sourceParent));
        if (!path.startsWith(FDevicesRoot + QLatin1Char('/'))) {
            // The host folders above the drives: the views are rooted below them.
            const QString asFolder = path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
            return path == FDevicesRoot || FDevicesRoot.startsWith(asFolder);
        }
        const QString windowsPath = WindowsPathOf(path);
        // Only the drive links themselves ("c:") name drives; Wine's "d::" device links do not.
        if (windowsPath.isEmpty() || !FFixedDrives.contains(windowsPath.at(0).toLower()))
            return false;
        if (windowsPath.size() == 3)
            return true;
        const QFileInfo info(path);
        if (FKind == Kind::Tree)
            return info.isDir();
        if (path == FShownFolder || FShownFolder.startsWith(path + QLatin1Char('/')))
            return true;
        // Every rule only forbids, so the cheap name test runs before the attribute reads.
        if (!FRequiredExtension.isEmpty() && !info.isDir()) {
            const QString name = info.fileName();
            const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
            const QString extension = dot < 0 ? QString() : name.mid(dot);
            if (extension.compare(FRequiredExtension, Qt::CaseInsensitive) != 0)
                return false;
        }
        uint32_t attributes = Os::GetFileAttributes(windowsPath);
        if (attributes == Os::INVALID_FILE_ATTRIBUTES)
            return false;
        if (IsHostFileCompressed(path))
            attributes |= Os::FILE_ATTRIBUTE_COMPRESSED;
        return !(attributes & (Os::FILE_ATTRIBUTE_HIDDEN | Os::FILE_ATTRIBUTE_COMPRESSED));
    }

private:
    Kind FKind;
    QString FDevicesRoot;
    QSet<QChar> FFixedDrives;
    QString FRequiredExtension;
    QString FShownFolder;
};

} // namespace Dialogs

using Dialogs::TShellFilterModel;

TdlgFileOpen::TdlgFileOpen(QWidget *mainWindow) : QDialog(mainWindow)
{
    setObjectName(QStringLiteral("dlgFileOpen"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(DialogsTexts::FileOpenCaption);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    resize(553, 446);
    setMinimumSize(400, 300);

    FDevicesRoot = QDir::cleanPath(Os::Environment::PrefixRoot() + QStringLiteral("/dosdevices"));
    for (const QString &root : Os::LogicalDriveRoots())
        if (Os::GetDriveType(root) == Os::DRIVE_FIXED)
            FFixedDrives.insert(root.at(0).toLower());

    auto *formLayout = new QVBoxLayout(this);
    formLayout->setContentsMargins(0, 0, 0, 0);
    formLayout->setSpacing(0);

    Panel2 = new QWidget(this);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setSizeGripEnabled(true);
    formLayout->addWidget(Panel2, 1);
    formLayout->addWidget(StatusBar1);

    auto *clientLayout = new QVBoxLayout(Panel2);
    clientLayout->setContentsMargins(0, 0, 0, 0);
    clientLayout->setSpacing(0);
    PTSplitter1 = new QSplitter(Qt::Horizontal, Panel2);
    PTSplitter1->setObjectName(QStringLiteral("PTSplitter1"));
    PTSplitter1->setChildrenCollapsible(false);
    Panel1 = new QWidget(Panel2);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->resize(553, 33);
    clientLayout->addWidget(PTSplitter1, 1);
    clientLayout->addWidget(Panel1);

    bOK = new QPushButton(Panel1);
    bOK->setObjectName(QStringLiteral("bOK"));
    bOK->setGeometry(390, 4, 75, 25);
    bOK->setDefault(true);
    bAnnuler = new QPushButton(DialogsTexts::Annuler, Panel1);
    bAnnuler->setObjectName(QStringLiteral("bAnnuler"));
    bAnnuler->setGeometry(470, 4, 75, 25);
    connect(bAnnuler, &QPushButton::clicked, this, &QDialog::reject);

    FFileSystem = new QFileSystemModel(this);
    FFileSystem->setObjectName(QStringLiteral("FileSystem"));
    // Without QDir::Hidden the dot files stay out, as Wine hides them from Windows programs.
    FFileSystem->setFilter(QDir::AllDirs | QDir::Files | QDir::NoDotAndDotDot);
    FFileSystem->setReadOnly(true);
    FIconProvider = std::make_unique<Dialogs::TFallbackIconProvider>();
    FFileSystem->setIconProvider(FIconProvider.get());
    FFileSystem->setRootPath(FDevicesRoot);

    FTreeModel = new TShellFilterModel(TShellFilterModel::Kind::Tree, FDevicesRoot, FFixedDrives, this);
    FTreeModel->setSourceModel(FFileSystem);
    FListModel = new TShellFilterModel(TShellFilterModel::Kind::List, FDevicesRoot, FFixedDrives, this);
    FListModel->setSourceModel(FFileSystem);

    PTShellTree1 = new QTreeView(PTSplitter1);
    PTShellTree1->setObjectName(QStringLiteral("PTShellTree1"));
    PTShellTree1->setModel(FTreeModel);
    PTShellTree1->setHeaderHidden(true);
    for (int column = 1; column < FFileSystem->columnCount(); ++column)
        PTShellTree1->hideColumn(column);
    PTShellTree1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    PTShellTree1->setIconSize(QSize(16, 16));
    PTShellTree1->setRootIndex(FTreeModel->mapFromSource(FFileSystem->index(FDevicesRoot)));

    PTShellList1 = new QListView(PTSplitter1);
    PTShellList1->setObjectName(QStringLiteral("PTShellList1"));
    PTShellList1->setModel(FListModel);
    PTShellList1->setViewMode(QListView::ListMode);
    PTShellList1->setFlow(QListView::TopToBottom);
    PTShellList1->setWrapping(true);
    PTShellList1->setResizeMode(QListView::Adjust);
    PTShellList1->setSelectionMode(QAbstractItemView::SingleSelection);
    PTShellList1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    PTShellList1->setIconSize(QSize(16, 16));
    // Until a folder is chosen the list shows nothing rather than the drive links.
    PTShellList1->setRootIndex(QModelIndex());
    PTShellList1->setEnabled(false);

    PTSplitter1->addWidget(PTShellTree1);
    PTSplitter1->addWidget(PTShellList1);
    PTSplitter1->setStretchFactor(1, 1);
    PTSplitter1->setSizes({182, 553 - 182});

    ActionOK = new QAction(DialogsTexts::Ok, this);
    ActionOK->setObjectName(QStringLiteral("ActionOK"));
    connect(ActionOK, &QAction::triggered, this, [this] { Dialogs::RunGuarded([this] { ActionOKExecute(); }); });
    Dialogs::BindAction(ActionOK, bOK);
    ActionList1 = new Dialogs::TActionList(this, [this] { ActionList1Update(); });
    ActionList1->setObjectName(QStringLiteral("ActionList1"));

    connect(PTShellTree1->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex &current) { PTShellTree1Change(current); });
    connect(PTShellList1, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex &index) { PTShellList1DblClick(index); });

    FormCreate();
}

TdlgFileOpen::~TdlgFileOpen()
{
    // The model and its gathering thread go before the icon provider they use.
    delete FFileSystem;
}

void TdlgFileOpen::FormCreate()
{
    ArrangeButtonPanel(Panel1);
    ActionOK->setEnabled(false);
    // The first fixed drive is opened, so that the list has something to show.
    QList<QChar> letters = FFixedDrives.values();
    std::sort(letters.begin(), letters.end());
    if (!letters.isEmpty())
        SetFolder(letters.first().toUpper() + QStringLiteral(":\\"));
}

void TdlgFileOpen::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (!FCentred) {
        FCentred = true;
        Dialogs::CentreOnMainWindow(this);
    }
}

bool TdlgFileOpen::Execute()
{
    return Dialogs::ShowModalAndRelease(this) == QDialog::Accepted;
}

void TdlgFileOpen::SetRequiredExtension(const QString &extension)
{
    FRequiredExtension = extension;
    FListModel->SetRequiredExtension(extension);
}

bool TdlgFileOpen::SetFolder(const QString &windowsPath)
{
    if (windowsPath.size() < 2 || windowsPath.at(1) != QLatin1Char(':')
        || !FFixedDrives.contains(windowsPath.at(0).toLower()))
        return false;
    // The host layer finds the names as they are on disk whatever case the caller used;
    // the tree holds them below the drive link the caller named.
    const QString drive = windowsPath.left(2) + QLatin1Char('\\');
    const QString driveHost = QDir::cleanPath(Os::HostPath(drive));
    const QString folderHost = QDir::cleanPath(Os::HostPath(windowsPath));
    if (driveHost.isEmpty() || folderHost.isEmpty() || !QFileInfo(folderHost).isDir())
        return false;
    QString relative;
    if (folderHost != driveHost) {
        if (!folderHost.startsWith(driveHost == QLatin1String("/") ? driveHost : driveHost + QLatin1Char('/')))
            return false;
        relative = folderHost.mid(driveHost == QLatin1String("/") ? 1 : driveHost.size() + 1);
    }
    QString modelPath = FDevicesRoot + QLatin1Char('/') + windowsPath.at(0).toLower() + QLatin1Char(':');
    if (!relative.isEmpty())
        modelPath += QLatin1Char('/') + relative;
    const QModelIndex treeIndex = FTreeModel->mapFromSource(FFileSystem->index(modelPath));
    if (!treeIndex.isValid())
        return false;
    for (QModelIndex parent = treeIndex.parent(); parent.isValid(); parent = parent.parent())
        PTShellTree1->expand(parent);
    PTShellTree1->setCurrentIndex(treeIndex);
    PTShellTree1->scrollTo(treeIndex);
    return true;
}

QString TdlgFileOpen::CurrentFolder() const
{
    return WindowsPathOf(PTShellList1->rootIndex());
}

QString TdlgFileOpen::HostPathOf(const QModelIndex &viewIndex) const
{
    if (!viewIndex.isValid())
        return QString();
    if (viewIndex.model() == FTreeModel)
        return FFileSystem->filePath(FTreeModel->mapToSource(viewIndex));
    if (viewIndex.model() == FListModel)
        return FFileSystem->filePath(FListModel->mapToSource(viewIndex));
    return QString();
}

QString TdlgFileOpen::WindowsPathOf(const QModelIndex &viewIndex) const
{
    return FListModel->WindowsPathOf(HostPathOf(viewIndex));
}

void TdlgFileOpen::PTShellTree1Change(const QModelIndex &current)
{
    ShowFolderInList(FTreeModel->mapToSource(current));
}

void TdlgFileOpen::ShowFolderInList(const QModelIndex &sourceFolder)
{
    PTShellList1->clearSelection();
    const QString hostFolder = FFileSystem->filePath(sourceFolder);
    if (!sourceFolder.isValid() || FListModel->WindowsPathOf(hostFolder).isEmpty()) {
        PTShellList1->setRootIndex(QModelIndex());
        PTShellList1->setEnabled(false);
        StatusBar1->clearMessage();
        return;
    }
    FListModel->SetShownFolder(hostFolder);
    if (FFileSystem->canFetchMore(sourceFolder))
        FFileSystem->fetchMore(sourceFolder);
    PTShellList1->setRootIndex(FListModel->mapFromSource(sourceFolder));
    PTShellList1->setEnabled(true);
    StatusBar1->showMessage(FListModel->WindowsPathOf(hostFolder));
}

QModelIndex TdlgFileOpen::SelectedListItem() const
{
    const QModelIndexList selected = PTShellList1->selectionModel()->selectedIndexes();
    if (selected.isEmpty() || !PTShellList1->rootIndex().isValid())
        return QModelIndex();
    return selected.first();
}

void TdlgFileOpen::ActionList1Update()
{
    bool enabled = false;
    const QModelIndex item = SelectedListItem();
    if (item.isValid()) {
        const QString windowsPath = WindowsPathOf(item);
        const QFileInfo info(HostPathOf(item));
        const bool isLink = info.fileName().endsWith(QStringLiteral(".lnk"), Qt::CaseInsensitive);
        // An item that was deleted or renamed since it was listed is no longer valid.
        const uint32_t attributes = windowsPath.isEmpty() ? Os::INVALID_FILE_ATTRIBUTES
                                                          : Os::GetFileAttributes(windowsPath);
        enabled = attributes != Os::INVALID_FILE_ATTRIBUTES && !(attributes & Os::FILE_ATTRIBUTE_DIRECTORY)
            && !isLink;
    }
    ActionOK->setEnabled(enabled);
}

void TdlgFileOpen::ActionOKExecute()
{
    const QModelIndex item = SelectedListItem();
    if (!item.isValid())
        return;
    FSelectedFileName = WindowsPathOf(item);
    accept();
}

void TdlgFileOpen::PTShellList1DblClick(const QModelIndex &)
{
    // The list's own double-click (opening a folder) does not run: only OK, when it may.
    ActionList1->Update();
    ActionOK->trigger();
}
