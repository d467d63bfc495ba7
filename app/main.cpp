#include "app/WizardMain.h"
#include "dbaccess/FbClient.h"

int main(int argc, char **argv)
{
    const int code = RunWizard(argc, argv);
    // Every connection has been closed with the wizard's objects: the client library is
    // shut down now, before exit() runs its handlers (a lost server otherwise ended the
    // process by a signal there).
    Db::ShutdownClient();
    return code;
}
