#include "app/OneInst.h"

#include "oslayer/Environment.h"
#include "oslayer/SingleInstance.h"
#include "platform/Messages.h"

#include <QFileInfo>

#include <memory>

namespace {

std::unique_ptr<Os::InstanceLock> &Lock()
{
    static std::unique_ptr<Os::InstanceLock> lock;
    return lock;
}

} // namespace

bool AlreadyRunning()
{
    // The same prefix reached through another spelling or a link is still the same prefix.
    const QString prefix = Os::Environment::PrefixRoot();
    const QString canonical = QFileInfo(prefix).canonicalFilePath();
    Lock() = std::make_unique<Os::InstanceLock>(ApplicationTitle(), canonical.isEmpty() ? prefix : canonical);
    return Lock()->Valid() && Lock()->AlreadyExisted();
}
