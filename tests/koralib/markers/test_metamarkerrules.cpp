#include "koralib/markers/metamarkerrules.h"

#include "markerarchive.h"

#include <QJsonArray>

#include <iostream>

#include <sys/stat.h>

namespace {

using MarkerTest::GeneratedSet;

class MetaMarkerRules : public MarkerTest::SuiteTest
{
};

QString joined(const QJsonArray& lines)
{
    QString out;
    for (const QJsonValue& v : lines)
        out += v.toString() + QLatin1Char('\n');
    return out;
}

// Every finding, one rule file each, with the exact lines on each stream; the
// table is written by the generator from the file format.
TEST_F(MetaMarkerRules, FindingsTable)
{
    ASSERT_TRUE(defs->generated);
    const QJsonArray table = defs->expected.value("findings").toArray();
    ASSERT_GT(table.size(), 50);
    for (const QJsonValue& v : table) {
        const QJsonObject c = v.toObject();
        const QString file = c.value("file").toString();
        const QString wantErr = joined(c.value("stderr").toArray());
        const QString wantOut = joined(c.value("stdout").toArray());
        bool ok = false;
        std::string err;
        std::string out;
        {
            TestSupport::StreamCapture e(std::cerr);
            TestSupport::StreamCapture o(std::cout);
            ok = KorGse::isValidMetamarkerRuleFile(QFileInfo(defs->dir.filePath("findings/" + file)));
            err = e.text();
            out = o.text();
        }
        EXPECT_EQ(ok, wantErr.isEmpty() && wantOut.isEmpty()) << file.toStdString();
        EXPECT_EQ(QString::fromStdString(err), wantErr) << file.toStdString();
        EXPECT_EQ(QString::fromStdString(out), wantOut) << file.toStdString();
    }
}

TEST(MetaMarkerConditions, ValidatorKnowsNothingOfStartOrEnd)
{
    struct Case
    {
        const char* json;
        bool valid;
    };
    const Case cases[] = {
        {R"({"type":"duration","number_of_seconds":-2.5})", true},
        {R"({"type":"next_marker","extra":1})", true},
        {R"({"type":"marker","marker":1.5,"offset_in_seconds":0,"heater_test_enabled":false})", true},
        {R"({"type":"message","regex":"(","case_sensitive":false,"offset_in_seconds":1})", true},
        {R"({"type":"MESSAGE","regex":"x","case_sensitive":false,"offset_in_seconds":1})", false},
        {R"({"type":"marker","marker":null,"offset_in_seconds":0})", false},
        {R"({"type":"duration","number_of_seconds":true})", false},
    };
    for (const Case& c : cases) {
        TestSupport::StreamCapture e(std::cerr);
        TestSupport::StreamCapture o(std::cout);
        const QJsonObject o2 = QJsonDocument::fromJson(c.json).object();
        EXPECT_EQ(KorGse::isValidTriggerCondition(QJsonValue(o2)), c.valid) << c.json;
        EXPECT_EQ(e.text().empty() && o.text().empty(), c.valid) << c.json;
    }
    TestSupport::StreamCapture e(std::cerr);
    EXPECT_FALSE(KorGse::isValidTriggerCondition(QJsonValue(3)));
    EXPECT_EQ(e.text(), "bool KorGse::isValidTriggerCondition(QJsonValue) trigger condition is not a JSON object. \n");
}

} // namespace

namespace {

// Only plain files are read: a link to a device or a pipe is refused as
// unopenable, never read without end.
TEST(MetaMarkerRuleFiles, OnlyPlainFilesAreRead)
{
    TestSupport::TempDir dir;
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), dir.filePath("zero.json")));
    ASSERT_EQ(::mkfifo(dir.filePath("pipe.json").toLocal8Bit().constData(), 0600), 0);
    for (const char* name : {"zero.json", "pipe.json"}) {
        TestSupport::StreamCapture e(std::cerr);
        EXPECT_FALSE(KorGse::isValidMetamarkerRuleFile(QFileInfo(dir.filePath(name)))) << name;
        EXPECT_EQ(e.text(), std::string("Could not open ") + name + " for reading.\n");
    }
}

} // namespace
