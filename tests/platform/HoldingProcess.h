// A child process that keeps a file open, as another program using an installed file.
#pragma once

#include <QProcess>
#include <QString>
#include <gtest/gtest.h>

class HoldingProcess {
public:
    explicit HoldingProcess(const QString &hostPath)
    {
        FProcess.start(QStringLiteral("/bin/bash"),
                       {QStringLiteral("-c"), QStringLiteral("exec 3<\"$0\"; echo ready; exec sleep 60"), hostPath});
        if (!FProcess.waitForReadyRead(10000))
            ADD_FAILURE() << "the holding process did not start";
    }
    ~HoldingProcess()
    {
        FProcess.kill();
        FProcess.waitForFinished(5000);
    }
    HoldingProcess(const HoldingProcess &) = delete;
    HoldingProcess &operator=(const HoldingProcess &) = delete;

private:
    QProcess FProcess;
};
