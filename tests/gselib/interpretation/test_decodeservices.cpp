// The hub as its neighbours call it: the packets, the generic time resolver
// and the applicability conditions; the instruments and the scripting face
// (init, db, dacTable, updatePktOffsets, decodePacket in its three forms,
// getValue, convertValue, the decoder plugins). Each call as they make it.
#include "decodetestsupport.h"

#include "gselib/database/applywhen.h"
#include "gselib/database/dactable.h"
#include "gselib/interpretation/currentvaluetable.h"
#include "gselib/interpretation/decodermakerinterface.h"
#include "gselib/packets/timeresolvers.h"
#include "gselib/services/configvek.h"
#include "support/logcapture.h"
#include "support/qtprinters.h"
#include "support/tempdir.h"
#include "support/thrown.h"
#include "tools/util/pluginmanager.h"

#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>

using namespace GseLib;
using namespace DecodeTest;
using TestSupport::LogCapture;

namespace {

constexpr int BE16 = 1;

// Row 1: a 16-bit word of APID 12 at byte 6; row 2: text "7.25 V"; row 3 has no decoder.
void fill(DataInterpretation& hub)
{
    hub.addDecoder(new FnDecoder(BE16, be16()));
    hub.addDecoder(new FnDecoder(2, constant(std::string("7.25 V"))));
    hub.db()->addRow(makeRow(1, "HK:WORD", 12, BE16, {6}));
    hub.db()->addRow(makeRow(2, "HK:TEXT", 12, 2));
    hub.db()->addRow(makeRow(3, "HK:NODEC", 12, 99));
}

} // namespace

TEST(HubServices, CurrentThrowsUntilAHubIsBuilt)
{
    EXPECT_EQ(TestSupport::whatOf([] { DataInterpretation::current(); }),
              "DataInterpretation singleton was not initialized!");
    DataInterpretation::init(nullptr, false, nullptr, {});
    EXPECT_NE(DataInterpretation::current(), nullptr);
}

TEST(HubServices, AsPacketsResolversAndConditionsCallIt)
{
    DataInterpretation::init(nullptr, false, nullptr, {});
    DataInterpretation* hub = DataInterpretation::current();
    fill(*hub);
    const CcsdsPacket p = packet(12, {0x12, 0x34});
    const CcsdsPacket other = packet(13, {0x12, 0x34});

    // The packet-type table by value: an unlisted id gives the default info.
    const TMPacketTypeInfo unlisted = hub->packetTypes.value(12);
    EXPECT_EQ(unlisted.name, "Unknown packet");
    EXPECT_FALSE(unlisted.isGse);
    EXPECT_LE(unlisted.timeDataId, 0);
    EXPECT_EQ(p.typeName(), "Unknown packet");
    EXPECT_FALSE(p.isGseCreated());
    TMPacketTypeInfo hk;
    hk.valid = true;
    hk.type = 12;
    hk.name = "HK";
    hk.isGse = true;
    hk.timeDataId = 1;
    hub->packetTypes.insert(12, hk);
    EXPECT_EQ(p.typeName(), "HK");
    EXPECT_TRUE(p.isGseCreated());

    // getValue raw, no conditions, no table: the first sample; a text parsed.
    struct Case
    {
        int id;
        const TMPacket* packet;
        double value;
        bool ok;
    };
    const Case cases[] = {
        {1, &p, 0x1234, true}, {2, &p, 7.25, true},   {1, &other, 0, false},
        {3, &p, 0, false},     {404, &p, 0, false},    {1, nullptr, 0, false},
    };
    for (const Case& c : cases) {
        bool ok = !c.ok;
        EXPECT_NO_THROW(EXPECT_EQ(hub->getValue(c.id, c.packet, Gse::Raw, &ok, false, nullptr), c.value)) << c.id;
        EXPECT_EQ(ok, c.ok) << c.id;
    }

    // Conditions read other items of the same packet through the hub.
    ApplyWhen when;
    when.addCondition(1, {0x1000, 0x2000});
    EXPECT_TRUE(when.passes(hub, &p));
    ApplyWhen never;
    never.addCondition(1, {0, 5});
    EXPECT_FALSE(never.passes(hub, &p));

    // The generic time resolver reads the type's time item raw.
    GenericTimeResolver resolver;
    EXPECT_EQ(resolver.unixTime(&p), double(0x1234));
    EXPECT_EQ(resolver.unixTime(&other), 0.0);
}

TEST(HubServices, AsInstrumentsAndTheScriptingFaceCallIt)
{
    // A definitions folder, a configuration and the test decoder plugin.
    TestSupport::TempDir home;
    TestSupport::ScopedEnv homeEnv("HOME", home.path().toUtf8());
    TestSupport::ScopedEnv iniEnv("INIVEK", home.filePath("vek.INI").toUtf8());
    const QString defs = home.filePath("defs");
    QProcess gen;
    gen.start("/usr/bin/python3",
              {QStringLiteral(GSE_SOURCE_DIR "/scripts/gen_definitions.py"), defs, "--layout", "hub"});
    ASSERT_TRUE(gen.waitForFinished(60000) && gen.exitCode() == 0);
    ASSERT_TRUE(QFile::copy(GSE_TEST_DECODER_PLUGIN, defs + "/plugins/macos/libtestdecoders.so"));
    home.write("vek.INI", "[VEK]\ndefault_group=SVC\n[SVC]\ntm_definitions=" + defs.toUtf8() + "\ntm_database="
                              + defs.toUtf8() + "/tmdb.txt\ndac_file=" + defs.toUtf8() + "/dac.txt\n");
    ConfigVek::setDefaultGroup("SVC");

    // An instrument's hub: its own decoder and a DAC table from the configured file.
    struct Instrument : DataInterpretation
    {
        QString dacPath;
        void populateCustomDecoders() override { addDecoder(new FnDecoder(30, constant(3.0), "mine")); }
        void populateDacTable(DacTable& table, const QString& path) override
        {
            dacPath = path;
            table.initialize(path);
        }
    };
    struct Factory : DataInterpretationFactory
    {
        std::unique_ptr<DataInterpretation> make() override { return std::make_unique<Instrument>(); }
    } factory;

    PluginManager plugins;
    LogCapture log;
    DataInterpretation::init(&factory, true, &plugins, {});
    auto* hub = static_cast<Instrument*>(DataInterpretation::current());
    EXPECT_EQ(hub->dacPath, ConfigVek::getDacFilePath(ConfigVek::getDefaultGroup()));
    const std::shared_ptr<DacTable> dac = hub->dacTable;
    EXPECT_EQ(dac->rowCount(), 2);
    EXPECT_TRUE(hub->db()->hasRow(1));
    EXPECT_TRUE(log.contains("Loading decoders from plugin: " + defs + "/plugins/macos/libtestdecoders.so VERSION=1.2.3 QT_VERSION=",
                             "decode", DEBUG));
    EXPECT_EQ(hub->decoderName(30), "mine");
    EXPECT_EQ(hub->decoderTable()[201]->dataInterp, hub);

    // decodePacket by id, by name and by row.
    CcsdsPacket p(16, 12, false, CcsdsPrimaryHeader::Unsegmented, 0);
    (*p.bytes)[6] = 0x01;
    (*p.bytes)[7] = 0x02;
    const CurrentValueTable values(*hub);
    DataItems items;
    EXPECT_TRUE(hub->decodePacket(1, &p, items, true, &values));
    EXPECT_TRUE(hub->decodePacket("HK:TEMP", &p, items, true, nullptr));
    EXPECT_TRUE(hub->decodePacket(hub->db()->row(1u), &p, items, false, nullptr));
    ASSERT_EQ(items.size(), 3u);
    for (const DataItem& i : items) {
        EXPECT_EQ(std::get<unsigned long long>(i.value), 0x0102u);
        EXPECT_EQ(i.offset, 6);
    }
    DataItems none;
    const CcsdsPacket other = packet(13, {1, 2, 3, 4});
    EXPECT_FALSE(hub->decodePacket(404, &p, none, false, nullptr));
    EXPECT_FALSE(hub->decodePacket("HK:MISSING", &p, none, false, nullptr));
    EXPECT_FALSE(hub->decodePacket(1, &other, none, false, nullptr));
    EXPECT_FALSE(hub->decodePacket(4, &p, none, false, nullptr)); // decode type 77: no decoder
    EXPECT_TRUE(none.empty());

    // getValue and convertValue (ENG 1 + 2x from the plugin).
    bool ok = false;
    EXPECT_EQ(hub->getValue(1, &p, Gse::Eng, &ok, false, nullptr), 517.0);
    EXPECT_TRUE(ok);
    EXPECT_EQ(hub->convertValue(1, 10.0, Gse::Eng, &ok), 21.0);
    EXPECT_TRUE(ok);
    log.clear();
    EXPECT_EQ(hub->convertValue(404, 10.0, Gse::Eng, &ok), 0.0);
    EXPECT_FALSE(ok);
    EXPECT_EQ(log.texts("decode", WARN), QStringList{"Got exception in convertValue: 404"});

    // updatePktOffsets moves every sample offset.
    hub->updatePktOffsets(2);
    EXPECT_EQ(hub->db()->row(1u).offsets, std::vector<uint32_t>{8});

    // The packet types of the definitions: "12, HK, false, 8, 200".
    EXPECT_TRUE(hub->packetTypes.isValidLength(12, 100));
    EXPECT_FALSE(hub->packetTypes.isValidLength(12, 201));
    EXPECT_FALSE(hub->packetTypes.isValidLength(99, 10));

    // The interface id the plugins are cast by.
    EXPECT_STREQ(qobject_interface_iid<DecoderMakerInterface*>(), "com.praxa.gselib.DecoderMakerInterface");

    // Load errors propagate; a new hub replaces the DAC table.
    ConfigVek::setDefaultGroup("NO_SUCH_GROUP");
    EXPECT_THROW(DataInterpretation::init(&factory, true, &plugins, {}), std::runtime_error);
    EXPECT_NE(DataInterpretation::current()->dacTable, dac);
}
