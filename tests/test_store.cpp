// The publish-instruction store on its real INI file, with the clock put where each case
// needs it.

#include "publishinstructionstore.h"
#include "testtools.h"

#include <QSettings>

namespace {

QSettings &file()
{
    static QSettings settings(QSettings::IniFormat, QSettings::UserScope, "KALDO Technologies"_s,
                              "Zadazevi Rerevarazu"_s);
    return settings;
}

QString data()
{
    file().sync();
    return file().value("data"_s).toString();
}

PublishInstruction instruction(int product, const QString &country, PublishType publish = Details, qint64 until = 0)
{
    return testInstruction(testSession(product, "4.2"_s, country), publish, until);
}

// An entry of the store's document, as the store writes it.
QString entry(const PublishInstruction &in)
{
    return QString::asprintf("<si architecture=\"%d\" langID=\"%s\" osBits=\"%d\" osPlatform=\"%d\" osVersion=\"%d\" "
                             "servicePack=\"%s\" productID=\"%d\" version=\"%s\" country=\"%s\" locale=\"%s\" "
                             "publish=\"%s\" publishUntil=\"%lld\"/>",
                             in.architecture, qUtf8Printable(in.langID), in.osBits, in.osPlatform, in.osVersion,
                             qUtf8Printable(in.servicePack), in.productID, qUtf8Printable(in.version),
                             qUtf8Printable(in.country), qUtf8Printable(in.locale),
                             qUtf8Printable(publishTypeName(in.publish)), static_cast<long long>(in.publishUntil));
}

QString stored(const QString &name)
{
    return QString::fromUtf8(readFile(testData("store/"_s + name)));
}

class Store : public ::testing::Test
{
protected:
    void SetUp() override { file().clear(); }
    // A store on the given file contents, its clock at `now`.
    PublishInstructionStore &store(const QString &contents = QString())
    {
        file().clear();
        if (!contents.isNull())
            file().setValue("data"_s, contents);
        file().sync();
        m_store = std::make_unique<PublishInstructionStore>();
        m_store->setClock([this] { return now; });
        return *m_store;
    }
    PublishInstruction find(const PublishInstruction &query)
    {
        PublishInstruction found;
        return m_store->findInstruction(query, found) ? found : PublishInstruction();
    }

    qint64 now = 1000;
    std::unique_ptr<PublishInstructionStore> m_store;
};

} // namespace

TEST_F(Store, SaveWritesTheDocumentInStoreOrderWithoutDueEntries)
{
    EXPECT_TRUE(store().save());
    EXPECT_EQ(data(), "<?xml version=\"1.0\" standalone=\"yes\"?>\n<items version=\"1\"/>\n"_s);
    store().addOrUpdate(instruction(12, "US"_s, Details, 5000));
    m_store->addOrUpdate(instruction(27, "DE"_s, SummaryOnly, now)); // due now: not saved
    m_store->addOrUpdate(instruction(-3, "<&\""_s, InvalidPublishType, 4102444800LL));
    ASSERT_TRUE(m_store->save());
    EXPECT_EQ(data(), stored("saved.xml"_s));
    EXPECT_EQ(m_store->entries().size(), 3) << "entries left out of the file stay in the store";
}

TEST_F(Store, LoadDropsExpiredEntriesAndRewritesTheFile)
{
    ASSERT_TRUE(store(stored("expiring.xml"_s)).load());
    ASSERT_EQ(m_store->entries().size(), 2);
    EXPECT_EQ(m_store->entries().at(1).publish, InvalidPublishType) << "publish types are case-sensitive";
    // The entry due now is loaded and found, but the rewrite leaves it out.
    EXPECT_EQ(find(instruction(27, "DE"_s)).publish, SummaryOnly);
    EXPECT_EQ(data(), stored("expiring-rewritten.xml"_s));
}

TEST_F(Store, OtherVersionsAndDamagedEntries)
{
    EXPECT_TRUE(store(stored("otherversion.xml"_s)).load());
    EXPECT_TRUE(m_store->entries().isEmpty());
    EXPECT_EQ(data(), stored("otherversion.xml"_s)) << "not rewritten";
    // An entry with a number that is not whole, or empty, is skipped; the others load.
    EXPECT_TRUE(store(stored("damaged.xml"_s)).load());
    ASSERT_EQ(m_store->entries().size(), 1);
    EXPECT_EQ(m_store->entries().first().productID, 14);
    EXPECT_FALSE(store(stored("broken.xml"_s)).load());
    EXPECT_FALSE(m_store->errorString().isEmpty());
    EXPECT_EQ(m_store->entries().size(), 1) << "what was read before the error stays";
}

TEST_F(Store, FindSkipsExpiredEqualEntriesAndUpdatesIgnorePlace)
{
    ASSERT_TRUE(store(stored("twoequal.xml"_s)).load());
    EXPECT_EQ(find(instruction(12, "US"_s)).publish, Discard) << "the first live equal entry";
    now = 2000;
    EXPECT_EQ(find(instruction(12, "US"_s)).publish, Details);
    now = 3001;
    EXPECT_EQ(find(instruction(12, "US"_s)).publish, InvalidPublishType);
    EXPECT_EQ(m_store->errorString(), "Match not found"_s);

    store().addOrUpdate(instruction(12, "US"_s, Details, 5000));
    m_store->addOrUpdate(instruction(12, "DE"_s, Discard, 6000));
    ASSERT_EQ(m_store->entries().size(), 1);
    const PublishInstruction &entry = m_store->entries().first();
    EXPECT_EQ("%1 %2 %3"_s.arg(entry.country).arg(entry.publish).arg(entry.publishUntil), "US 0 6000"_s);
    EXPECT_EQ(find(instruction(12, "DE"_s)).publish, InvalidPublishType) << "found only under its own place";
    EXPECT_EQ(find(instruction(12, "US"_s)).publish, Discard);
}

// An instruction belongs to a session only when all ten fields are equal: in the store, and in
// the hash by which the filter looks a session's instruction up.
TEST_F(Store, AllTenFieldsIdentifyASession)
{
    const std::function<void(PublishInstruction &)> changes[] = {
        [](auto &in) { in.productID = 13; },        [](auto &in) { in.version = "4.3"_s; },
        [](auto &in) { in.osPlatform = 3; },        [](auto &in) { in.osVersion = 11; },
        [](auto &in) { in.servicePack = "SP2"_s; }, [](auto &in) { in.osBits = 32; },
        [](auto &in) { in.architecture = 5; },      [](auto &in) { in.langID = "de"_s; },
        [](auto &in) { in.country = "DE"_s; },      [](auto &in) { in.locale = "de_DE"_s; },
    };
    for (const auto &change : changes) {
        const PublishInstruction a = instruction(12, "US"_s, Details, 5000);
        PublishInstruction b = a;
        change(b);
        b.publish = Discard;
        ASSERT_TRUE(store("<items version=\"1\">"_s + entry(a) + entry(b) + "</items>"_s).load());
        EXPECT_EQ(find(a).publish, Details) << entry(b).toStdString();
        EXPECT_EQ(find(b).publish, Discard) << entry(b).toStdString();
        const QHash<SessionInfo, PublishType> byFilter { { a.session(), Details }, { b.session(), Discard } };
        EXPECT_EQ(byFilter.size(), 2) << entry(b).toStdString();
    }
}
