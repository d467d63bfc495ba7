// Manifest lists of the payload ("Updates.txt", "FileNames.txt", ...) read as text.
#pragma once

#include <QByteArray>
#include <QStringList>

// A UTF-8, UTF-16 LE or UTF-16 BE byte-order mark selects the encoding (the mark is not
// part of the first line); without one the bytes are Windows-1252, the emulated ANSI
// code page. Lines end with CR LF, LF or CR; a missing final break is allowed, and a
// final break does not add an empty line.
QStringList DecodeManifestLines(const QByteArray &bytes);
