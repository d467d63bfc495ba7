#include "app/OneInst.h"

#include "oslayer/SingleInstance.h"
#include "platform/Messages.h"

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
    Lock() = std::make_unique<Os::InstanceLock>(ApplicationTitle());
    return Lock()->Valid() && Lock()->AlreadyExisted();
}
