// Whether the host file system keeps a file compressed (the inode flag that chattr +c sets),
// which is what Windows reports as FILE_ATTRIBUTE_COMPRESSED. Kept here until the host
// layer's attributes carry that bit themselves.
#pragma once

#include <QString>

namespace Dialogs {

bool IsHostFileCompressed(const QString &hostPath);

} // namespace Dialogs
