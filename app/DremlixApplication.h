// The application object: every error that reaches the event loop is shown here.
#pragma once

#include <QApplication>

class TDremlixApplication final : public QApplication {
    Q_OBJECT
public:
    TDremlixApplication(int &argc, char **argv);
    bool notify(QObject *receiver, QEvent *event) override;
};
