#include "python/tmfile.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <algorithm>
#include <climits>
#include <stdexcept>
#include <utility>

#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/interpretation/datainterpretation.h"
#include "gselib/packets/telemetrycache.h"
#include "gselib/packets/telemetryfile.h"
#include "gselib/packets/timeresolver.h"
#include "gselib/packets/tmmeta.h"
#include "koralib/masscal/masscal.h"
#include "python/startup.h"

namespace cvekutil {

namespace {

std::string utf8(const QString& s)
{
    return s.toUtf8().toStdString();
}

const GseLib::TimeResolver& sharedResolver()
{
    const GseLib::TelemetryCache* cache = GseLib::TelemetryFile::sharedCache();
    if (!cache || !cache->timeResolver())
        throw std::runtime_error(NOT_INITIALIZED_NO_FILE);
    return *cache->timeResolver();
}

// The positions [first, end) that a Python slice [start:stop] takes of n
// items: a bound left out is the start or the end, a negative one counts from
// the end, both are clamped to the items, and a reversed slice is empty.
std::pair<size_t, size_t> sliceBounds(std::optional<long long> start, std::optional<long long> stop, size_t n)
{
    const long long count = n > size_t(LLONG_MAX) ? LLONG_MAX : (long long)(n);
    auto place = [count](std::optional<long long> bound, long long absent) {
        if (!bound)
            return absent;
        long long at = *bound;
        if (at < 0)
            at = at < -count ? 0 : at + count;
        return std::min(at, count);
    };
    const long long first = place(start, 0);
    const long long end = place(stop, count);
    return {size_t(first), size_t(std::max(first, end))};
}

} // namespace

TMFile::TMFile(const std::string& filename)
{
    if (!cvekutilIsInitialized)
        throw std::runtime_error("cvekutil is not initialized, did you call the TMFile constructor manually "
                                 "instead of relying on the factory functions?");
    filePath = QString::fromUtf8(filename.data(), qsizetype(filename.size()));
    markerGeneration = GseLib::TelemetryFile::sharedCacheGeneration();
    archiveGeneration = markerGeneration;
    markerCache = std::make_unique<KorGse::MarkerCache>(new GseLib::TelemetryFile());
    const QFileInfo info(filePath);
    if (!info.exists())
        throw std::runtime_error("TMFile was given a nonexistent file!");
    tmMeta.setDirectoryPath(info.canonicalPath(), true);
}

TMFile::~TMFile() = default;

std::string TMFile::filename() const { return utf8(filePath); }

std::string TMFile::absolute_directory() const
{
    // QFileInfo::canonicalPath() gives "." for a path that does not exist;
    // there is no folder then. The folder of the resolved file, links followed.
    const QString canonical = QFileInfo(filePath).canonicalFilePath();
    return canonical.isEmpty() ? std::string() : utf8(QFileInfo(canonical).path());
}

std::string TMFile::directory_string() const
{
    if (tmMeta.valid)
        return utf8(tmMeta.tidDir);
    if (length() > 0) {
        const std::string message = get_pkt(0).raw_message();
        const std::string key = "Data directory:";
        const size_t at = message.find(key);
        if (at != std::string::npos) {
            // After the key and its blank, wherever the key stands in the message.
            size_t from = at + key.size();
            if (from < message.size() && message[from] == ' ')
                ++from;
            size_t to = message.find('\n', from);
            if (to == std::string::npos)
                to = message.size();
            const QString path = QString::fromUtf8(message.data() + from, qsizetype(to - from));
            return utf8(QDir(path).dirName());
        }
    }
    const QStringList parts = QFileInfo(filePath).absolutePath().split(QLatin1Char('/'));
    return utf8(parts.last());
}

std::string TMFile::get_mcal_filename() const
{
    // The tm.meta is read again: a calibration named there after this object
    // was built counts. Loading may copy the configured folder's newest file
    // into the archive's folder.
    const QString dir = QString::fromStdString(absolute_directory());
    // A file that no longer exists has no folder to search or copy into.
    if (dir.isEmpty())
        return {};
    const GseLib::TmMeta meta(dir);
    KorGse::MassCal massCal;
    KorGse::initializeMassCal(massCal, meta, dir);
    return utf8(QFileInfo(massCal.filePath()).fileName());
}

long long TMFile::file_size() const { return QFileInfo(filePath).size(); }

int TMFile::tid() const
{
    if (tmMeta.valid)
        return tmMeta.tid;
    const QStringList parts = QString::fromStdString(directory_string()).split(QLatin1Char('-'));
    if (parts.size() >= 5) {
        bool ok = false;
        const int t = parts[4].toInt(&ok, 10);
        return ok ? t : 0;
    }
    return 0;
}

int TMFile::length() const
{
    const GseLib::TelemetryCache* cache = GseLib::TelemetryFile::sharedCache();
    return cache ? int(cache->count()) : 0;
}

bool TMFile::exists() const { return QFileInfo::exists(filePath); }

std::string TMFile::model() const { return tmMeta.valid ? utf8(tmMeta.model) : std::string("unknown"); }

TMPacket TMFile::get_pkt(int index) const
{
    if (index < 0 || index >= length())
        throw std::out_of_range("get_pkt was passed an invalid index.");
    return TMPacket(GseLib::TelemetryFile::sharedCache()->get(unsigned(index)), currentMarkers());
}

const KorGse::MarkerCache* TMFile::currentMarkers() const
{
    // The cursor is tied to the cache it was made over: a new one for the new cache.
    const uint64_t now = GseLib::TelemetryFile::sharedCacheGeneration();
    if (now != markerGeneration) {
        markerCache = std::make_unique<KorGse::MarkerCache>(new GseLib::TelemetryFile());
        markerGeneration = now;
    }
    return markerCache.get();
}

double TMFile::t0_in_unix_time() const { return sharedResolver().unixTimeOfT0(); }

int TMFile::t0_in_sclk() const { return int32_t(sharedResolver().ticksOfT0()); }

std::vector<KorGse::MetaMarker> TMFile::get_meta_markers() const
{
    if (!GseLib::TelemetryFile::sharedCache())
        throw std::runtime_error(NOT_INITIALIZED_NO_FILE);
    const QList<KorGse::MetaMarker> all = refreshedMetaMarkers(false, 0.0);
    return std::vector<KorGse::MetaMarker>(all.begin(), all.end());
}

bool TMFile::is_time_synced() const { return sharedResolver().isSynced(); }

GseLib::ItemSeries TMFile::item_arrays(int hkid, int mode, std::optional<long long> start,
                                       std::optional<long long> stop) const
{
    const GseLib::TelemetryCache* cache = GseLib::TelemetryFile::sharedCache();
    if (!cache)
        throw std::runtime_error(NOT_INITIALIZED_NO_FILE);
    // Its packets, time resolver and definitions went with the old cache and hub.
    if (archiveGeneration != GseLib::TelemetryFile::sharedCacheGeneration())
        throw std::runtime_error("TMFile belongs to an archive that a later initCVekUtil replaced.");
    const GseLib::DataInterpretation* hub = GseLib::DataInterpretation::current();
    const auto [first, end] = sliceBounds(start, stop, cache->count());
    GseLib::ItemSeries series;
    const uint32_t id = uint32_t(hkid);
    switch (hub->itemSeries(id, cache->allPackets(), first, end, Gse::ValueMode(mode), series)) {
    case GseLib::ItemSeries::Outcome::TextSample:
        throw NotNumericItem("data item " + std::to_string(id) + " (" + hub->db()->findRow(id)->key
                             + ") gives text samples; item_arrays takes numeric items only");
    case GseLib::ItemSeries::Outcome::UnknownItem:
    case GseLib::ItemSeries::Outcome::Filled:
        break;
    }
    return series;
}

std::vector<GseLib::DamagedStretch> TMFile::damage() const
{
    const GseLib::TelemetryCache* cache = GseLib::TelemetryFile::sharedCache();
    if (!cache)
        throw std::runtime_error(NOT_INITIALIZED_NO_FILE);
    return cache->damage();
}

} // namespace cvekutil
