#include "ScriptedUiServices.h"

#include <QCoreApplication>
#include <QPrinter>

ScriptedUiServices::ScriptedUiServices()
    : FPrevious(&UiServices())
{
    SetUiServices(this);
}

ScriptedUiServices::~ScriptedUiServices()
{
    SetUiServices(FPrevious);
}

void ScriptedUiServices::Beep(uint32_t sound)
{
    FBeeps.append(sound);
}

bool ScriptedUiServices::ShowMessage(const MessageRequest &request)
{
    bool answer = !request.YesNo;
    if (request.YesNo && !FAnswers.empty()) {
        answer = FAnswers.front();
        FAnswers.pop_front();
    }
    Box box{request.Kind, request.Caption, request.Text, request.YesNo, answer};
    if (OnBox)
        OnBox(box);
    FBoxes.append(box);
    return request.YesNo ? answer : true;
}

bool ScriptedUiServices::BrowseForFolder(const QString &title, QString &path, uint32_t, const QString &)
{
    BrowseTitles.append(title);
    BrowseStarts.append(path);
    if (FFolders.empty())
        return false;
    const QString choice = FFolders.front();
    FFolders.pop_front();
    if (choice.isEmpty())
        return false;
    path = choice;
    return true;
}

bool ScriptedUiServices::OpenFile(const QString &title, QString &path)
{
    OpenTitles.append(title);
    if (FFiles.empty())
        return false;
    const QString choice = FFiles.front();
    FFiles.pop_front();
    if (choice.isEmpty())
        return false;
    path = choice;
    return true;
}

bool ScriptedUiServices::PrinterSetup(QPrinter &printer)
{
    if (FPrinters.empty())
        return false;
    const QString pdf = FPrinters.front();
    FPrinters.pop_front();
    if (pdf.isEmpty())
        return false;
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(pdf);
    return true;
}

bool ScriptedUiServices::ChooseCompany(const QStringList &, int &index)
{
    if (FCompanies.empty())
        return false;
    const int choice = FCompanies.front();
    FCompanies.pop_front();
    if (choice < 0)
        return false;
    index = choice;
    return true;
}

void ScriptedUiServices::SetWaitCursor(bool on)
{
    ++WaitCursorChanges;
    WaitCursorOn = on;
}

void ScriptedUiServices::ProcessEvents()
{
    ++ProcessEventsCalls;
    if (QCoreApplication::instance())
        QCoreApplication::processEvents();
}
