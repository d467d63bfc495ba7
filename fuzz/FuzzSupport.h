// What the fuzz targets share: the check that turns a broken invariant into the crash
// libFuzzer reports (and the replay test fails on), scratch files for the parsers that
// read from disk, and the application object the text classes need.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace Fuzz {

[[noreturn]] void Fail(const char *file, int line, const char *condition);

// The input as bytes, without copying them.
QByteArray Bytes(const uint8_t *data, size_t size);

// A file of this process's scratch folder (on tmpfs where there is one, removed at exit).
QString ScratchPath(const char *name);
// Writes the bytes to the file, replacing it; fails the run when that is impossible,
// since every later step would test nothing.
void WriteScratch(const QString &path, const QByteArray &bytes);

// A QGuiApplication on the offscreen platform, made once: fonts and text layout need it.
void StartGuiApplication();

} // namespace Fuzz

// Unlike assert, active in every build: a broken invariant is a finding.
#define FUZZ_CHECK(condition) ((condition) ? void() : Fuzz::Fail(__FILE__, __LINE__, #condition))
