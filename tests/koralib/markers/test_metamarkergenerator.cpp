#include "koralib/markers/metamarkergenerator.h"

#include "markerarchive.h"

#include <QJsonDocument>

using KorGse::JsonBasedMetaMarkerGenerator;
using KorGse::MetaMarker;
using MarkerTest::MemoryArchive;

namespace {

// One packet of a scenario: a marker id, or message text, at a relative time.
struct Event
{
    enum Kind { Marker, Message, Other };
    Kind kind;
    double t;
    uint32_t id = 0;
    std::string text;
};

Event mk(uint32_t id, double t)
{
    return {Event::Marker, t, id, {}};
}
Event msg(const std::string& text, double t)
{
    return {Event::Message, t, 0, text};
}
Event other(double t)
{
    return {Event::Other, t, 0, {}};
}

using Intervals = std::vector<std::pair<double, double>>;

class MetaMarkerGeneratorTest : public MarkerTest::SuiteTest
{
protected:
    void SetUp() override { ASSERT_TRUE(defs->generated); }
    void TearDown() override { GseLib::TelemetryFile::setSharedCache(nullptr); }

    // Feeds the events, as the cache does, to a generator of the rule given
    // by its conditions; the provisional end is the last event's time.
    Intervals run(const char* starts, const char* ends, const std::vector<Event>& events,
                  std::unique_ptr<JsonBasedMetaMarkerGenerator>* keep = nullptr)
    {
        const QByteArray json = QByteArray("{\"tids\":\"1\",\"meta_marker_id\":60000,\"meta_marker_text\":\"t\","
                                           "\"start_conditions\":")
                                + starts + ",\"end_conditions\":" + ends + "}";
        const QJsonDocument doc = QJsonDocument::fromJson(json);
        EXPECT_TRUE(doc.isObject()) << json.constData();
        MemoryArchive archive;
        std::vector<GseLib::TMPacketPtr> packets;
        for (const Event& e : events) {
            if (e.kind == Event::Marker)
                packets.push_back(archive.addMarker(e.id, e.t));
            else if (e.kind == Event::Message)
                packets.push_back(archive.addMessage(e.text, e.t));
            else
                packets.push_back(archive.add(22, std::string(16, '\0'), e.t));
        }
        auto gen = std::make_unique<JsonBasedMetaMarkerGenerator>(doc.object());
        const double newest = events.empty() ? 0.0 : events.back().t;
        for (const auto& p : packets)
            gen->ingestPkt(p, newest);
        Intervals out;
        for (const MetaMarker& m : gen->metaMarkers()) {
            EXPECT_EQ(m.metaMarkerId, 60000);
            EXPECT_EQ(m.msg, "t");
            EXPECT_EQ(m.index, 0);
            out.emplace_back(m.startRelativeTimeInSecs, m.endRelativeTimeInSecs);
        }
        if (keep)
            *keep = std::move(gen);
        return out;
    }
};

const char* const MARKER100 = R"([{"type":"marker","marker":100,"offset_in_seconds":0}])";
const char* const NEXT = R"([{"type":"next_marker"}])";

TEST_F(MetaMarkerGeneratorTest, MarkerRules)
{
    const std::vector<Event> seq{mk(100, 10), mk(7, 20), mk(100, 30), mk(100, 40)};
    struct Case
    {
        const char* name;
        const char* starts;
        const char* ends;
        std::vector<Event> events;
        Intervals want;
    };
    const Case cases[] = {
        {"next marker; the last 100 only closes", MARKER100, NEXT, seq, {{10, 20}, {30, 40}}},
        {"duration 5", MARKER100, R"([{"type":"duration","number_of_seconds":5}])", seq,
         {{10, 15}, {30, 35}, {40, 45}}},
        {"duration -5 reaches back", MARKER100, R"([{"type":"duration","number_of_seconds":-5}])", seq,
         {{5, 10}, {25, 30}, {35, 40}}},
        {"next marker passed over on the opening packet",
         MARKER100, R"([{"type":"next_marker"},{"type":"duration","number_of_seconds":5}])", seq,
         {{10, 15}, {30, 35}, {40, 45}}},
        {"start offset: an end before it does not close",
         R"([{"type":"marker","marker":100,"offset_in_seconds":2.5}])",
         R"([{"type":"marker","marker":7,"offset_in_seconds":0}])", {mk(100, 10), mk(7, 11), mk(7, 13)},
         {{12.5, 13}}},
        {"the opening packet never closes through its own marker",
         MARKER100, R"([{"type":"marker","marker":100,"offset_in_seconds":0}])", {mk(100, 10), mk(100, 20)},
         {{10, 20}}},
        {"end offset", MARKER100, R"([{"type":"marker","marker":7,"offset_in_seconds":-3}])",
         {mk(100, 10), mk(7, 12), mk(7, 14)}, {{10, 11}}},
        {"still open: provisional end", MARKER100, NEXT, {mk(100, 10), other(12), other(17)}, {{10, 17}}},
        {"ids as 32-bit values", R"([{"type":"marker","marker":4294967295,"offset_in_seconds":0}])", NEXT,
         {mk(0xFFFFFFFFu, 1), mk(1, 2)}, {{1, 2}}},
        {"-1 is 0xFFFFFFFF", R"([{"type":"marker","marker":-1.7,"offset_in_seconds":0}])", NEXT,
         {mk(0xFFFFFFFFu, 1), mk(1, 2)}, {{1, 2}}},
        {"beyond 32 bits: nothing", R"([{"type":"marker","marker":4294967296,"offset_in_seconds":0}])", NEXT,
         {mk(0, 1), mk(1, 2)}, {}},
        {"below -2^31: nothing", R"([{"type":"marker","marker":-2147483649,"offset_in_seconds":0}])", NEXT,
         {mk(0x7FFFFFFFu, 1), mk(0xFFFFFFFFu, 2), mk(1, 3)}, {}},
        {"missing offset never holds", R"([{"type":"marker","marker":100}])", NEXT, seq, {}},
        {"duration without seconds never closes", MARKER100, R"([{"type":"duration"}])", seq, {{10, 40}}},
        {"first holding start condition wins",
         R"([{"type":"marker","marker":7,"offset_in_seconds":1},{"type":"marker","marker":100,"offset_in_seconds":0}])",
         R"([{"type":"duration","number_of_seconds":1}])", seq, {{10, 11}, {21, 22}, {30, 31}, {40, 41}}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(run(c.starts, c.ends, c.events), c.want) << c.name;
}

TEST_F(MetaMarkerGeneratorTest, MessageRules)
{
    auto start = [](const char* regex, bool cs, double offset) {
        return QByteArray("[{\"type\":\"message\",\"regex\":\"") + regex + "\",\"case_sensitive\":"
               + (cs ? "true" : "false") + ",\"offset_in_seconds\":" + QByteArray::number(offset) + "}]";
    };
    const char* dur = R"([{"type":"duration","number_of_seconds":1}])";
    struct Case
    {
        const char* name;
        QByteArray starts;
        const char* ends;
        std::vector<Event> events;
        Intervals want;
    };
    const Case cases[] = {
        {"lower-case pattern, any case", start("pump on", false, 0), dur, {msg("x\nPUMP ON\n", 5)}, {{5, 6}}},
        {"case-sensitive pattern", start("pump on", true, 0), dur, {msg("PUMP ON", 5)}, {}},
        {"the first matching line gives the time", start("match", false, 0), dur,
         {msg("first\n123.5: match here\nsecond match", 5)}, {{123.5, 124.5}}},
        {"a line without its own time: the packet's", start("match", false, 0.5), dur,
         {msg("first\r\nsecond match\r12.0: third match", 5)}, {{5.5, 6.5}}},
        {"invalid pattern never holds", start("(", false, 0), dur, {msg("(", 5)}, {}},
        {"message end before the start does not close", start("go", false, 5),
         R"([{"type":"message","regex":"stop","case_sensitive":false,"offset_in_seconds":0}])",
         {msg("go", 10), msg("stop", 12), msg("stop", 16)}, {{15, 16}}},
        {"a message end may close on the opening packet", start("go", false, 0),
         R"([{"type":"message","regex":"stop","case_sensitive":false,"offset_in_seconds":1}])",
         {msg("go\nstop", 10)}, {{10, 11}}},
        {"case_sensitive of another type never holds",
         R"([{"type":"message","regex":"go","case_sensitive":"no","offset_in_seconds":0}])", dur,
         {msg("go", 1)}, {}},
        {"markers do not hold message conditions", start("100", false, 0), dur, {mk(100, 1)}, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(run(c.starts.constData(), c.ends, c.events), c.want) << c.name;
}

// Announcements as the instrument writes them: lines that carry their own
// time, so the message log never joins them to the line before.
Event ann(const std::string& lines, double t)
{
    std::string text;
    size_t from = 0;
    while (from <= lines.size()) {
        const size_t nl = std::min(lines.find('\n', from), lines.size());
        text += "1000.0: " + lines.substr(from, nl - from) + "\n";
        from = nl + 1;
    }
    return msg(text.substr(0, text.size() - 1), t);
}

TEST_F(MetaMarkerGeneratorTest, TestModesFromTheMessageLog)
{
    const char* sebOn = R"([{"type":"marker","marker":100,"offset_in_seconds":0,"seb_test_enabled":true}])";
    const char* sebOff = R"([{"type":"marker","marker":100,"offset_in_seconds":0,"seb_test_enabled":false}])";
    const char* dur = R"([{"type":"duration","number_of_seconds":1}])";
    const std::vector<Event> seq{mk(100, 1), ann("SEB Test = 1", 2), mk(100, 3), other(3.5),
                                 ann("x\nSEB Test = 0", 5), mk(100, 6)};
    EXPECT_EQ(run(sebOn, dur, seq), (Intervals{{3, 4}}));
    EXPECT_EQ(run(sebOff, dur, seq), (Intervals{{1, 2}, {6, 7}})) << "false before any announcement";
    // A second "=" makes the line change nothing; the last line of the window wins.
    EXPECT_EQ(run(sebOn, dur, {ann("SEB Test = 1", 2), ann("SEB Test = 0 = 0", 3), mk(100, 4)}),
              (Intervals{{4, 5}}));
    EXPECT_EQ(run(sebOn, dur, {ann("SEB Test = 0\nSEB Test = 1", 2), mk(100, 4)}), (Intervals{{4, 5}}));
    EXPECT_EQ(run(sebOn, dur, {ann("SEB Test = 1\nSEB Test = 0", 2), mk(100, 4)}), Intervals{});
    // The window reaches back to the previous message packet: a line of it
    // seen again changes nothing.
    EXPECT_EQ(run(sebOn, dur, {ann("SEB Test = 1", 1), ann("unrelated", 2), mk(100, 3)}), (Intervals{{3, 4}}));
    // A line without its own time is also tried joined to the line before it;
    // the joined line reads as its second line alone: the later announcement.
    EXPECT_EQ(run(sebOn, dur, {ann("SEB Test = 1", 1), msg("SEB Test = 0", 2), mk(100, 3)}), Intervals{});
    // Every flag present must match; absent ones impose nothing.
    const char* both =
        R"([{"type":"marker","marker":100,"offset_in_seconds":0,"heater_test_enabled":true,"gc_ebt_test_enabled":false}])";
    EXPECT_EQ(run(both, dur, {ann("Heater Test = 1\nGC EBT = 1", 1), mk(100, 2), ann("GC EBT = 0", 3), mk(100, 4)}),
              (Intervals{{4, 5}}));
    std::unique_ptr<JsonBasedMetaMarkerGenerator> gen;
    run(sebOn, dur,
        {ann("SEB Test = 1\nHigh Voltage Test = 1\nLaser EBT = 1\nGC EBT = 1\nHeater Test = 1", 1),
         ann("Laser EBT = 0\nHigh Voltage Test = 2", 2), mk(1, 3), ann("GC EBT = 0", 3.5)},
        &gen);
    EXPECT_EQ(gen->testModes(), (std::array<bool, 5>{true, true, false, false, true}))
        << "a value other than 0 or 1 is no announcement";
}

// The message log tries a line without its own time also joined to the line
// before it, so an announcement followed by another line is found as the
// joined line ("SEB Test = 1starting"): it must announce what the line alone
// does, however the instrument packed its lines into packets.
TEST_F(MetaMarkerGeneratorTest, AnAnnouncementReadsTheSameFollowedByALine)
{
    const char* sebOn = R"([{"type":"marker","marker":100,"offset_in_seconds":0,"seb_test_enabled":true}])";
    const char* dur = R"([{"type":"duration","number_of_seconds":1}])";
    const Intervals on{{5, 6}};
    const Intervals off{};
    struct Case
    {
        const char* name;
        std::vector<Event> before; // message packets before the marker 100 at 5
        Intervals want;
    };
    const Case cases[] = {
        {"alone", {msg("SEB Test = 1", 1)}, on},
        {"alone, own time", {ann("SEB Test = 1", 1)}, on},
        {"followed by a line", {msg("SEB Test = 1\nstarting", 1)}, on},
        {"own time, followed by a line", {msg("12.0: SEB Test = 1\nstarting", 1)}, on},
        {"after a line, followed by a line", {msg("boot\nSEB Test = 1\nstarting", 1)}, on},
        {"followed by a line in the next packet", {msg("SEB Test = 1", 1), msg("starting", 2)}, on},
        {"followed by two lines", {msg("SEB Test = 1\nstarting\nready", 1)}, on},
        {"the line after holds a \"=\" of its own", {msg("SEB Test = 1\nrate = 5", 1)}, on},
        {"switched off, followed by a line", {ann("SEB Test = 1", 1), msg("SEB Test = 0\nidle", 2)}, off},
        {"announced twice, the later 0 wins", {msg("SEB Test = 1\nSEB Test = 0", 1)}, off},
        {"announced twice, the later 1 wins", {msg("SEB Test = 0\nSEB Test = 1", 1)}, on},
        {"announced twice and followed by a line", {msg("SEB Test = 0\nSEB Test = 1\nok", 1)}, on},
        {"announced twice, the second joined", {msg("SEB Test = 1\nSEB Test = 0\nok", 1)}, off},
        {"twice in two packets", {msg("SEB Test = 1\nok", 1), msg("SEB Test = 0\nok", 2)}, off},
        {"twice in two packets, back on", {msg("SEB Test = 0\nok", 1), msg("SEB Test = 1\nok", 2)}, on},
        {"cut at a line end, read joined", {msg("SEB Test =\n 1", 1)}, on},
        {"a second \"=\" in its own line announces nothing", {msg("ok\nSEB Test = 1 = 1\nnext", 1)}, off},
        {"a second \"=\" keeps an earlier state", {msg("SEB Test = 1", 1), msg("SEB Test = 0 = 0\nx", 2)}, on},
    };
    for (const Case& c : cases) {
        std::vector<Event> events = c.before;
        events.push_back(mk(100, 5));
        EXPECT_EQ(run(sebOn, dur, events), c.want) << c.name;
    }
    // Every test mode reads the same way.
    std::unique_ptr<JsonBasedMetaMarkerGenerator> gen;
    run(sebOn, dur,
        {msg("High Voltage Test = 1\nstep\nLaser EBT = 1\nstep\nGC EBT = 1\nstep\nHeater Test = 1\nstep", 1),
         mk(1, 2)},
        &gen);
    EXPECT_EQ(gen->testModes(), (std::array<bool, 5>{false, true, true, true, true}));
}

TEST_F(MetaMarkerGeneratorTest, IdTextAndProvisionalEnd)
{
    MemoryArchive archive;
    const auto rule = [](const char* id) {
        return QJsonDocument::fromJson(QByteArray("{\"meta_marker_id\":") + id
                                       + ",\"meta_marker_text\":\"\\u00e9t\\u00e9\",\"start_conditions\":"
                                       + MARKER100 + ",\"end_conditions\":" + NEXT + "}")
            .object();
    };
    EXPECT_EQ(JsonBasedMetaMarkerGenerator(rule("50000.9")).metaMarkerId(), 50000);
    EXPECT_EQ(JsonBasedMetaMarkerGenerator(rule("1e12")).metaMarkerId(), 0);
    JsonBasedMetaMarkerGenerator gen(rule("60001"));
    gen.ingestPkt(archive.addMarker(100, 10), 50.0);
    gen.ingestPkt(archive.add(22, std::string(4, '\0'), 11), 60.0);
    ASSERT_EQ(gen.metaMarkers().size(), 1);
    EXPECT_EQ(gen.metaMarkers()[0].endRelativeTimeInSecs, 50.0) << "never revised while open";
    EXPECT_EQ(gen.metaMarkers()[0].msg, "\xc3\xa9t\xc3\xa9");
    gen.ingestPkt(archive.addMarker(3, 12), 60.0);
    EXPECT_EQ(gen.metaMarkers()[0].endRelativeTimeInSecs, 12.0);
    gen.ingestPkt(nullptr, 0.0);
    EXPECT_EQ(gen.metaMarkers().size(), 1);
}

TEST_F(MetaMarkerGeneratorTest, ExtractMatchedMessage)
{
    MemoryArchive archive;
    const QJsonObject def = QJsonDocument::fromJson(R"({"regex":"DEF"})").object(); // no flag: case-insensitive
    const QJsonObject cs = QJsonDocument::fromJson(R"({"regex":"DEF","case_sensitive":true})").object();
    struct Case
    {
        std::string data;
        const QJsonObject* condition;
        QString want;
    };
    const Case cases[] = {
        {std::string("abc\0def\0", 8), &def, QString()},                    // ends at the first NUL
        {std::string("abc\0def", 7), &def, QString::fromLatin1("abc\0def", 7)}, // no closing NUL: all bytes
        {std::string("x\n\ndef one\ndef two\0", 19), &def, QStringLiteral("def one")},
        {std::string("def\0", 4), &cs, QString()},
        {std::string("\xe9 DEF\0", 6), &cs, QString::fromLatin1("\xe9 DEF")},
        {std::string(), &def, QString()},
    };
    for (const Case& c : cases) {
        const auto p = archive.add(8, c.data, 1.0);
        EXPECT_EQ(KorGse::extractMatchedMessage(p, *c.condition), c.want) << c.data;
    }
    EXPECT_EQ(KorGse::extractMatchedMessage(nullptr, def), QString());
}

} // namespace
