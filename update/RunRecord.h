// What a run did, gathered as it goes for the machine-readable report: kept apart from the
// report's lines so that a program reading it never parses Italian text.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// A file a dry run would put in place or leave, with both versions where they exist.
struct TPlannedFile {
    enum TAction { Replace, Add, Keep } Action = Replace;
    QString Target; // Windows path
    QString InstalledVersion;
    QString NewVersion;
};

struct TRunRecord {
    // The first installed file the run compared with the payload (the product's program)
    // and its version then; the caller reads it again after the run.
    QString ComparedFile;
    QString VersionBefore;
    // Windows paths of the installed files put in place: over an existing file, or new.
    QStringList Replaced;
    QStringList Added;
    // Put back after a failure; filled once the file transaction knows them.
    QStringList Restored;
    QStringList PrintLists;
    QStringList Companies;
    // Conflicts with other workstations the company imports retried; -1 when no company
    // database was reached.
    int ConflictsRetried = -1;
    // Only in a dry run: every installed file it would touch, in order.
    QList<TPlannedFile> Planned;
};
