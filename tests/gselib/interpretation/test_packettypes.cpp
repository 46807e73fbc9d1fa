#include "gselib/database/telemetrydatabase.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/interpretation/packettypes.h"
#include "support/logcapture.h"
#include "support/qtprinters.h"
#include "support/tempdir.h"

#include <QDebug>
#include <gtest/gtest.h>

using namespace GseLib;
using TestSupport::LogCapture;
using TestSupport::TempDir;

namespace {

// A hub over a few rows that time fields can name.
class RowsHub : public DataInterpretation
{
public:
    RowsHub()
    {
        if (!database)
            database = std::make_shared<TelemetryDatabase>();
        add(1234, "", "SCLK");
        add(77, "HK", "SCLK");
        add(3000000000u, "BIG", "TIME");
        add(88, "", "\xDCHR"); // database text is Latin-1: "\u00DCHR"
    }

private:
    void add(unsigned int id, const char* subSystem, const char* name)
    {
        TmDatabaseRow row;
        row.dataId = id;
        row.subSystem = subSystem;
        row.name = name;
        row.key = std::string(subSystem) + ":" + name;
        database->addRow(row);
    }
};

struct LineCase
{
    const char* line;
    bool valid;
    int type;
    const char* name;
    bool isGse;
    int minLength;
    int maxLength;
};

} // namespace

TEST(TMPacketTypeInfo, LineFields)
{
    const LineCase cases[] = {
        {"12, HK, true, 10, 200", true, 12, "HK", true, 10, 200},
        {" 0x1F ,\tSCI , false , 1 , 2 ", true, 31, "SCI", false, 1, 2},
        {"010,OCT,false,0,0", true, 8, "OCT", false, 0, 0},
        {"abc,NaN,false,0,0", true, 0, "NaN", false, 0, 0},
        {"4294967296,WIDE,false,0,0", true, 0, "WIDE", false, 0, 0}, // outside 32 bits
        {"-3,NEG,t,-1,-1", true, -3, "NEG", true, -1, -1},
        {"1,A,True,0,0", true, 1, "A", false, 0, 0}, // only a lower-case t
        {"1,A,1,0,0", true, 1, "A", false, 0, 0},
        {"1,A,tx,0,0", true, 1, "A", true, 0, 0},
        {"12,,HK,false,10,20", true, 12, "HK", false, 10, 20}, // two commas are one separator
        {"12, ,HK,false,10", true, 12, "", false, 0, 10},      // blanks are a field
        {"1,A,false,0x10,ten", true, 1, "A", false, 0, 0},     // lengths are decimal only
        {"1,A,false,010,2147483648", true, 1, "A", false, 10, 0},
        {"1,A,false,3,4,,,,", true, 1, "A", false, 3, 4},
        {"1,A,false,3", false, 0, "Unknown packet", false, -1, -1},
        {",,,,", false, 0, "Unknown packet", false, -1, -1},
        {"", false, 0, "Unknown packet", false, -1, -1},
    };
    for (const LineCase& c : cases) {
        const TMPacketTypeInfo info(QString::fromUtf8(c.line), nullptr);
        SCOPED_TRACE(c.line);
        EXPECT_EQ(info.valid, c.valid);
        EXPECT_EQ(info.type, c.type);
        EXPECT_EQ(info.name, QString::fromUtf8(c.name));
        EXPECT_EQ(info.isGse, c.isGse);
        EXPECT_EQ(info.minLength, c.minLength);
        EXPECT_EQ(info.maxLength, c.maxLength);
        EXPECT_EQ(info.timeDataId, -1);
        EXPECT_TRUE(info.timeMnemonic.isEmpty());
    }
}

TEST(TMPacketTypeInfo, TimeFieldResolvedAgainstTheDatabase)
{
    const RowsHub hub;
    struct Case
    {
        const char* field;
        int id;
        const char* mnemonic;
    } cases[] = {
        {"1234", 1234, "SCLK"},   // a decimal id
        {" SCLK ", 1234, "SCLK"}, // a NAME with an empty SUB_SYSTEM
        {"HK:SCLK", 77, "SCLK"},  // a whole key
        {"BIG:TIME", int(3000000000u), "TIME"},
        {"\xC3\x9CHR", 88, "\xC3\x9CHR"}, // a Latin-1 NAME, looked up and named as text
        {":\xC3\x9CHR", 88, "\xC3\x9CHR"},
        {"   ", -1, ""}, // blanks: no time item, no message
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        LogCapture log;
        const TMPacketTypeInfo info(QStringLiteral("9, T, false, 1, 2,") + QString::fromUtf8(c.field), &hub);
        EXPECT_TRUE(info.valid);
        EXPECT_EQ(info.timeDataId, c.id);
        EXPECT_EQ(info.timeMnemonic, QString::fromUtf8(c.mnemonic));
        EXPECT_TRUE(log.messages().isEmpty());
    }

    // Fields after the sixth are ignored.
    const TMPacketTypeInfo seventh(QStringLiteral("9,T,false,1,2,HK:SCLK,1234"), &hub);
    EXPECT_EQ(seventh.timeDataId, 77);
    // Without a hub the field is not looked up.
    LogCapture quiet;
    const TMPacketTypeInfo noHub(QStringLiteral("9,T,false,1,2,NOPE"), nullptr);
    EXPECT_TRUE(noHub.valid);
    EXPECT_EQ(noHub.timeDataId, -1);
    EXPECT_TRUE(quiet.messages().isEmpty());
}

TEST(TMPacketTypeInfo, UnknownTimeFieldWarnsAndStaysValid)
{
    const RowsHub hub;
    const char* const fields[] = {"NOPE", "HK:NOPE", "4321", "01234x"};
    for (const char* field : fields) {
        SCOPED_TRACE(field);
        LogCapture log;
        const TMPacketTypeInfo info(QStringLiteral("5, HKP , true, 1, 2, ") + QString::fromUtf8(field) + "  ", &hub);
        EXPECT_TRUE(info.valid);
        EXPECT_EQ(info.type, 5);
        EXPECT_EQ(info.timeDataId, -1);
        EXPECT_TRUE(info.timeMnemonic.isEmpty());
        ASSERT_EQ(log.messages().size(), 1);
        EXPECT_EQ(log.texts("packet_type", WARN),
                  QStringList{"Packet HKP time mnemonic does not exist: " + QString::fromUtf8(field)});
    }
}

TEST(PacketTypes, LoadFileSkipsCommentsAndKeepsTheLastLineOfAnId)
{
    const RowsHub hub;
    TempDir dir;
    const QString path = dir.write("tm_packet_types.txt",
                                   "# id, name, ground, min, max, time\n"
                                   "\n"
                                   "   \t\n"
                                   "  # indented comment\n"
                                   "1, HK, false, 10, 200, HK:SCLK\r\n"
                                   "2, SCI, false, -1, -1\n"
                                   "  3, GSE, true, 8, 8  \n"
                                   "  4, SHORT, true  \n"
                                   "2, SCI2, true, 5, 6\n"
                                   "5, \xC3\x9C" "BER, false, 1, 1");
    PacketTypes types;
    types.insert(99, TMPacketTypeInfo());
    LogCapture log;
    ASSERT_TRUE(types.load(path, &hub));
    EXPECT_EQ(types.size(), 4);
    EXPECT_FALSE(types.contains(99)); // the table starts empty
    EXPECT_EQ(types.info(1).timeDataId, 77);
    EXPECT_EQ(types.info(2).name, "SCI2");
    EXPECT_TRUE(types.info(2).isGse);
    EXPECT_TRUE(types.info(3).isGse);
    EXPECT_EQ(types.info(5).name, QString::fromUtf8("\xC3\x9C" "BER"));
    // The whole line is trimmed before it is reported.
    EXPECT_EQ(log.texts("apids", WARN), QStringList{"Bad packet type info: 4, SHORT, true"});
    EXPECT_EQ(log.messages().size(), 1);
}

TEST(PacketTypes, LoadFileThatCannotBeOpened)
{
    TempDir dir;
    const struct
    {
        QString path;
    } cases[] = {{dir.filePath("missing.txt")}, {dir.path()}, {QStringLiteral("/dev/null")}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        PacketTypes types;
        types.insert(1, TMPacketTypeInfo());
        LogCapture log;
        EXPECT_FALSE(types.load(c.path, nullptr));
        EXPECT_TRUE(types.isEmpty());
        EXPECT_EQ(log.texts("apids", ERROR), QStringList{"Failed to open: " + c.path});
    }
}

TEST(PacketTypes, AnEmptyTableIsSaidOncePerLoadWhenAPacketIsJudged)
{
    TempDir dir;
    const QString missing = dir.filePath("tm_packet_types.txt");
    PacketTypes types;
    LogCapture log;
    EXPECT_FALSE(types.load(missing, nullptr));
    EXPECT_EQ(types.source(), missing);
    EXPECT_FALSE(types.isValidLength(5, 10));
    EXPECT_FALSE(types.isValidLength(6, 10));
    types.reportIfEmpty();
    const QString said = "No packet type was loaded from " + missing + ": every packet is refused";
    EXPECT_EQ(log.texts("apids", WARN), QStringList{said});

    // A new load may say it again; a table with types never does.
    EXPECT_FALSE(types.load(missing, nullptr));
    EXPECT_FALSE(types.isValidLength(5, 10));
    EXPECT_EQ(log.count(said, "apids", WARN), 2);
    const QString good = dir.write("good.txt", "5, HK, false, 10, 10\n");
    log.clear();
    EXPECT_TRUE(types.load(good, nullptr));
    EXPECT_FALSE(types.isValidLength(6, 10));
    types.reportIfEmpty();
    EXPECT_TRUE(log.texts("apids", WARN).isEmpty());

    // Lines of a dictionary are named by what the hub sets.
    EXPECT_TRUE(types.load(QList<QString>{"# none"}, nullptr));
    types.setSource("db.json");
    types.reportIfEmpty();
    EXPECT_EQ(log.texts("apids", WARN), QStringList{"No packet type was loaded from db.json: every packet is refused"});
}

TEST(PacketTypes, LoadLinesTakesEachLineAsItIs)
{
    const RowsHub hub;
    PacketTypes types;
    types.insert(99, TMPacketTypeInfo());
    LogCapture log;
    // The lines a JSON packet dictionary produces, and lines that are only
    // comments or blank when trimmed as a whole.
    const QList<QString> lines = {"100, JPKT100, true, -1, -1",
                                  "101, JPKT101, false, -1, -1",
                                  "",
                                  "#102, HIDDEN, false, -1, -1",
                                  " #103, SHOWN, false, -1, -1, SCLK",
                                  "  "};
    EXPECT_TRUE(types.load(lines, &hub));
    EXPECT_FALSE(types.contains(99));
    EXPECT_EQ(types.size(), 3);
    EXPECT_TRUE(types.info(100).isGse);
    EXPECT_TRUE(types.isValidLength(100, 123456));
    EXPECT_FALSE(types.info(101).isGse);
    EXPECT_FALSE(types.contains(102));
    // " #103" is no number: type 0, still resolved.
    EXPECT_EQ(types.info(0).name, "SHOWN");
    EXPECT_EQ(types.info(0).timeDataId, 1234);
    EXPECT_EQ(log.texts("apids", WARN), QStringList{"Bad packet type info:   "});
    // Always true, also for nothing valid.
    EXPECT_TRUE(types.load(QList<QString>{"x"}, nullptr));
    EXPECT_TRUE(types.isEmpty());
}

TEST(PacketTypes, LookupsByIdAndName)
{
    PacketTypes types;
    types.load(QList<QString>{"1, HK, false, -1, 7", "2, SCI, false, 10, 20", "3, NOMAX, false, 10, x"}, nullptr);

    // An absent type: the default entry, by reference, never entered.
    const TMPacketTypeInfo& unknown = types.info(44);
    EXPECT_EQ(unknown.name, "Unknown packet");
    EXPECT_FALSE(unknown.isGse);
    EXPECT_FALSE(unknown.valid);
    EXPECT_EQ(unknown.timeDataId, -1);
    EXPECT_EQ(&types.info(45), &unknown);
    EXPECT_FALSE(types.contains(44));
    // A present type: the stored entry itself.
    EXPECT_EQ(&types.info(2), &*types.constFind(2));

    const struct
    {
        int type, length;
        bool valid;
    } lengths[] = {{1, 0, true},   {1, 100000, true}, {1, -5, true}, // negative minimum: maximum ignored
                   {2, 10, true},  {2, 20, true},     {2, 9, false}, {2, 21, false},
                   {3, 10, false}, {3, 0, false}, // maximum 0 below minimum 10: nothing fits
                   {44, 10, false}};
    for (const auto& c : lengths)
        EXPECT_EQ(types.isValidLength(c.type, c.length), c.valid) << c.type << " " << c.length;

    EXPECT_EQ(types.type("SCI"), 2);
    EXPECT_EQ(types.type("sci"), -1);
    EXPECT_EQ(types.type("Unknown packet"), -1);
}

TEST(PacketTypes, DebugOutput)
{
    PacketTypes types;
    types.load(QList<QString>{"7, A\"B, true, 1, 2, ignored"}, nullptr);
    QString one;
    QDebug(&one) << types.info(7) << 1 << 2; // stays in no-space mode
    EXPECT_EQ(one, "TMPacketTypeInfo(Type:7 name:\"A\\\"B\" isGse:true minLength:1 maxLength:2)12");

    types.load(QList<QString>{"1, X, false, -1, -1", "2, Y, false, 3, 4"}, nullptr);
    QString table;
    QDebug(&table) << types;
    const QString x = "TMPacketTypeInfo(Type:1 name:\"X\" isGse:false minLength:-1 maxLength:-1)\n";
    const QString y = "TMPacketTypeInfo(Type:2 name:\"Y\" isGse:false minLength:3 maxLength:4)\n";
    EXPECT_TRUE(table == x + y || table == y + x) << table.toStdString();
}
