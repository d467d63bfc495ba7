// The embedded files of the wizard: RCDATA entries of the own executable's resource
// block, each one zlib stream holding a 16-byte header (data size, FILETIME) and the
// file's bytes (container format in docs/resource-block.md).
#pragma once

#include "oslayer/Files.h"

#include <QByteArray>
#include <QIODevice>
#include <QString>

// Size of the header at the start of an inflated container.
inline constexpr int EmbeddedHeaderSize = 16;

// False when the own executable has no RCDATA entry of that name (names compare without
// regard to case). A damaged container raises Os::Exception; data is then left empty.
// The whole stream is inflated, so that its Adler-32 check always runs: a payload that
// fails it is never handed out. Inflated bytes after the data are ignored.
bool ReadEmbeddedFile(const QString &name, QByteArray &data, Os::FileTime &timeStamp);

// The whole wizard checked before anything runs: the executable is not cut short (an ELF
// image followed by bytes that carry no block is a wizard that lost its end), the block's
// trailer and index, and every embedded file inflated with its Adler-32 checked. Raises
// Os::Exception naming the first fault; a stub without any block passes.
void VerifyOwnContainer();

// ReadEmbeddedFile, then the data written at the stream's current position.
bool ReadEmbeddedToStream(const QString &name, QIODevice &stream);

// Writes the embedded file to a Windows path of the prefix, replacing an existing file.
// The bytes go to a temporary file beside the target, carry the container's time stamp
// as their last-write time and are renamed over the target only when the whole container
// checked out: a damaged container or a failed write leaves the target as it was and
// raises. A read-only target or a folder gives EOSError 5, a missing folder 3. A process
// that holds the old file open keeps reading the old bytes. writtenPath is the target
// path when the file was written, else empty. Without durable the bytes are not forced to
// the disk before the rename: for scratch copies that are read back and deleted in the
// same run, where a crash costs nothing but the scratch file.
void ExtractEmbeddedFile(const QString &name, const QString &targetPath, QString &writtenPath,
                         bool durable = true);

// Sets only the last-write time of an existing file (Windows path); false when the file
// does not exist or the time could not be set.
bool SetFileTimeStamp(const QString &path, Os::FileTime time);

// Inflates one container held in memory (the packing tool's "extract", tests).
// Raises Os::Exception when it is damaged.
void DecodeEmbeddedContainer(const QByteArray &container, QByteArray &data, Os::FileTime &timeStamp,
                             const QString &nameForErrors = QString());

// Reads only the header of a container (the packing tool's "list"): data size and time
// stamp. Raises Os::Exception when not even the header inflates.
void PeekEmbeddedHeader(const QByteArray &container, uint32_t &dataSize, Os::FileTime &timeStamp);
