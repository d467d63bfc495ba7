// The only stand-in for a person: answers queued in advance, every request recorded.
#pragma once

#include "platform/UiServices.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <deque>
#include <functional>

class ScriptedUiServices final : public IUiServices {
public:
    struct Box {
        MessageKind Kind;
        QString Caption;
        QString Text;
        bool YesNo;
        bool Answer;
    };

    // Installs itself on construction and puts the previous services back on destruction.
    ScriptedUiServices();
    ~ScriptedUiServices() override;

    // Answers for Yes/No boxes, in order; a box without a queued answer gets No.
    void QueueAnswer(bool yes) { FAnswers.push_back(yes); }
    // Answers for the folder browser and the open-file dialog: a path, or an empty
    // string for Cancel.
    void QueueFolder(const QString &windowsPath) { FFolders.push_back(windowsPath); }
    void QueueFile(const QString &windowsPath) { FFiles.push_back(windowsPath); }
    // The printer set-up: a PDF file to print into, or an empty string for Cancel.
    void QueuePrinter(const QString &pdfHostPath) { FPrinters.push_back(pdfHostPath); }
    void QueueCompany(int index) { FCompanies.push_back(index); }
    // Called whenever a box is shown, before it is answered (to act "while the box is open").
    std::function<void(const Box &)> OnBox;

    const QList<Box> &Boxes() const { return FBoxes; }
    const QList<uint32_t> &Beeps() const { return FBeeps; }
    QStringList BrowseTitles;
    QStringList BrowseStarts; // the path each folder browser opened at
    QStringList OpenTitles;
    int WaitCursorChanges = 0;
    bool WaitCursorOn = false;
    int ProcessEventsCalls = 0;

    void Beep(uint32_t sound) override;
    bool ShowMessage(const MessageRequest &request) override;
    bool BrowseForFolder(const QString &title, QString &path, uint32_t flags, const QString &rootPath) override;
    bool OpenFile(const QString &title, QString &path) override;
    bool PrinterSetup(QPrinter &printer) override;
    bool ChooseCompany(const QStringList &companies, int &index) override;
    void SetWaitCursor(bool on) override;
    void ProcessEvents() override;
    bool Terminated() const override { return FTerminated; }
    void Terminate() override { FTerminated = true; }

private:
    IUiServices *FPrevious = nullptr;
    std::deque<bool> FAnswers;
    std::deque<QString> FFolders;
    std::deque<QString> FFiles;
    std::deque<QString> FPrinters;
    std::deque<int> FCompanies;
    QList<Box> FBoxes;
    QList<uint32_t> FBeeps;
    bool FTerminated = false;
};
