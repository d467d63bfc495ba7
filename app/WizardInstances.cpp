#include "app/WizardInstances.h"

#include "app/frmDisplayFileUnit.h"
#include "app/frmEndInstallUnit.h"
#include "app/frmMainUnit.h"
#include "app/frmWelcomeUnit.h"
#include "update/dmUpdateCommonUnit.h"

TdmUpdateCommon *dmUpdateCommon = nullptr;

TWizardInstances::TWizardInstances()
{
    // The engine reads the hives as it is made; a damaged one raises here, and what was
    // made goes in the order of the destructor, not in the members' reverse order.
    try {
        FMain = std::make_unique<TfrmMain>();
        FWelcome = std::make_unique<TfrmWelcome>();
        FDisplayFile = std::make_unique<TfrmDisplayFile>();
        FEndInstall = std::make_unique<TfrmEndInstall>();
        FEngine = std::make_unique<TdmUpdateCommon>();
        dmUpdateCommon = FEngine.get();
    } catch (...) {
        Release();
        throw;
    }
}

TWizardInstances::~TWizardInstances()
{
    Release();
}

void TWizardInstances::Release()
{
    // The window stops hosting a step before the steps go, and the report binding
    // before the engine goes.
    if (FMain)
        FMain->hide();
    dmUpdateCommon = nullptr;
    FEngine.reset();
    FEndInstall.reset();
    FDisplayFile.reset();
    FWelcome.reset();
    FMain.reset();
}
