#include "publishinstruction.h"

#include <QHash>

#include <boost/lexical_cast.hpp>

namespace {

template <typename T> bool toNumber(QStringView text, T &out)
{
    const QByteArray latin1 = text.toLatin1(); // other characters become '?', which fails too
    try {
        out = boost::lexical_cast<T>(latin1.constData(), static_cast<std::size_t>(latin1.size()));
        return true;
    } catch (const boost::bad_lexical_cast &) {
        return false;
    }
}

} // namespace

bool toStrictNumber(QStringView text, qint32 &out)
{
    return toNumber(text, out);
}

bool toStrictNumber(QStringView text, qint64 &out)
{
    return toNumber(text, out);
}

PublishType parsePublishType(const QString &text)
{
    if (text == QLatin1String("Discard"))
        return Discard;
    if (text == QLatin1String("SummaryOnly"))
        return SummaryOnly;
    if (text == QLatin1String("Details"))
        return Details;
    return InvalidPublishType;
}

QString publishTypeName(PublishType type)
{
    switch (type) {
    case Discard: return QStringLiteral("Discard");
    case SummaryOnly: return QStringLiteral("SummaryOnly");
    case Details: return QStringLiteral("Details");
    default: return QStringLiteral("INVALID_PUBLISH_TYPE TYPE");
    }
}

std::ostream &operator<<(std::ostream &stream, PublishType type)
{
    return stream << publishTypeName(type).toStdString();
}

SessionInfo SessionInfo::zeroed()
{
    SessionInfo info;
    info.productID = info.osPlatform = info.osVersion = info.osBits = info.architecture = 0;
    return info;
}

bool SessionInfo::sameSessionIgnoringPlace(const SessionInfo &o) const
{
    return productID == o.productID && version == o.version && osPlatform == o.osPlatform && osVersion == o.osVersion
           && servicePack == o.servicePack && osBits == o.osBits && architecture == o.architecture
           && langID == o.langID;
}

bool SessionInfo::operator==(const SessionInfo &o) const
{
    return sameSessionIgnoringPlace(o) && country == o.country && locale == o.locale;
}

uint qHashIgnoringPlace(const SessionInfo &s, uint seed)
{
    uint h = seed;
    h ^= ::qHash(s.productID) + 0x9e3779b9 + (h << 6) + (h >> 2);
    h ^= ::qHash(s.version) + 0x9e3779b9 + (h << 6) + (h >> 2);
    h ^= ::qHash(s.osPlatform) + 0x9e3779b9 + (h << 6) + (h >> 2);
    h ^= ::qHash(s.osVersion) + 0x9e3779b9 + (h << 6) + (h >> 2);
    h ^= ::qHash(s.servicePack) + 0x9e3779b9 + (h << 6) + (h >> 2);
    h ^= ::qHash(s.osBits) + 0x9e3779b9 + (h << 6) + (h >> 2);
    h ^= ::qHash(s.architecture) + 0x9e3779b9 + (h << 6) + (h >> 2);
    h ^= ::qHash(s.langID) + 0x9e3779b9 + (h << 6) + (h >> 2);
    return h;
}

uint qHash(const SessionInfo &s, uint seed)
{
    uint h = qHashIgnoringPlace(s, seed);
    h ^= ::qHash(s.country) + 0x9e3779b9 + (h << 6) + (h >> 2);
    h ^= ::qHash(s.locale) + 0x9e3779b9 + (h << 6) + (h >> 2);
    return h;
}
