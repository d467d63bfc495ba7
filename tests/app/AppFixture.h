// A wizard of the tests: a payload of our choosing as the own executable, a temporary
// prefix, the scripted person, and the global instances as program main makes them.
#pragma once

#include "support/PayloadBuilder.h"
#include "support/ScriptedUiServices.h"
#include "support/TempPrefix.h"

#include <QString>
#include <QStringList>
#include <functional>
#include <initializer_list>
#include <memory>

class TWizardInstances;
class TfrmMain;

namespace AppTest {

// Runs the event loop for a while, so that idle passes and timers happen as in the program.
void RunIdle(int ms = 30);
// Runs the event loop until the condition holds or the time is up; the condition's value.
bool RunUntil(const std::function<bool()> &condition, int timeoutMs = 5000);

QByteArray SmallRtf();
// A list of lines written as plain literals.
QStringList Lines(std::initializer_list<const char *> items);

class TWizardRun {
public:
    // Makes the prefix and the payload; nothing of the wizard exists yet. The extra keys
    // are added to user.reg as they are written there.
    explicit TWizardRun(const PayloadBuilder &payload, const QByteArray &extraUserKeys = QByteArray());
    ~TWizardRun();

    // Creates the instances, shows the window and waits for the first step.
    void Start();
    // Creates the instances only.
    void Create();
    // Frees them as the end of the program does (the engine cleans up its temporary files).
    void Destroy();
    // The host path of a Windows path on drive C: of the prefix.
    QString DriveC(const QString &windowsPath) const;

    TWizardInstances &Instances() { return *FInstances; }
    TfrmMain &Main();
    ScriptedUiServices &Ui() { return *FUi; }
    // A host folder outside the prefix, removed with it.
    QString Root() const { return FPrefix.Scratch(); }
    QString PrefixPath() const { return FPrefix.Root(); }
    QString WizardPath() const { return FWizard; }

private:
    TempPrefix FPrefix;
    QString FWizard;
    std::unique_ptr<ScriptedUiServices> FUi;
    std::unique_ptr<TWizardInstances> FInstances;
};

// The manifests of a plain build: a title, no extra text, a small change list.
PayloadBuilder StandardPayload();

} // namespace AppTest
