#include "app/UnattendedUiServices.h"

#include "app/AppTexts.h"
#include "update/UpdateTexts.h"

#include <QCoreApplication>

TUnattendedUiServices::TUnattendedUiServices(TCommandLine answers, FILE *log)
    : FAnswers(std::move(answers))
    , FLog(log)
    , FPrevious(&UiServices())
{
    SetUiServices(this);
}

TUnattendedUiServices::~TUnattendedUiServices()
{
    SetUiServices(FPrevious);
}

void TUnattendedUiServices::Log(const QString &caption, const QString &text, const QString &answer)
{
    QString line = caption + QStringLiteral(": ") + text;
    line.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (!answer.isEmpty())
        line += QStringLiteral(" [") + QString(answer).remove(QLatin1Char('&')) + QLatin1Char(']');
    std::fputs(line.toUtf8().append('\n').constData(), FLog);
    std::fflush(FLog);
}

bool TUnattendedUiServices::ShowMessage(const MessageRequest &request)
{
    if (request.Kind == MessageKind::Error)
        FErrorShown = true;
    if (!request.YesNo) {
        Log(request.Caption, request.Text, QString());
        return true;
    }
    // The two version questions of a replacement are the only ones an option answers; the
    // question names its own text, so the answer cannot go to another question by mistake.
    bool yes = false;
    if (request.Text.endsWith(UpdateTexts::InstalledIsNewer))
        yes = FAnswers.AllowOlder;
    else if (request.Text.endsWith(UpdateTexts::InstalledIsSame))
        yes = FAnswers.AllowSame;
    Log(request.Caption, request.Text, yes ? AppTexts::Yes() : AppTexts::No());
    return yes;
}

bool TUnattendedUiServices::BrowseForFolder(const QString &title, QString &path, uint32_t, const QString &)
{
    Log(title, path, FAnswers.ProductFolder.isEmpty() ? AppTexts::Cancel() : FAnswers.ProductFolder);
    if (FAnswers.ProductFolder.isEmpty())
        return false;
    path = FAnswers.ProductFolder;
    return true;
}

bool TUnattendedUiServices::OpenFile(const QString &title, QString &path)
{
    Log(title, path, FAnswers.ProgramFile.isEmpty() ? AppTexts::Cancel() : FAnswers.ProgramFile);
    if (FAnswers.ProgramFile.isEmpty())
        return false;
    path = FAnswers.ProgramFile;
    return true;
}

bool TUnattendedUiServices::ChooseCompany(const QStringList &companies, int &index)
{
    qsizetype found = -1;
    for (qsizetype i = 0; i < companies.size() && !FAnswers.Company.isEmpty() && found < 0; ++i)
        if (companies.at(i).compare(FAnswers.Company, Qt::CaseInsensitive) == 0)
            found = i;
    Log(AppTexts::ChooseCompanyCaption(), companies.join(QStringLiteral(", ")),
        found < 0 ? AppTexts::Cancel() : companies.at(found));
    if (found < 0)
        return false;
    index = static_cast<int>(found);
    return true;
}

void TUnattendedUiServices::ProcessEvents()
{
    QCoreApplication::processEvents();
}

void TUnattendedUiServices::Terminate()
{
    FTerminated = true;
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
}
