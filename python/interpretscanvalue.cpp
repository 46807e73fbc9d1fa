#include "python/interpretscanvalue.h"

#include <QDateTime>
#include <QFileInfo>
#include <QString>
#include <memory>
#include <stdexcept>

#include "gselib/database/dactable.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/services/configvek.h"
#include "koralib/scantypesinfo.h"
#include "python/startup.h"

namespace cvekutil {

namespace {

// The parsed file, kept while its path, size and modification time stay; one
// parse per call cost 20 us (bench_python.py, _seb_scan_value).
struct ScanTypesCache
{
    QString path;
    qint64 size = -1;
    QDateTime modified;
    std::shared_ptr<const KorGse::ScanTypesInfo> types;
};

std::shared_ptr<const KorGse::ScanTypesInfo> scanTypes()
{
    thread_local ScanTypesCache cache;
    const QString path = GseLib::ConfigVek::getTmDefinitionsDir(GseLib::ConfigVek::getDefaultGroup()) +
                         QLatin1Char('/') + KorGse::ScanTypesInfo::CFG_FILENAME;
    const QFileInfo info(path);
    if (!info.isFile()) {
        // Missing or not a plain file: the loader gives its own error every time.
        cache = ScanTypesCache();
        return std::make_shared<const KorGse::ScanTypesInfo>();
    }
    const qint64 size = info.size();
    const QDateTime modified = info.lastModified();
    if (!cache.types || cache.path != path || cache.size != size || cache.modified != modified) {
        cache.types.reset();
        cache.types = std::make_shared<const KorGse::ScanTypesInfo>();
        cache.path = path;
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
