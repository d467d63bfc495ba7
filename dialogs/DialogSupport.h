// What the dialogs share: actions bound to buttons, the idle update of an action list,
// the error display of an event handler and the placement over the main window.
#pragma once

#include "oslayer/Exceptions.h"
#include "platform/Messages.h"

#include <QObject>
#include <QString>
#include <exception>
#include <functional>
#include <utility>

class QAbstractButton;
class QAction;
class QDialog;
class QWidget;

namespace Dialogs {

// Shows what an event handler raises in an error box and lets it go no further: the
// dialog stays open with its fields as they were. The silent abort shows nothing.
template <typename F>
void RunGuarded(F &&handler)
{
    try {
        std::forward<F>(handler)();
    } catch (const Os::EAbort &) {
    } catch (const Os::Exception &error) {
        ShowError(error.Message());
    } catch (const std::exception &error) {
        ShowError(QString::fromUtf8(error.what()));
    }
}

// A button that shows an action: its caption and enabled state follow the action, and a
// click executes it (nothing happens while the action is disabled).
void BindAction(QAction *action, QAbstractButton *button);

// The list of a form's actions with its update event, run whenever the application is
// about to go idle while the form is visible, so that the enabled state of the actions
// follows what the user does without every handler having to refresh it.
class TActionList : public QObject {
    Q_OBJECT
public:
    TActionList(QWidget *form, std::function<void()> onUpdate);

    // Runs the update event now (an action executed by a handler sees a fresh state).
    void Update();

private:
    QWidget *FForm;
    std::function<void()> FOnUpdate;
};

// Centres a top-level window over the main window of the application: the outermost window
// among its parents, else the active window, else the screen.
void CentreOnMainWindow(QWidget *window);

// Execute a modal loop on a dialog that releases itself once the loop is over, not at once,
// so that the caller can still read its results right after the call.
int ShowModalAndRelease(QDialog *dialog);

} // namespace Dialogs
