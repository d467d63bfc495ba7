// The message boxes and the wait cursor that every part of the program uses.
#pragma once

#include <QString>
#include <cstdint>

void ShowError(const QString &text);      // "Erreur", exclamation sound
void ShowWarning(const QString &text);    // "Avertissement", exclamation sound
void ShowInfo(const QString &text);       // "Informations", exclamation sound
bool AskConfirm(const QString &text);     // "Confirmer", question sound, "&Oui"/"&Non"
bool AskWarning(const QString &text);     // "Avertissement", exclamation sound, "&Oui"/"&Non"
// The plain box of the toolkit (ShowMessage): OK only, the application title as caption.
void ShowPlainMessage(const QString &text);
void MessageBeep(uint32_t sound);

// The application title: the executable's name up to its first full stop, every
// character after the first lower-cased (SETUP.EXE gives Setup).
QString ApplicationTitle();
QString ApplicationTitleFor(const QString &executableFileName);

// The program-wide nested wait cursor.
void BeginWait();
void EndWait();
int WaitCount();

// Pairs BeginWait and EndWait in a scope, so that EndWait also runs when the work raises.
class WaitCursor {
public:
    WaitCursor() { BeginWait(); }
    ~WaitCursor() { EndWait(); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};
