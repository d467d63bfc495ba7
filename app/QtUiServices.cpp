#include "app/QtUiServices.h"

#include "app/AppTexts.h"
#include "oslayer/Paths.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QListWidget>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace {

QWidget *DialogParent()
{
    return QApplication::activeWindow();
}

void CentreOnScreen(QWidget *dialog)
{
    dialog->adjustSize();
    if (QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        dialog->move(area.center() - QPoint(dialog->width() / 2, dialog->height() / 2));
    }
}

QMessageBox::Icon IconOf(MessageKind kind)
{
    switch (kind) {
    case MessageKind::Error: return QMessageBox::Critical;
    case MessageKind::Warning: return QMessageBox::Warning;
    case MessageKind::Information: return QMessageBox::Information;
    case MessageKind::Confirmation: return QMessageBox::Question;
    case MessageKind::Plain: break;
    }
    return QMessageBox::NoIcon;
}

// A host folder for a Windows path of the prefix, or the nearest existing parent.
QString HostStartFolder(const QString &windowsPath)
{
    if (windowsPath.isEmpty())
        return QString();
    QString host = Os::HostPath(windowsPath);
    while (!host.isEmpty() && !QFileInfo(host).isDir()) {
        const QString parent = QFileInfo(host).path();
        if (parent == host)
            break;
        host = parent;
    }
    return host;
}

} // namespace

TQtUiServices::TQtUiServices()
    : FPrevious(&UiServices())
{
    SetUiServices(this);
}

TQtUiServices::~TQtUiServices()
{
    SetUiServices(FPrevious);
}

void TQtUiServices::Beep(uint32_t)
{
    QApplication::beep();
}

bool TQtUiServices::ShowMessage(const MessageRequest &request)
{
    QMessageBox box(IconOf(request.Kind), request.Caption, request.Text, QMessageBox::NoButton, DialogParent());
    box.setTextFormat(Qt::PlainText);
    QPushButton *yes = nullptr;
    if (request.YesNo) {
        yes = box.addButton(AppTexts::Yes(), QMessageBox::YesRole);
        QPushButton *no = box.addButton(AppTexts::No(), QMessageBox::NoRole);
        box.setDefaultButton(yes);
        box.setEscapeButton(no);
    } else {
        QPushButton *ok = box.addButton(AppTexts::Ok(), QMessageBox::AcceptRole);
        box.setDefaultButton(ok);
        box.setEscapeButton(ok);
    }
    CentreOnScreen(&box);
    box.exec();
    if (!request.YesNo)
        return true;
    // Closed any other way than Yes: No.
    return box.clickedButton() == yes;
}

bool TQtUiServices::BrowseForFolder(const QString &title, QString &path, uint32_t, const QString &rootPath)
{
    QString start = HostStartFolder(path);
    if (start.isEmpty())
        start = HostStartFolder(rootPath);
    const QString chosen = QFileDialog::getExistingDirectory(DialogParent(), title, start);
    if (chosen.isEmpty())
        return false;
    path = Os::WindowsPath(chosen);
    return !path.isEmpty();
}

bool TQtUiServices::OpenFile(const QString &title, QString &path)
{
    const QString chosen = QFileDialog::getOpenFileName(DialogParent(), title, HostStartFolder(path));
    if (chosen.isEmpty())
        return false;
    path = Os::WindowsPath(chosen);
    return !path.isEmpty();
}

bool TQtUiServices::PrinterSetup(QPrinter &printer)
{
    QPrintDialog dialog(&printer, DialogParent());
    return dialog.exec() == QDialog::Accepted;
}

bool TQtUiServices::ChooseCompany(const QStringList &companies, int &index)
{
    QDialog dialog(DialogParent());
    dialog.setWindowTitle(AppTexts::ChooseCompanyCaption());
    auto *list = new QListWidget(&dialog);
    list->setObjectName(QStringLiteral("ListCompanies"));
    list->setAccessibleName(AppTexts::ChooseCompanyCaption());
    list->addItems(companies);
    if (index >= 0 && index < companies.size())
        list->setCurrentRow(index);
    else if (!companies.isEmpty())
        list->setCurrentRow(0);
    auto *buttons = new QDialogButtonBox(&dialog);
    buttons->addButton(AppTexts::Ok(), QDialogButtonBox::AcceptRole);
    buttons->addButton(AppTexts::Cancel(), QDialogButtonBox::RejectRole);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    QObject::connect(list, &QListWidget::itemDoubleClicked, &dialog, &QDialog::accept);
    auto *layout = new QVBoxLayout(&dialog);
    layout->addWidget(list);
    layout->addWidget(buttons);
    CentreOnScreen(&dialog);
    if (dialog.exec() != QDialog::Accepted || list->currentRow() < 0)
        return false;
    index = list->currentRow();
    return true;
}

void TQtUiServices::SetWaitCursor(bool on)
{
    if (on == FCursorOn)
        return;
    FCursorOn = on;
    if (on)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

void TQtUiServices::ProcessEvents()
{
    QCoreApplication::processEvents();
}

void TQtUiServices::Terminate()
{
    FTerminated = true;
    // Queued, so that a request made before the event loop runs still ends it.
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
}
