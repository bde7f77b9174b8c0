#include "usagelogname.h"

#include <QStringRef>

#include <array>
#include <vector>

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

struct Entry
{
    QString text;
    UsageLogName name;
};

constexpr int longestName = 20;

// The names grouped by length: a lookup compares only names of the reader's name's length.
const std::array<std::vector<Entry>, longestName + 1> &namesByLength()
{
    static const std::array<std::vector<Entry>, longestName + 1> buckets = [] {
        std::array<std::vector<Entry>, longestName + 1> byLength;
        for (int i = 0; i < usageLogNameCount; ++i)
            byLength[static_cast<size_t>(names[i].size())].push_back(
                Entry { QString(names[i]), static_cast<UsageLogName>(i) });
        return byLength;
    }();
    return buckets;
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
    const int length = text.size();
    if (length == 0 || length > longestName)
        return false;
    for (const Entry &entry : namesByLength()[static_cast<size_t>(length)]) {
        if (entry.text.at(0) == text.at(0) && text == entry.text) {
            out = entry.name;
            return true;
        }
    }
    return false;
}
