#include "app/WizardMain.h"

#include "app/DremlixApplication.h"
#include "app/OneInst.h"
#include "app/QtUiServices.h"
#include "app/WizardInstances.h"
#include "app/frmMainUnit.h"

#include <QTimer>

int RunWizard(int argc, char **argv, std::function<void(TfrmMain &)> firstStepShown)
{
    TDremlixApplication application(argc, argv);
    if (AlreadyRunning())
        return 0;
    TQtUiServices services;
    TWizardInstances instances;
    TfrmMain &main = instances.Main();
    if (firstStepShown) {
        QObject::connect(main.TimerOneTime, &QTimer::timeout, &main, [&main, firstStepShown] {
            if (main.Started())
                firstStepShown(main);
        }, Qt::QueuedConnection);
    }
    main.show();
    return application.exec();
}
