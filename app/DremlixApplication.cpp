#include "app/DremlixApplication.h"

#include "app/AppErrors.h"

TDremlixApplication::TDremlixApplication(int &argc, char **argv)
    : QApplication(argc, argv)
{
}

bool TDremlixApplication::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &error) {
        HandleException(error);
    } catch (...) {
        HandleUnknownException();
    }
    return false;
}
