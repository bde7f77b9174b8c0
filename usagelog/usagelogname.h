#pragma once

#include <QLatin1String>

class QStringRef;

// Every name of the usage log format, in the order of the format's name table. Code refers
// to a format name only through this enumeration.
enum class UsageLogName {
    kaldousage,
    schema,
    version,
    logstatus,
    loguuid,
    logsequence,
    logfinal,
    session,
    sessiongroup,
    sessionuuid,
    sessionstarttime,
    sessionendtime,
    timezone,
    productid,
    productversion,
    productlanguage,
    computer,
    anon,
    domain,
    user,
    osplatform,
    osversion,
    osservicepack,
    osbits,
    osversionstring,
    oslanguage,
    ram,
    cpucount,
    cpuperformance,
    cpudescription,
    cpuarchitecture,
    locale,
    country,
    product,
    type,
    manufacturer,
    name,
    firmware,
    serial,
    display,
    width,
    height,
    displaytype,
    event,
    eventstart,
    eventend,
    feature,
    methodofcall,
    eventstarttime,
    eventendtime,
    attribute,
    attributecode,
    attributevalue,
    multivalue,
    sourcename,
    sourceversion,
    sourcetype,
    sourcemanufacturer,
    sourcefirmware,
    targetname,
    targetversion,
    targettype,
    targetmanufacturer,
    targetfirmware,
    pressurewidth,
    sessionidletime,
    applicationloadtime,
    sessioncrashed,
    crashdatafound,
    crashdatarecovered,
    eventsomitted,
    eventid,
    trackedsoftwaretype,
    osvendor,
    producthwrlanguage,
    actor,
};

constexpr int usageLogNameCount = 76;

// The attributes of `logstatus` that carry the delivery flags; they belong to the format but
// not to its name table.
extern const QLatin1String logStatusKaldoAttribute;
extern const QLatin1String logStatusAdminAttribute;

QLatin1String usageLogName(UsageLogName name);

// Finds the enumeration value of a name; false for a name outside the table.
bool lookupUsageLogName(const QStringRef &text, UsageLogName &out);
