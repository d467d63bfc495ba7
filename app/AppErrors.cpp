#include "app/AppErrors.h"

#include "oslayer/Exceptions.h"
#include "platform/Messages.h"
#include "platform/UiServices.h"

namespace {

void ShowDefaultError(const QString &text)
{
    // The toolkit's default display: a stop box with the application title as caption.
    UiServices().Beep(MB_ICONHAND);
    MessageRequest request;
    request.Kind = MessageKind::Error;
    request.Caption = ApplicationTitle();
    request.Text = text;
    UiServices().ShowMessage(request);
}

} // namespace

void HandleException(const std::exception &error)
{
    if (dynamic_cast<const Os::EAbort *>(&error))
        return;
    if (const auto *own = dynamic_cast<const Os::Exception *>(&error)) {
        ShowDefaultError(own->Message());
        return;
    }
    ShowDefaultError(QString::fromUtf8(error.what()));
}

void HandleUnknownException()
{
    ShowDefaultError(QStringLiteral("Exception inconnue."));
}
