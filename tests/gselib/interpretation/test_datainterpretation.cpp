#include "gselib/packets/ccsdspacket.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/timeresolvers.h"
#include "support/logcapture.h"

#include <QDebug>
#include <gtest/gtest.h>
#include <stdexcept>

using namespace GseLib;

namespace {

class FixedDecoder : public Decoder
{
public:
    FixedDecoder(int type, QString name, int* destroyed = nullptr)
        : type_(type), name_(std::move(name)), destroyed_(destroyed)
    {
    }
    ~FixedDecoder() override
    {
        if (destroyed_)
            ++*destroyed_;
    }
    int type() const override { return type_; }
    QString name() const override { return name_; }
    bool decode(const TmDatabaseRow&, const TMPacket*, DataItems&, const CurrentValueTable*) const override
    {
        return false;
    }

private:
    int type_;
    QString name_;
    int* destroyed_;
};

class CountingHub : public DataInterpretation
{
public:
    explicit CountingHub(int* destroyed) : destroyed_(destroyed) {}
    ~CountingHub() override { ++*destroyed_; }
    void populateCustomDecoders() override { addDecoder(new FixedDecoder(3, "custom")); }

private:
    int* destroyed_;
};

class CountingFactory : public DataInterpretationFactory
{
public:
    int destroyed = 0;
    std::unique_ptr<DataInterpretation> make() override { return std::make_unique<CountingHub>(&destroyed); }
};

} // namespace

// Must run before any test of this program builds a hub.
TEST(DataInterpretation, CurrentBeforeInitThrows)
{
    try {
        DataInterpretation::current();
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "DataInterpretation singleton was not initialized!");
    }
}

TEST(DataInterpretation, DefaultHubIsEmpty)
{
    TestSupport::LogCapture log;
    DataInterpretation::init(nullptr, false, nullptr, {});
    EXPECT_TRUE(log.contains("Using default data interpretation class", "tmdb", DEBUG));
    DataInterpretation* hub = DataInterpretation::current();
    EXPECT_EQ(hub->db(), nullptr);
    EXPECT_TRUE(hub->packetTypes.isEmpty());
    EXPECT_EQ(hub->decoderTable().size(), 500u);
    for (const auto& d : hub->decoderTable())
        EXPECT_EQ(d, nullptr);
    EXPECT_EQ(hub->plugins(), nullptr);
}

TEST(DataInterpretation, FactoryHubReplacesAndDeletesThePrevious)
{
    CountingFactory factory;
    DataInterpretation::init(&factory, false, nullptr, {});
    DataInterpretation* first = DataInterpretation::current();
    EXPECT_NE(dynamic_cast<CountingHub*>(first), nullptr);
    first->populateDecoders();
    EXPECT_EQ(first->decoderName(3), "custom");
    DataInterpretation::init(&factory, false, nullptr, {});
    EXPECT_EQ(factory.destroyed, 1);
    DataInterpretation::init(nullptr, false, nullptr, {});
    EXPECT_EQ(factory.destroyed, 2);
}

TEST(DataInterpretation, LoadingWithoutADatabaseFailsLoudly)
{
    EXPECT_THROW(DataInterpretation::init(nullptr, true, nullptr, {"a.txt"}), std::runtime_error);
    // The new hub is current all the same.
    EXPECT_NO_THROW(DataInterpretation::current());
}

namespace {

// Records the loads asked of it instead of loading.
class RecordingHub : public DataInterpretation
{
public:
    void loadDatabase(const QList<QString>& files, bool addDefault, const QString& dacFile) override
    {
        loads << files;
        defaults << addDefault;
        dacFiles << dacFile;
    }
    QList<QList<QString>> loads;
    QList<bool> defaults;
    QStringList dacFiles;
};

} // namespace

TEST(DataInterpretation, LoadByExtensionsPatchesWithTheUpperCasedParts)
{
    RecordingHub hub;
    hub.loadDatabaseByExtensions("run.dat.hk.fix2");
    hub.loadDatabaseByExtensions("run.dat");
    hub.loadDatabaseByExtensions("a..b.c.");
    ASSERT_EQ(hub.loads.size(), 3);
    EXPECT_EQ(hub.loads[0], (QList<QString>{"HK", "FIX2"}));
    EXPECT_TRUE(hub.loads[1].isEmpty());
    EXPECT_EQ(hub.loads[2], QList<QString>{"C"}); // empty parts are dropped
    EXPECT_EQ(hub.defaults, (QList<bool>{true, true, true}));
    EXPECT_EQ(hub.dacFiles, (QStringList{"", "", ""}));
}

TEST(DataInterpretation, DecoderTableGrowsAndReplaces)
{
    DataInterpretation::init(nullptr, false, nullptr, {});
    DataInterpretation* hub = DataInterpretation::current();
    int destroyed = 0;
    auto* d = new FixedDecoder(120, "one", &destroyed);
    hub->addDecoder(d);
    EXPECT_EQ(d->dataInterp, hub);
    EXPECT_EQ(hub->decoderName(120), "one");
    hub->addDecoder(new FixedDecoder(600, "far"));
    EXPECT_EQ(hub->decoderTable().size(), 601u);
    EXPECT_EQ(hub->decoderName(599), "");
    EXPECT_EQ(hub->decoderName(601), "");
    EXPECT_EQ(hub->decoderName(-1), "");
    TestSupport::LogCapture log;
    hub->addDecoder(new FixedDecoder(120, "two"));
    EXPECT_EQ(log.texts("decode", WARN), QStringList{"Replaced decoder type 120"});
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(hub->decoderName(120), "two");
    EXPECT_THROW(hub->addDecoder(new FixedDecoder(-4, "negative")), std::runtime_error);
}

TEST(DataInterpretation, GetValueNeverThrowsAndReportsNothingDecoded)
{
    DataInterpretation::init(nullptr, false, nullptr, {});
    CcsdsPacket p(12, 5, true, CcsdsPrimaryHeader::Unsegmented, 0);
    bool ok = true;
    TestSupport::LogCapture log;
    EXPECT_EQ(DataInterpretation::current()->getValue(17, &p, Gse::Eng, &ok, true, nullptr), 0.0);
    EXPECT_FALSE(ok);
    EXPECT_EQ(DataInterpretation::current()->getValue(17, nullptr, Gse::Raw, nullptr, false, nullptr), 0.0);
    EXPECT_EQ(log.count("Got exception in getValue: 17", "decode", WARN), 2);
}

TEST(DataItem, TextAndNumbers)
{
    DataItem item;
    item.value = 2.5;
    EXPECT_EQ(item.toString(), "2.500000");
    EXPECT_EQ(item.toDouble(), 2.5);
    item.value = 18446744073709551615ull;
    EXPECT_EQ(item.toString(), "18446744073709551615");
    item.value = -12ll;
    EXPECT_EQ(item.toDouble(), -12.0);
    item.value = std::string("  12.5abc");
    EXPECT_EQ(item.toDouble(), 12.5);
    EXPECT_EQ(item.toString(), "  12.5abc");
    item.value = std::string("abc");
    EXPECT_EQ(item.toDouble(), 0.0);
}

TEST(PacketTypes, LookupsAndLengths)
{
    PacketTypes types;
    TMPacketTypeInfo any;
    EXPECT_FALSE(any.valid);
    EXPECT_EQ(any.name, "Unknown packet");
    EXPECT_FALSE(any.isGse);
    EXPECT_EQ(any.minLength, -1);
    EXPECT_EQ(any.timeDataId, -1);
    any.valid = true;
    any.type = 1;
    any.name = "HK";
    any.maxLength = 7;
    types.insert(1, any);
    TMPacketTypeInfo ranged = any;
    ranged.type = 2;
    ranged.name = "SCI";
    ranged.minLength = 10;
    ranged.maxLength = 20;
    types.insert(2, ranged);

    EXPECT_TRUE(types.isValidLength(1, 1000)); // negative minimum: any length
    EXPECT_TRUE(types.isValidLength(2, 10));
    EXPECT_TRUE(types.isValidLength(2, 20));
    EXPECT_FALSE(types.isValidLength(2, 21));
    EXPECT_FALSE(types.isValidLength(2, 9));
    EXPECT_FALSE(types.isValidLength(3, 10));
    EXPECT_EQ(types.type("SCI"), 2);
    EXPECT_EQ(types.type("sci"), -1);
    EXPECT_EQ(types.value(44).name, "Unknown packet");

    QString text;
    QDebug(&text) << ranged;
    EXPECT_EQ(text, "TMPacketTypeInfo(Type:2 name:\"SCI\" isGse:false minLength:10 maxLength:20)");
}
