// What the wizard asks of a person, with Qt dialogs.
#pragma once

#include "platform/UiServices.h"

class TQtUiServices final : public IUiServices {
public:
    TQtUiServices();
    ~TQtUiServices() override;

    void Beep(uint32_t sound) override;
    bool ShowMessage(const MessageRequest &request) override;
    bool BrowseForFolder(const QString &title, QString &path, uint32_t flags, const QString &rootPath) override;
    bool OpenFile(const QString &title, QString &path) override;
    bool PrinterSetup(QPrinter &printer) override;
    bool ChooseCompany(const QStringList &companies, int &index) override;
    void SetWaitCursor(bool on) override;
    void ProcessEvents() override;
    bool Terminated() const override { return FTerminated; }
    void Terminate() override;

private:
    IUiServices *FPrevious = nullptr;
    bool FTerminated = false;
    bool FCursorOn = false;
};
