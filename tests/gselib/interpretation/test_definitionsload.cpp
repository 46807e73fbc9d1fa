// A whole mission definitions folder written by scripts/gen_definitions.py,
// loaded piece by piece: the text database with its patch and clocks, the
// JSON dictionary, the packet-type file against the loaded rows, the DAC
// table and the dated database versions. Expected values come from the
// generator, which computes them from the layouts it writes.
#include "gselib/database/dactable.h"
#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/transferfuncfactory.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/interpretation/packettypes.h"
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
using TestSupport::TempDir;

namespace {

// The generated folder, made once for the program.
struct Generated
{
    TempDir dir;
    QJsonObject expected;
    QString error;

    Generated()
    {
        QProcess gen;
        gen.start(QStringLiteral("/usr/bin/python3"),
                  {QStringLiteral(GSE_SOURCE_DIR "/scripts/gen_definitions.py"), dir.path(), "--seed", "11"});
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

    const QJsonObject expected = object("packet_types");
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
        EXPECT_EQ(info.timeDataId, e[4].toInt());
        EXPECT_EQ(info.timeMnemonic, e[5].toString());
    }
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
