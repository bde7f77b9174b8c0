// The store's load on any stored text; its lookups against a walk of the entries; then a save
// and a load of what was saved.

#include "fuzzing.h"
#include "publishinstructionstore.h"

#include <QSettings>

#include <algorithm>

FUZZ_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    {
        QSettings file(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("KALDO Technologies"),
                       QStringLiteral("Zadazevi Rerevarazu"));
        file.setValue(QStringLiteral("data"), fuzzing::text(data, size));
    }
    qint64 now = 1000;
    PublishInstructionStore store;
    store.setClock([&] { return now; });
    (void)store.load(); // a failed load keeps what it read before the error

    // The indexes answer as a walk of the entries in order: the first equal entry still live
    // at the time asked, here each entry's own expiry in turn.
    const QVector<PublishInstruction> walk = store.entries();
    for (const PublishInstruction &query : walk) {
        now = query.publishUntil;
        const auto first = std::find_if(walk.begin(), walk.end(), [&](const PublishInstruction &entry) {
            return entry.session() == query.session() && entry.publishUntil >= now;
        });
        PublishInstruction found;
        if (!store.findInstruction(query, found) || found.publish != first->publish
            || found.publishUntil != first->publishUntil)
            qFatal("the lookup of entry %d differs from the walk", int(&query - walk.data()));
    }
    // An update of a known session elsewhere changes an entry in place.
    for (PublishInstruction query : walk) {
        query.country += QLatin1Char('!');
        store.addOrUpdate(query);
    }
    if (store.entries().size() != walk.size())
        qFatal("an update of a known session added an entry");
    now = 1000;
    if (!store.save())
        return 0;
    PublishInstructionStore again;
    again.setClock([] { return qint64(1000); });
    if (!again.load())
        qFatal("a saved store does not load: %s", qPrintable(again.errorString()));
    return 0;
}
