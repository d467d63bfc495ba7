// What wizard-pack puts in front of a payload: the stub without its debug information,
// and, for a self-contained wizard, the bundle of libraries its launcher unpacks.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// True when the file is an ELF object that still carries debug sections or a symbol table.
bool CarriesDebugInformation(const QString &hostPath);

// The stub to pack: the file itself when it carries no debug information, else a copy
// stripped with objcopy (from $OBJCOPY or the PATH) written into workDir. The copy points
// at STUB.debug, when the build left one beside the stub, with a debug link.
// Raises Os::Exception when the stub needs stripping and cannot be stripped.
QString PackableStub(const QString &stubHostPath, const QString &workDir);

struct TBundleOptions {
    QString Stub;         // the real wizard, already without debug information
    QString FbClient;     // empty: libfbclient.so.2 from the system's library folders
    QString WorkDir;      // for the tools' scratch files
};

struct TBundle {
    QByteArray Entry;     // the data of the BUNDLE entry
    QString Hash;         // the name of its folder in the cache
    QStringList Files;    // the paths in the bundle, for the summary
    QStringList Warnings; // what the release engineer should know (missing licence texts)
};

// The real wizard, the Qt libraries, plugins, ICU and the Firebird client with everything
// they load that is not the system's own (C library, C++ runtime, graphics drivers, X11
// core, fonts, printing), with their licence texts. Raises Os::Exception on a library
// that cannot be found.
TBundle BuildBundle(const TBundleOptions &options);
