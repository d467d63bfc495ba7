#include "app/WizardMain.h"
#include "app/frmMainUnit.h"
#include "dbaccess/FbClient.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    int code = 0;
    // The start-up benchmark and the tests of a self-contained wizard time or check the
    // way to the first step: the wizard then ends as soon as that step is painted.
    if (qEnvironmentVariableIsSet("DREMLIX_QUIT_AT_FIRST_STEP"))
        code = RunWizard(argc, argv, [](TfrmMain &window) {
            window.repaint();
            QCoreApplication::quit();
        });
    else
        code = RunWizard(argc, argv);
    // Every connection has been closed with the wizard's objects: the client library is
    // shut down now, before exit() runs its handlers (a lost server otherwise ended the
    // process by a signal there).
    Db::ShutdownClient();
    return code;
}
