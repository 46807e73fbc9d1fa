#include "python/interpretscanvalue.h"

#include <QDateTime>
#include <QFileInfo>
#include <QString>
#include <cstdint>
#include <memory>
#include <stdexcept>

#include "gselib/database/dactable.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/telemetryfile.h"
#include "gselib/services/configvek.h"
#include "koralib/scans/scantypesinfo.h"
#include "python/startup.h"

namespace cvekutil {

namespace {

// The parsed file, kept while its path, size and modification time stay; one
// parse per call cost 20 us (bench_python.py, _seb_scan_value). The path is
// resolved once per start-up and group: reading the INI file per call halved
// the rate again, and the hub reads its definitions once per start-up too.
struct ScanTypesCache
{
    uint64_t generation = 0;
    QString group;
    QString path;
    qint64 size = -1;
    QDateTime modified;
    std::shared_ptr<const KorGse::ScanTypesInfo> types;
};

std::shared_ptr<const KorGse::ScanTypesInfo> scanTypes()
{
    thread_local ScanTypesCache cache;
    const uint64_t generation = GseLib::TelemetryFile::sharedCacheGeneration();
    const QString group = GseLib::ConfigVek::getDefaultGroup();
    if (cache.path.isEmpty() || cache.generation != generation || cache.group != group) {
        cache = ScanTypesCache();
        cache.path = GseLib::ConfigVek::getTmDefinitionsDir(group) + QLatin1Char('/') +
                     KorGse::ScanTypesInfo::CFG_FILENAME;
        cache.generation = generation;
        cache.group = group;
    }
    const QString path = cache.path;
    const QFileInfo info(path);
    if (!info.isFile()) {
        // Missing or not a plain file: the loader gives its own error every time.
        cache.types.reset();
        return std::make_shared<const KorGse::ScanTypesInfo>();
    }
    const qint64 size = info.size();
    const QDateTime modified = info.lastModified();
    if (!cache.types || cache.size != size || cache.modified != modified) {
        cache.types.reset();
        cache.types = std::make_shared<const KorGse::ScanTypesInfo>();
        cache.size = size;
        cache.modified = modified;
    }
    return cache.types;
}

} // namespace

double interpretScanValue(int scanId, int rawValue)
{
    const GseLib::DataInterpretation* hub = GseLib::DataInterpretation::current();
    if (!hub || !hub->dacTable)
        throw std::runtime_error(NOT_INITIALIZED_NO_FILE);
    const std::shared_ptr<const KorGse::ScanTypesInfo> types = scanTypes();
    if (types->hasId(scanId))
        return types->info(scanId)->defaultApply(double(rawValue));
    // The special scan id doubles as a DAC id.
    const QByteArray* name = hub->dacTable->nameOf(scanId);
    if (name && *name != GseLib::DacTable::unknown)
        return hub->dacTable->row(scanId).toValue(rawValue);
    return double(rawValue);
}

} // namespace cvekutil
