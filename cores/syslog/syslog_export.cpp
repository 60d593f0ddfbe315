// The ten exported functions of the syslog core.
#include "pelnet/runtime/core_base.h"
#include "syslog_core.h"

PELNET_EXPORT_CORE(SysLog, pelnet::syslog::SysLogCore)
