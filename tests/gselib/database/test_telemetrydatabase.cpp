#include "support/qtprinters.h"
#include "gselib/database/telemetrydatabase.h"

#include "gselib/database/transferfuncfactory.h"
#include "support/logcapture.h"
#include "support/tempdir.h"
#include "tools/util/pluginmanager.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

using GseLib::TelemetryDatabase;
using GseLib::TmDatabaseRow;


namespace {

// Rows need the generic transfer functions; without them every row warns.
class GenericMakers : public ::testing::Environment
{
public:
    void SetUp() override
    {
        manager_ = new PluginManager;
        manager_->setClassFilters({QRegularExpression("^GenericTransferFuncMaker$")});
        manager_->loadPlugins(QStringList{});
        TransferFuncFactory::instance()->loadTransferFuncPlugins(manager_);
    }
    void TearDown() override { delete manager_; }

private:
    PluginManager* manager_ = nullptr;
};
const auto* const genericMakers = ::testing::AddGlobalTestEnvironment(new GenericMakers);

const QStringList REQUIRED = {"SUB_SYSTEM", "NAME",    "DESCRIPTION", "DATA_ID",      "PACKET_TYPE", "DECODE_TYPE",
                              "DECODE_ID1", "DECODE_ID2", "DECODE_ID3", "DECODE_ID4", "RAW_FMT",     "ENG_FMT",
                              "ENG_EQ_TYPE", "ENG_K1",  "ENG_K2",      "SCI_UNITS",    "SCI_FMT",     "SCI_EQ_TYPE",
                              "SCI_FROM_ENG", "SCI_K1", "SCI_K2",      "SCI_K3",       "SCI_K4",      "SCI_K5",
                              "SCI_K6",     "SCI_K7",  "SCI_K8"};

// Builds the text of a database file: a header of named columns and rows
// given as column -> cell, with plausible defaults for the required cells.
class TextDb
{
public:
    explicit TextDb(QStringList columns = REQUIRED, QString revision = "$Revision: 100 $")
        : columns_(std::move(columns)), revision_(std::move(revision))
    {
    }

    TextDb& row(const QString& sub, const QString& name, const QString& id, const QMap<QString, QString>& cells = {})
    {
        QMap<QString, QString> c{{"SUB_SYSTEM", sub},  {"NAME", name},         {"DESCRIPTION", name + " item"},
                                 {"DATA_ID", id},      {"PACKET_TYPE", "7"},   {"DECODE_TYPE", "1"},
                                 {"DECODE_ID1", "16"}, {"DECODE_ID2", "2"},    {"DECODE_ID3", "0xFFFF"},
                                 {"DECODE_ID4", "0"},  {"RAW_FMT", "%04X"},    {"ENG_FMT", "%.3f"},
                                 {"ENG_EQ_TYPE", "0"}, {"ENG_K1", "0"},        {"ENG_K2", "1"},
                                 {"SCI_UNITS", "V"},   {"SCI_FMT", "%.3f"},    {"SCI_EQ_TYPE", "1"},
                                 {"SCI_FROM_ENG", "N"}, {"SCI_K1", "0"},       {"SCI_K2", "1"}};
        for (auto it = cells.begin(); it != cells.end(); ++it)
            c[it.key()] = it.value();
        QStringList out;
        for (const QString& col : columns_)
            out << c.value(col, col.startsWith("SCI_K") ? "0" : "");
        lines_ << out.join('\t');
        return *this;
    }
    // A patch line that only names the id (and the given cells).
    TextDb& sparse(const QString& id, const QMap<QString, QString>& cells = {})
    {
        QStringList out;
        for (const QString& col : columns_)
            out << (col.compare("DATA_ID", Qt::CaseInsensitive) == 0 ? id : cells.value(col));
        lines_ << out.join('\t');
        return *this;
    }
    TextDb& raw(const QString& line)
    {
        lines_ << line;
        return *this;
    }
    QByteArray bytes(const char* eol = "\n") const
    {
        QString header = columns_.join('\t');
        if (!revision_.isEmpty())
            header += '\t' + revision_;
        QStringList all{header};
        all << lines_;
        return (all.join(QString::fromLatin1(eol)) + QString::fromLatin1(eol)).toUtf8();
    }

private:
    QStringList columns_;
    QString revision_;
    QStringList lines_;
};

class Database : public ::testing::Test
{
protected:
    QString write(const QString& name, const TextDb& db) { return dir.write(name, db.bytes()); }
    QString write(const QString& name, const QByteArray& bytes) { return dir.write(name, bytes); }
    std::string defs() const { return (dir.path() + '/').toStdString(); }

    TestSupport::TempDir dir;
    TestSupport::LogCapture log;
    TelemetryDatabase db;
};

} // namespace

TEST_F(Database, TextFileRowsAndLookups)
{
    const QString path = write("tmdb.txt", TextDb()
                                               .row("HK", "TEMP", "42", {{"SCI_UNITS", "degC"}})
                                               .row("HK", "VOLT", "0x10")
                                               .row("PWR", "CURR", "010", {{"DECODE_TYPE", "4"}})
                                               .row("PWR", "PLUS", "+9"));
    ASSERT_TRUE(db.patch(path, defs()));
    EXPECT_EQ(db.allIds(), (QList<unsigned int>{8, 9, 16, 42}));
    // The row carries the id it is stored under, though "+9" is no unsigned number.
    EXPECT_EQ(db.row(9).dataId, 9u);
    EXPECT_EQ(db.getId("PWR:PLUS"), 9u);
    EXPECT_EQ(db.getId("HK:TEMP"), 42u);
    EXPECT_EQ(db.getId("HK:VOLT"), 16u);
    EXPECT_EQ(db.getId("PWR:CURR"), 8u);
    EXPECT_EQ(db.row(42).sciUnits, "degC");
    EXPECT_EQ(db.row("HK:TEMP").dataId, 42u);
    EXPECT_EQ(&db.row("HK:VOLT"), &db.row(16u));
    EXPECT_EQ(db.row(16u).dataId, 16u);
    EXPECT_EQ(db.revision(), "100");
    EXPECT_EQ(db.allKeys(), (QStringList{"PWR:CURR:0008", "PWR:PLUS:0009", "HK:VOLT:0016", "HK:TEMP:0042"}));
    EXPECT_EQ(db.usedDecoderTypes(), (QList<unsigned int>{1, 4}));
    EXPECT_EQ(db.usedSciEqTypes(), QList<unsigned int>{1});
    EXPECT_TRUE(log.texts("tmdb", DEBUG).contains("tmdb rev: 100"));
    EXPECT_TRUE(log.texts("tmdb", DEBUG).contains("Skipped 0 commented rows"));
    EXPECT_TRUE(log.texts("tmdb", WARN).isEmpty()) << log.texts("tmdb", WARN).join('\n').toStdString();
}

TEST_F(Database, CommentsBlankLinesAndInvalidIds)
{
    const QString path = write("tmdb.txt", TextDb()
                                               .raw("#")
                                               .raw("# a comment\twith a tab")
                                               .raw("")
                                               .row("A", "ZERO", "0")
                                               .row("A", "TEXT", "abc")
                                               .row("A", "EMPTY", "")
                                               .row("A", "BIG", "2147483648")
                                               .raw(" #\tnot a comment")
                                               .row("A", "OK", "5"));
    ASSERT_TRUE(db.patch(path, defs()));
    EXPECT_EQ(db.allIds(), QList<unsigned int>{5});
    const QStringList warnings = log.texts("tmdb", WARN);
    ASSERT_EQ(warnings.size(), 5);
    for (const QString& w : warnings)
        EXPECT_TRUE(w.startsWith("Skipping db row - invalid data id: ")) << w.toStdString();
    EXPECT_TRUE(warnings[0].contains("A\tZERO\tZERO item\t0\t7\t")) << warnings[0].toStdString();
    EXPECT_EQ(warnings[4], "Skipping db row - invalid data id:  #\tnot a comment");
    EXPECT_TRUE(log.texts("tmdb", DEBUG).contains("Skipped 2 commented rows"));

    // A line too short to reach the DATA_ID column has no data id either.
    log.clear();
    const QString shortLine = write("short.txt", TextDb().raw("A\tB"));
    EXPECT_TRUE(db.patch(shortLine, defs()));
    EXPECT_EQ(log.texts("tmdb", WARN), QStringList{"Skipping db row - invalid data id: A\tB"});
}

TEST_F(Database, HeaderIsAlwaysTheFirstLine)
{
    // A file whose only line is the header yields no rows.
    EXPECT_TRUE(db.patch(write("empty.txt", TextDb()), defs()));
    EXPECT_TRUE(db.allIds().isEmpty());
    EXPECT_TRUE(log.texts("tmdb", DEBUG).contains("Skipped 0 commented rows"));

    // The first line is the header even when it begins with "#".
    QStringList cols = REQUIRED;
    cols[0] = "#SUB_SYSTEM";
    const QString hashHeader = write("hash.txt", TextDb(cols).row("A", "B", "1"));
    try {
        db.patch(hashHeader, defs());
        FAIL() << "expected a missing-column error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Could not find required database field SUB_SYSTEM");
    }
    EXPECT_TRUE(db.allIds().isEmpty());
}

TEST_F(Database, RevisionKeyword)
{
    const QString first = write("a.txt", TextDb(REQUIRED, "$Revision: 77 $").row("A", "X", "1"));
    const QString second = write("b.txt", TextDb(REQUIRED, "").row("A", "Y", "2"));
    db.load({first, second}, dir.path() + '/');
    EXPECT_EQ(db.revision(), "77");
    EXPECT_EQ(log.texts("tmdb", WARN), QStringList{second + " database missing rev string"});
    EXPECT_EQ(db.loadedFiles(), (QStringList{first, second}));

    db.setRevision("abc");
    EXPECT_EQ(db.revision(), "abc");
}

TEST_F(Database, CrLfLineEnds)
{
    const QString path = write("crlf.txt", TextDb().row("A", "X", "1").row("A", "Y", "2").bytes("\r\n"));
    ASSERT_TRUE(db.patch(path, defs()));
    EXPECT_EQ(db.allIds(), (QList<unsigned int>{1, 2}));
    EXPECT_EQ(db.revision(), "100");
    EXPECT_EQ(db.row(2).sciK[7], 0.0);
    EXPECT_EQ(db.getId("A:Y"), 2u);
}

TEST_F(Database, PatchesUpdateRenameAndRemove)
{
    const QString main = write("tmdb.txt", TextDb()
                                               .row("HK", "TEMP", "16", {{"SCI_UNITS", "degC"}})
                                               .row("HK", "VOLT", "17")
                                               .row("HK", "CURR", "18"));
    // The required columns in another order and case.
    QStringList patchCols = {"data_id", "Name", "SUB_SYSTEM"};
    for (const QString& c : REQUIRED.mid(2))
        if (c != "DATA_ID")
            patchCols << c;
    const QString patch = write("patch.txt", TextDb(patchCols, "$Revision: 101 $")
                                                 .sparse("16", {{"DESCRIPTION", "patched"}})
                                                 .sparse("17", {{"Name", "VOLTAGE"}})
                                                 .sparse("-18")
                                                 .sparse("-99")
                                                 .sparse("0x20", {{"SUB_SYSTEM", "NEW"}, {"Name", "ITEM"}}));
    db.load({main, patch}, dir.path() + '/');

    EXPECT_EQ(db.allIds(), (QList<unsigned int>{16, 17, 32}));
    EXPECT_EQ(db.row(16).description, "patched");
    EXPECT_EQ(db.row(16).sciUnits, "degC"); // columns the patch left empty keep their values
    EXPECT_EQ(db.row(16).decodeIds[0], 16u);
    // The old and the new key both answer.
    EXPECT_EQ(db.getId("HK:VOLT"), 17u);
    EXPECT_EQ(db.getId("HK:VOLTAGE"), 17u);
    EXPECT_EQ(db.keysById().at(17), (std::vector<std::string>{"HK:VOLT", "HK:VOLTAGE"}));
    EXPECT_EQ(db.getId("HK:CURR"), 0u);
    EXPECT_EQ(db.getId("NEW:ITEM"), 32u);
    EXPECT_EQ(db.revision(), "101");

    const QStringList debug = log.texts("tmdb", DEBUG);
    EXPECT_EQ(debug.filter("Removed data ID: "), QStringList{"Removed data ID: 18"}); // -99 was silent
    EXPECT_EQ(debug.last(), "Loaded 3 mnemonics");
}

TEST_F(Database, MiningTypeFilter)
{
    QStringList cols = REQUIRED;
    cols << "TARQ_MINE_TYPE";
    const QString withColumn = write("mine.txt", TextDb(cols)
                                                     .row("A", "NONE", "1", {{"TARQ_MINE_TYPE", "0"}})
                                                     .row("A", "ALL", "2", {{"TARQ_MINE_TYPE", "all"}})
                                                     .row("A", "EMPTY", "3", {{"TARQ_MINE_TYPE", ""}})
                                                     .row("A", "BIN", "4", {{"TARQ_MINE_TYPE", "bin"}}));
    const QString without = write("plain.txt", TextDb().row("B", "X", "5"));

    // Without the flag every row is kept and no ignored count is logged.
    db.load({withColumn}, dir.path() + '/');
    EXPECT_EQ(db.allIds(), (QList<unsigned int>{1, 2, 3, 4}));
    EXPECT_EQ(db.row(3).tarqMineType, Gse::TarqMineNone); // an empty cell leaves the row's member alone
    EXPECT_TRUE(log.texts("tmdb", DEBUG).filter("Ignored ").isEmpty());

    log.clear();
    db.setIgnoreTarqMineTypeNone(true);
    EXPECT_TRUE(db.ignoreTarqMineTypeNone());
    db.load({withColumn, without}, dir.path() + '/');
    EXPECT_EQ(db.allIds(), (QList<unsigned int>{2, 3, 4, 5})); // the empty cell counts as no cell: type 3
    EXPECT_EQ(log.texts("tmdb", DEBUG).filter("Ignored "), (QStringList{"Ignored 1 rows", "Ignored 0 rows"}));
}

TEST_F(Database, BadMiningTypeStopsTheLoad)
{
    QStringList cols = REQUIRED;
    cols << "TARQ_MINE_TYPE";
    const QString bad = write("bad.txt", TextDb(cols)
                                             .row("A", "GOOD", "1", {{"TARQ_MINE_TYPE", "delta"}})
                                             .row("A", "BAD", "2", {{"TARQ_MINE_TYPE", "ALL"}})
                                             .row("A", "LATER", "3"));
    try {
        db.load({bad}, dir.path() + '/');
        FAIL() << "expected the mining-type error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Invalid TARQ_MINE_TYPE: ALL");
    }
    EXPECT_EQ(db.allIds(), QList<unsigned int>{1}); // rows applied before stay
    EXPECT_TRUE(db.loadedFiles().isEmpty());
}

TEST_F(Database, RowThatFailsToReadIsNotAdded)
{
    // Decode type 6 needs 8 byte ranks: the update throws.
    const QString path = write("bad.txt", TextDb()
                                              .row("D", "OK", "1", {{"DECODE_TYPE", "6"}, {"DECODE_ID2", "8"}})
                                              .row("D", "BAD", "2", {{"DECODE_TYPE", "6"}, {"DECODE_ID2", "4"}}));
    EXPECT_THROW(db.patch(path, defs()), std::runtime_error);
    EXPECT_EQ(db.allIds(), QList<unsigned int>{1});
    EXPECT_FALSE(db.hasRow(2));
    EXPECT_EQ(db.rows().size(), 1u);
    EXPECT_EQ(db.getId("D:BAD"), 0u);

    // An existing row keeps what the update read before the throw.
    const QString patch = write("patch.txt", TextDb().row("D", "RENAMED", "1", {{"DECODE_TYPE", "6"}, {"DECODE_ID2", "4"}}));
    EXPECT_THROW(db.patch(patch, defs()), std::runtime_error);
    ASSERT_TRUE(db.hasRow(1));
    EXPECT_EQ(db.row(1).name, "RENAMED");
    EXPECT_EQ(db.getId("D:RENAMED"), 0u); // the key is recorded only after a complete update
    EXPECT_EQ(db.getId("D:OK"), 1u);
}

TEST_F(Database, FilesThatCannotBeReadAndJsonNames)
{
    const QString good = write("tmdb.txt", TextDb().row("A", "X", "1"));
    const QString missing = dir.filePath("absent.txt");
    const QString badJson = write("bad.json", "{ not json");
    const QString noPackets = write("nopackets.json", R"({"packets": []})");
    // A name ending in JSON in capitals is a text file.
    const QString capital = write("upper.JSON", TextDb(REQUIRED, "$Revision: 9 $").row("A", "Y", "2"));

    // A device would never end; a folder is no file.
    const QString device = "/dev/zero";
    EXPECT_TRUE(db.load({good, missing, badJson, noPackets, device, dir.path(), capital}, dir.path() + '/'));
    EXPECT_EQ(db.loadedFiles(), (QStringList{good, capital}));
    EXPECT_EQ(db.allIds(), (QList<unsigned int>{1, 2}));
    EXPECT_EQ(db.revision(), "9");
    EXPECT_EQ(log.texts("tmdb", ERROR), (QStringList{"Failed to open database file: " + missing,
                                                     "Failed to open database file: " + device,
                                                     "Failed to open database file: " + dir.path()}));
}

TEST_F(Database, LoadReadsClocksAndConstantsFirstAndStartsFromEmpty)
{
    write("clocks.txt", R"({"clocks": [{"name": "SCLK", "epoch": "2000-01-01T00:00:00", "sub_seconds_per_second": 256}]})");
    write("constants.json", R"([{"name": "Gain", "type": "int", "value": "3"}])");
    QStringList cols = REQUIRED;
    cols << "CLOCK";
    const QString main = write("tmdb.txt", TextDb(cols)
                                               .row("A", "TIMED", "1", {{"CLOCK", "SCLK"}})
                                               .row("A", "OTHER", "2", {{"CLOCK", "NOPE"}}));
    const QString defsDir = dir.path() + '/';
    db.load({main}, defsDir);
    EXPECT_TRUE(db.hasClocks());
    ASSERT_TRUE(db.row(1).clock);
    EXPECT_EQ(db.row(1).clock, db.clocks().at("SCLK")); // shared with the clock map
    EXPECT_FALSE(db.row(2).clock);
    EXPECT_EQ(std::get<int>(db.constants().at("gain")), 3);

    const QStringList texts = log.texts("tmdb");
    const qsizetype clocks = texts.indexOf(QRegularExpression("Loading clocks: .*"));
    const qsizetype constants = texts.indexOf(QRegularExpression("Loading constants: .*"));
    const qsizetype loading = texts.indexOf("Loading tmdb: " + main);
    ASSERT_GE(clocks, 0);
    EXPECT_LT(clocks, constants);
    EXPECT_LT(constants, loading);
    EXPECT_EQ(texts.last(), "Loaded 2 mnemonics");

    // A second load starts again from nothing.
    log.clear();
    TestSupport::TempDir other;
    const QString second = other.write("db.txt", TextDb().row("B", "ONLY", "9").bytes());
    db.setRevision("old");
    db.load({second}, defsDir);
    EXPECT_EQ(db.allIds(), QList<unsigned int>{9});
    EXPECT_EQ(db.getId("A:TIMED"), 0u);
    EXPECT_FALSE(db.hasClocks());
    EXPECT_TRUE(db.constants().empty());
    EXPECT_EQ(db.revision(), "100");
    EXPECT_TRUE(log.contains("Clocks not loaded...file does not exist: " + other.path() + "/clocks.txt"));

    // No files: nothing is looked for.
    log.clear();
    db.load({}, defsDir);
    EXPECT_TRUE(db.allIds().isEmpty());
    EXPECT_TRUE(db.revision().isEmpty());
    EXPECT_EQ(log.texts("tmdb"), (QStringList{"Loading tmdb: ", "Loaded 0 mnemonics"}));
}

TEST_F(Database, RowTableKeysAndRemoval)
{
    const QString main = write("tmdb.txt", TextDb().row("A", "X", "7").row("A", "Y", "7"));
    db.patch(main, defs());
    EXPECT_EQ(db.getId("A:X"), 7u);
    EXPECT_EQ(db.getId("A:Y"), 7u);
    EXPECT_EQ(db.keysById().at(7), (std::vector<std::string>{"A:X", "A:Y"}));

    // Key takeover: id 8 takes A:X; removing 7 leaves the key with 8.
    db.patch(write("takeover.txt", TextDb().row("A", "X", "8")), defs());
    EXPECT_EQ(db.getId("A:X"), 8u);
    EXPECT_TRUE(db.removeRow(7u));
    EXPECT_EQ(db.getId("A:X"), 8u);
    EXPECT_EQ(db.getId("A:Y"), 0u);
    EXPECT_EQ(db.row("A:X").dataId, 8u);
    EXPECT_FALSE(db.removeRow(7u)); // already gone
    EXPECT_EQ(db.allIds(), QList<unsigned int>{8});

    // The same row inserted twice lists its key twice; removal leaves no trace.
    TmDatabaseRow copy = db.row(8u);
    db.addRow(copy);
    EXPECT_EQ(db.keysById().at(8), (std::vector<std::string>{"A:X", "A:X"}));
    EXPECT_TRUE(db.removeRow("A:X"));
    EXPECT_TRUE(db.allIds().isEmpty());
    EXPECT_TRUE(db.idsByKey().empty());
    EXPECT_TRUE(db.keysById().empty());
    EXPECT_TRUE(db.rows().empty());
}

TEST_F(Database, UnknownKeysNeverReachRowZero)
{
    // A dictionary packet with id 0 gives a row with data id 0.
    const QJsonDocument doc = QJsonDocument::fromJson(
        R"({"Packets": [{"packetName": "Z", "packetId": 0, "fields": [{"fieldName": "F", "type": "uint8_t"}]}]})");
    ASSERT_TRUE(db.jsonPatch(doc));
    ASSERT_TRUE(db.hasRow(0));
    EXPECT_EQ(db.getId("Z:F"), 0u);
    EXPECT_EQ(db.getId("NO:KEY"), 0u);

    EXPECT_FALSE(db.removeRow("NO:KEY"));
    EXPECT_TRUE(db.hasRow(0));
    try {
        db.row("NO:KEY");
        FAIL() << "expected std::out_of_range";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "NO:KEY");
    }
    const TelemetryDatabase& constDb = db;
    EXPECT_THROW(constDb.row("NO:KEY"), std::out_of_range);
    EXPECT_EQ(db.row("Z:F").name, "F");
    try {
        constDb.row(42u);
        FAIL() << "expected std::out_of_range";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "42");
    }
}

TEST_F(Database, AllKeysPadsAndPrintsIdsUnsigned)
{
    const QJsonDocument doc = QJsonDocument::fromJson(
        R"({"Packets": [{"packetName": "TOP", "packetId": 131071, "fields": [{"fieldName": "F", "type": "uint8_t"}]}]})");
    db.jsonPatch(doc);
    db.patch(write("t.txt", TextDb().row("HK", "TEMP", "42").row("HK", "BIG", "123456")), defs());
    EXPECT_EQ(db.allKeys(), (QStringList{"HK:TEMP:0042", "HK:BIG:123456", "TOP:F:4294934528"}));
    EXPECT_EQ(db.allIds().last(), 4294934528u);
}

TEST_F(Database, UsedTypesAreDistinctAndAscending)
{
    db.patch(write("t.txt", TextDb()
                                .row("A", "A", "1", {{"DECODE_TYPE", "4"}, {"SCI_EQ_TYPE", "9"}})
                                .row("A", "B", "2", {{"DECODE_TYPE", "1"}, {"SCI_EQ_TYPE", "0"}})
                                .row("A", "C", "3", {{"DECODE_TYPE", "4"}, {"SCI_EQ_TYPE", "9"}})
                                .row("A", "D", "4", {{"DECODE_TYPE", "3"}, {"DECODE_ID2", "1:2"}})),
             defs());
    EXPECT_EQ(db.usedDecoderTypes(), (QList<unsigned int>{1, 3, 4}));
    EXPECT_EQ(db.usedSciEqTypes(), (QList<unsigned int>{0, 1, 9}));
}

TEST_F(Database, TextDumpReadsBackAsTheSameRows)
{
    QStringList cols = REQUIRED;
    cols << "DISCRETE_LABELS" << "LIMIT_TYPE_1" << "RED_LIMIT_1" << "APPLY_WHEN";
    db.patch(write("t.txt", TextDb(cols, "")
                                .row("HK", "B", "20", {{"DISCRETE_LABELS", "0=OFF;1=ON"}})
                                .row("HK", "A", "3", {{"LIMIT_TYPE_1", "5"}, {"RED_LIMIT_1", "2.5"}})
                                .row("PWR", "C", "11", {{"APPLY_WHEN", "3=0..1"}, {"DECODE_ID1", "0:4:8"}})),
             defs());
    std::ostringstream plain;
    plain << db;
    const QStringList lines = QString::fromStdString(plain.str()).split('\n');
    ASSERT_EQ(lines.size(), 5); // header, three rows, the empty rest after the last line feed
    EXPECT_EQ(lines[0], GseLib::TMDB_HDR.join('\t'));
    EXPECT_TRUE(lines[1].startsWith("HK\tA\t"));
    EXPECT_TRUE(lines[2].startsWith("PWR\tC\t"));
    EXPECT_TRUE(lines[3].startsWith("HK\tB\t"));
    EXPECT_TRUE(lines[4].isEmpty());

    db.setRevision("55");
    std::ostringstream withRevision;
    withRevision << db;
    const QString text = QString::fromStdString(withRevision.str());
    EXPECT_TRUE(text.startsWith(GseLib::TMDB_HDR.join('\t') + "\t$Revision: 55 $\n"));

    // The dump is itself a database that loads into equal rows.
    TelemetryDatabase copy;
    copy.patch(write("dump.txt", text.toUtf8()), defs());
    EXPECT_EQ(copy.revision(), "55");
    ASSERT_EQ(copy.allIds(), db.allIds());
    for (unsigned int id : db.allIds())
        EXPECT_TRUE(copy.row(id) == db.row(id)) << id << "\n" << copy.row(id).diffText(db.row(id));
}

TEST_F(Database, JsonDictionaryFile)
{
    const QString text = write("tmdb.txt", TextDb().row("HK", "OLD", QString::number((3 << 15) | 1), {{"SCI_UNITS", "K"}}));
    const QString json = write("dict.json", R"({"Packets": [
        {"packetName": "HK", "packetId": 3, "gse": true, "apid": 40,
         "fields": [{"fieldName": "A", "type": "uint16_t", "limits": [0, 100]},
                    {"fieldName": "B", "type": "float", "description": "a float"},
                    {"fieldName": "S", "type": "uint8_t", "bitFields": [["LO", "b3"], ["HI", "b5"]]},
                    {"fieldName": "L", "type": "uint8_t", "conversion": {"uncalToCalFunction": "LUT",
                     "uncalToCalArgs": [{"0": "OFF", "1": "ON"}]}}]}]})");
    db.load({text, json}, dir.path() + '/');
    EXPECT_EQ(db.loadedFiles(), (QStringList{text, json}));
    EXPECT_EQ(db.packetTypeLines(), QStringList{"3, HK, true, -1, -1"});
    EXPECT_EQ(db.apids(), QList<int>{40});

    const unsigned int base = 3u << 15;
    EXPECT_EQ(db.allIds(), (QList<unsigned int>{base, base + 1, base + 2, base + 3, base + 4, base + 5}));
    const TmDatabaseRow& a = db.row("HK:A");
    EXPECT_EQ(a.dataId, base);
    EXPECT_EQ(a.packetType, 3u);
    EXPECT_EQ(a.decodeType, 1u);
    EXPECT_EQ(a.decodeIds[2], 0xFFFFu);
    EXPECT_EQ(a.byteOrder, (std::vector<std::uint32_t>{2, 1}));
    EXPECT_EQ(a.sciUnits, "Value");
    EXPECT_EQ(a.limitChecker2.checkLimit(150), 3);

    // The dictionary row replaced the text row of the same id whole.
    const TmDatabaseRow& b = db.row(base + 1);
    EXPECT_EQ(b.name, "B");
    EXPECT_EQ(b.sciUnits, "Value");
    EXPECT_EQ(b.decodeType, 5u);
    EXPECT_EQ(b.offsets, std::vector<std::uint32_t>{2});
    EXPECT_EQ(b.description, "a float");
    EXPECT_EQ(db.getId("HK:OLD"), base + 1); // the old key still answers

    EXPECT_EQ(db.row("HK:HI").decodeIds[2], 0xF8u);
    EXPECT_EQ(db.row("HK:HI").decodeIds[3], 3u);
    EXPECT_EQ(db.row("HK:L").offsets, std::vector<std::uint32_t>{7});
    EXPECT_EQ(db.row("HK:L").discreteLabels.label(1LL), "ON");
    EXPECT_TRUE(log.texts("tmdb", WARN).isEmpty()) << log.texts("tmdb", WARN).join('\n').toStdString();

    // A later dictionary empties the lists first.
    EXPECT_FALSE(db.jsonPatch(QJsonDocument::fromJson(R"({"x": 1})")));
    EXPECT_TRUE(db.packetTypeLines().isEmpty());
    EXPECT_TRUE(db.apids().isEmpty());
    EXPECT_EQ(db.allIds().size(), 6);
}

TEST_F(Database, JsonRowErrorsPropagateAndKeepEarlierRows)
{
    // A float field whose byte order has two ranks cannot be read.
    const QJsonDocument doc = QJsonDocument::fromJson(R"({"Packets": [{"packetName": "P", "packetId": 1,
        "fields": [{"fieldName": "A", "type": "uint8_t"}, {"fieldName": "F", "type": "float", "byteOrder": "12"},
                   {"fieldName": "C", "type": "uint8_t"}]}]})");
    try {
        db.jsonPatch(doc);
        FAIL() << "expected the row error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "P:F : byte order must be 4 bytes for float type");
    }
    EXPECT_EQ(db.allIds(), QList<unsigned int>{1u << 15});
}

// A generated database of realistic size with a text and a JSON patch.
TEST_F(Database, GeneratedDatabaseWithPatches)
{
    QProcess gen;
    gen.start("/usr/bin/python3", {QStringLiteral(GSE_SOURCE_DIR "/scripts/gen_tmdb.py"), dir.path(), "--rows", "4000",
                                   "--seed", "7"});
    ASSERT_TRUE(gen.waitForFinished(60000));
    ASSERT_EQ(gen.exitCode(), 0) << gen.readAllStandardError().toStdString();
    QFile expectedFile(dir.filePath("expected.json"));
    ASSERT_TRUE(expectedFile.open(QIODevice::ReadOnly));
    const QJsonObject expected = QJsonDocument::fromJson(expectedFile.readAll()).object();

    const QStringList files{dir.filePath("tmdb.txt"), dir.filePath("patch_1.txt"), dir.filePath("patch_2.json")};
    log.clear();
    db.load(files, dir.path() + '/');

    EXPECT_EQ(db.loadedFiles(), files);
    EXPECT_EQ(static_cast<int>(db.rows().size()), expected.value("rows").toInt());
    EXPECT_EQ(db.revision(), expected.value("revision").toString());
    EXPECT_TRUE(db.hasClocks());
    EXPECT_EQ(db.constants().size(), 3u);
    QList<int> apids;
    for (const QJsonValue& v : expected.value("apids").toArray())
        apids << v.toInt();
    EXPECT_EQ(db.apids(), apids);

    const QJsonObject keys = expected.value("keys").toObject();
    for (auto it = keys.begin(); it != keys.end(); ++it) {
        const unsigned int id = it.key().toUInt();
        const std::string key = it.value().toString().toStdString();
        ASSERT_TRUE(db.hasRow(id)) << id;
        EXPECT_EQ(db.row(id).key, key);
        EXPECT_EQ(db.getId(key.c_str()), id);
    }
    for (const QJsonValue& v : expected.value("removed").toArray())
        EXPECT_FALSE(db.hasRow(static_cast<unsigned int>(v.toInt()))) << v.toInt();
    const QJsonObject renamed = expected.value("renamed_old_keys").toObject();
    for (auto it = renamed.begin(); it != renamed.end(); ++it)
        EXPECT_EQ(db.getId(it.key().toUtf8().constData()), static_cast<unsigned int>(it.value().toInt()));
    const QJsonObject updated = expected.value("updated").toObject();
    for (auto it = updated.begin(); it != updated.end(); ++it)
        EXPECT_EQ(db.row(it.key().toUInt()).description, it.value().toString().toStdString());

    // Every stored row carries its own id, and every key maps to a row.
    for (const auto& [id, row] : db.rows())
        ASSERT_EQ(row.dataId, id);
    for (const auto& [key, id] : db.idsByKey())
        ASSERT_TRUE(db.hasRow(id)) << key;
    EXPECT_TRUE(log.texts("tmdb", WARN).isEmpty()) << log.texts("tmdb", WARN).mid(0, 5).join('\n').toStdString();
    EXPECT_TRUE(log.texts("transfer_func", WARN).isEmpty());
    EXPECT_TRUE(log.texts("", ERROR).isEmpty());
}
