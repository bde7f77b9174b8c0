// The proxy discovery on any settings: the input's lines are the server text, the bypass
// list and an address; the first line also serves as a bypass pattern for the second.

#include "fuzzing.h"
#include "systemproxy.h"
#include "systemproxysource.h"

#include <QNetworkAccessManager>

FUZZ_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QStringList lines = fuzzing::text(data, size).split(QLatin1Char('\n'));
    const QString server = lines.value(0);
    const QString bypass = lines.value(1);
    setSystemProxySource([&](SystemProxySettings &settings) {
        settings.manualProxy = true;
        settings.hasServer = true;
        settings.server = server.toStdWString();
        settings.hasBypass = true;
        settings.bypass = bypass.toStdWString();
        return true;
    });
    QNetworkAccessManager manager;
    applySystemProxy(&manager, QUrl(lines.value(2)));
    matchesBypassPattern(server, bypass);
    setSystemProxySource(nullptr);
    return 0;
}
