// The interpretation hub: its life cycle, the decoder table and the loading
// of a definitions folder (written by scripts/gen_definitions.py --layout hub)
// with its patches, decoder plugins, DAC table, packet types and dated versions.
#include "gselib/database/dactable.h"
#include "gselib/database/telemetrydatabase.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/interpretation/decodermanager.h"
#include "gselib/packets/ccsdspacket.h"
#include "gselib/services/configvek.h"
#include "support/logcapture.h"
#include "support/qtprinters.h"
#include "support/tempdir.h"
#include "tools/util/pluginmanager.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTimeZone>
#include <QRegularExpression>
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
    ASSERT_NE(hub->db(), nullptr);
    EXPECT_TRUE(hub->db()->rows().empty());
    ASSERT_NE(hub->dacTable, nullptr);
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

TEST(DataInterpretation, LoadingWithoutConfigurationFailsLoudly)
{
    // The test environment points INIVEK at a file that does not exist.
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
}

TEST(DataInterpretation, DecoderTypesOutsideSixteenBitsAreRefused)
{
    int destroyed = 0; // outlives the hub, which deletes the filed decoders
    DataInterpretation hub;
    struct Case
    {
        int type;
        bool filed;
    };
    const Case cases[] = {{-4, false}, {-1, false}, {65536, false}, {1 << 30, false}, {0, true}, {65535, true}};
    for (const Case& c : cases) {
        destroyed = 0;
        TestSupport::LogCapture log;
        EXPECT_NO_THROW(hub.addDecoder(new FixedDecoder(c.type, "d", &destroyed))) << c.type;
        EXPECT_EQ(destroyed, c.filed ? 0 : 1) << c.type;
        EXPECT_EQ(hub.decoderName(c.type), c.filed ? "d" : "") << c.type;
        EXPECT_EQ(log.texts("decode", WARN),
                  c.filed ? QStringList() : QStringList{QString("Refused decoder type %1").arg(c.type)});
    }
    EXPECT_EQ(hub.decoderTable().size(), 65536u);
    hub.addDecoder(nullptr); // nothing to file
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

namespace {

using TestSupport::LogCapture;
using TestSupport::ScopedEnv;
using TestSupport::TempDir;

// A definitions folder from the generator script, the test decoder plugin in
// its plugin folder, and a configuration whose default group points at it.
struct Definitions
{
    TempDir home;
    ScopedEnv homeEnv{"HOME", home.path().toUtf8()};
    ScopedEnv iniEnv{"INIVEK", home.filePath("vek.INI").toUtf8()};
    QString defs = home.filePath("defs");
    QString plugin = defs + "/plugins/macos/libtestdecoders.so";

    explicit Definitions(bool withPlugin = true)
    {
        QProcess gen;
        gen.start("/usr/bin/python3",
                  {QStringLiteral(GSE_SOURCE_DIR "/scripts/gen_definitions.py"), defs, "--layout", "hub"});
        if (!gen.waitForFinished(60000) || gen.exitCode() != 0)
            throw std::runtime_error("gen_definitions.py failed: " + gen.readAllStandardError().toStdString());
        if (withPlugin && !QFile::copy(GSE_TEST_DECODER_PLUGIN, plugin))
            throw std::runtime_error("cannot place the test plugin");
        home.write("vek.INI", "[VEK]\ndefault_group=TESTDEFS\n[TESTDEFS]\ntm_definitions=" + defs.toUtf8()
                                  + "\ntm_database=" + defs.toUtf8() + "/tmdb.txt\ndac_file=" + defs.toUtf8()
                                  + "/dac.txt\n");
        GseLib::ConfigVek::setDefaultGroup("TESTDEFS");
    }
};

// An instrument hub: one custom decoder (type 203, which the plugin also
// makes) and a DAC table filled from the path it is given.
class InstrumentHub : public DataInterpretation
{
public:
    void populateCustomDecoders() override { addDecoder(new FixedDecoder(203, "custom")); }
    void populateDacTable(DacTable& table, const QString& path) override
    {
        dacPaths << path;
        table.initialize(path);
    }
    QStringList dacPaths;
};

class InstrumentFactory : public DataInterpretationFactory
{
public:
    std::unique_ptr<DataInterpretation> make() override { return std::make_unique<InstrumentHub>(); }
};

// A housekeeping packet: 16-bit words 0x0102, 0x0007, 0x0003 from byte 6.
CcsdsPacket hkPacket()
{
    CcsdsPacket p(16, 12, false, CcsdsPrimaryHeader::Unsegmented, 0);
    const uint8_t data[] = {0x01, 0x02, 0x00, 0x07, 0x00, 0x03};
    std::copy(std::begin(data), std::end(data), p.bytes->begin() + 6);
    return p;
}

} // namespace

TEST(DataInterpretationLoad, InitLoadsTheDefinitionsFolder)
{
    Definitions d;
    PluginManager plugins;
    InstrumentFactory factory;
    LogCapture log;
    const uint64_t before = DataInterpretation::generation();
    DataInterpretation::init(&factory, true, &plugins, {"patch_a", "nowhere"});
    auto* hub = dynamic_cast<InstrumentHub*>(DataInterpretation::current());
    ASSERT_NE(hub, nullptr);
    EXPECT_GE(DataInterpretation::generation(), before + 2); // init and load

    // The database with its patch, found ignoring case and with ".txt".
    EXPECT_EQ(hub->db()->loadedFiles(), (QStringList{d.defs + "/tmdb.txt", d.defs + "/PATCH_A.txt"}));
    EXPECT_EQ(hub->db()->row(2u).description, "patched volt");
    EXPECT_TRUE(hub->db()->hasRow(6));
    EXPECT_EQ(log.texts("tmdb", WARN),
              (QStringList{"Patch file doesn't exist:" + QDir::current().absoluteFilePath("nowhere"),
                           "Unsupported decoder type: 77"}));

    // Plugin decoders after the instrument's, replacing its type 203.
    EXPECT_EQ(hub->decoderName(201), "plugin be16");
    EXPECT_EQ(hub->decoderName(203), "plugin override");
    EXPECT_EQ(log.count("Replaced decoder type 203", "decode", WARN), 1);
    const QStringList loading = log.texts("decode", DEBUG).filter("Loading decoders from plugin: ");
    ASSERT_TRUE(loading.contains("Loading decoders from plugin: " + d.plugin + " VERSION=1.2.3 QT_VERSION="
                                 + plugins.metaQtVersionToString(QPluginLoader(d.plugin).metaData())))
        << loading.join("\n").toStdString();
    // The count runs on across plugins: ours (the last, being dynamic) adds 4.
    const QStringList counts = log.texts("decode", DEBUG).filter("Decoders loaded: ");
    ASSERT_EQ(counts.size(), loading.size());
    const int previous = counts.size() > 1 ? counts[counts.size() - 2].mid(17).toInt() : 0;
    EXPECT_EQ(counts.last(), QString("Decoders loaded: %1").arg(previous + 4));

    EXPECT_TRUE(log.contains("Loading packet properties: " + d.defs + "/tm_packet_types.txt", "tmdb", DEBUG));
    EXPECT_EQ(hub->dacPaths, QStringList{d.defs + "/dac.txt"});
    EXPECT_EQ(hub->dacTable->row("LSR_DAC").toValue(30), 10.0);

    // Decoding through the plugin's decoders and its transfer function (1 + 2x).
    const CcsdsPacket p = hkPacket();
    bool ok = false;
    EXPECT_EQ(hub->getValue(1, &p, Gse::Raw, &ok, false, nullptr), 258.0);
    EXPECT_TRUE(ok);
    EXPECT_EQ(hub->getValue("HK:TEMP", &p, Gse::Eng, &ok, true, nullptr), 517.0);
    EXPECT_EQ(hub->getValue("HK:NEW", &p, Gse::Eng, &ok, true, nullptr), 3.0);
    EXPECT_EQ(hub->getValue("HK:LABEL", &p, Gse::Raw, &ok, true, nullptr), 42.5);
    EXPECT_EQ(hub->stringValue(3, &p, &ok, true, nullptr), "  42.5 volts");
    EXPECT_EQ(hub->getValue("HK:ODD", &p, Gse::Raw, &ok, true, nullptr), 0.0);
    EXPECT_FALSE(ok);
}

TEST(DataInterpretationLoad, ReloadReleasesPluginCodeBeforeUnloadingIt)
{
    Definitions d;
    PluginManager plugins;
    DataInterpretation::init(nullptr, true, &plugins, {});
    DataInterpretation* hub = DataInterpretation::current();
    const CcsdsPacket p = hkPacket();
    for (int round = 0; round < 3; ++round) {
        // Decoders and rows (with their transfer functions) are objects of
        // the plugin, which each load unloads and loads again: they must go
        // before it is unloaded.
        EXPECT_EQ(hub->getValue(1, &p, Gse::Eng, nullptr, false, nullptr), 517.0) << round;
        LogCapture log;
        hub->loadDatabase({"PATCH_A"}, true, QString());
        const QStringList texts = log.texts();
        const qsizetype unloaded = texts.indexOf(QRegularExpression("^Unloading plugin: CLASS=TestDecoderPlugin.*"));
        ASSERT_GE(unloaded, 0) << round;
        EXPECT_EQ(texts.mid(0, unloaded).count("plugin decoder released"), 2) << round;
        EXPECT_EQ(texts.mid(0, unloaded).count("plugin function released"), 1) << round; // row 1's ENG
        EXPECT_EQ(texts.mid(unloaded).filter("released").size(), 0) << round;
        EXPECT_EQ(hub->decoderName(201), "plugin be16") << round;
    }
    // The plugin leaves the folder: nothing of it is left behind.
    ASSERT_TRUE(QFile::remove(d.plugin));
    LogCapture log;
    hub->loadDatabase({}, true, QString());
    EXPECT_EQ(hub->decoderName(201), "");
    EXPECT_TRUE(log.contains("Unsupported decoder type: 201", "tmdb", WARN));
    bool ok = true;
    EXPECT_EQ(hub->getValue(1, &p, Gse::Eng, &ok, false, nullptr), 0.0);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(log.contains("Invalid decode type 201 ID: 1", "decode", WARN));
}

TEST(DataInterpretationLoad, WithoutPluginManagerTheCustomDecodersStillServe)
{
    Definitions d;
    InstrumentFactory factory;
    LogCapture log;
    DataInterpretation::init(&factory, true, nullptr, {});
    DataInterpretation* hub = DataInterpretation::current();
    EXPECT_EQ(log.count("No plugin manager: plugins not loaded", "tmdb", WARN), 1);
    EXPECT_EQ(hub->decoderName(203), "custom");
    EXPECT_TRUE(hub->db()->hasRow(1));
    EXPECT_TRUE(log.contains("Unsupported decoder type: 201", "tmdb", WARN));
}

TEST(DataInterpretationLoad, AnEmptyLoadListTakesTheDefinitionsFolder)
{
    Definitions d;
    PluginManager plugins;
    DataInterpretation hub;
    hub.setPluginManager(&plugins);
    LogCapture log;
    hub.loadDatabase({"nothing_here"}, false, d.defs + "/dac.txt");
    EXPECT_TRUE(hub.db()->rows().empty());
    EXPECT_TRUE(log.contains("Loading decoders from plugin: " + d.plugin, "decode", DEBUG));
    EXPECT_TRUE(log.contains("Loading packet properties: " + d.defs + "/tm_packet_types.txt", "tmdb", DEBUG));
    EXPECT_EQ(hub.dacTable->rowCount(), 0); // the default hub fills no DAC table
}

TEST(DataInterpretationLoad, AFirstJsonFileTakesThePacketTypesFromTheDictionary)
{
    Definitions d;
    DataInterpretation hub;
    LogCapture log;
    const uint64_t before = DataInterpretation::generation();
    hub.loadDatabase({"dict.json"}, true, QString());
    EXPECT_GT(DataInterpretation::generation(), before); // caches over the rows retake them
    // The default text database and the dictionary's rows; packet types from its lines.
    EXPECT_TRUE(hub.db()->hasRow(1));
    EXPECT_TRUE(hub.db()->hasRow(300u << 15));
    EXPECT_EQ(hub.packetTypes.keys(), QList<int>{300});
    EXPECT_EQ(hub.packetTypes.value(300).name, "JPKT");
    // The line is written in JSON mode too, naming the file that was not read.
    EXPECT_TRUE(log.contains("Loading packet properties: " + d.defs + "/tm_packet_types.txt", "tmdb", DEBUG));

    // Upper case does not end in ".json": the file is read (found ignoring case).
    hub.loadDatabase({"DICT.JSON"}, true, QString());
    EXPECT_TRUE(hub.db()->hasRow(300u << 15));
    QList<int> types = hub.packetTypes.keys();
    std::sort(types.begin(), types.end());
    EXPECT_EQ(types, (QList<int>{2, 12}));
    EXPECT_EQ(hub.packetTypes.value(2).timeDataId, 5); // SYS:TIME
}

TEST(DataInterpretationLoad, DatabasesByDate)
{
    Definitions d;
    DataInterpretation hub;
    const QString filter = "tmdb_*.txt";
    const QString format = "yyyy-MM-dd";
    const QDateTime march(QDate(2024, 3, 1), QTime(0, 0), Qt::UTC);
    EXPECT_EQ(hub.findDatabaseByTime(march, QString(), filter, format),
              d.defs + "/versions/2024-01-01/tmdb_v1.txt");
    EXPECT_EQ(hub.findDatabaseByTime(march.addMonths(6), d.defs + "/versions", filter, format),
              d.defs + "/versions/2024-06-01/tmdb_v2.txt");

    LogCapture log;
    EXPECT_EQ(hub.findDatabaseByTime(march, d.defs + "/none", filter, format), "");
    EXPECT_EQ(log.texts("tmdb", WARN),
              QStringList{"Could not find db by time:2024-03-01T00:00:00.000Zin" + d.defs + "/none"});

    EXPECT_FALSE(hub.loadDatabaseByTime(march, d.defs + "/none", filter, format));
    EXPECT_TRUE(hub.loadDatabaseByTime(march, QString(), filter, format));
    // Loaded alone, without the default database.
    EXPECT_EQ(hub.db()->loadedFiles(), QStringList{d.defs + "/versions/2024-01-01/tmdb_v1.txt"});
    EXPECT_EQ(hub.db()->row(7u).description, "version 201");
}

TEST(DataInterpretationLoad, PacketOffsetsMoveWithTheirRows)
{
    Definitions d;
    DataInterpretation hub;
    hub.loadDatabase({}, true, QString());
    hub.updatePktOffsets(8);
    const TmDatabaseRow& label = hub.db()->row(3u); // decode type 2 in neither: DECODE_ID1 stays
    EXPECT_EQ(label.offsets, (std::vector<uint32_t>{12, 14}));
    TmDatabaseRow typeTwo = hub.db()->row(1u);
    typeTwo.dataId = 40;
    typeTwo.key = "T:TWO";
    typeTwo.decodeType = 2;
    typeTwo.decodeIds[0] = 4;
    typeTwo.offsets = {4, 6};
    hub.db()->addRow(typeTwo);
    hub.updatePktOffsets(8);
    EXPECT_EQ(hub.db()->row(40u).decodeIds[0], 12u);
    EXPECT_EQ(hub.db()->row(40u).offsets, (std::vector<uint32_t>{12, 14}));
    EXPECT_EQ(hub.db()->row(1u).decodeIds[0], 6u);
    EXPECT_EQ(hub.db()->row(1u).offsets, std::vector<uint32_t>{22});
    EXPECT_EQ(hub.db()->row(3u).offsets, (std::vector<uint32_t>{20, 22}));
}

TEST(DecoderManager, IsANamedQObject)
{
    QObject parent;
    auto* manager = new DecoderManager(&parent);
    EXPECT_STREQ(manager->metaObject()->className(), "GseLib::DecoderManager");
    EXPECT_EQ(manager->parent(), &parent);
}
