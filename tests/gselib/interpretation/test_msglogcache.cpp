#include "gselib/interpretation/msglogcache.h"

#include "gselib/database/telemetrydatabase.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/ccsdspacket.h"
#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/telemetryfile.h"
#include "gselib/packets/timeresolver.h"
#include "plugins/genericdecoder/textdecoders.h"
#include "support/logcapture.h"
#include "support/qtprinters.h"

#include <QRandomGenerator>
#include <cmath>
#include <gtest/gtest.h>
#include <map>
#include <stdexcept>

using namespace GseLib;

namespace {

constexpr int MSG_TYPE = 8;
constexpr int MEB_TYPE = 9;
constexpr int OTHER_TYPE = 3;
constexpr int SCRIPT_DECODER = 77;

// Times that are easy to tell apart: a packet's own times come from its
// index, a time prefix of s seconds is 100 s ticks, timed as s - 5
// (relative) and 2000 + s (Unix).
class TestResolver : public TimeResolver
{
public:
    void reset() override {}
    double ticksToSeconds(long long ticks) const override { return ticks / 100.0; }
    long long secondsToTicks(double s) const override { return static_cast<long long>(s * 100.0); }
    double unixTime(const TMPacket* p) const override { return 1000.0 + p->index; }
    double unixTime(const TMPacket*, long long ticks) const override { return 2000.0 + ticks / 100.0; }
    double relativeTime(const TMPacket* p) const override { return 10.0 * p->index; }
    double relativeTime(const TMPacket*, long long ticks) const override { return ticks / 100.0 - 5.0; }
    long long correctedCount() const override { return 0; }
    bool isSynced() const override { return true; }
    bool handlePacket(const TMPacketPtr&) override { return true; }
    TMPacketPtr t0Packet() const override { return nullptr; }
};

// The items each packet decodes to, for every row it is asked.
using Script = std::map<const TMPacket*, DataItems>;

class ScriptDecoder : public Decoder
{
public:
    explicit ScriptDecoder(const Script* script) : script_(script) {}
    int type() const override { return SCRIPT_DECODER; }
    bool decode(const TmDatabaseRow&, const TMPacket* packet, DataItems& items,
                const CurrentValueTable*) const override
    {
        const auto it = script_->find(packet);
        if (it == script_->end())
            return false;
        items.insert(items.end(), it->second.begin(), it->second.end());
        return true;
    }

private:
    const Script* script_;
};

TmDatabaseRow messageRow(const char* subSystem, const char* name, unsigned id, int packetType)
{
    TmDatabaseRow row;
    row.subSystem = subSystem;
    row.name = name;
    row.key = std::string(subSystem) + ":" + name;
    row.dataId = id;
    row.packetType = uint32_t(packetType);
    row.decodeType = SCRIPT_DECODER;
    return row;
}

class MsgHub : public DataInterpretation
{
public:
    MsgHub(const Script* script, int msgType, bool withMeb)
    {
        if (!database)
            database = std::make_shared<TelemetryDatabase>();
        database->addRow(messageRow("MSG", "TEXT", 100, msgType));
        if (withMeb)
            database->addRow(messageRow("MEB", "MESSAGE_LOG", 101, MEB_TYPE));
        database->addRow(messageRow("MSG", "EXTRA", 102, msgType));
        addDecoder(new ScriptDecoder(script));
    }
};

class MsgHubFactory : public DataInterpretationFactory
{
public:
    const Script* script = nullptr;
    int msgType = MSG_TYPE;
    bool withMeb = true;
    std::unique_ptr<DataInterpretation> make() override
    {
        return std::make_unique<MsgHub>(script, msgType, withMeb);
    }
};

DataItem text(const std::string& s)
{
    DataItem item;
    item.value = s;
    return item;
}

class MsgLogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        factory.script = &script;
        DataInterpretation::init(&factory, false, nullptr, {});
        cache = new TelemetryCache(new TestResolver);
        TelemetryFile::setSharedCache(cache);
    }
    void TearDown() override { TelemetryFile::setSharedCache(nullptr); }

    // Appends a packet of the type; its index is its position in the cache.
    TMPacketPtr add(int type)
    {
        auto p = std::make_shared<CcsdsPacket>(size_t(16), type, true, CcsdsPrimaryHeader::Unsegmented,
                                               int(cache->count()));
        p->timeResolver = cache->timeResolver();
        cache->appendPacket(p);
        return p;
    }
    TMPacketPtr addText(int type, const std::string& s)
    {
        TMPacketPtr p = add(type);
        script[p.get()] = {text(s)};
        return p;
    }
    static QStringList texts(const MsgLogCache& log)
    {
        QStringList out;
        for (const MsgLogLine& line : log.lines())
            out << line.text;
        return out;
    }

    Script script;
    MsgHubFactory factory;
    TelemetryCache* cache = nullptr;
};

// The window search as the walk over every line, for comparison.
MsgLogLine walk(const std::deque<MsgLogLine>& lines, uint32_t from, uint32_t to, const QRegularExpression& re,
                bool* found, bool last)
{
    *found = false;
    MsgLogLine result;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].pktIndex < from || lines[i].pktIndex > to)
            continue;
        if (lines[i].contains(re)) {
            *found = true;
            result = lines[i];
            if (!last)
                return result;
        }
        if (!lines[i].hasOwnTime && i > 0 && lines[i - 1].concat(lines[i]).contains(re)) {
            *found = true;
            result = lines[i - 1].concat(lines[i]);
            if (!last)
                return result;
        }
    }
    return result;
}

} // namespace

// Runs first: no hub has been built in this process yet.
TEST(MsgLogCache, RefreshWithoutAHubThrowsAndBuildsLater)
{
    MsgLogCache log;
    EXPECT_TRUE(log.rows().isEmpty());
    EXPECT_EQ(log.mnemonics(), (QList<QString>{"MSG:TEXT", "MEB:MESSAGE_LOG"}));
    EXPECT_THROW(log.refresh(), std::runtime_error);
    Script script;
    MsgHubFactory factory;
    factory.script = &script;
    DataInterpretation::init(&factory, false, nullptr, {});
    log.refresh();
    ASSERT_EQ(log.rows().size(), 2);
    EXPECT_EQ(log.rows()[0].key, "MSG:TEXT");
    EXPECT_EQ(log.rows()[1].key, "MEB:MESSAGE_LOG");
}

TEST(MsgLogLine, DefaultAndPatterns)
{
    const MsgLogLine line;
    EXPECT_EQ(line.pktIndex, 0u);
    EXPECT_EQ(line.relativeTime, 0.0);
    EXPECT_EQ(line.unixTime, 0.0);
    EXPECT_TRUE(line.text.isEmpty());
    EXPECT_FALSE(line.hasOwnTime);
    EXPECT_EQ(LINESPLIT.pattern(), "\n|\r\n|\r");
    EXPECT_EQ(MSG_LOG_LINE_TIME_REGEX.pattern(), "^(\\d+\\.?\\d+):.*$");
    EXPECT_EQ(QString("a\r\nb\rc\nd\n\ne").split(LINESPLIT, Qt::SkipEmptyParts),
              (QStringList{"a", "b", "c", "d", "e"}));
}

TEST_F(MsgLogTest, LineTimesAndMessageByPrefix)
{
    const TMPacketPtr p = add(MSG_TYPE);
    add(MSG_TYPE);
    const TMPacketPtr q = add(MSG_TYPE); // index 2: relative 20, Unix 1002
    struct Case
    {
        QString text;
        bool own;
        double seconds; // of the prefix, when own
        QString msg;
    };
    const Case cases[] = {
        {"12.5: pump on", true, 12.5, "pump on"},
        {"75:abc", true, 75, ""},           // own time, but no ": "
        {"5: x", false, 0, "5: x"},         // one digit is no prefix
        {"1.5: a: b", true, 1.5, "a: b"},   // after the first ": "
        {"007: hi", true, 7, "hi"},
        {"12.: x", false, 0, "12.: x"},     // a point needs a digit after it
        {"1.2.3: x", false, 0, "1.2.3: x"}, // at most one point
        {" 12: x", false, 0, " 12: x"},
        {"12 : x", false, 0, "12 : x"},
        {"", false, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        const MsgLogLine line(q, c.text);
        EXPECT_EQ(line.pktIndex, 2u);
        EXPECT_EQ(line.text, c.text);
        EXPECT_EQ(line.hasOwnTime, c.own);
        EXPECT_EQ(line.msg(), c.msg);
        EXPECT_DOUBLE_EQ(line.relativeTime, c.own ? c.seconds - 5.0 : 20.0);
        EXPECT_DOUBLE_EQ(line.unixTime, c.own ? 2000.0 + c.seconds : 1002.0);
    }
    // A prefix too large for any clock's ticks keeps the packet's times.
    const MsgLogLine huge(p, "99999999999999999999999999999999999: boom");
    EXPECT_TRUE(huge.hasOwnTime);
    EXPECT_EQ(huge.msg(), "boom");
    EXPECT_EQ(huge.relativeTime, 0.0);
    EXPECT_EQ(huge.unixTime, 1000.0);
    // No packet, or a packet without resolver: no times, no crash.
    EXPECT_EQ(MsgLogLine(nullptr, "12: x").relativeTime, 0.0);
    auto bare = std::make_shared<CcsdsPacket>(size_t(16), 8, true, CcsdsPrimaryHeader::Unsegmented, 4);
    const MsgLogLine unresolved(bare, "12: x");
    EXPECT_EQ(unresolved.pktIndex, 4u);
    EXPECT_EQ(unresolved.unixTime, 0.0);
}

TEST_F(MsgLogTest, ContainsConcatAndSetTime)
{
    const TMPacketPtr p = add(MSG_TYPE);
    const MsgLogLine line(p, "12.5:   Valve open  ");
    EXPECT_TRUE(line.contains(QRegularExpression("^Valve open$"))); // trimmed message
    EXPECT_FALSE(line.contains(QRegularExpression("12")));          // the prefix is no part of it
    EXPECT_TRUE(line.contains(QString("12.5"), true));              // the text is
    EXPECT_FALSE(line.contains(QString("valve"), true));
    EXPECT_TRUE(line.contains(QString("valve"), false));
    EXPECT_FALSE(line.contains(QRegularExpression("(")));           // invalid: no match
    MsgLogLine plain(p, "closed");
    plain.setTime(3.25);
    EXPECT_EQ(plain.relativeTime, 3.25);
    EXPECT_EQ(plain.unixTime, 1000.0);
    const MsgLogLine joined = line.concat(plain);
    EXPECT_EQ(joined.text, "12.5:   Valve open  closed");
    EXPECT_EQ(joined.relativeTime, line.relativeTime);
    EXPECT_TRUE(joined.hasOwnTime);
    EXPECT_EQ(joined.msg(), "  Valve open  closed");
}

TEST_F(MsgLogTest, LinesJoinAcrossPackets)
{
    addText(MSG_TYPE, "12.5: pump on\nvalve");
    add(OTHER_TYPE);
    addText(MSG_TYPE, "closed\n");
    addText(MSG_TYPE, "first\r"); // a final CR leaves the line open
    addText(MSG_TYPE, "second\r\nthird\n\n\r\n");
    addText(MSG_TYPE, "13: own\n14.5: also\nplain");
    MsgLogCache log;
    log.refresh();
    EXPECT_EQ(texts(log), (QStringList{"12.5: pump on", "valveclosed", "firstsecond", "third", "13: own",
                                       "14.5: also", "plain"}));
    EXPECT_TRUE(log.lastLineOpen());
    const auto& l = log.lines();
    EXPECT_EQ(l[0].pktIndex, 0u);
    EXPECT_DOUBLE_EQ(l[0].relativeTime, 7.5);
    EXPECT_DOUBLE_EQ(l[0].unixTime, 2012.5);
    // Joined: packet and Unix time of its start, relative time of the line before.
    EXPECT_EQ(l[1].pktIndex, 0u);
    EXPECT_EQ(l[1].unixTime, 1000.0);
    EXPECT_DOUBLE_EQ(l[1].relativeTime, 7.5);
    EXPECT_EQ(l[2].pktIndex, 3u);
    EXPECT_DOUBLE_EQ(l[2].relativeTime, 7.5);
    EXPECT_DOUBLE_EQ(l[4].relativeTime, 8.0);
    EXPECT_DOUBLE_EQ(l[6].relativeTime, 9.5);
    EXPECT_EQ(l[6].unixTime, 1005.0);
}

TEST_F(MsgLogTest, NulPiecesAndNulEndsCloseTheLine)
{
    addText(MSG_TYPE, "abc");
    addText(MSG_TYPE, std::string("\0\0", 2)); // dropped, closes "abc"
    addText(MSG_TYPE, "def\n");
    addText(MSG_TYPE, std::string("hello\0", 6)); // a final NUL closes the line
    addText(MSG_TYPE, "world");
    addText(MSG_TYPE, "\n"); // no piece: "world" stays open
    addText(MSG_TYPE, "!\n");
    addText(MSG_TYPE, "");
    MsgLogCache log;
    log.refresh();
    EXPECT_EQ(texts(log), (QStringList{"abc", "def", QString::fromUtf8("hello\0", 6), "world!"}));
    EXPECT_FALSE(log.lastLineOpen());
}

TEST_F(MsgLogTest, ItemsMakeTextInOrderWithoutSeparator)
{
    DataItem d;
    d.value = 2.5;
    DataItem s;
    s.value = -3ll;
    DataItem u;
    u.value = 18446744073709551615ull;
    DataItem big;
    big.value = -std::ldexp(1.0, 70); // exact in binary: every digit printed
    const TMPacketPtr p = add(MSG_TYPE);
    script[p.get()] = {d, s, u, text(" ok\n"), big, text("\n")};
    MsgLogCache log;
    log.refresh();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log.line(0).text, "2.500000-318446744073709551615 ok");
    EXPECT_EQ(log.line(1).text, "-1180591620717411303424.000000"); // Python: str(2**70)
    EXPECT_THROW(log.line(2), std::out_of_range);
}

TEST_F(MsgLogTest, RowsInOrderMissingNamesLoggedCopiesWithoutFunctions)
{
    factory.withMeb = false;
    DataInterpretation::init(&factory, false, nullptr, {});
    TestSupport::LogCapture capture;
    MsgLogCache log;
    EXPECT_EQ(capture.texts("", WARN), QStringList{"MsgLogCache mnemonic does not exist: MEB:MESSAGE_LOG"});
    ASSERT_EQ(capture.messages().size(), 1);
    EXPECT_TRUE(capture.messages()[0].component.isEmpty());
    ASSERT_EQ(log.rows().size(), 1);
    log.setMnemonics({"NO:SUCH", "MSG:EXTRA"});
    EXPECT_EQ(capture.count("MsgLogCache mnemonic does not exist: NO:SUCH", "", WARN), 1);
    ASSERT_EQ(log.rows().size(), 2);
    EXPECT_EQ(log.rows()[1].key, "MSG:EXTRA");
    for (const TmDatabaseRow& row : log.rows()) {
        EXPECT_EQ(row.engTransferFunc, nullptr);
        EXPECT_EQ(row.sciTransferFunc, nullptr);
    }
    // Both rows decode each message packet, in row order.
    addText(MSG_TYPE, "a");
    log.refresh();
    EXPECT_EQ(texts(log), QStringList{"aa"});
    // A new hub asks again for every name, once.
    capture.clear();
    DataInterpretation::init(&factory, false, nullptr, {});
    log.refresh();
    EXPECT_EQ(capture.count("does not exist", "", WARN), 2);
    EXPECT_EQ(log.rows().size(), 2);
}

TEST_F(MsgLogTest, RefreshReadsOnAndLinesKeepTheirAddresses)
{
    addText(MSG_TYPE, "one\ntw");
    MsgLogCache log;
    log.refresh();
    ASSERT_EQ(log.size(), 2u);
    const MsgLogLine* first = &log.line(0);
    const MsgLogLine* open = &log.line(1);
    log.refresh(); // nothing new
    EXPECT_EQ(log.size(), 2u);
    addText(MSG_TYPE, "o\n");
    for (int i = 0; i < 2000; ++i)
        addText(MSG_TYPE, "line " + std::to_string(i) + "\n");
    log.refresh();
    ASSERT_EQ(log.size(), 2002u);
    EXPECT_EQ(&log.line(0), first);
    EXPECT_EQ(&log.line(1), open);
    EXPECT_EQ(open->text, "two");
    EXPECT_EQ(log.line(2001).text, "line 1999");
    log.reload();
    EXPECT_EQ(log.size(), 2002u);
    log.resetState();
    EXPECT_EQ(log.size(), 0u);
}

TEST_F(MsgLogTest, ANewHubOrArchiveStartsAgain)
{
    addText(MSG_TYPE, "a\n");
    addText(MEB_TYPE, "b\n");
    MsgLogCache log;
    log.refresh();
    EXPECT_EQ(texts(log), (QStringList{"a", "b"}));

    // Rebuilt hub whose message row names another packet type.
    factory.msgType = OTHER_TYPE;
    DataInterpretation::init(&factory, false, nullptr, {});
    addText(OTHER_TYPE, "c\n");
    log.refresh();
    EXPECT_EQ(texts(log), (QStringList{"b", "c"}));
    EXPECT_EQ(log.rows()[0].packetType, uint32_t(OTHER_TYPE));

    // Another archive: only its packets, read from its first.
    script.clear();
    cache = new TelemetryCache(new TestResolver);
    TelemetryFile::setSharedCache(cache);
    addText(MEB_TYPE, "new\n");
    log.refresh();
    EXPECT_EQ(texts(log), QStringList{"new"});
    EXPECT_EQ(log.line(0).pktIndex, 0u);
    // Its cursor follows the new cache's removals.
    cache->setMaxPackets(1, 1);
    addText(MEB_TYPE, "later\n");
    EXPECT_EQ(cache->count(), 1u);
    EXPECT_TRUE(log.cursor()->isBeforeFirst());
    log.refresh();
    EXPECT_EQ(texts(log), (QStringList{"new", "later"}));
}

TEST_F(MsgLogTest, TheProcessWideInstance)
{
    addText(MSG_TYPE, "SEB Test = 1\n");
    MsgLogCache* log = MsgLogCache::getInstance();
    EXPECT_EQ(MsgLogCache::getInstance(), log);
    log->refresh();
    ASSERT_EQ(log->size(), 1u);
    QRegularExpression expression("SEB Test = (0|1)");
    bool found = false;
    const MsgLogLine line = log->search(0u, 0u, expression, &found, true);
    EXPECT_TRUE(found);
    EXPECT_EQ(line.msg(), "SEB Test = 1");
}

TEST_F(MsgLogTest, SearchByTime)
{
    addText(MSG_TYPE, "10: start\n20: pump\non\n30: valve\n40: done\n");
    MsgLogCache log;
    bool found = true;
    const QRegularExpression pump("pump");
    EXPECT_EQ(log.search(1.0, pump, &found).relativeTime, 1.0); // empty list
    EXPECT_FALSE(found);
    log.refresh();
    // Relative times 5, 15, 15 (joined), 25, 35.
    MsgLogLine r = log.search(12.0, pump, &found);
    EXPECT_TRUE(found);
    EXPECT_EQ(r.text, "20: pump");
    r = log.search(15.0, QRegularExpression("pumpon"), &found);
    EXPECT_TRUE(found);
    EXPECT_EQ(r.text, "20: pumpon"); // the unstamped line joined to the one before
    r = log.search(16.0, pump, &found);
    EXPECT_FALSE(found);
    EXPECT_EQ(r.relativeTime, 16.0);
    EXPECT_TRUE(r.text.isEmpty());
    r = log.search(100.0, QRegularExpression("."), &found);
    EXPECT_FALSE(found);
    EXPECT_EQ(r.relativeTime, 100.0);
    EXPECT_EQ(log.search(-1.0, QRegularExpression("done"), nullptr).text, "40: done");
}

TEST_F(MsgLogTest, SearchByIndexWindow)
{
    addText(MSG_TYPE, "10: Laser EBT = 0\n");
    addText(MSG_TYPE, "20: Laser EBT = 1\nLaser \n");
    addText(MSG_TYPE, "EBT = 0\n");
    addText(MSG_TYPE, "noise\n");
    addText(MSG_TYPE, "90: Laser EBT = 1\n");
    MsgLogCache log;
    log.refresh();
    ASSERT_EQ(log.size(), 6u);
    QRegularExpression re("Laser EBT = (0|1)");
    bool found = false;
    EXPECT_EQ(log.search(0u, 4u, re, &found, false).text, "10: Laser EBT = 0");
    EXPECT_TRUE(found);
    EXPECT_EQ(log.search(0u, 4u, re, &found, true).text, "90: Laser EBT = 1");
    EXPECT_EQ(log.search(1u, 1u, re, &found, false).text, "20: Laser EBT = 1");
    // With last set, an unstamped line's join with the line before it wins
    // when it matches, though that line matched alone.
    EXPECT_EQ(log.search(1u, 1u, re, &found, true).text, "20: Laser EBT = 1Laser ");
    // "EBT = 0" of packet 2 matches only joined to the line before it, which
    // lies outside the window; the join keeps that line's packet.
    const MsgLogLine joined = log.search(2u, 3u, re, &found, false);
    EXPECT_TRUE(found);
    EXPECT_EQ(joined.text, "Laser EBT = 0");
    EXPECT_EQ(joined.pktIndex, 1u);
    const MsgLogLine none = log.search(4u, 3u, re, &found, true);
    EXPECT_FALSE(found);
    EXPECT_TRUE(none.text.isEmpty());
    log.search(5u, 100u, re, &found, true);
    EXPECT_FALSE(found);
    EXPECT_TRUE(log.search(0u, 0u, re, nullptr, true).text.endsWith("= 0"));
}

TEST_F(MsgLogTest, WindowSearchAgreesWithTheFullWalk)
{
    // Random lines, some without own time, over packets in order and then
    // with indexes that fall back (two archives' worth of indexes).
    QRandomGenerator rng(11);
    const char* words[] = {"alpha", "beta", "GC EBT = 1", "Heater Test = 0", "x"};
    for (int round = 0; round < 2; ++round) {
        script.clear();
        cache = new TelemetryCache(new TestResolver);
        TelemetryFile::setSharedCache(cache);
        for (int i = 0; i < 300; ++i) {
            const bool stamped = rng.bounded(3) != 0;
            std::string s = stamped ? std::to_string(10 + i) + ": " : std::string();
            s += words[rng.bounded(5)];
            s += rng.bounded(4) == 0 ? "" : "\n";
            const TMPacketPtr p = addText(MSG_TYPE, s);
            if (round == 1)
                p->index = int(rng.bounded(60)); // the script knows packets by address
        }
        MsgLogCache log;
        log.refresh();
        ASSERT_GT(log.size(), 150u);
        const QRegularExpression patterns[] = {QRegularExpression("EBT = (0|1)"), QRegularExpression("^x$"),
                                               QRegularExpression("alphabeta"), QRegularExpression("none")};
        for (int k = 0; k < 400; ++k) {
            const uint32_t from = rng.bounded(320);
            const uint32_t to = rng.bounded(320);
            const bool last = rng.bounded(2) != 0;
            const QRegularExpression& re = patterns[k % 4];
            bool foundA = false;
            bool foundB = false;
            const MsgLogLine a = log.search(from, to, re, &foundA, last);
            const MsgLogLine b = walk(log.lines(), from, to, re, &foundB, last);
            SCOPED_TRACE(testing::Message() << "round " << round << " window " << from << ".." << to);
            EXPECT_EQ(foundA, foundB);
            EXPECT_EQ(a.text, b.text);
            EXPECT_EQ(a.pktIndex, b.pktIndex);
        }
    }
}

namespace {

// The byte at the row's offset, for an applicability condition.
class ByteDecoder : public Decoder
{
public:
    int type() const override { return 78; }
    bool decode(const TmDatabaseRow& row, const TMPacket* packet, DataItems& items,
                const CurrentValueTable*) const override
    {
        if (row.offsets.empty() || row.offsets[0] >= packet->bytes->size())
            return false;
        DataItem item;
        item.value = (unsigned long long)(*packet->bytes)[row.offsets[0]];
        items.push_back(item);
        return true;
    }
};

// Message text read by the generic text decoder: type 8 packets carry a flag
// byte that must be 1, then NUL-padded text; type 9 packets carry text only.
class GenericHub : public DataInterpretation
{
public:
    GenericHub()
    {
        if (!database)
            database = std::make_shared<TelemetryDatabase>();
        TmDatabaseRow flag = messageRow("MSG", "FLAG", 300, MSG_TYPE);
        flag.decodeType = 78;
        flag.offsets = {6};
        TmDatabaseRow msg = messageRow("MSG", "TEXT", 100, MSG_TYPE);
        msg.decodeType = 7;
        msg.offsets = {7};
        msg.decodeIds = {7, 0, 0, 0};
        msg.applyWhen.addCondition(300, Range<long long>(1, 1));
        TmDatabaseRow meb = messageRow("MEB", "MESSAGE_LOG", 101, MEB_TYPE);
        meb.decodeType = 7;
        meb.offsets = {6};
        meb.decodeIds = {6, 0, 0, 0};
        database->addRow(flag);
        database->addRow(msg);
        database->addRow(meb);
        addDecoder(new StringDecoder);
        addDecoder(new ByteDecoder);
    }
};

class GenericHubFactory : public DataInterpretationFactory
{
public:
    std::unique_ptr<DataInterpretation> make() override { return std::make_unique<GenericHub>(); }
};

} // namespace

TEST_F(MsgLogTest, EndToEndThroughTheGenericTextDecoder)
{
    GenericHubFactory generic;
    DataInterpretation::init(&generic, false, nullptr, {});
    auto packet = [&](int type, const std::string& data) {
        const TMPacketPtr p = add(type);
        p->bytes->resize(6); // the header
        p->bytes->insert(p->bytes->end(), data.begin(), data.end());
        p->resize(p->bytes->size() + 8); // NUL padding ends the text
    };
    packet(MSG_TYPE, std::string("\x01") + "12.5: pump on\nvalve");
    packet(MSG_TYPE, std::string("\x00", 1) + "ignored\n"); // its condition fails
    packet(OTHER_TYPE, "noise\n");
    packet(MEB_TYPE, "closed\n");
    MsgLogCache log;
    log.refresh();
    EXPECT_EQ(texts(log), (QStringList{"12.5: pump on", "valveclosed"}));
    EXPECT_DOUBLE_EQ(log.line(0).relativeTime, 7.5);
    EXPECT_EQ(log.line(1).pktIndex, 0u);
}
