// Everything the program asks of a person goes through this interface: message boxes
// with their sounds, the folder browser, the open-file dialog of the engine, the
// printer set-up and the company choice. The GUI installs a Qt implementation; tests
// install a scripted one that answers from a queue and records every request.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

class QPrinter;

enum class MessageKind { Error, Warning, Information, Confirmation, Plain };

// MessageBeep sounds.
enum BeepSound : uint32_t {
    MB_OK_SOUND = 0x00,
    MB_ICONHAND = 0x10,
    MB_ICONQUESTION = 0x20,
    MB_ICONEXCLAMATION = 0x30,
    MB_ICONASTERISK = 0x40,
};

struct MessageRequest {
    MessageKind Kind = MessageKind::Plain;
    QString Caption;
    QString Text;
    bool YesNo = false;   // "&Oui" / "&Non" instead of "OK"
};

class IUiServices {
public:
    virtual ~IUiServices() = default;

    virtual void Beep(uint32_t sound) = 0;
    // Modal box centred on the screen; true for Yes (or OK on a box without a question).
    // Closing a Yes/No box any other way counts as No.
    virtual bool ShowMessage(const MessageRequest &request) = 0;
    // The shell's folder browser: path is a Windows path, in (selection) and out (choice).
    virtual bool BrowseForFolder(const QString &title, QString &path, uint32_t flags,
                                 const QString &rootPath) = 0;
    // The engine's open-file dialog for a program file that is not where it is expected.
    virtual bool OpenFile(const QString &title, QString &path) = 0;
    // The printer set-up dialog; true when the user confirmed, the printer then set up.
    virtual bool PrinterSetup(QPrinter &printer) = 0;
    // The company choice of the company list; index in/out.
    virtual bool ChooseCompany(const QStringList &companies, int &index) = 0;
    // Hourglass on or off for the whole application.
    virtual void SetWaitCursor(bool on) = 0;
    // Lets the application process its pending events (the message-processing wait).
    virtual void ProcessEvents() = 0;
    // The application has been asked to terminate.
    virtual bool Terminated() const = 0;
    virtual void Terminate() = 0;
    // False where nobody looks at a screen (the unattended run): there is no window to
    // repaint, so the short message-processing waits of the run are not worth their time.
    virtual bool HasWindows() const { return true; }
};

// The services in use. Without an installed implementation, boxes are answered No and
// nothing is shown, so that the core never blocks in a program without a GUI.
IUiServices &UiServices();
void SetUiServices(IUiServices *services);
