// The store's load on any stored text, then a save and a load of what was saved.

#include "fuzzing.h"
#include "publishinstructionstore.h"

#include <QSettings>

FUZZ_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    {
        QSettings file(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("KALDO Technologies"),
                       QStringLiteral("Zadazevi Rerevarazu"));
        file.setValue(QStringLiteral("data"), fuzzing::text(data, size));
    }
    PublishInstructionStore store;
    store.setClock([] { return qint64(1000); });
    (void)store.load(); // a failed load keeps what it read before the error
    if (!store.save())
        return 0;
    PublishInstructionStore again;
    again.setClock([] { return qint64(1000); });
    if (!again.load())
        qFatal("a saved store does not load: %s", qPrintable(again.errorString()));
    return 0;
}
