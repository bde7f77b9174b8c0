// Loads a store of 100,000 instructions and looks up 100,000 sessions, timing the indexed
// lookups against a plain walk of the entries in order on the same data.

#include "publishinstructionstore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>

namespace {

SessionInfo sessionNumber(quint32 n)
{
    SessionInfo s;
    s.productID = static_cast<int>(n % 500);
    s.version = QStringLiteral("%1.%2").arg(n / 500 % 40).arg(n % 7);
    s.osPlatform = 2;
    s.osVersion = static_cast<int>(6 + n % 5);
    s.servicePack = QStringLiteral("SP1");
    s.osBits = n % 2 ? 64 : 32;
    s.architecture = 9;
    s.langID = QStringLiteral("en");
    s.country = n % 3 ? QStringLiteral("US") : QStringLiteral("DE");
    s.locale = QStringLiteral("en_US");
    return s;
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? atoi(argv[1]) : 100000;
    const qint64 now = 1800000000;

    // The file is written by the store itself: 100,000 entries, distinct on the eight
    // fields that addOrUpdate compares.
    {
        PublishInstructionStore writer;
        writer.setClock([now] { return now; });
        for (int i = 0; i < count; ++i) {
            PublishInstruction in;
            static_cast<SessionInfo &>(in) = sessionNumber(static_cast<quint32>(i) * 7919u);
            in.version = QString::number(i);
            in.publish = Details;
            in.publishUntil = now + 1 + i % 1000;
            writer.addOrUpdate(in);
        }
        if (!writer.save()) {
            std::fprintf(stderr, "%s\n", qPrintable(writer.errorString()));
            return 1;
        }
    }

    PublishInstructionStore store;
    store.setClock([now] { return now; });
    QElapsedTimer clock;
    clock.start();
    if (!store.load())
        return 1;
    const qint64 loadMs = clock.elapsed();

    QVector<SessionInfo> queries;
    QRandomGenerator random(1);
    for (int i = 0; i < count; ++i) {
        // Half of the lookups find an entry, half do not.
        const quint32 n = random.bounded(static_cast<quint32>(count));
        SessionInfo query = sessionNumber(n * 7919u);
        query.version = QString::number(i % 2 ? n : n + static_cast<quint32>(count));
        queries.append(query);
    }

    clock.restart();
    int found = 0;
    for (const SessionInfo &query : queries) {
        PublishInstruction out;
        found += store.findInstruction(query, out) ? 1 : 0;
    }
    const qint64 indexedMs = clock.elapsed();

    // The plain walk in order, on a sample (it is quadratic), scaled to the whole run.
    const int sample = qMin(count, 2000);
    clock.restart();
    int walkFound = 0;
    for (int i = 0; i < sample; ++i) {
        for (const PublishInstruction &entry : store.entries()) {
            if (entry.session() == queries.at(i) && entry.publishUntil >= now) {
                ++walkFound;
                break;
            }
        }
    }
    const double walkMs = static_cast<double>(clock.elapsed()) * count / sample;

    std::printf("store of %d entries loaded in %lld ms\n", store.entries().size(), static_cast<long long>(loadMs));
    std::printf("%d lookups (%d found): indexed %lld ms, walk in order about %.0f ms (measured on %d)\n", count,
                found, static_cast<long long>(indexedMs), walkMs, sample);
    return 0;
}
