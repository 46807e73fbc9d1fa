#pragma once
// Shared base of the first-instrument test fixtures: runs one of the test-data
// generators in scripts/ into a temporary folder, points INIVEK and HOME
// there, reads the generator's expectations and installs a first-instrument
// hub over the generated definitions as start-up does. The fixtures of the
// decoder, scan, marker and SEB tests derive from it; SharedSuite makes one
// set per test suite, since the generators take seconds.
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/services/configvek.h"
#include "koralib/archive/koradatai.h"
#include "support/tempdir.h"
#include "tools/util/pluginmanager.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

#include <memory>

namespace KoraTest {

class GeneratedDefinitions
{
public:
    // Runs scripts/`script` with the temporary folder and `extra` arguments.
    explicit GeneratedDefinitions(const char* script, const QStringList& extra = {}, int timeoutMs = 120000)
    {
        QStringList args{QStringLiteral(GSE_SOURCE_DIR "/scripts/") + QString::fromLatin1(script), dir.path()};
        args << extra;
        QProcess gen;
        gen.start(QStringLiteral("/usr/bin/python3"), args);
        generated = gen.waitForFinished(timeoutMs) && gen.exitCode() == 0;
        EXPECT_TRUE(generated) << gen.readAllStandardError().toStdString();
    }

    // Points INIVEK and HOME at the folder, reads `expectedFile` and installs
    // the hub; `moveOffsets`: packet offsets moved by 8 as at start-up.
    void installHub(const char* expectedFile = "expected.json", bool moveOffsets = true)
    {
        inivek = std::make_unique<TestSupport::ScopedEnv>("INIVEK", dir.filePath("vek.INI").toUtf8());
        home = std::make_unique<TestSupport::ScopedEnv>("HOME", dir.path().toUtf8());
        QFile f(dir.filePath(QString::fromLatin1(expectedFile)));
        if (f.open(QIODevice::ReadOnly))
            expected = QJsonDocument::fromJson(f.readAll()).object();
        // As the start-up does: the group named by the configuration's [VEK] default_group.
        GseLib::ConfigVek::setDefaultGroup(GseLib::ConfigVek::getDefaultGroupFromIni(QString()));
        manager = std::make_unique<PluginManager>();
        GseLib::DataInterpretation::init(&factory, true, manager.get(), {});
        if (moveOffsets)
            GseLib::DataInterpretation::current()->updatePktOffsets(8);
    }

    QJsonObject archiveExpected(const char* which) const
    {
        return expected.value("archives").toObject().value(which).toObject();
    }

    TestSupport::TempDir dir;
    bool generated = false;
    QJsonObject expected;
    KorGse::KorDataInterpretationFactory factory;
    std::unique_ptr<TestSupport::ScopedEnv> inivek;
    std::unique_ptr<TestSupport::ScopedEnv> home;
    std::unique_ptr<PluginManager> manager;
};

// Base of the test suites that share one generated `Set`: the generator runs
// once per suite, not per test. A suite needing more set-up calls this
// SetUpTestSuite first.
template <class Set>
class SharedSuite : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { defs = new Set; }
    static void TearDownTestSuite()
    {
        delete defs;
        defs = nullptr;
    }
    static inline Set* defs = nullptr;
};

} // namespace KoraTest
