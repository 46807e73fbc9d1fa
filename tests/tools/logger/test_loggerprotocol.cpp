#include "tools/logger/loggerprotocol.h"
#include "tools/logger/log.h"
#include "support/logcapture.h"
#include "support/streamcapture.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

TEST(LogLevelNames, RoundTripAndUnknowns)
{
    EXPECT_EQ(toString(LOG_CMD), "LOG_CMD");
    EXPECT_EQ(toString(static_cast<LogLevel>(7)), "");
    EXPECT_EQ(toLogLevel("info"), TRACE);
    EXPECT_EQ(toLogLevel("WARN"), WARN);
    for (LogLevel l : {TRACE, DEBUG, INFO, WARN, ERROR, FATAL, LOG_CMD})
        EXPECT_EQ(toLogLevel(toString(l)), l);
}

TEST(LoggerEventMsg, TextLosesLineFeedsAndWireLineEndsOnce)
{
    LoggerEventMsg m("tmdb", "a.cpp", 12, WARN, "a\nb");
    EXPECT_EQ(m.text, "ab");
    const QByteArray wire = m.toEncoded();
    EXPECT_TRUE(wire.endsWith("*=-!WARN*=-!ab\n"));
    EXPECT_EQ(wire.count('\n'), 1);

    LoggerEventMsg bare(INFO, "x");
    EXPECT_TRUE(bare.component.isEmpty());
    EXPECT_TRUE(bare.file.isEmpty());
    EXPECT_EQ(bare.line, -1);
    EXPECT_EQ(bare.toEncoded().split('\n').first().split('*').size() > 1, true);
    EXPECT_EQ(QString::fromUtf8(bare.toEncoded()).split("*=-!").at(3), "-1");
}

TEST(LoggerEventMsg, WireLineDecodesBack)
{
    LoggerEventMsg m("decode", "/src/x.cpp", 77, ERROR, QString::fromUtf8("h\xc3\xa9llo"));
    QByteArray wire = m.toEncoded();
    wire.chop(1);
    LoggerEventMsg back(wire);
    EXPECT_EQ(back.timestamp, m.timestamp);
    EXPECT_EQ(back.component, m.component);
    EXPECT_EQ(back.file, m.file);
    EXPECT_EQ(back.line, 77);
    EXPECT_EQ(back.threadId, m.threadId);
    EXPECT_EQ(back.level, ERROR);
    EXPECT_EQ(back.text, m.text);
}

TEST(LoggerEventMsg, ShortOrOddWireLinesDecodeWithEmptyFields)
{
    LoggerEventMsg shortLine(QByteArray("ts*=-!comp*=-!file"));
    EXPECT_EQ(shortLine.timestamp, "ts");
    EXPECT_EQ(shortLine.file, "file");
    EXPECT_EQ(shortLine.line, 0);
    EXPECT_EQ(shortLine.threadId, 0u);
    EXPECT_EQ(shortLine.level, TRACE);
    EXPECT_TRUE(shortLine.text.isEmpty());

    LoggerEventMsg odd(QByteArray("t*=-!c*=-!f*=-!99999999999*=-!x*=-!NOPE*=-!"));
    EXPECT_EQ(odd.line, 0);
    EXPECT_EQ(odd.level, TRACE);
    EXPECT_TRUE(odd.text.isEmpty());

    LoggerEventMsg cut(QByteArray("t*=-!c*=-!f*=-!1*=-!2*=-!INFO*=-!one*=-!two"));
    EXPECT_EQ(cut.text, "one");
}

TEST(LoggerCmdMsg, InitClientTravelsAndDecodes)
{
    LoggerCmdInitClientMsg init("myapp", 42);
    EXPECT_EQ(init.level, LOG_CMD);
    EXPECT_EQ(init.text, "INIT_CLIENT-=-myapp-=-42");
    QByteArray wire = init.toEncoded();
    EXPECT_TRUE(wire.endsWith("*=-!LOG_CMD*=-!INIT_CLIENT-=-myapp-=-42\n"));
    wire.chop(1);
    LoggerCmdInitClientMsg back{LoggerEventMsg(wire)};
    EXPECT_EQ(back.name, "myapp");
    EXPECT_EQ(back.pid, 42);
    EXPECT_EQ(back.cmd(), "INIT_CLIENT");
    EXPECT_EQ(back.text, "INIT_CLIENT myapp 42");

    EXPECT_EQ(LoggerCmdMsg(QList<QString>{}).cmd(), "");

    LoggerEventMsg missing(LOG_CMD, "INIT_CLIENT");
    LoggerCmdInitClientMsg partial(missing);
    EXPECT_TRUE(partial.name.isEmpty());
    EXPECT_EQ(partial.pid, 0);
    LoggerCmdChangeFileMsg change{LoggerEventMsg(LOG_CMD, "CHANGE_MAIN_FILE-=-main_file")};
    EXPECT_EQ(change.fileObjectName, "main_file");
    EXPECT_TRUE(change.filePath.isEmpty());
}

TEST(LoggerEvent, FileLineRoundTripAndShortLines)
{
    LoggerEventMsg m("tmdb", "/src/a.cpp", 5, INFO, "hello world");
    m.threadId = 0xabcdef12345ull;
    LoggerEvent ev(LoggerClientInfo("client", 1234), m);
    const QByteArray line = ev.toEncoded();
    EXPECT_TRUE(line.contains(" - client - 1234 - 0xabcdef12345 - /src/a.cpp - 5 - tmdb - INFO - hello world"));
    LoggerEvent back(line);
    EXPECT_TRUE(back.valid);
    EXPECT_EQ(back.timestamp, ev.timestamp);
    EXPECT_EQ(back.dateTime, ev.dateTime);
    EXPECT_EQ(back.clientName, "client");
    EXPECT_EQ(back.pid, 1234);
    EXPECT_EQ(back.threadId, 0xabcdef12345ull);
    EXPECT_EQ(back.file, "/src/a.cpp");
    EXPECT_EQ(back.line, 5);
    EXPECT_EQ(back.component, "tmdb");
    EXPECT_EQ(back.level, INFO);
    EXPECT_EQ(back.text, "hello world");

    EXPECT_FALSE(LoggerEvent(QByteArray("a - b - c - d - e - f - g - h")).valid);
}

TEST(LoggerEvent, LatinOneFileLinesReadBack)
{
    LoggerEventMsg m("c", "f", 1, INFO, QString::fromUtf8("caf\xc3\xa9 ok"));
    LoggerEvent ev(LoggerClientInfo("a", 1), m);
    const QByteArray line = ev.toEncoded();
    EXPECT_TRUE(line.endsWith("caf\xe9 ok"));
    EXPECT_EQ(LoggerEvent(line).text, QString::fromUtf8("caf\xc3\xa9 ok"));
    // Lines that are valid UTF-8 (written by other tools) still read as UTF-8.
    EXPECT_EQ(LoggerEvent(QByteArray("t - a - 1 - 0x1 - f - 2 - c - INFO - \xc3\xa9")).text, QString::fromUtf8("\xc3\xa9"));
}

TEST(LoggerEvent, PlaceholdersInValuesAreNotSubstitutedAgain)
{
    LoggerEventMsg m("c%9", "f%1", 1, WARN, "text %2 %3");
    LoggerEvent ev(LoggerClientInfo("x%3", 7), m);
    const QByteArray line = ev.toEncoded();
    EXPECT_TRUE(line.contains(" - x%3 - 7 - 0x"));
    EXPECT_TRUE(line.endsWith(" - f%1 - 1 - c%9 - WARN - text %2 %3"));
}

TEST(LoggerEvent, ConsoleLine)
{
    LoggerEventMsg m("disk", "f", 1, WARN, "disk low");
    m.timestamp = "2024-03-05T14:07:09.123-05:00";
    LoggerEvent ev(LoggerClientInfo("a", 1), m);
    EXPECT_EQ(ev.simplified(), "[14:07:09.123][WARN] disk low");
    EXPECT_EQ(consoleLine(ev, false), "[WARN] disk low");
}

TEST(LogConvention, TestSinkReceivesMessagesWithSource)
{
    TestSupport::LogCapture capture;
    LOG_WARN("tmdb", "Bad byte order: " << 12 << std::string(" x"));
    ASSERT_EQ(capture.messages().size(), 1);
    const LoggerEventMsg& m = capture.messages().first();
    EXPECT_EQ(m.component, "tmdb");
    EXPECT_EQ(m.level, WARN);
    EXPECT_EQ(m.text, "Bad byte order: 12 x");
    EXPECT_TRUE(m.file.endsWith("test_loggerprotocol.cpp"));
    EXPECT_GT(m.line, 0);
}

TEST(LogConvention, WithoutLoggerTheConsoleLineGoesToStandardError)
{
    TestSupport::StderrCapture err;
    LOG_WARN("disk", "disk" << '\n' << " low");
    LOG_DEBUG("disk", "second");
    const QString text = err.text();
    // Every level, each as its console line with time and a line end.
    const QRegularExpression expected(QStringLiteral(R"(^\[\d\d:\d\d:\d\d\.\d{3}\]\[WARN\] disk low\n)"
                                                     R"(\[\d\d:\d\d:\d\d\.\d{3}\]\[DEBUG\] second\n$)"));
    EXPECT_TRUE(expected.match(text).hasMatch())
        << text.toStdString();
}
