// The database phase of a run that did not reach every company. The product's files are
// committed by then and the companies already imported cannot be taken back, so the run
// rolls forward: what remains is written down in the wizard's state folder of the prefix,
// and the next run of a wizard carrying the same print lists finishes it instead of
// stopping at the program that is already new.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

struct TPendingDbPhase {
    uint8_t ProductCode = 0;
    QString Product;
    // What the phase imports (the print-list manifest and every list of it), so that only
    // a wizard that would import the same finishes it.
    QString PayloadIdentity;
    QStringList Companies; // not done, "Default" for the default company
};

namespace PendingDbPhase {

// <prefix>/.dremlix-update/pending-db
QString FilePath();
// Nothing when there is no record or it cannot be read.
std::optional<TPendingDbPhase> Read();
// Written whole (a new file renamed over the old one); the state folder is made 0700 when
// missing. Raises with the path and the system's error.
void Write(const TPendingDbPhase &phase);
// Quiet when there is none.
void Remove();

} // namespace PendingDbPhase
