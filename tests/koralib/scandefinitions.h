#pragma once
// Fixture of the scan tests: runs scripts/gen_kora_scans.py into a temporary
// folder, points INIVEK and HOME there, installs a first-instrument hub loaded
// from the generated definitions (offsets moved by 8 as at start-up), loads the
// SEB command table, installs a shared first-instrument packet cache and reads
// the generator's expected.json.
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/telemetryfile.h"
#include "gselib/services/configvek.h"
#include "koralib/koradatai.h"
#include "koralib/kortelemetrycache.h"
#include "koralib/sciencedatacache.h"
#include "koralib/sebcmdinterpreter.h"
#include "support/streamcapture.h"
#include "support/tempdir.h"
#include "tools/util/pluginmanager.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

#include <memory>

namespace KoraScanTest {

class ScanDefinitions
{
public:
    ScanDefinitions()
    {
        QProcess gen;
        gen.start(QStringLiteral("/usr/bin/python3"),
                  {QStringLiteral(GSE_SOURCE_DIR "/scripts/gen_kora_scans.py"), dir.path()});
        generated = gen.waitForFinished(120000) && gen.exitCode() == 0;
        EXPECT_TRUE(generated) << gen.readAllStandardError().toStdString();
        inivek = std::make_unique<TestSupport::ScopedEnv>("INIVEK", dir.filePath("vek.INI").toUtf8());
        home = std::make_unique<TestSupport::ScopedEnv>("HOME", dir.path().toUtf8());
        QFile f(dir.filePath("expected.json"));
        if (f.open(QIODevice::ReadOnly))
            expected = QJsonDocument::fromJson(f.readAll()).object();
        GseLib::ConfigVek::setDefaultGroup(GseLib::ConfigVek::getDefaultGroupFromIni(QString()));
        manager = std::make_unique<PluginManager>();
        GseLib::DataInterpretation::init(&factory, true, manager.get(), {});
        GseLib::DataInterpretation::current()->updatePktOffsets(8);
        KorGse::SebCmdInterpreter::clearInterpreters();
        KorGse::SebCmdInterpreter::createInterpreters();
        GseLib::TelemetryFile::setSharedCache(new KorGse::KorTelemetryCache);
    }
    ~ScanDefinitions()
    {
        GseLib::TelemetryFile::setSharedCache(nullptr);
        KorGse::SebCmdInterpreter::clearInterpreters();
    }

    QString archive(const char* which) const { return dir.filePath(QString::fromLatin1(which) + "/tm.tlm"); }
    QJsonObject archiveExpected(const char* which) const
    {
        return expected.value("archives").toObject().value(which).toObject();
    }
    // Opens the archive in the shared cache and returns a science data cache over it, refreshed.
    std::unique_ptr<KorGse::ScienceDataCache> open(const char* which, bool refresh = true) const
    {
        openFile(archive(which));
        auto cache = std::make_unique<KorGse::ScienceDataCache>(new GseLib::TelemetryFile);
        if (refresh)
            cache->refresh();
        return cache;
    }
    static void openFile(const QString& path)
    {
        TestSupport::StderrCapture quiet; // header complaints of cut archives
        GseLib::TelemetryFile::setSharedCacheFile(path.toStdString());
    }

    TestSupport::TempDir dir;
    bool generated = false;
    QJsonObject expected;
    KorGse::KorDataInterpretationFactory factory;
    std::unique_ptr<TestSupport::ScopedEnv> inivek;
    std::unique_ptr<TestSupport::ScopedEnv> home;
    std::unique_ptr<PluginManager> manager;
};

// One generated set per suite.
class ScanSuite : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { defs = new ScanDefinitions; }
    static void TearDownTestSuite()
    {
        delete defs;
        defs = nullptr;
    }
    static inline ScanDefinitions* defs = nullptr;
};

inline QList<int> intList(const QJsonValue& v)
{
    QList<int> out;
    for (const QJsonValue& x : v.toArray())
        out.append(x.toInt());
    return out;
}

} // namespace KoraScanTest
