#include "platform/Resources.h"

#include <QtGlobal>

#include <mutex>

static void registerVeltraneResources()
{
    Q_INIT_RESOURCE(veltrane);
}

namespace Resources {

void load()
{
    static std::once_flag once;
    std::call_once(once, registerVeltraneResources);
}

} // namespace Resources
