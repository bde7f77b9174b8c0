#pragma once

#include "formatnames.h"

#include <QLatin1String>

class QStringRef;

// The attributes of `logstatus` that carry the delivery flags; they belong to the format but
// not to its name table.
extern const QLatin1String logStatusKaldoAttribute;
extern const QLatin1String logStatusAdminAttribute;

QLatin1String usageLogName(UsageLogName name);

// Finds the enumeration value of a name; false for a name outside the table.
bool lookupUsageLogName(const QStringRef &text, UsageLogName &out);
