#pragma once
// Fixture of the scan tests: runs scripts/gen_kora_scans.py into a temporary
// folder, points INIVEK and HOME there, installs a first-instrument hub loaded
// from the generated definitions (offsets moved by 8 as at start-up), loads the
// SEB command table, installs a shared first-instrument packet cache and reads
// the generator's expected.json.
#include "gselib/packets/telemetryfile.h"
#include "koralib/archive/kortelemetrycache.h"
#include "koralib/generateddefinitions.h"
#include "koralib/scans/sciencedatacache.h"
#include "koralib/seb/sebcmdinterpreter.h"
#include "support/streamcapture.h"

namespace KoraScanTest {

class ScanDefinitions : public KoraTest::GeneratedDefinitions
{
public:
    ScanDefinitions() : GeneratedDefinitions("gen_kora_scans.py")
    {
        installHub();
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
};

// One generated set per suite.
using ScanSuite = KoraTest::SharedSuite<ScanDefinitions>;

inline QList<int> intList(const QJsonValue& v)
{
    QList<int> out;
    for (const QJsonValue& x : v.toArray())
        out.append(x.toInt());
    return out;
}

} // namespace KoraScanTest
