#include "usagelogname.h"

#include <QStringRef>

#include <algorithm>
#include <array>
#include <cstring>

namespace {

const std::array<QLatin1String, usageLogNameCount> names = { {
    QLatin1String("kaldousage"),
    QLatin1String("schema"),
    QLatin1String("version"),
    QLatin1String("logstatus"),
    QLatin1String("loguuid"),
    QLatin1String("logsequence"),
    QLatin1String("logfinal"),
    QLatin1String("session"),
    QLatin1String("sessiongroup"),
    QLatin1String("sessionuuid"),
    QLatin1String("sessionstarttime"),
    QLatin1String("sessionendtime"),
    QLatin1String("timezone"),
    QLatin1String("productid"),
    QLatin1String("productversion"),
    QLatin1String("productlanguage"),
    QLatin1String("computer"),
    QLatin1String("anon"),
    QLatin1String("domain"),
    QLatin1String("user"),
    QLatin1String("osplatform"),
    QLatin1String("osversion"),
    QLatin1String("osservicepack"),
    QLatin1String("osbits"),
    QLatin1String("osversionstring"),
    QLatin1String("oslanguage"),
    QLatin1String("ram"),
    QLatin1String("cpucount"),
    QLatin1String("cpuperformance"),
    QLatin1String("cpudescription"),
    QLatin1String("cpuarchitecture"),
    QLatin1String("locale"),
    QLatin1String("country"),
    QLatin1String("product"),
    QLatin1String("type"),
    QLatin1String("manufacturer"),
    QLatin1String("name"),
    QLatin1String("firmware"),
    QLatin1String("serial"),
    QLatin1String("display"),
    QLatin1String("width"),
    QLatin1String("height"),
    QLatin1String("displaytype"),
    QLatin1String("event"),
    QLatin1String("eventstart"),
    QLatin1String("eventend"),
    QLatin1String("feature"),
    QLatin1String("methodofcall"),
    QLatin1String("eventstarttime"),
    QLatin1String("eventendtime"),
    QLatin1String("attribute"),
    QLatin1String("attributecode"),
    QLatin1String("attributevalue"),
    QLatin1String("multivalue"),
    QLatin1String("sourcename"),
    QLatin1String("sourceversion"),
    QLatin1String("sourcetype"),
    QLatin1String("sourcemanufacturer"),
    QLatin1String("sourcefirmware"),
    QLatin1String("targetname"),
    QLatin1String("targetversion"),
    QLatin1String("targettype"),
    QLatin1String("targetmanufacturer"),
    QLatin1String("targetfirmware"),
    QLatin1String("pressurewidth"),
    QLatin1String("sessionidletime"),
    QLatin1String("applicationloadtime"),
    QLatin1String("sessioncrashed"),
    QLatin1String("crashdatafound"),
    QLatin1String("crashdatarecovered"),
    QLatin1String("eventsomitted"),
    QLatin1String("eventid"),
    QLatin1String("trackedsoftwaretype"),
    QLatin1String("osvendor"),
    QLatin1String("producthwrlanguage"),
    QLatin1String("actor"),
} };

struct SortedEntry
{
    QLatin1String text;
    UsageLogName name;
};

// The table sorted by text, for binary search on the names the stream reader reports.
const std::array<SortedEntry, usageLogNameCount> &sortedNames()
{
    static const std::array<SortedEntry, usageLogNameCount> sorted = [] {
        std::array<SortedEntry, usageLogNameCount> entries;
        for (int i = 0; i < usageLogNameCount; ++i)
            entries[i] = SortedEntry { names[i], static_cast<UsageLogName>(i) };
        std::sort(entries.begin(), entries.end(), [](const SortedEntry &a, const SortedEntry &b) {
            return std::strcmp(a.text.data(), b.text.data()) < 0;
        });
        return entries;
    }();
    return sorted;
}

} // namespace

const QLatin1String logStatusKaldoAttribute("kaldo");
const QLatin1String logStatusAdminAttribute("admin");

QLatin1String usageLogName(UsageLogName name)
{
    return names[static_cast<int>(name)];
}

bool lookupUsageLogName(const QStringRef &text, UsageLogName &out)
{
    const auto &sorted = sortedNames();
    int low = 0;
    int high = usageLogNameCount - 1;
    while (low <= high) {
        const int middle = (low + high) / 2;
        const int order = text.compare(sorted[middle].text, Qt::CaseSensitive);
        if (order == 0) {
            out = sorted[middle].name;
            return true;
        }
        if (order < 0)
            high = middle - 1;
        else
            low = middle + 1;
    }
    return false;
}
