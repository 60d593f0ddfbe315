// The ten exported functions of the mail core.
#include "pelnet/runtime/core_base.h"
#include "smtp_core.h"

PELNET_EXPORT_CORE(SMTP, pelnet::smtp::SmtpCore)
