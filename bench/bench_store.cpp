// Saves and loads a store of 100,000 instructions and looks up 100,000 sessions, half of
// them present, timing each step.
//
//   bench_store [entries=100000]

#include "publishinstructionstore.h"
#include "testtools.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>

#include <cstdio>

int main(int argc, char *argv[])
{
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? atoi(argv[1]) : 100000;
    const qint64 now = 1800000000;
    auto session = [](int n) { return testSession(n % 500, QString::number(n), n % 3 ? "US"_s : "DE"_s); };

    QElapsedTimer clock;
    clock.start();
    {
        // Entries distinct on the eight fields that addOrUpdate compares.
        PublishInstructionStore writer;
        writer.setClock([now] { return now; });
        for (int i = 0; i < count; ++i)
            writer.addOrUpdate(testInstruction(session(i), Details, now + 1 + i % 1000));
        if (!writer.save()) {
            std::fprintf(stderr, "%s\n", qPrintable(writer.errorString()));
            return 1;
        }
    }
    const qint64 saveMs = clock.restart();
    PublishInstructionStore store;
    store.setClock([now] { return now; });
    if (!store.load())
        return 1;
    const qint64 loadMs = clock.restart();

    QRandomGenerator random(1);
    int found = 0;
    for (int i = 0; i < count; ++i) {
        const int n = static_cast<int>(random.bounded(static_cast<quint32>(count)));
        PublishInstruction out;
        found += store.findInstruction(session(i % 2 ? n : n + count), out) ? 1 : 0;
    }
    std::printf(
        "store of %d entries: added and saved in %lld ms, loaded in %lld ms; %d lookups (%d found) in %lld ms\n",
        store.entries().size(), static_cast<long long>(saveMs), static_cast<long long>(loadMs), count, found,
        static_cast<long long>(clock.elapsed()));
    return 0;
}
