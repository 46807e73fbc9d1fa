#include "gselib/services/configvek.h"

#include "support/logcapture.h"
#include "support/streamcapture.h"
#include "support/tempdir.h"
#include "support/thrown.h"

#include <QDir>
#include <gtest/gtest.h>

#include <stdexcept>

namespace CV = GseLib::ConfigVek;
using TestSupport::ScopedEnv;
using TestSupport::StderrCapture;
using TestSupport::TempDir;
using TestSupport::whatOf;

namespace {

const char* MISSING_GROUP = "The following group does not exist in the .vekconfig.INI file: '%1'. "
                            "A valid group is necessary for proper functioning of our software.";

// A private home folder and configuration file for one test.
struct Config
{
    TempDir home;
    ScopedEnv homeEnv{"HOME", home.path().toUtf8()};
    QString ini = home.filePath("conf/my.INI");
    ScopedEnv iniEnv{"INIVEK", ini.toUtf8()};

    void write(const QByteArray& text) const { home.write("conf/my.INI", text); }
};

} // namespace

// Must run before anything sets a default group: ctest runs each test in its own process.
TEST(ConfigVekState, VerifyWithoutDefaultGroupChecksNothing)
{
    if (!CV::requiredKeys().isEmpty() || !CV::getDefaultGroup().isEmpty())
        GTEST_SKIP() << "an earlier test of this process set a default group";
    Config c; // no file at all
    StderrCapture err;
    EXPECT_TRUE(CV::verify("ANY_GROUP"));
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(whatOf([] { CV::verify(""); }), QString(MISSING_GROUP).arg("").toStdString());
}

TEST(ConfigVekPath, FromInivekOrTheHomeFolder)
{
    TempDir home;
    ScopedEnv h("HOME", home.path().toUtf8());
    {
        ScopedEnv e("INIVEK", "/some/where/x.ini");
        EXPECT_EQ(CV::getConfigPath(), "/some/where/x.ini");
    }
    {
        ScopedEnv e("INIVEK", "");
        EXPECT_EQ(CV::getConfigPath(), home.path() + "/.vekconfig.INI");
    }
    {
        ScopedEnv e("INIVEK", "x");
        qunsetenv("INIVEK");
        EXPECT_EQ(CV::getConfigPath(), home.path() + "/.vekconfig.INI");
    }
    // An empty INIVEK really reads the home folder's file.
    home.write(".vekconfig.INI", "[VEK]\ndefault_group=from_home\n");
    ScopedEnv e("INIVEK", "");
    EXPECT_EQ(CV::getDefaultGroupFromIni(), "FROM_HOME");
}

TEST(ConfigVekRead, GettersGroupsAndKeys)
{
    const std::pair<QString (*)(const QString&), const char*> getters[] = {
        {&CV::getSequenceDir, "sequence_root"},   {&CV::getSeqConfigPath, "seq_config"},
        {&CV::getGsePath, "gse"},                 {&CV::getTmDefinitionsDir, "tm_definitions"},
        {&CV::getTmDatabasePath, "tm_database"},  {&CV::getDacFilePath, "dac_file"},
        {&CV::getHeaterTablePath, "heater_table"}, {&CV::getDataRootDir, "data_root"},
        {&CV::getViewersDir, "viewers_root"},     {&CV::getSclkTablePath, "sclk_table"},
        {&CV::getMcalDir, "mcal_root"},
    };
    QByteArray ini = "[VEK]\ndefault_group=kora_em\n[KORA_EM]\n";
    for (const auto& [getter, key] : getters)
        ini += QByteArray(key) + "=/" + key + "\n";
    Config c;
    c.write(ini + "[other]\ngse=/b\n");
    for (const auto& [getter, key] : getters)
        EXPECT_EQ(getter("KORA_EM"), QString("/") + key) << key;
    EXPECT_EQ(CV::getValue("gse", "other"), "/b");
    EXPECT_EQ(CV::getValue("mcal_root", "other"), ""); // missing key: empty, no error
    EXPECT_EQ(CV::getGseConfigsDir("x", "other"), "/b/configs/x/");

    // Group names are compared case-sensitively.
    StderrCapture err;
    const std::string expected = QString(MISSING_GROUP).arg("kora_em").toStdString();
    EXPECT_EQ(whatOf([] { CV::getGsePath("kora_em"); }), expected);
    EXPECT_EQ(err.text(), QString::fromStdString(expected) + "\n");

    // The file is read afresh on every call.
    c.write("[other]\ngse=/changed\n");
    EXPECT_EQ(CV::getGsePath("other"), "/changed");
}

TEST(ConfigVekRead, ValueWithUnquotedCommaStaysWhole)
{
    Config c;
    c.write("[G]\ndata_root=/data/a,b\ngse=/x,y,z\nmcal_root=\"/q,r\"\n");
    EXPECT_EQ(CV::getDataRootDir("G"), "/data/a,b");
    EXPECT_EQ(CV::getGsePath("G"), "/x,y,z");
    EXPECT_EQ(CV::getMcalDir("G"), "/q,r");
}

TEST(ConfigVekRead, MissingFileMeansNoGroups)
{
    Config c;
    StderrCapture err;
    EXPECT_EQ(whatOf([] { CV::getValue("gse", "KORA"); }), QString(MISSING_GROUP).arg("KORA").toStdString());
    EXPECT_EQ(whatOf([] { CV::getDefaultGroupFromIni(); }),
              ("You must define the 'default_group' key under the VEK group in " + c.ini).toStdString());
    EXPECT_EQ(err.text().count('\n'), 1); // only the missing group is printed
}

TEST(ConfigVekDefaultGroup, FromIniUpperCased)
{
    Config c;
    c.write("[VEK]\ndefault_group=tolva_fm\n");
    EXPECT_EQ(CV::getDefaultGroupFromIni(), "TOLVA_FM");
    EXPECT_EQ(CV::getDefaultGroupFromIni("ignored"), "TOLVA_FM");

    c.write("[VEK]\ndefault_group=\n");
    EXPECT_EQ(whatOf([] { CV::getDefaultGroupFromIni(); }),
              ("You must define the 'default_group' key under the VEK group in " + c.ini).toStdString());
    EXPECT_EQ(CV::getDefaultGroupFromIni("fallback"), ""); // present but empty: the default does not apply

    c.write("[VEK]\nother=1\n");
    EXPECT_EQ(CV::getDefaultGroupFromIni("kora"), "KORA");
    EXPECT_EQ(CV::getDefaultGroupFromIni(""), "");
}

TEST(ConfigVekDefaultGroup, MissionTableSelectsRequiredKeys)
{
    TestSupport::LogCapture log;
    CV::setDefaultGroup("tolva_fm");
    EXPECT_EQ(CV::getDefaultGroup(), "tolva_fm");
    EXPECT_EQ(CV::requiredKeys(), CV::REQ_KEYS_TOLVA);
    EXPECT_EQ(log.texts("configvek", DEBUG), QStringList{"Changed default ConfigVek group to tolva_fm"});

    const struct
    {
        const char* group;
        const QStringList& keys;
    } cases[] = {
        {"RUV_KORA", CV::REQ_KEYS_RUV},  {"RUV_TESTBED", CV::REQ_KEYS_RUV}, {"PELIX_TESTBED", CV::REQ_KEYS_PLX},
        {"xkorax", CV::REQ_KEYS_KOR},   {"Wendo", CV::REQ_KEYS_WND},       {"HOBA_FM", CV::REQ_KEYS_HBA},
        {"jyr", CV::REQ_KEYS_JYR},      {"BIRQ", CV::REQ_KEYS_BIRQ},       {"SOMETHING", CV::REQ_KEYS_DEFAULT},
        {"KORA_TOLVA", CV::REQ_KEYS_KOR},
    };
    for (const auto& t : cases) {
        CV::setDefaultGroup(t.group);
        EXPECT_EQ(CV::requiredKeys(), t.keys) << t.group;
    }

    CV::setDefaultGroup("KORA");
    EXPECT_EQ(CV::requiredKeys().size(), 11);
    CV::setDefaultGroup("");
    EXPECT_EQ(CV::getDefaultGroup(), "");
    EXPECT_EQ(CV::requiredKeys(), CV::REQ_KEYS_KOR);
}

TEST(ConfigVekVerify, ChecksEveryRequiredPath)
{
    Config c;
    const QString d = c.home.path();
    QDir().mkpath(d + "/gse");
    QDir().mkpath(d + "/defs");
    QDir().mkpath(d + "/viewers");
    QDir().mkpath(d + "/data");
    c.home.write("defs/db.txt", "x");
    const QByteArray complete = "gse=" + (d + "/gse").toUtf8() + "\ntm_definitions=" + (d + "/defs").toUtf8()
                                + "\ntm_database=" + (d + "/defs/db.txt").toUtf8() + "\nviewers_root="
                                + (d + "/viewers").toUtf8() + "\ndata_root=" + (d + "/data").toUtf8() + "\n";
    const QByteArray badPath = QByteArray(complete).replace("db.txt", "nothing.txt");
    c.write("[GOOD]\n" + complete + "[NO_DATA]\n" + complete.left(complete.indexOf("data_root"))
            + "[BAD_PATH]\n" + badPath + "[RELATIVE]\ngse=gse\n"
            "tm_definitions=defs\ntm_database=defs/db.txt\nviewers_root=viewers\ndata_root=data\n");

    CV::setDefaultGroup("GOOD"); // no mission word: the default key list
    ASSERT_EQ(CV::requiredKeys(), CV::REQ_KEYS_DEFAULT);
    StderrCapture err;
    EXPECT_TRUE(CV::verify("GOOD"));
    EXPECT_FALSE(CV::verify("NO_DATA"));
    EXPECT_FALSE(CV::verify("BAD_PATH"));
    EXPECT_FALSE(CV::verify("good"));
    // Each failing key of an existing group is a line of its own naming the
    // key, the group and the real file; only a missing group gets the fixed text.
    const QString where = " in " + c.ini;
    EXPECT_EQ(err.text(), "The key 'data_root' of the group 'NO_DATA'" + where + " is missing\n"
                          "The key 'tm_database' of the group 'BAD_PATH'" + where
                              + " names a path that does not exist: " + d + "/defs/nothing.txt\n"
                          + QString(MISSING_GROUP).arg("good") + "\n");

    // Relative values are taken from the working folder.
    const QString cwd = QDir::currentPath();
    EXPECT_FALSE(CV::verify("RELATIVE"));
    ASSERT_TRUE(QDir::setCurrent(d));
    EXPECT_TRUE(CV::verify("RELATIVE"));
    QDir::setCurrent(cwd);

    // An empty value is told from a missing key; every failing key is said.
    c.write("[EMPTY]\n" + QByteArray(complete).replace("tm_database=" + (d + "/defs/db.txt").toUtf8(), "tm_database=")
            + "[GOOD]\n" + complete + "[BAD_PATH]\n" + badPath);
    StderrCapture empty;
    EXPECT_FALSE(CV::verify("EMPTY"));
    EXPECT_EQ(empty.text(), "The key 'tm_database' of the group 'EMPTY'" + where + " is empty\n");

    // A mission list asks for more keys than the group has.
    CV::setDefaultGroup("TOLVA");
    StderrCapture more;
    EXPECT_FALSE(CV::verify("GOOD"));
    EXPECT_EQ(more.text(), "The key 'dac_file' of the group 'GOOD'" + where + " is missing\n"
                           "The key 'mcal_root' of the group 'GOOD'" + where + " is missing\n");
    // The same faults as records a caller can act on.
    const QList<CV::KeyFault> faults = CV::keyFaults("GOOD");
    ASSERT_EQ(faults.size(), 2);
    EXPECT_EQ(faults[0].key, "dac_file");
    EXPECT_EQ(faults[0].kind, CV::KeyFault::Kind::Missing);
    EXPECT_EQ(faults[1].key, "mcal_root");
    const QList<CV::KeyFault> wrong = CV::keyFaults("BAD_PATH");
    ASSERT_EQ(wrong.size(), 3);
    EXPECT_EQ(wrong[0].kind, CV::KeyFault::Kind::NoSuchPath);
    EXPECT_EQ(wrong[0].value, d + "/defs/nothing.txt");
    EXPECT_EQ(whatOf([] { CV::verify(""); }), QString(MISSING_GROUP).arg("").toStdString());
}

TEST(ConfigVekDefaults, CandidatePaths)
{
    TempDir home;
    ScopedEnv h("HOME", home.path().toUtf8());
    const QString hp = home.path();

    EXPECT_EQ(CV::getDefaultPaths("ANY", "seq_config"), QStringList{"sequence/config-default.ops"});
    EXPECT_EQ(CV::getDefaultPaths("ANY", "heater_table"), QStringList{"fswTables/heater.txt"});
    EXPECT_EQ(CV::getDefaultPaths("KORA", "gse"),
              (QStringList{hp + "/koragse", hp + "/gse/kora", hp + "/gse/koragse"}));
    EXPECT_EQ(CV::getDefaultPaths("PELIX_TESTBED", "gse"),
              (QStringList{hp + "/pelixgse", hp + "/gse/pelix", hp + "/gse/pelixgse"}));
    EXPECT_EQ(CV::getDefaultPaths("RUV_TESTBED", "gse"),
              (QStringList{hp + "/ruv/gse", hp + "/gse/ruv", hp + "/gse/ruvgse", hp + "/gse"}));
    EXPECT_TRUE(CV::getDefaultPaths("kora", "gse").isEmpty()); // groups match exactly

    EXPECT_EQ(CV::getDefaultPaths("RUV_TESTBED", "tm_database"), QStringList{"TMDef/RTB_TM_Database.txt"});
    EXPECT_EQ(CV::getDefaultPaths("WENDO", "dac_file"), QStringList{"TMDef/WND_DAC_Conversions.txt"});
    EXPECT_EQ(CV::getDefaultPaths("BIRQ", "sclk_table"), QStringList{"TMDef/BIRQ_SCLK.txt"});
    EXPECT_EQ(CV::getDefaultPaths("HOBA", "dac_file"), QStringList{"TMDef/"});
    EXPECT_TRUE(CV::getDefaultPaths("TOLVA", "sclk_table").isEmpty());
    EXPECT_TRUE(CV::getDefaultPaths("TOLVA_FM", "tm_database").isEmpty());
    EXPECT_TRUE(CV::getDefaultPaths("KORA", "no_such_key").isEmpty());
}
