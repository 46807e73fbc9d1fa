#pragma once
// Test fixture of the first-instrument tests: runs scripts/gen_kora.py into a
// temporary folder, points INIVEK and HOME there, installs a first-instrument
// hub loaded from the generated definitions (offsets moved by 8 as at start-up)
// and reads the generator's expected.json.
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/services/configvek.h"
#include "koralib/koradatai.h"
#include "support/tempdir.h"
#include "tools/util/pluginmanager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

#include <memory>

namespace KoraTest {

class Definitions
{
public:
    // `plugin`: a plugin file placed in the definitions' plugin folder before the hub loads.
    explicit Definitions(int packets = 0, const QString& plugin = QString())
    {
        QStringList args{QStringLiteral(GSE_SOURCE_DIR "/scripts/gen_kora.py"), dir.path()};
        if (packets)
            args << QStringLiteral("--packets") << QString::number(packets);
        QProcess gen;
        gen.start(QStringLiteral("/usr/bin/python3"), args);
        generated = gen.waitForFinished(120000) && gen.exitCode() == 0;
        EXPECT_TRUE(generated) << gen.readAllStandardError().toStdString();
        if (!plugin.isEmpty()) {
            const QString folder = dir.filePath("defs/plugins/macos");
            EXPECT_TRUE(QDir().mkpath(folder) && QFile::copy(plugin, folder + "/" + QFileInfo(plugin).fileName()));
        }
        inivek = std::make_unique<TestSupport::ScopedEnv>("INIVEK", dir.filePath("vek.INI").toUtf8());
        home = std::make_unique<TestSupport::ScopedEnv>("HOME", dir.path().toUtf8());
        QFile f(dir.filePath("expected.json"));
        if (f.open(QIODevice::ReadOnly))
            expected = QJsonDocument::fromJson(f.readAll()).object();
        // As the start-up does: the group named by the configuration's [VEK] default_group.
        GseLib::ConfigVek::setDefaultGroup(GseLib::ConfigVek::getDefaultGroupFromIni(QString()));
        manager = std::make_unique<PluginManager>();
        GseLib::DataInterpretation::init(&factory, true, manager.get(), {});
        GseLib::DataInterpretation::current()->updatePktOffsets(8);
    }

    QString archive(const char* which) const
    {
        const QString folder = expected.value("archives").toObject().value(which).toObject().value("folder").toString();
        return dir.filePath(folder + "/tm.tlm");
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

// Base of the test suites that share one generated set: the generator runs once
// per suite, not per test. A suite needing more set-up calls this SetUpTestSuite first.
class SuiteTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { defs = new Definitions; }
    static void TearDownTestSuite()
    {
        delete defs;
        defs = nullptr;
    }
    static inline Definitions* defs = nullptr;
};

} // namespace KoraTest
