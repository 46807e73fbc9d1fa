// A whole mission definitions folder written by scripts/gen_definitions.py,
// loaded piece by piece (the text database with its patch and clocks, the
// JSON dictionary, the packet-type file against the loaded rows, the DAC
// table, the dated database versions), then through the hub's init with a
// plugin manager: decoder plugins (a test plugin in plugins/macos), rows,
// packet types in text and JSON mode, dated versions, and every generated
// value decoded by id and by name through the generic decoders. Expected
// values come from the generator, which computes them from the layouts it writes.
#include "gselib/database/dactable.h"
#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/transferfuncfactory.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/interpretation/packettypes.h"
#include "gselib/packets/ccsdspacket.h"
#include "gselib/packets/timeresolvers.h"
#include "gselib/services/configvek.h"
#include "plugins/genericdecoder/genericdecodermaker.h"
#include "support/logcapture.h"
#include "support/qtprinters.h"
#include "support/tempdir.h"
#include "tools/util/pluginmanager.h"
#include "tools/util/tools.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

using namespace GseLib;
using TestSupport::LogCapture;
using TestSupport::ScopedEnv;
using TestSupport::TempDir;

namespace {

// The generated folder, made once for the program.
struct Generated
{
    TempDir dir;
    QJsonObject expected;
    QString error;

    explicit Generated(bool withPlugin = true)
    {
        QStringList args{QStringLiteral(GSE_SOURCE_DIR "/scripts/gen_definitions.py"), dir.path(), "--seed", "11"};
        if (withPlugin)
            args << "--plugin" << QStringLiteral(GSE_TEST_DECODER_PLUGIN);
        QProcess gen;
        gen.start(QStringLiteral("/usr/bin/python3"), args);
        if (!gen.waitForFinished(60000) || gen.exitCode() != 0) {
            error = QString::fromUtf8(gen.readAllStandardError());
            return;
        }
        QFile file(dir.filePath("expected.json"));
        if (file.open(QIODevice::ReadOnly))
            expected = QJsonDocument::fromJson(file.readAll()).object();
    }
};

const Generated& generated()
{
    static const Generated g;
    return g;
}

QJsonObject object(const char* key)
{
    return generated().expected.value(QLatin1String(key)).toObject();
}

QJsonArray array(const QJsonObject& o, const char* key)
{
    return o.value(QLatin1String(key)).toArray();
}

QString text(const QJsonObject& o, const char* key)
{
    return o.value(QLatin1String(key)).toString();
}

std::string key(const QJsonObject& o)
{
    return text(o, "key").toStdString();
}

unsigned int id(const QJsonObject& o)
{
    return static_cast<unsigned int>(o.value(QLatin1String("id")).toInteger());
}

double number(const QJsonObject& o, const char* k)
{
    return o.value(QLatin1String(k)).toDouble();
}

QString definitions()
{
    return generated().expected.value("definitions").toString();
}

// Conversions are compared to a few units in the last place of the larger value.
::testing::AssertionResult close(double expected, double actual)
{
    const double tolerance = 1e-12 * std::max({1.0, std::fabs(expected), std::fabs(actual)});
    if (std::fabs(expected - actual) <= tolerance || (std::isnan(expected) && std::isnan(actual)))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected " << expected << ", got " << actual;
}

// The generated packets, as the archive reader would hand them out.
class Packets
{
public:
    explicit Packets(const QJsonArray& list)
    {
        int index = 0;
        for (const QJsonValue& p : list) {
            const QByteArray bytes = QByteArray::fromHex(p.toObject().value("hex").toString().toLatin1());
            auto vector = std::make_shared<ByteVector>(bytes.begin(), bytes.end());
            packets_.push_back(std::make_shared<CcsdsPacket>(vector, index++, &resolver_));
        }
    }
    const TMPacket* at(int i) const { return packets_.at(size_t(i)).get(); }
    const TMPacket* at(const QJsonObject& value) const { return at(value.value("packet").toInt()); }

private:
    UnixTimeResolver resolver_;
    std::vector<std::shared_ptr<CcsdsPacket>> packets_;
};

// A hub over a database loaded here, for loads that resolve rows through one.
class LoadedHub : public DataInterpretation
{
public:
    LoadedHub()
    {
        if (!database)
            database = std::make_shared<TelemetryDatabase>();
    }
    TelemetryDatabase& rows() { return *database; }
};

class DefinitionsFiles : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        // Rows need the generic transfer functions.
        manager = new PluginManager;
        manager->setClassFilters({QRegularExpression("^GenericTransferFuncMaker$")});
        manager->loadPlugins(QStringList{});
        TransferFuncFactory::instance()->loadTransferFuncPlugins(manager);
    }
    static void TearDownTestSuite()
    {
        delete manager;
        manager = nullptr;
    }

    void SetUp() override { ASSERT_TRUE(generated().error.isEmpty()) << generated().error.toStdString(); }

    void load(TelemetryDatabase& db, const QStringList& files)
    {
        QStringList paths;
        for (const QString& f : files)
            paths << (f.startsWith('/') ? f : definitions() + '/' + f);
        db.load(paths, definitions() + '/');
    }

    static PluginManager* manager;
    LogCapture log;
};

PluginManager* DefinitionsFiles::manager = nullptr;

// The table against the generator's {id: [name, ground, min, max[, time id, time name]]}.
void expectPacketTypes(const PacketTypes& types, const QJsonObject& expected)
{
    EXPECT_EQ(types.size(), expected.size());
    for (auto it = expected.begin(); it != expected.end(); ++it) {
        const QJsonArray e = it.value().toArray();
        const TMPacketTypeInfo& info = types.info(it.key().toInt());
        SCOPED_TRACE(it.key().toStdString());
        EXPECT_TRUE(info.valid);
        EXPECT_EQ(info.name, e[0].toString());
        EXPECT_EQ(info.isGse, e[1].toBool());
        EXPECT_EQ(info.minLength, e[2].toInt());
        EXPECT_EQ(info.maxLength, e[3].toInt());
        if (e.size() > 4) {
            EXPECT_EQ(info.timeDataId, e[4].toInt());
            EXPECT_EQ(info.timeMnemonic, e[5].toString());
        }
    }
}

} // namespace

TEST_F(DefinitionsFiles, TextDatabaseLoadsEveryRowWithItsConversions)
{
    TelemetryDatabase db;
    load(db, {"tmdb.txt"});
    EXPECT_EQ(static_cast<int>(db.rows().size()), generated().expected.value("text_rows").toInt());
    EXPECT_EQ(db.revision(), generated().expected.value("revision").toString());
    EXPECT_EQ(db.clocks().size(), 2u);
    EXPECT_EQ(db.constants().size(), static_cast<size_t>(array(generated().expected, "constants").size()));
    EXPECT_TRUE(log.texts("tmdb", WARN).isEmpty()) << log.texts("tmdb", WARN).join('\n').toStdString();
    EXPECT_TRUE(log.texts("", ERROR).isEmpty()) << log.texts("", ERROR).join('\n').toStdString();

    QList<unsigned int> types = db.usedDecoderTypes();
    QList<unsigned int> expectedTypes;
    for (const QJsonValue& t : array(generated().expected, "decode_types"))
        expectedTypes << static_cast<unsigned int>(t.toInt());
    EXPECT_EQ(types, expectedTypes);

    // Every generated value converts as the generator computed it.
    for (const QJsonValue& v : array(generated().expected, "values")) {
        const QJsonObject value = v.toObject();
        SCOPED_TRACE(key(value));
        ASSERT_TRUE(db.hasRow(id(value)));
        const TmDatabaseRow& row = db.row(id(value));
        EXPECT_EQ(row.key, key(value));
        EXPECT_EQ(db.getId(key(value).c_str()), id(value));
        if (!value.contains("raw"))
            continue;
        const double raw = number(value, "raw");
        EXPECT_TRUE(close(raw, row.convertValue(raw, Gse::Raw)));
        EXPECT_TRUE(close(number(value, "eng"), row.convertValue(raw, Gse::Eng)));
        EXPECT_TRUE(close(number(value, "sci"), row.convertValue(raw, Gse::Sci)));
    }
}

// The generic decoders on their own, filed in a hub that only holds the rows
// and packet types loaded here.
TEST_F(DefinitionsFiles, GenericDecodersReadTheGeneratedFields)
{
    LoadedHub hub;
    load(hub.rows(), {"tmdb.txt"});
    ASSERT_TRUE(hub.packetTypes.load(definitions() + "/tm_packet_types.txt", &hub));
    GenericDecoderMaker maker;
    for (Decoder* decoder : maker.makeDecoders())
        hub.addDecoder(decoder);
    const Packets packets(array(generated().expected, "packets"));
    log.clear();
    int decoded = 0;
    for (const QJsonValue& v : array(generated().expected, "values")) {
        const QJsonObject value = v.toObject();
        SCOPED_TRACE(key(value));
        const TmDatabaseRow& row = hub.rows().row(id(value));
        const Decoder* decoder = hub.decoderName(int(row.decodeType)).isEmpty()
                                     ? nullptr
                                     : hub.decoderTable().at(row.decodeType).get();
        if (!decoder) {
            EXPECT_EQ(row.decodeType, 204u); // the test plugin's type, not loaded here
            continue;
        }
        const TMPacket* packet = packets.at(value);
        DataItems items;
        const bool result = decoder->decode(row, packet, items, nullptr);
        const QJsonArray expected = array(value, "items");
        ASSERT_EQ(items.size(), size_t(expected.size()));
        EXPECT_EQ(result, value.value("ok").toBool());
        for (qsizetype i = 0; i < expected.size(); ++i) {
            const QJsonObject item = expected[i].toObject();
            const DataItem& got = items[size_t(i)];
            EXPECT_EQ(got.offset, item.value("offset").toInt()) << i;
            EXPECT_EQ(got.count, item.value("count").toInt()) << i;
            EXPECT_TRUE(close(number(item, "raw"), got.toDouble())) << i;
            const double t = number(item, "time_offset");
            if (value.value("own_time").toBool()) {
                EXPECT_TRUE(close(number(item, "raw") + t, got.unixTime));
                EXPECT_EQ(got.relativeTime, 0.0);
            } else {
                EXPECT_EQ(got.unixTime, packet->unixTime() + t) << i;
                EXPECT_EQ(got.relativeTime, packet->relativeTime() + t) << i;
            }
        }
        if (!items.empty()) {
            const std::string text = value.contains("string_hex")
                                         ? QByteArray::fromHex(value.value("string_hex").toString().toLatin1()).toStdString()
                                         : value.value("string").toString().toStdString();
            EXPECT_EQ(items.front().toString(), text);
            ++decoded;
        }
    }
    EXPECT_EQ(decoded, 26 * 3); // every field of the generic types, in three packets each
    EXPECT_TRUE(log.messages().isEmpty()) << log.texts().mid(0, 5).join('\n').toStdString();
}

TEST_F(DefinitionsFiles, TextPatchAddsAndRenames)
{
    const QJsonObject patch = object("patch");
    TelemetryDatabase db;
    // The patch's own name differs in case from the one the mission uses.
    load(db, {"tmdb.txt", "Extra_Patch.TXT"});
    EXPECT_EQ(db.revision(), text(patch, "revision"));
    ASSERT_TRUE(db.hasRow(id(patch)));
    EXPECT_EQ(db.row(id(patch)).key, key(patch));
    const unsigned int renamed = static_cast<unsigned int>(patch.value("renamed_id").toInt());
    EXPECT_EQ(db.row(renamed).key, text(patch, "renamed_key").toStdString());
    EXPECT_EQ(db.row(renamed).packetType, 10u); // the cells it left empty stay
    EXPECT_TRUE(log.texts("tmdb", WARN).isEmpty()) << log.texts("tmdb", WARN).join('\n').toStdString();
}

TEST_F(DefinitionsFiles, PacketTypeFileResolvesTimeItemsAgainstTheRows)
{
    LoadedHub hub;
    load(hub.rows(), {"tmdb.txt"});
    log.clear();
    PacketTypes types;
    ASSERT_TRUE(types.load(definitions() + "/tm_packet_types.txt", &hub));
    EXPECT_TRUE(log.messages().isEmpty()) << log.texts().join('\n').toStdString();

    expectPacketTypes(types, object("packet_types"));
    for (const QJsonValue& p : array(generated().expected, "packets")) {
        const QJsonObject packet = p.toObject();
        EXPECT_TRUE(types.isValidLength(packet.value("type").toInt(), int(text(packet, "hex").size() / 2)));
    }
}

TEST_F(DefinitionsFiles, JsonDictionaryGivesRowsAndPacketTypeLines)
{
    const QJsonObject json = object("json");
    LoadedHub hub;
    load(hub.rows(), {"tmdb.txt", text(json, "file")});
    TelemetryDatabase& db = hub.rows();
    const QJsonObject rows = json.value("rows").toObject();
    for (auto it = rows.begin(); it != rows.end(); ++it) {
        const unsigned int rowId = static_cast<unsigned int>(it.value().toInteger());
        ASSERT_TRUE(db.hasRow(rowId)) << it.key().toStdString();
        EXPECT_EQ(db.row(rowId).key, it.key().toStdString());
    }
    EXPECT_EQ(db.apids(), (QList<int>{20, 21}));
    for (const QJsonValue& v : array(json, "values")) {
        const QJsonObject value = v.toObject();
        SCOPED_TRACE(key(value));
        EXPECT_TRUE(close(number(value, "sci"), db.row(id(value)).convertValue(number(value, "raw"), Gse::Sci)));
    }

    PacketTypes types;
    EXPECT_TRUE(types.load(db.packetTypeLines(), &hub));
    const QJsonObject expected = json.value("packet_types").toObject();
    EXPECT_EQ(types.size(), expected.size());
    for (auto it = expected.begin(); it != expected.end(); ++it) {
        const QJsonArray e = it.value().toArray();
        const TMPacketTypeInfo& info = types.info(it.key().toInt());
        EXPECT_EQ(info.name, e[0].toString());
        EXPECT_EQ(info.isGse, e[1].toBool());
        EXPECT_EQ(info.minLength, -1);
        EXPECT_TRUE(types.isValidLength(it.key().toInt(), 1 << 20));
    }
    EXPECT_TRUE(log.texts("tmdb", WARN).isEmpty()) << log.texts("tmdb", WARN).join('\n').toStdString();
}

TEST_F(DefinitionsFiles, DacTable)
{
    const QJsonObject dac = object("dac");
    DacTable table;
    table.initialize(text(dac, "file"));
    for (const QJsonValue& r : array(dac, "rows")) {
        const QJsonObject row = r.toObject();
        const DacTableRow& byId = table.row(row.value("id").toInt());
        EXPECT_EQ(byId.name, text(row, "name").toLatin1());
        EXPECT_EQ(&table.row(text(row, "name").toLatin1().constData()), &byId);
        EXPECT_EQ(byId.bits, row.value("bits").toInt());
        EXPECT_EQ(byId.isSigned, row.value("signed").toBool());
        EXPECT_EQ(byId.a, number(row, "a"));
        EXPECT_EQ(byId.b, number(row, "b"));
    }
    for (const QJsonValue& c : array(dac, "checks")) {
        const QJsonObject check = c.toObject();
        EXPECT_TRUE(close(number(check, "value"), table.row(check.value("id").toInt()).toValue(check.value("count").toInt())))
            << text(check, "name").toStdString() << " " << check.value("count").toInt();
    }
}

TEST_F(DefinitionsFiles, DatedVersionsAreFoundByTime)
{
    const QJsonObject versions = object("versions");
    QHash<QString, QJsonObject> byFolder;
    for (const QJsonValue& d : array(versions, "databases"))
        byFolder.insert(text(d.toObject(), "folder"), d.toObject());
    for (const QJsonValue& q : array(versions, "queries")) {
        const QJsonObject query = q.toObject();
        const QDateTime utc = QDateTime::fromString(text(query, "time") + 'Z', Qt::ISODate);
        const QJsonObject database = byFolder.value(text(query, "folder"));
        SCOPED_TRACE(text(query, "time").toStdString());
        EXPECT_EQ(Tools::findFileInLowerDir(text(versions, "folder"), utc, text(versions, "filter"),
                                            text(versions, "date_format")),
                  text(database, "file"));
    }
    for (const QJsonObject& database : byFolder) {
        TelemetryDatabase db;
        load(db, {text(database, "file")});
        EXPECT_EQ(db.allIds(), (QList<unsigned int>{1, static_cast<unsigned int>(database.value("marker_id").toInt())}));
        EXPECT_EQ(db.getId(text(database, "marker_key").toUtf8().constData()),
                  static_cast<unsigned int>(database.value("marker_id").toInt()));
        EXPECT_EQ(db.row(1).convertValue(4.0, Gse::Eng), 4.0 * number(database, "eng_slope"));
    }
}

namespace {

const Generated& generatedWithoutPlugin()
{
    static const Generated g(false);
    return g;
}

// The hub's configuration points into a generated folder; HOME is a
// temporary folder. Each test ends with an empty hub, so no decoder of the
// test plugin outlives the plugin manager that loaded it.
class DefinitionsInit : public ::testing::Test
{
protected:
    explicit DefinitionsInit(const Generated& g = generated())
        : folder(g), inivek("INIVEK", g.expected.value("ini").toString().toUtf8()), homeEnv("HOME", home.path().toUtf8())
    {
    }

    void SetUp() override
    {
        ASSERT_TRUE(folder.error.isEmpty()) << folder.error.toStdString();
        ConfigVek::setDefaultGroup(folder.expected.value("group").toString());
    }
    void TearDown() override { DataInterpretation::init(nullptr, false, nullptr, {}); }

    DataInterpretation* init(const QList<QString>& files = {})
    {
        DataInterpretation::init(nullptr, true, &plugins, files);
        return DataInterpretation::current();
    }

    const Generated& folder;
    TempDir home;
    ScopedEnv inivek;
    ScopedEnv homeEnv;
    PluginManager plugins;
    LogCapture log;
};

class DefinitionsInitWithoutPlugin : public DefinitionsInit
{
protected:
    DefinitionsInitWithoutPlugin() : DefinitionsInit(generatedWithoutPlugin()) {}
};

} // namespace

TEST_F(DefinitionsInit, LoadsRowsPacketTypesAndDecoders)
{
    DataInterpretation* hub = init();
    ASSERT_NE(hub->db(), nullptr);
    EXPECT_EQ(static_cast<int>(hub->db()->rows().size()), folder.expected.value("text_rows").toInt());
    expectPacketTypes(hub->packetTypes, object("packet_types"));
    EXPECT_TRUE(log.contains("Loading packet properties: " + definitions() + "/tm_packet_types.txt", "tmdb", DEBUG));

    // The generic decoders, each under its decode type, and the plugin's.
    for (const GseLib::Decoder* d : GenericDecoderMaker().makeDecoders()) {
        EXPECT_EQ(hub->decoderName(d->type()), d->name()) << d->type();
        delete d;
    }
    const QJsonObject plugin = object("plugin");
    EXPECT_EQ(hub->decoderName(plugin.value("decode_type").toInt()), plugin.value("name").toString());
    const QString pluginFile = array(plugin, "files").at(0).toString();
    EXPECT_TRUE(log.contains("Loading decoders from plugin: " + pluginFile + " VERSION=1.2.3 QT_VERSION=", "decode",
                             DEBUG))
        << log.texts("decode").join('\n').toStdString();
    EXPECT_TRUE(log.texts("tmdb", WARN).isEmpty()) << log.texts("tmdb", WARN).join('\n').toStdString();
}

TEST_F(DefinitionsInit, ValuesDecodeByIdAndByName)
{
    DataInterpretation* hub = init();
    const Packets packets(array(folder.expected, "packets"));
    log.clear();
    int decoded = 0;
    for (const QJsonValue& v : array(folder.expected, "values")) {
        const QJsonObject value = v.toObject();
        const TMPacket* packet = packets.at(value);
        const int dataId = static_cast<int>(id(value));
        const std::string name = key(value);
        SCOPED_TRACE(name);
        bool ok = false;
        if (!value.value("ok").toBool()) {
            // History statistics need a current value table.
            EXPECT_EQ(hub->getValue(dataId, packet, Gse::Raw, &ok, false, nullptr), 0.0);
            EXPECT_FALSE(ok);
            continue;
        }
        const struct
        {
            Gse::ValueMode mode;
            const char* expected;
        } modes[] = {{Gse::Raw, "raw"}, {Gse::Eng, "eng"}, {Gse::Sci, "sci"}};
        for (const auto& m : modes) {
            EXPECT_TRUE(close(number(value, m.expected), hub->getValue(dataId, packet, m.mode, &ok, true, nullptr)))
                << m.expected;
            EXPECT_TRUE(ok);
            EXPECT_TRUE(close(number(value, m.expected),
                              hub->getValue(name.c_str(), packet, m.mode, &ok, true, nullptr)))
                << m.expected;
            EXPECT_TRUE(ok);
        }
        const std::string expectedText = value.contains("string_hex")
                                             ? QByteArray::fromHex(text(value, "string_hex").toLatin1()).toStdString()
                                             : text(value, "string").toStdString();
        EXPECT_EQ(hub->stringValue(dataId, packet, &ok, true, nullptr), expectedText);
        EXPECT_EQ(hub->stringValue(name.c_str(), packet, &ok, true, nullptr), expectedText);

        // Every sample with its place and time.
        DataItems items;
        ASSERT_TRUE(hub->decodePacket(name.c_str(), packet, items, true, nullptr));
        const QJsonArray expectedItems = array(value, "items");
        ASSERT_EQ(items.size(), size_t(expectedItems.size()));
        DataItems raw;
        ASSERT_TRUE(hub->getData(dataId, packet, raw, Gse::Raw, true, nullptr));
        ASSERT_EQ(raw.size(), items.size());
        for (qsizetype i = 0; i < expectedItems.size(); ++i) {
            const QJsonObject item = expectedItems[i].toObject();
            EXPECT_EQ(items[size_t(i)].offset, item.value("offset").toInt()) << i;
            EXPECT_EQ(items[size_t(i)].count, item.value("count").toInt()) << i;
            EXPECT_TRUE(close(number(item, "raw"), std::get<double>(raw[size_t(i)].value))) << i;
            const double t = number(item, "time_offset");
            if (value.value("own_time").toBool()) {
                EXPECT_TRUE(close(number(value, "raw") + t, items[size_t(i)].unixTime));
                EXPECT_EQ(items[size_t(i)].relativeTime, 0.0);
            } else {
                EXPECT_EQ(items[size_t(i)].unixTime, packet->unixTime() + t) << i;
                EXPECT_EQ(items[size_t(i)].relativeTime, packet->relativeTime() + t) << i;
            }
        }
        ++decoded;
    }
    EXPECT_EQ(decoded, 27 * 3); // every field with a value (the plugin's too), in three packets each
    EXPECT_TRUE(log.messages().isEmpty()) << log.texts().mid(0, 5).join('\n').toStdString();

    // A row is only read from packets of its own type.
    bool ok = true;
    EXPECT_EQ(hub->getValue(1, packets.at(3), Gse::Raw, &ok, true, nullptr), 0.0);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(log.messages().isEmpty());
}

TEST_F(DefinitionsInit, PacketsAreTimedByTheirTypesTimeItem)
{
    DataInterpretation* hub = init();
    const Packets packets(array(folder.expected, "packets"));
    const GenericTimeResolver resolver;
    int timed = 0;
    for (const QJsonValue& v : array(folder.expected, "values")) {
        const QJsonObject value = v.toObject();
        if (!value.value("own_time").toBool())
            continue;
        const TMPacket* packet = packets.at(value);
        EXPECT_EQ(hub->packetTypes.info(packet->type()).timeDataId, static_cast<int>(id(value)));
        EXPECT_TRUE(close(number(value, "raw"), resolver.unixTime(packet))) << key(value);
        ++timed;
    }
    EXPECT_EQ(timed, 3 * 3); // three packet types with a clocked time item, three packets each
    // A type without a time item has no time.
    EXPECT_EQ(resolver.unixTime(packets.at(0)), 0.0);
}

TEST_F(DefinitionsInit, PatchesAndJsonMode)
{
    const QJsonObject patch = object("patch");
    DataInterpretation* hub = init({text(patch, "name"), "no_such_patch"});
    EXPECT_EQ(log.count("Patch file doesn't exist:", "tmdb", WARN), 1);
    EXPECT_TRUE(log.contains("no_such_patch", "tmdb", WARN));
    ASSERT_TRUE(hub->db()->hasRow(id(patch)));
    EXPECT_EQ(hub->db()->revision(), text(patch, "revision"));
    const Packets packets(array(folder.expected, "packets"));
    for (const QJsonValue& v : array(patch, "values")) {
        const QJsonObject value = v.toObject();
        bool ok = false;
        EXPECT_EQ(hub->getValue(key(patch).c_str(), packets.at(value), Gse::Raw, &ok, true, nullptr),
                  number(value, "raw"));
        EXPECT_TRUE(ok);
    }
    expectPacketTypes(hub->packetTypes, object("packet_types"));

    // A JSON dictionary first in the list: packet types come from its lines.
    const QJsonObject json = object("json");
    hub = init({text(json, "file")});
    expectPacketTypes(hub->packetTypes, json.value("packet_types").toObject());
    EXPECT_TRUE(log.contains("Loading packet properties: ", "tmdb", DEBUG));
    const Packets jsonPackets(array(json, "packets"));
    for (const QJsonValue& v : array(json, "values")) {
        const QJsonObject value = v.toObject();
        SCOPED_TRACE(key(value));
        bool ok = false;
        EXPECT_TRUE(close(number(value, "raw"),
                          hub->getValue(key(value).c_str(), jsonPackets.at(value), Gse::Raw, &ok, true, nullptr)));
        EXPECT_TRUE(ok);
        EXPECT_TRUE(close(number(value, "sci"),
                          hub->getValue(static_cast<int>(id(value)), jsonPackets.at(value), Gse::Sci, &ok, true,
                                        nullptr)));
        EXPECT_TRUE(ok);
    }
    // The text rows are still there beneath the dictionary.
    EXPECT_TRUE(hub->db()->hasRow(1));
}

TEST_F(DefinitionsInit, DatedVersionsLoadByTime)
{
    DataInterpretation* hub = init();
    const QJsonObject versions = object("versions");
    const QString filter = text(versions, "filter");
    const QString format = text(versions, "date_format");
    QHash<QString, QJsonObject> byFolder;
    for (const QJsonValue& d : array(versions, "databases"))
        byFolder.insert(text(d.toObject(), "folder"), d.toObject());
    const Packets packets(array(folder.expected, "packets"));
    const QJsonObject first = array(folder.expected, "values").at(0).toObject(); // GEN:U8 of packet 0
    ASSERT_EQ(id(first), 1u);

    for (const QJsonValue& q : array(versions, "queries")) {
        const QJsonObject query = q.toObject();
        const QJsonObject database = byFolder.value(text(query, "folder"));
        const QDateTime time = QDateTime::fromString(text(query, "time") + 'Z', Qt::ISODate);
        SCOPED_TRACE(text(query, "time").toStdString());
        // An empty folder means the definitions' versions folder.
        EXPECT_EQ(QFileInfo(hub->findDatabaseByTime(time, QString(), filter, format)).canonicalFilePath(),
                  QFileInfo(text(database, "file")).canonicalFilePath());
        ASSERT_TRUE(hub->loadDatabaseByTime(time, QString(), filter, format));
        const unsigned int marker = static_cast<unsigned int>(database.value("marker_id").toInt());
        EXPECT_EQ(hub->db()->allIds(), (QList<unsigned int>{1, marker}));
        bool ok = false;
        EXPECT_TRUE(close(number(first, "raw") * number(database, "eng_slope"),
                          hub->getValue(1, packets.at(first), Gse::Eng, &ok, true, nullptr)));
        EXPECT_TRUE(ok);
        if (database.value("own_packet_types").toBool()) {
            EXPECT_EQ(hub->packetTypes.info(15).name, "V2_ONLY");
            EXPECT_EQ(hub->packetTypes.size(), 2);
        } else {
            // The definitions' table, whose time items this database lacks.
            EXPECT_EQ(hub->packetTypes.size(), object("packet_types").size());
            EXPECT_EQ(hub->packetTypes.info(12).timeDataId, -1);
        }
    }

    log.clear();
    const QDateTime time = QDateTime::fromString("2021-01-01T00:00:00Z", Qt::ISODate);
    EXPECT_TRUE(hub->findDatabaseByTime(time, home.filePath("nowhere"), filter, format).isEmpty());
    EXPECT_FALSE(hub->loadDatabaseByTime(time, home.filePath("nowhere"), filter, format));
    EXPECT_TRUE(log.contains("Could not find db by time:", "tmdb", WARN));
}

TEST_F(DefinitionsInit, DacTableFromTheConfiguredFile)
{
    // An instrument's hub fills the table; the default hub leaves it empty.
    class DacHub : public DataInterpretation
    {
    public:
        void populateDacTable(DacTable& table, const QString& path) override
        {
            givenPath = path;
            table.initialize(path);
        }
        QString givenPath;
    };
    class DacFactory : public DataInterpretationFactory
    {
    public:
        std::unique_ptr<DataInterpretation> make() override { return std::make_unique<DacHub>(); }
    } factory;

    DataInterpretation::init(&factory, true, &plugins, {});
    auto* hub = static_cast<DacHub*>(DataInterpretation::current());
    const QJsonObject dac = object("dac");
    EXPECT_EQ(hub->givenPath, text(dac, "file"));
    ASSERT_TRUE(hub->dacTable);
    for (const QJsonValue& r : array(dac, "rows")) {
        const QJsonObject row = r.toObject();
        EXPECT_EQ(hub->dacTable->row(row.value("id").toInt()).name, text(row, "name").toLatin1());
    }

    DataInterpretation* plain = init();
    ASSERT_TRUE(plain->dacTable);
    EXPECT_TRUE(plain->dacTable->allDacIds().isEmpty());
}

TEST_F(DefinitionsInitWithoutPlugin, RowsOfAMissingDecoderTypeAreReported)
{
    DataInterpretation* hub = init();
    EXPECT_EQ(log.texts("tmdb", WARN), QStringList{"Unsupported decoder type: 204"});
    EXPECT_TRUE(hub->decoderName(204).isEmpty());
    EXPECT_EQ(hub->decoderName(1), "simple");

    const Packets packets(array(folder.expected, "packets"));
    for (const QJsonValue& v : array(folder.expected, "values")) {
        const QJsonObject value = v.toObject();
        if (id(value) != 50)
            continue;
        log.clear();
        bool ok = true;
        EXPECT_EQ(hub->getValue(50, packets.at(value), Gse::Raw, &ok, true, nullptr), 0.0);
        EXPECT_FALSE(ok);
        EXPECT_EQ(log.texts("decode", WARN), QStringList{"Invalid decode type 204 ID: 50"});
    }
}
