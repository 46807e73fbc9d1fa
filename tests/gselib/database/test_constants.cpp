#include "gselib/database/constants.h"

#include "support/logcapture.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

using GseLib::ConstantMap;

namespace {

ConstantMap parse(const char* json)
{
    ConstantMap m;
    GseLib::parseConstants(QByteArray(json), m);
    return m;
}

} // namespace

TEST(Constants, TypesAndLowerCasedNames)
{
    TestSupport::LogCapture log;
    const ConstantMap m = parse(R"([
        {"name": "Gain", "type": "int", "value": "12"},
        {"name": "Ratio", "type": "double", "value": "1e3"},
        {"name": "Label", "type": "std::string", "value": "hello"},
        {"name": "Q", "type": "qstring", "value": "x y"},
        {"name": "Neg", "type": "int", "value": "-2147483648"}
    ])");
    ASSERT_EQ(m.size(), 5u);
    EXPECT_EQ(std::get<int>(m.at("gain")), 12);
    EXPECT_DOUBLE_EQ(std::get<double>(m.at("ratio")), 1000.0);
    EXPECT_EQ(std::get<std::string>(m.at("label")), "hello");
    EXPECT_EQ(std::get<std::string>(m.at("q")), "x y");
    EXPECT_EQ(std::get<int>(m.at("neg")), -2147483647 - 1);
    EXPECT_TRUE(log.contains("Loaded 5 constants", "tmdb", DEBUG));
    EXPECT_TRUE(log.texts("tmdb", WARN).isEmpty());
}

TEST(Constants, ValuesThatDoNotConvertAreWarnedAndSkipped)
{
    TestSupport::LogCapture log;
    const ConstantMap m = parse(R"([
        {"name": "a", "type": "int", "value": "7"},
        {"name": "A", "type": "int", "value": 12},
        {"name": "b", "type": "int", "value": "1e3"},
        {"name": "c", "type": "int", "value": "2147483648"},
        {"name": "d", "type": "double", "value": "abc"},
        {"name": "e", "type": "Int", "value": "1"},
        {"name": "f", "type": "String", "value": "s"},
        {"name": "g", "value": "s"},
        42
    ])");
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(std::get<int>(m.at("a")), 7); // the failed A leaves the earlier a alone
    const QStringList w = log.texts("tmdb", WARN);
    EXPECT_EQ(w, (QStringList{"Could not convert constant value to int: ",
                              "Could not convert constant value to int: 1e3",
                              "Could not convert constant value to int: 2147483648",
                              "Could not convert constant value to double: abc",
                              "Unknown constant type: Int", "Unknown constant type: String",
                              "Unknown constant type: ", "Unknown constant type: "}));
}

TEST(Constants, LaterNameReplacesEarlierWhateverItsType)
{
    const ConstantMap m = parse(R"([
        {"name": "Offset", "type": "int", "value": "1"},
        {"name": "offset", "type": "double", "value": "2.5"}
    ])");
    ASSERT_EQ(m.size(), 1u);
    EXPECT_DOUBLE_EQ(std::get<double>(m.at("offset")), 2.5);
}

TEST(Constants, ObjectRootAndBadJson)
{
    TestSupport::LogCapture log;
    EXPECT_TRUE(parse(R"({"name": "a", "type": "int", "value": "1"})").empty());
    EXPECT_TRUE(log.contains("Loaded 0 constants", "tmdb", DEBUG));
    log.clear();

    ConstantMap m;
    m["keep"] = 1;
    EXPECT_FALSE(GseLib::parseConstants("[{\"name\": ", m));
    EXPECT_EQ(m.size(), 1u);
    ASSERT_EQ(log.texts("tmdb").size(), 1);
    EXPECT_TRUE(log.texts("tmdb")[0].startsWith("Failed to parse constants file: "));
    EXPECT_GT(log.texts("tmdb")[0].size(), QString("Failed to parse constants file: ").size());
}

TEST(Constants, FileLoading)
{
    TestSupport::TempDir dir;
    TestSupport::LogCapture log;
    ConstantMap m;
    const QString missing = dir.filePath("constants.json");
    GseLib::loadConstantsFile(missing, m);
    EXPECT_EQ(log.texts("tmdb", DEBUG),
              QStringList{"Constants not loaded...file does not exist: " + missing});
    EXPECT_TRUE(m.empty());

    log.clear();
    const QString path = dir.write("constants.json", R"([{"name":"N","type":"int","value":"3"}])");
    GseLib::loadConstantsFile(path, m);
    EXPECT_EQ(log.texts("tmdb", DEBUG),
              (QStringList{"Loading constants: " + path, "Loaded 1 constants"}));
    EXPECT_EQ(std::get<int>(m.at("n")), 3);

    // A folder or a device exists but is not read as a file.
    for (const QString& notAFile : {dir.path(), QStringLiteral("/dev/zero")}) {
        log.clear();
        GseLib::loadConstantsFile(notAFile, m);
        const QStringList texts = log.texts("tmdb", DEBUG);
        ASSERT_EQ(texts.size(), 2);
        EXPECT_EQ(texts[1], "Failed to open constants file: Not a regular file");
        EXPECT_EQ(m.size(), 1u);
    }
}
