// The logging server's policies that are rules alone: which connections stay,
// which first lines are HTTP requests, what is said once, where a main file named
// by a client is looked for.
#include "tools/logger/connectionadmission.h"
#include "tools/logger/httprequest.h"
#include "tools/logger/mainfilerules.h"
#include "tools/logger/warninglimiter.h"

#include <gtest/gtest.h>
#include <vector>

TEST(ConnectionAdmission, SilenceTimeoutClosesOnlyConnectionsThatSentNoLine)
{
    using Quiet = ConnectionAdmission::Quiet;
    struct Case
    {
        const char* name;
        ConnectionSilence silence;
        qint64 now;
        Quiet quiet;
    };
    const Case cases[] = {
        {"a line long ago", {0, 5, true}, 1000000, Quiet::Talking},
        {"no line yet", {1000, 0, false}, 1199, Quiet::Waiting},
        {"no line at the timeout", {1000, 0, false}, 1200, Quiet::PastTimeout},
        {"no line past the timeout", {1000, 0, false}, 5000, Quiet::PastTimeout},
    };
    ConnectionAdmission admission;
    admission.setSilenceTimeout(200);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(admission.quiet(c.silence, c.now), c.quiet);
    }
    // Looked at four times per timeout, at least once a second.
    const std::pair<int, int> intervals[] = {{200, 50}, {3, 1}, {0, 1}, {10000, 1000}};
    for (const auto& [timeout, interval] : intervals) {
        admission.setSilenceTimeout(timeout);
        EXPECT_EQ(admission.checkIntervalMs(), interval) << timeout;
    }
    EXPECT_EQ(admission.silenceTimeout(), 10000);
    EXPECT_EQ(admission.silentText(), "closing the connection: no line within 10000 ms of connecting");
    EXPECT_EQ(admission.silentNotSaidText(4, "127.0.0.1"),
              "closed 4 more connections from 127.0.0.1 that sent no line within 10000 ms of connecting");
}

// At the bound a connection that holds its place doing nothing makes way, not the
// client that wrote last.
TEST(ConnectionAdmission, TheLongestSilentMakesWay)
{
    struct Case
    {
        const char* name;
        std::vector<ConnectionSilence> open;
        qsizetype makesWay;
    };
    const Case cases[] = {
        {"none open", {}, -1},
        {"one", {{7, 0, false}}, 0},
        {"no line since connecting, before another's last line", {{100, 0, false}, {50, 300, true}}, 0},
        {"an old line before a newcomer", {{10, 400, true}, {500, 0, false}}, 0},
        {"a newcomer before a recent line", {{10, 900, true}, {500, 0, false}}, 1},
        {"equals: the first", {{5, 0, false}, {5, 0, false}}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ConnectionAdmission::longestSilent(c.open, [](const ConnectionSilence& s) { return s; }), c.makesWay);
    }
    ConnectionAdmission admission;
    admission.setMaxConnections(3);
    EXPECT_FALSE(admission.full(2));
    EXPECT_TRUE(admission.full(3));
    EXPECT_TRUE(admission.full(4));
    admission.setMaxConnections(0);
    EXPECT_TRUE(admission.full(0));
    EXPECT_EQ(ConnectionAdmission::makeWayText(3), "closing the connection: the longest silent of 3, for a new one");
    EXPECT_EQ(ConnectionAdmission::refusingText(3), "refusing new connections: 3 connections open");
}

TEST(HttpRequest, TheFirstLineDecidesAsSoonAsItCan)
{
    using FirstLine = HttpRequest::FirstLine;
    struct Case
    {
        QByteArray head;
        bool complete;
        FirstLine verdict;
    };
    const Case cases[] = {
        {"GET / HTTP/1.1\r", true, FirstLine::Request},
        {"POST /", false, FirstLine::Request},
        {"CONNECT a:1 HTTP/1.1", true, FirstLine::Request},
        {"Host: 127.0.0.1", true, FirstLine::Request},
        {"host: x", true, FirstLine::Request},
        {"HOST:", false, FirstLine::Request},
        {"", false, FirstLine::Undecided},
        {"GE", false, FirstLine::Undecided},
        {"OPTIONS", false, FirstLine::Undecided},
        {"Ho", false, FirstLine::Undecided},
        {"GE", true, FirstLine::LogLine},
        {"GET", true, FirstLine::LogLine},
        {"get / HTTP/1.1", true, FirstLine::LogLine},
        {"GETTING", false, FirstLine::LogLine},
        {"2024-03-05T14:07:09.123+01:00*=-!", false, FirstLine::LogLine},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.head.toStdString() + (c.complete ? " (complete)" : " (so far)"));
        EXPECT_EQ(HttpRequest::judge(c.head, c.complete), c.verdict);
    }
}

// A run is said once until it ends, whatever the window: one line for a
// connection's many lines dated outside the window, or for a main file that
// fails until it is written again.
TEST(WarningLimiter, ARunIsSaidOnceUntilItEnds)
{
    WarningLimiter limiter(nullptr);
    limiter.setWindow(0);
    int a = 0;
    int b = 0;
    enum Op { Start, End, Forget };
    struct Step
    {
        Op op;
        const char* kind;
        const void* source;
        bool starts;
    };
    const Step steps[] = {
        {Start, "dates", &a, true},  {Start, "dates", &a, false}, {Start, "error", &a, true},
        {Start, "dates", &b, true},  {End, "dates", &a, false},   {Start, "dates", &a, true},
        {Start, "error", &a, false}, {End, "other", &a, false},   {Start, "dates", &a, false},
        {Forget, "", &a, false},     {Start, "dates", &a, true},  {Start, "error", &a, true},
        {Start, "dates", &b, false},
    };
    int n = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(++n);
        if (s.op == Start)
            EXPECT_EQ(limiter.startRun(QString::fromLatin1(s.kind), s.source), s.starts);
        else if (s.op == End)
            limiter.endRun(QString::fromLatin1(s.kind), s.source);
        else
            limiter.forgetSource(s.source);
    }
    // Past the bound of sources a new source's faults are each the start of a run:
    // said or counted through the window rather than remembered.
    std::vector<int> sources(WarningLimiter::MAX_KEYS + 1);
    for (int& s : sources)
        limiter.startRun("many", &s);
    EXPECT_TRUE(limiter.startRun("many", &sources.back()));
    EXPECT_FALSE(limiter.startRun("many", &sources.front()));
}

TEST(MainFileRules, NamedFilesAreTakenInsideTheLogFolder)
{
    const MainFileRules rules("/home/u/.veklogs/");
    const std::pair<QString, QString> paths[] = {
        {"x.log", "/home/u/.veklogs/x.log"},
        {"a/./b/../c.log", "/home/u/.veklogs/a/c.log"},
        {"../escape.log", "/home/u/escape.log"},
        {"/var/log/x.log", "/var/log/x.log"},
        {"/home/u/.veklogs//x.log", "/home/u/.veklogs/x.log"},
    };
    for (const auto& [named, resolved] : paths)
        EXPECT_EQ(rules.resolve(named), resolved) << named.toStdString();
    EXPECT_EQ(rules.dailyPath(QDate(2024, 3, 5)), "/home/u/.veklogs/2024-03-05-log.txt");
    EXPECT_EQ(MainFileRules::refusedText("/etc/x", "outside the allowed folders"),
              "refused main file /etc/x: outside the allowed folders");
    EXPECT_EQ(MainFileRules::refusedNotSaidText(2, "127.0.0.1"), "refused 2 more main files from 127.0.0.1");

    // Nothing is opened when no path is given, or when no allowed folder exists.
    const MainFileRules nowhere("/no/such/folder/.veklogs/");
    EXPECT_EQ(nowhere.openNamed("").why, "no path");
    const MainFileRules::Opened none = nowhere.openNamed("x.log");
    EXPECT_EQ(none.fd, -1);
    EXPECT_EQ(none.why, "outside the allowed folders");
    EXPECT_EQ(none.path, "/no/such/folder/.veklogs/x.log");
}
