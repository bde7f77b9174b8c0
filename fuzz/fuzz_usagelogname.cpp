// The name lookup of the usage log format: a name it finds spells exactly that name.

#include "fuzzing.h"
#include "usagelogname.h"

FUZZ_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString name = fuzzing::text(data, size);
    UsageLogName found;
    if (lookupUsageLogName(QStringRef(&name), found) && usageLogName(found) != name)
        qFatal("%s found as %s", qPrintable(name), usageLogName(found).data());
    return 0;
}
