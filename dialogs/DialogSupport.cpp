#include "dialogs/DialogSupport.h"

#include <QAbstractButton>
#include <QAbstractEventDispatcher>
#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace Dialogs {

void BindAction(QAction *action, QAbstractButton *button)
{
    const auto sync = [action, button] {
        button->setText(action->text());
        button->setEnabled(action->isEnabled());
    };
    sync();
    QObject::connect(action, &QAction::changed, button, sync);
    QObject::connect(button, &QAbstractButton::clicked, action, [action] { action->trigger(); });
}

TActionList::TActionList(QWidget *form, std::function<void()> onUpdate)
    : QObject(form), FForm(form), FOnUpdate(std::move(onUpdate))
{
    if (auto *dispatcher = QAbstractEventDispatcher::instance(thread()))
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] {
            if (FForm->isVisible())
                Update();
        });
}

void TActionList::Update()
{
    if (FOnUpdate)
        RunGuarded(FOnUpdate);
}

void CentreOnMainWindow(QWidget *window)
{
    // A dialog opened from a dialog still centres on the window that opened the first one.
    QWidget *mainWindow = window->parentWidget() ? window->parentWidget()->window() : nullptr;
    while (mainWindow && mainWindow->parentWidget())
        mainWindow = mainWindow->parentWidget()->window();
    if (!mainWindow || !mainWindow->isVisible()) {
        mainWindow = QApplication::activeWindow();
        if (mainWindow == window)
            mainWindow = nullptr;
    }
    QRect area;
    if (mainWindow && mainWindow->isVisible())
        area = mainWindow->frameGeometry();
    else if (QScreen *screen = QGuiApplication::primaryScreen())
        area = screen->availableGeometry();
    if (area.isValid())
        window->move(area.center() - QPoint(window->frameGeometry().width() / 2,
                                            window->frameGeometry().height() / 2));
}

int ShowModalAndRelease(QDialog *dialog)
{
    // QDialog::exec would delete a dialog marked for deletion on close before returning.
    dialog->setAttribute(Qt::WA_DeleteOnClose, false);
    const int result = dialog->exec();
    dialog->deleteLater();
    return result;
}

} // namespace Dialogs
