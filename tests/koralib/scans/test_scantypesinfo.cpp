// The scan types table read from scantypesinfo.json of the generated
// definitions, and its conversions through the generated database (row 17:
// science = 1.0 + 0.5 raw, units "V").
#include "gselib/database/telemetrydatabase.h"
#include "koralib/koradefinitions.h"
#include "koralib/scans/scantypesinfo.h"
#include "support/logcapture.h"
#include "support/qtprinters.h"
#include "tools/util/parsingexception.h"

#include <QDir>
#include <gtest/gtest.h>

namespace {

using KorGse::ScanTypesInfo;

class ScanTypesInfoTest : public KoraTest::SuiteTest
{
protected:
    void write(const QByteArray& json) { defs->dir.write("defs/scantypesinfo.json", json); }
};

const QByteArray kTypes = R"([
  {"name": "RF", "key": 3, "hkid": 17, "rawlabel": " DAC", "defaulttosci": true},
  12, "text",
  {"name": "Aux", "key": 5, "hkid": 0, "rawlabel": " counts", "defaulttosci": true},
  {"name": "Plain", "key": 7, "hkid": 17, "rawlabel": "u", "defaulttosci": false},
  {"name": "Unsigned", "key": 8, "hkid": 4294967295, "rawlabel": "", "defaulttosci": true},
  {"name": "Missing", "key": 9, "hkid": 999, "rawlabel": "", "defaulttosci": true},
  {"name": "RF again", "key": 3, "hkid": 17, "rawlabel": " V", "defaulttosci": true}
])";

TEST_F(ScanTypesInfoTest, ReadsTypesInFileOrderAndKeepsTheLaterKey)
{
    ASSERT_TRUE(defs->generated);
    write(kTypes);
    const ScanTypesInfo table;
    EXPECT_EQ(table.names(), (QStringList{"RF", "Aux", "Plain", "Unsigned", "Missing", "RF again"}));
    EXPECT_EQ(table.ids(), (QList<int>{3, 5, 7, 8, 9, 3}));
    ASSERT_TRUE(table.info(3));
    EXPECT_EQ(table.info(3)->name, QStringLiteral("RF again"));
    EXPECT_TRUE(table.hasId(7));
    EXPECT_FALSE(table.hasId(4));
    EXPECT_TRUE(table.info(4).isNull());
}

TEST_F(ScanTypesInfoTest, ConvertsThroughTheHousekeepingItem)
{
    ASSERT_TRUE(defs->generated);
    write(kTypes);
    const ScanTypesInfo table;
    struct Case
    {
        int key;
        double raw;
        double value;
        const char* text;
    } cases[] = {
        {3, 100.0, 51.0, "51.0000V (100)"},
        {3, 1234567.0, 617284.5, "617284.5000V (1.23457e+06)"},
        {5, 100.0, 100.0, "100 counts"},  // hkid 0
        {7, 2.5, 2.5, "2.5u"},            // not converted by default
        {8, 42.0, 42.0, "42"},            // hkid -1 read as signed
    };
    for (const Case& c : cases) {
        const auto info = table.info(c.key);
        ASSERT_TRUE(info) << c.key;
        EXPECT_DOUBLE_EQ(info->defaultApply(c.raw), c.value) << c.key;
        EXPECT_EQ(info->defaultApplyStr(c.raw), QString::fromUtf8(c.text)) << c.key;
    }
    // An item the database lacks: 0 after the hub's warning, and no row for the units.
    EXPECT_EQ(table.info(9)->defaultApply(5.0), 0.0);
    EXPECT_THROW(table.info(9)->defaultApplyStr(5.0), std::out_of_range);

    // The values are filled in one pass: a "%1" in the units is kept as written.
    std::string& units = GseLib::DataInterpretation::current()->db()->row(17).sciUnits;
    const std::string saved = units;
    units = "%1%2";
    EXPECT_EQ(table.info(3)->defaultApplyStr(100.0), QStringLiteral("51.0000%1%2 (100)"));
    units = saved;
}

TEST_F(ScanTypesInfoTest, BadFilesAndRereading)
{
    ASSERT_TRUE(defs->generated);
    // Damaged files give an empty table and one warning naming the file; an
    // empty array is no damage.
    const QString path = defs->dir.filePath("defs/scantypesinfo.json");
    const QString notJson = "Scan types file parsing error, no scan types read: " + path + ": ";
    const QString notArray = "Scan types file does not hold a JSON array, no scan types read: " + path;
    struct Case
    {
        QByteArray text;
        QString warning; // the start of the one warning, or empty for none
    };
    const Case cases[] = {
        {"[]", QString()},
        {"{\"a\": 1}", notArray},
        {"[1, 2", notJson},
        {"not json", notJson},
        {QByteArray(), notJson},
    };
    for (const Case& c : cases) {
        write(c.text);
        TestSupport::LogCapture log;
        const ScanTypesInfo table;
        EXPECT_TRUE(table.names().isEmpty()) << c.text.constData();
        EXPECT_TRUE(table.ids().isEmpty());
        EXPECT_FALSE(table.hasId(0));
        const QStringList warnings = log.texts("tmdb", WARN);
        EXPECT_EQ(log.messages().size(), warnings.size()) << c.text.constData() << ": only the warning";
        if (c.warning.isEmpty()) {
            EXPECT_TRUE(warnings.isEmpty()) << c.text.constData();
        } else {
            ASSERT_EQ(warnings.size(), 1) << c.text.constData();
            if (c.warning == notArray) {
                EXPECT_EQ(warnings[0], notArray);
            } else {
                EXPECT_TRUE(warnings[0].startsWith(c.warning)) << warnings[0].toStdString();
                EXPECT_GT(warnings[0].size(), c.warning.size()) << "the parser's reason follows";
            }
        }
    }
    {
        // A good file says nothing.
        write(kTypes);
        TestSupport::LogCapture log;
        EXPECT_EQ(ScanTypesInfo().ids().size(), 6);
        EXPECT_TRUE(log.messages().isEmpty());
    }
    // Each table reads the file anew.
    write(kTypes);
    ScanTypesInfo table;
    EXPECT_EQ(table.ids().size(), 6);
    // A member missing: the load fails, the types before the bad one stay.
    write(R"([{"name": "A", "key": 1, "hkid": 0, "rawlabel": "", "defaulttosci": false},
              {"name": "B", "key": 2, "hkid": 0, "defaulttosci": false}])");
    EXPECT_THROW(table.reload(), MissingKeyException);
    EXPECT_EQ(table.names(), QStringList{"A"});
    write(R"([{"name": "A", "key": 1, "hkid": 0, "rawlabel": "", "defaulttosci": [1]}])");
    EXPECT_THROW(ScanTypesInfo(), UnexpectedValueTypeException);

    // No file: the reason the system gave, not the path.
    QFile::remove(defs->dir.filePath("defs/scantypesinfo.json"));
    try {
        ScanTypesInfo missing;
        ADD_FAILURE() << "no exception";
    } catch (const FileOpenException& e) {
        EXPECT_NE(std::string(e.what()).find("Failed to open file: No such file or directory"), std::string::npos)
            << e.what();
        EXPECT_EQ(std::string(e.what()).find("scantypesinfo"), std::string::npos) << e.what();
    }
    // Only a plain file is read.
    QDir().mkpath(defs->dir.filePath("defs/scantypesinfo.json"));
    EXPECT_THROW(ScanTypesInfo(), FileOpenException);
    QDir(defs->dir.filePath("defs/scantypesinfo.json")).removeRecursively();
}

} // namespace
