#include "usagelogname.h"

#include <QStringRef>

#include <array>
#include <vector>

namespace {

// Made on first use, so that the readers of other files' static objects find it ready.
const std::array<QLatin1String, usageLogNameCount> &names()
{
    static const std::array<QLatin1String, usageLogNameCount> latin1 = [] {
        std::array<QLatin1String, usageLogNameCount> table;
        for (int i = 0; i < usageLogNameCount; ++i)
            table[static_cast<size_t>(i)] = QLatin1String(usageLogNameTexts[i]);
        return table;
    }();
    return latin1;
}

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
            byLength[static_cast<size_t>(names()[i].size())].push_back(
                Entry { QString(names()[i]), static_cast<UsageLogName>(i) });
        return byLength;
    }();
    return buckets;
}

} // namespace

const QLatin1String logStatusKaldoAttribute("kaldo");
const QLatin1String logStatusAdminAttribute("admin");

QLatin1String usageLogName(UsageLogName name)
{
    return names()[static_cast<size_t>(name)];
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
