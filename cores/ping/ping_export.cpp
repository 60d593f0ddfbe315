// The ten exported functions of the ping core.
#include "pelnet/runtime/core_base.h"
#include "ping_core.h"

PELNET_EXPORT_CORE(Ping, pelping::PingCore)
