#include "app/WizardMain.h"
#include "app/frmMainUnit.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    // The start-up benchmark and the tests of a self-contained wizard time or check the
    // way to the first step: the wizard then ends as soon as that step is painted.
    if (qEnvironmentVariableIsSet("DREMLIX_QUIT_AT_FIRST_STEP"))
        return RunWizard(argc, argv, [](TfrmMain &window) {
            window.repaint();
            QCoreApplication::quit();
        });
    return RunWizard(argc, argv);
}
