#include "platform/Messages.h"

#include "platform/UiServices.h"
#include "oslayer/Environment.h"

#include <QFileInfo>

namespace {

// Used until the GUI or a test installs its own: answers No and shows nothing.
class SilentUiServices final : public IUiServices {
public:
    void Beep(uint32_t) override {}
    bool ShowMessage(const MessageRequest &) override { return false; }
    bool BrowseForFolder(const QString &, QString &, uint32_t, const QString &) override { return false; }
    bool OpenFile(const QString &, QString &) override { return false; }
    bool PrinterSetup(QPrinter &) override { return false; }
    bool ChooseCompany(const QStringList &, int &) override { return false; }
    void SetWaitCursor(bool) override {}
    void ProcessEvents() override {}
    bool Terminated() const override { return FTerminated; }
    void Terminate() override { FTerminated = true; }

private:
    bool FTerminated = false;
};

SilentUiServices gSilent;
IUiServices *gServices = nullptr;
int gWaitCount = 0;

bool Box(MessageKind kind, const QString &caption, uint32_t sound, const QString &text, bool yesNo)
{
    UiServices().Beep(sound);
    MessageRequest request;
    request.Kind = kind;
    request.Caption = caption;
    request.Text = text;
    request.YesNo = yesNo;
    return UiServices().ShowMessage(request);
}

} // namespace

IUiServices &UiServices()
{
    return gServices ? *gServices : gSilent;
}

void SetUiServices(IUiServices *services)
{
    gServices = services;
}

void ShowError(const QString &text)
{
    Box(MessageKind::Error, QStringLiteral("Erreur"), MB_ICONEXCLAMATION, text, false);
}

void ShowWarning(const QString &text)
{
    Box(MessageKind::Warning, QStringLiteral("Avertissement"), MB_ICONEXCLAMATION, text, false);
}

void ShowInfo(const QString &text)
{
    Box(MessageKind::Information, QStringLiteral("Informations"), MB_ICONEXCLAMATION, text, false);
}

bool AskConfirm(const QString &text)
{
    return Box(MessageKind::Confirmation, QStringLiteral("Confirmer"), MB_ICONQUESTION, text, true);
}

bool AskWarning(const QString &text)
{
    return Box(MessageKind::Warning, QStringLiteral("Avertissement"), MB_ICONEXCLAMATION, text, true);
}

void ShowPlainMessage(const QString &text)
{
    // The toolkit's plain box plays no sound of its own.
    MessageRequest request;
    request.Kind = MessageKind::Plain;
    request.Caption = ApplicationTitle();
    request.Text = text;
    UiServices().ShowMessage(request);
}

void MessageBeep(uint32_t sound)
{
    UiServices().Beep(sound);
}

QString ApplicationTitleFor(const QString &executableFileName)
{
    QString title = executableFileName.section(QLatin1Char('.'), 0, 0);
    if (title.size() > 1)
        title = title.left(1) + title.mid(1).toLower();
    return title;
}

QString ApplicationTitle()
{
    return ApplicationTitleFor(QFileInfo(Os::Environment::OwnExecutableHostPath()).fileName());
}

void BeginWait()
{
    if (gWaitCount == 0)
        UiServices().SetWaitCursor(true);
    ++gWaitCount;
}

void EndWait()
{
    --gWaitCount;
    if (gWaitCount < 0)
        gWaitCount = 0;
    if (gWaitCount == 0)
        UiServices().SetWaitCursor(false);
}

int WaitCount()
{
    return gWaitCount;
}
