// The publish-instruction store on its real INI file, with the clock put where each case
// needs it.

#include "publishinstructionstore.h"

#include <QRandomGenerator>
#include <QSettings>

#include <gtest/gtest.h>

namespace {

QSettings &file()
{
    static QSettings settings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("KALDO Technologies"),
                              QStringLiteral("Zadazevi Rerevarazu"));
    return settings;
}

void setData(const QString &data)
{
    file().clear();
    file().setValue(QStringLiteral("data"), data);
    file().sync();
}

QString data()
{
    file().sync();
    return file().value(QStringLiteral("data")).toString();
}

PublishInstruction instruction(int product, const QString &country, PublishType publish, qint64 until)
{
    PublishInstruction in;
    in.productID = product;
    in.version = QStringLiteral("4.2");
    in.osPlatform = 2;
    in.osVersion = 10;
    in.servicePack = QStringLiteral("SP1");
    in.osBits = 64;
    in.architecture = 9;
    in.langID = QStringLiteral("en");
    in.country = country;
    in.locale = QStringLiteral("en_US");
    in.publish = publish;
    in.publishUntil = until;
    return in;
}

QString si(int product, const QString &country, const QString &publish, qint64 until)
{
    return QStringLiteral("    <si architecture=\"9\" langID=\"en\" osBits=\"64\" osPlatform=\"2\" osVersion=\"10\" "
                          "servicePack=\"SP1\" productID=\"%1\" version=\"4.2\" country=\"%2\" locale=\"en_US\" "
                          "publish=\"%3\" publishUntil=\"%4\"/>\n")
        .arg(product)
        .arg(country, publish)
        .arg(until);
}

QString document(const QString &items, const QString &version = QStringLiteral("1"))
{
    return QStringLiteral("<?xml version=\"1.0\" standalone=\"yes\"?>\n<items version=\"%1\">\n").arg(version) + items
        + QStringLiteral("</items>\n");
}

class Store : public ::testing::Test
{
protected:
    void SetUp() override { file().clear(); }
    void useClock(PublishInstructionStore &store) { store.setClock([this] { return now; }); }
    qint64 now = 1000;
};

} // namespace

TEST_F(Store, SaveWritesTheDocumentInStoreOrderWithoutDueEntries)
{
    PublishInstructionStore store;
    useClock(store);
    store.addOrUpdate(instruction(12, QStringLiteral("US"), Details, 5000));
    store.addOrUpdate(instruction(27, QStringLiteral("DE"), SummaryOnly, now)); // due now: not saved
    store.addOrUpdate(instruction(-3, QStringLiteral("<&\""), InvalidPublishType, 4102444800LL));
    ASSERT_TRUE(store.save());
    EXPECT_EQ(data(), document(si(12, QStringLiteral("US"), QStringLiteral("Details"), 5000)
                               + si(-3, QStringLiteral("&lt;&amp;&quot;"), QStringLiteral("INVALID_PUBLISH_TYPE TYPE"),
                                    4102444800LL)));
    EXPECT_EQ(store.entries().size(), 3) << "entries left out of the file stay in the store";

    PublishInstructionStore empty;
    ASSERT_TRUE(empty.save());
    EXPECT_EQ(data(), QStringLiteral("<?xml version=\"1.0\" standalone=\"yes\"?>\n<items version=\"1\"/>\n"));
}

TEST_F(Store, LoadDropsExpiredEntriesAndRewritesTheFile)
{
    setData(document(si(12, QStringLiteral("US"), QStringLiteral("Details"), 999)
                     + si(27, QStringLiteral("DE"), QStringLiteral("SummaryOnly"), 1000)
                     + si(31, QStringLiteral("FR"), QStringLiteral("discard"), 2000)));
    PublishInstructionStore store;
    useClock(store);
    ASSERT_TRUE(store.load());
    ASSERT_EQ(store.entries().size(), 2);
    EXPECT_EQ(store.entries().at(1).publish, InvalidPublishType) << "publish types are case-sensitive";

    // The entry due now is loaded and found, but the rewrite leaves it out.
    PublishInstruction found;
    EXPECT_TRUE(store.findInstruction(instruction(27, QStringLiteral("DE"), Discard, 0), found));
    EXPECT_EQ(found.publish, SummaryOnly);
    EXPECT_EQ(data(), document(si(31, QStringLiteral("FR"), QStringLiteral("INVALID_PUBLISH_TYPE TYPE"), 2000)));
}

TEST_F(Store, OtherVersionsAndDamagedEntries)
{
    const QString otherVersion = document(si(12, QStringLiteral("US"), QStringLiteral("Details"), 1), QStringLiteral("1.0"));
    setData(otherVersion);
    PublishInstructionStore store;
    useClock(store);
    EXPECT_TRUE(store.load());
    EXPECT_TRUE(store.entries().isEmpty());
    EXPECT_EQ(data(), otherVersion) << "not rewritten";

    // An entry with a number that is not whole is skipped; the others load.
    QString damaged = si(12, QStringLiteral("US"), QStringLiteral("Details"), 5000);
    damaged.replace(QStringLiteral("productID=\"12\""), QStringLiteral("productID=\" 12\""));
    QString empty = si(13, QStringLiteral("US"), QStringLiteral("Details"), 5000);
    empty.replace(QStringLiteral("publishUntil=\"5000\""), QStringLiteral("publishUntil=\"\""));
    setData(document(damaged + empty + si(14, QStringLiteral("US"), QStringLiteral("Details"), 5000)));
    PublishInstructionStore partial;
    useClock(partial);
    EXPECT_TRUE(partial.load());
    ASSERT_EQ(partial.entries().size(), 1);
    EXPECT_EQ(partial.entries().first().productID, 14);

    setData(document(si(15, QStringLiteral("US"), QStringLiteral("Details"), 5000)) + QStringLiteral("<broken"));
    PublishInstructionStore broken;
    useClock(broken);
    EXPECT_FALSE(broken.load());
    EXPECT_FALSE(broken.errorString().isEmpty());
    EXPECT_EQ(broken.entries().size(), 1) << "what was read before the error stays";
}

TEST_F(Store, FindSkipsExpiredEqualEntries)
{
    setData(document(si(12, QStringLiteral("US"), QStringLiteral("Discard"), 1500)
                     + si(12, QStringLiteral("US"), QStringLiteral("Details"), 3000)));
    PublishInstructionStore store;
    useClock(store);
    ASSERT_TRUE(store.load());
    PublishInstruction found;
    ASSERT_TRUE(store.findInstruction(instruction(12, QStringLiteral("US"), Details, 0), found));
    EXPECT_EQ(found.publish, Discard) << "the first live equal entry";
    now = 2000;
    ASSERT_TRUE(store.findInstruction(instruction(12, QStringLiteral("US"), Details, 0), found));
    EXPECT_EQ(found.publish, Details);
    now = 3001;
    EXPECT_FALSE(store.findInstruction(instruction(12, QStringLiteral("US"), Details, 0), found));
    EXPECT_EQ(store.errorString(), QStringLiteral("Match not found"));
}

TEST_F(Store, AddOrUpdateIgnoresCountryAndLocale)
{
    PublishInstructionStore store;
    useClock(store);
    store.addOrUpdate(instruction(12, QStringLiteral("US"), Details, 5000));
    store.addOrUpdate(instruction(12, QStringLiteral("DE"), Discard, 6000));
    ASSERT_EQ(store.entries().size(), 1);
    EXPECT_EQ(store.entries().first().country, QStringLiteral("US"));
    EXPECT_EQ(store.entries().first().publish, Discard);
    EXPECT_EQ(store.entries().first().publishUntil, 6000);
    PublishInstruction found;
    EXPECT_FALSE(store.findInstruction(instruction(12, QStringLiteral("DE"), Details, 0), found));
    EXPECT_TRUE(store.findInstruction(instruction(12, QStringLiteral("US"), Details, 0), found));
}

// The indexes must answer exactly as a walk of the entries in order would.
TEST_F(Store, IndexedLookupsMatchTheWalkInOrder)
{
    QRandomGenerator random(42);
    auto randomInstruction = [&] {
        PublishInstruction in = instruction(static_cast<int>(random.bounded(4)),
                                            random.bounded(2) ? QStringLiteral("US") : QStringLiteral("DE"),
                                            static_cast<PublishType>(random.bounded(3)), 900 + random.bounded(200));
        in.locale = random.bounded(2) ? QStringLiteral("en_US") : QStringLiteral("de_DE");
        in.osBits = random.bounded(2) ? 32 : 64;
        return in;
    };
    QString items;
    QVector<PublishInstruction> walk;
    for (int i = 0; i < 200; ++i) {
        const PublishInstruction in = randomInstruction();
        items += QStringLiteral("<si architecture=\"9\" langID=\"en\" osBits=\"%1\" osPlatform=\"2\" osVersion=\"10\" "
                                "servicePack=\"SP1\" productID=\"%2\" version=\"4.2\" country=\"%3\" locale=\"%4\" "
                                "publish=\"%5\" publishUntil=\"%6\"/>")
                     .arg(in.osBits)
                     .arg(in.productID)
                     .arg(in.country, in.locale, publishTypeName(in.publish))
                     .arg(in.publishUntil);
        walk.append(in);
    }
    setData(document(items));
    PublishInstructionStore store;
    now = 0;
    useClock(store);
    ASSERT_TRUE(store.load());
    for (int round = 0; round < 300; ++round) {
        now = 900 + random.bounded(250);
        const PublishInstruction query = randomInstruction();
        const PublishInstruction *expected = nullptr;
        for (const PublishInstruction &entry : walk) {
            if (entry.session() == query.session() && entry.publishUntil >= now) {
                expected = &entry;
                break;
            }
        }
        PublishInstruction found;
        ASSERT_EQ(store.findInstruction(query, found), expected != nullptr);
        if (expected) {
            EXPECT_EQ(found.publish, expected->publish);
            EXPECT_EQ(found.publishUntil, expected->publishUntil);
        }
        if (round % 3 == 0) {
            store.addOrUpdate(query);
            auto same = std::find_if(walk.begin(), walk.end(),
                                     [&](const PublishInstruction &e) { return e.sameSessionIgnoringPlace(query); });
            if (same == walk.end()) {
                walk.append(query);
            } else {
                same->publish = query.publish;
                same->publishUntil = query.publishUntil;
            }
            ASSERT_EQ(store.entries().size(), walk.size());
        }
    }
}
