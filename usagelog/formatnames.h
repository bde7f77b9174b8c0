#pragma once

// The names of the usage log format, without Qt: the harvest's readers and writers and the
// writers' library (vintorlog) take them from here.

// Every name of the format, in the order of the format's name table. Code refers to a format
// name only through this enumeration.
enum class UsageLogName {
    kaldousage, schema, version, logstatus, loguuid, logsequence, logfinal, session, sessiongroup, sessionuuid,
    sessionstarttime, sessionendtime, timezone, productid, productversion, productlanguage, computer, anon, domain,
    user, osplatform, osversion, osservicepack, osbits, osversionstring, oslanguage, ram, cpucount, cpuperformance,
    cpudescription, cpuarchitecture, locale, country, product, type, manufacturer, name, firmware, serial, display,
    width, height, displaytype, event, eventstart, eventend, feature, methodofcall, eventstarttime, eventendtime,
    attribute, attributecode, attributevalue, multivalue, sourcename, sourceversion, sourcetype, sourcemanufacturer,
    sourcefirmware, targetname, targetversion, targettype, targetmanufacturer, targetfirmware, pressurewidth,
    sessionidletime, applicationloadtime, sessioncrashed, crashdatafound, crashdatarecovered, eventsomitted, eventid,
    trackedsoftwaretype, osvendor, producthwrlanguage, actor,
};

constexpr int usageLogNameCount = 76;

// The text of each name, indexed by the enumeration.
constexpr const char *usageLogNameTexts[usageLogNameCount] = {
    "kaldousage", "schema", "version", "logstatus", "loguuid", "logsequence", "logfinal", "session", "sessiongroup",
    "sessionuuid", "sessionstarttime", "sessionendtime", "timezone", "productid", "productversion", "productlanguage",
    "computer", "anon", "domain", "user", "osplatform", "osversion", "osservicepack", "osbits", "osversionstring",
    "oslanguage", "ram", "cpucount", "cpuperformance", "cpudescription", "cpuarchitecture", "locale", "country",
    "product", "type", "manufacturer", "name", "firmware", "serial", "display", "width", "height", "displaytype",
    "event", "eventstart", "eventend", "feature", "methodofcall", "eventstarttime", "eventendtime", "attribute",
    "attributecode", "attributevalue", "multivalue", "sourcename", "sourceversion", "sourcetype",
    "sourcemanufacturer", "sourcefirmware", "targetname", "targetversion", "targettype", "targetmanufacturer",
    "targetfirmware", "pressurewidth", "sessionidletime", "applicationloadtime", "sessioncrashed", "crashdatafound",
    "crashdatarecovered", "eventsomitted", "eventid", "trackedsoftwaretype", "osvendor", "producthwrlanguage",
    "actor",
};

// The names that steer the harvest: the merge and the filter act on these wherever they stand
// in a log, or write them themselves, and copy every other element as it stands. A product's
// own element of one of these names would change what the harvest makes of the log (an
// identification field turns the session into another product's, a `logfinal` ends the log),
// so the writers' library refuses them.
constexpr UsageLogName steeringNames[] = {
    // the log and its parts
    UsageLogName::kaldousage, UsageLogName::schema, UsageLogName::loguuid, UsageLogName::logsequence,
    UsageLogName::logstatus, UsageLogName::logfinal,
    // sessions and their identification
    UsageLogName::session, UsageLogName::sessionuuid, UsageLogName::productid, UsageLogName::productversion,
    UsageLogName::productlanguage, UsageLogName::osplatform, UsageLogName::osversion, UsageLogName::osservicepack,
    UsageLogName::osbits, UsageLogName::cpuarchitecture, UsageLogName::country, UsageLogName::locale,
    // what the filter rewrites or writes
    UsageLogName::anon, UsageLogName::event, UsageLogName::eventstart, UsageLogName::eventend,
    UsageLogName::eventendtime, UsageLogName::eventsomitted, UsageLogName::sessioncrashed,
};

constexpr bool steersHarvest(UsageLogName name)
{
    for (UsageLogName steering : steeringNames) {
        if (steering == name)
            return true;
    }
    return false;
}
