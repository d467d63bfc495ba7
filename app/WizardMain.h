// Program main of the wizard, shared by the executable and the start-up benchmark.
#pragma once

#include <functional>

class TfrmMain;

// Runs the wizard: the instance check, the global instances, the event loop. The hook,
// when given, is called once the first step is on screen.
int RunWizard(int argc, char **argv, const std::function<void(TfrmMain &)> &firstStepShown = {});
