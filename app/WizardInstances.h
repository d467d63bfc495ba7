// The global instances of one wizard run, created as program main creates them: the main
// window, the welcome, changes and report steps, then the engine module, last of all.
#pragma once

#include <memory>

class TdmUpdateCommon;
class TfrmDisplayFile;
class TfrmEndInstall;
class TfrmMain;
class TfrmWelcome;

extern TdmUpdateCommon *dmUpdateCommon;

class TWizardInstances {
public:
    TWizardInstances();
    // The engine goes first (it deletes the temporary files), then the steps, then the
    // window, so that no step is freed twice through the window that hosts it.
    ~TWizardInstances();
    TWizardInstances(const TWizardInstances &) = delete;
    TWizardInstances &operator=(const TWizardInstances &) = delete;

    TfrmMain &Main() const { return *FMain; }
    TfrmWelcome &Welcome() const { return *FWelcome; }
    TfrmDisplayFile &DisplayFile() const { return *FDisplayFile; }
    TfrmEndInstall &EndInstall() const { return *FEndInstall; }
    TdmUpdateCommon &Engine() const { return *FEngine; }

private:
    void Release();

    std::unique_ptr<TfrmMain> FMain;
    std::unique_ptr<TfrmWelcome> FWelcome;
    std::unique_ptr<TfrmDisplayFile> FDisplayFile;
    std::unique_ptr<TfrmEndInstall> FEndInstall;
    std::unique_ptr<TdmUpdateCommon> FEngine;
};
