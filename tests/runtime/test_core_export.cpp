// The test core as a loadable core library, through the export macro.
#include "pelnet/runtime/core_base.h"
#include "test_core.h"

PELNET_EXPORT_CORE(RuntimeTest, testcore::TestCore)
