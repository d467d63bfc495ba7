// What the wizard asks of a person, answered by the command line: no window and no box.
// Every box is written to standard error, with the answer it got, so that the log of a
// roll-out shows what a person would have seen.
#pragma once

#include "app/CommandLine.h"
#include "platform/UiServices.h"

#include <cstdio>

class TUnattendedUiServices final : public IUiServices {
public:
    explicit TUnattendedUiServices(TCommandLine answers, FILE *log = stderr);
    ~TUnattendedUiServices() override;

    void Beep(uint32_t) override {}
    bool ShowMessage(const MessageRequest &request) override;
    bool BrowseForFolder(const QString &title, QString &path, uint32_t flags, const QString &rootPath) override;
    bool OpenFile(const QString &title, QString &path) override;
    bool PrinterSetup(QPrinter &) override { return false; }
    bool ChooseCompany(const QStringList &companies, int &index) override;
    void SetWaitCursor(bool) override {}
    void ProcessEvents() override;
    bool Terminated() const override { return FTerminated; }
    void Terminate() override;
    bool HasWindows() const override { return false; }

    // Whether an error box was shown: before the run that means the wizard refused to start.
    bool ErrorShown() const { return FErrorShown; }

private:
    void Log(const QString &caption, const QString &text, const QString &answer);

    TCommandLine FAnswers;
    FILE *FLog;
    IUiServices *FPrevious = nullptr;
    bool FTerminated = false;
    bool FErrorShown = false;
};
